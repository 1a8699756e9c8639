#!/bin/sh
# Installs the Debian 12 packages the build, the tests, the benchmarks and the Debian package
# need, if missing.
set -e
packages="cmake g++ make qt6-base-dev libgl-dev libgtest-dev xvfb xauth fonts-dejavu-core"
# The Debian package: building it, checking it, and finding its window on a virtual display.
packages="$packages dpkg-dev lintian desktop-file-utils appstream x11-utils"
# The demo test drives the window on a virtual display and copies its text; the Wayland test
# runs the program under a headless compositor.
packages="$packages xdotool xclip weston qt6-wayland"
# The virtual machine of tests/vm: QEMU, Debian's kernel and its modules, busybox and cpio for
# its initramfs, udev for its stable device names, and Python for the far ends of its lines.
packages="$packages qemu-system-x86 linux-image-amd64 busybox-static cpio kmod udev python3"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
fi
