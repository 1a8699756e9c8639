#!/bin/sh
# Runs a test program inside a virtual machine that has real serial drivers: cdc_acm (ttyACM0,
# fed by a USB gadget inside the guest), ftdi_sio (ttyUSB0, QEMU's FTDI adapter), the 8250 UART
# driver (ttyS1, a 16550A), and ch341, cp210x and pl2303 (ttyUSB1 to ttyUSB3, each bound to a
# gadget of its chip's ids inside the guest, the chip played by tests/vm/chip.py). The guest
# boots Debian's own kernel under QEMU with a small initramfs built here from busybox and the
# kernel's modules, and runs the program from this machine's root, shared read-only. The guest's
# output is printed; the exit status is the program's.
#
#   tests/vm/run.sh [PROGRAM [ARGS...]]     (default: build/tests/vm/test_vm)
#
# KAVOSEN_VM_TIMEOUT (seconds, default 1200) bounds the whole run: a guest that hangs is
# stopped and the run fails.
set -e
here="$(cd "$(dirname "$0")" && pwd)"
if [ $# -eq 0 ]; then
    set -- "$here/../../build/tests/vm/test_vm"
fi
program="$(realpath "$1")"
shift
case "$program" in
/tmp/* | /run/* | /dev/* | /proc/* | /sys/*)
    echo "vm: $program lies where the guest mounts its own file systems" >&2
    exit 2
    ;;
esac
[ -x "$program" ] || { echo "vm: no program $program" >&2; exit 2; }

# Debian's newest kernel that has its modules here.
kernel=""
for k in $(ls /boot/vmlinuz-* 2>/dev/null | sort -V); do
    [ -d "/lib/modules/${k#/boot/vmlinuz-}" ] && kernel="$k"
done
[ -n "$kernel" ] || { echo "vm: no kernel with modules in /boot (linux-image-amd64)" >&2; exit 2; }
version="${kernel#/boot/vmlinuz-}"

work="$(mktemp -d /tmp/kavosen-vm.XXXXXX)"
trap 'rm -rf "$work"' EXIT INT TERM
root="$work/root"
mkdir -p "$root/bin" "$root/sbin" "$root/proc" "$root/sys" "$root/dev" "$root/host"

# busybox for the shell and its tools; the kernel loads the gadget's function modules itself
# through /sbin/modprobe.
cp /bin/busybox "$root/bin/busybox"
for applet in $(/bin/busybox --list); do
    [ "$applet" = busybox ] || ln -s busybox "$root/bin/$applet"
done
ln -s ../bin/busybox "$root/sbin/modprobe"

# Each module the guest loads, with the modules it needs, at its path.
modules="virtio_pci virtio_console 9pnet_virtio 9p dummy_hcd g_serial usb_f_acm u_serial
libcomposite cdc_acm xhci_pci ftdi_sio usb_f_fs ch341 cp210x pl2303"
for m in $modules; do
    modprobe -S "$version" --show-depends "$m" | awk '$1 == "insmod" { print $2 }'
done | sort -u | while read -r file; do
    mkdir -p "$root$(dirname "$file")"
    cp "$file" "$root$file"
done
cp "/lib/modules/$version"/modules.order "/lib/modules/$version"/modules.builtin \
    "/lib/modules/$version"/modules.builtin.modinfo "$root/lib/modules/$version/"
depmod -b "$root" "$version"

cp "$here/init" "$root/init"
chmod +x "$root/init"
printf '%s\n' "$program" "$@" >"$root/test-command"
printf '%s\n' "$here" >"$root/bench-dir"
(cd "$root" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initrd.gz"

status=0
/usr/bin/python3 "$here/machine.py" --kernel "$kernel" --initrd "$work/initrd.gz" \
    --dir "$work" --timeout "${KAVOSEN_VM_TIMEOUT:-1200}" || status=$?
exit "$status"
