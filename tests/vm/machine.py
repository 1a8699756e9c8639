#!/usr/bin/python3
"""Runs the bench's virtual machine and plays the host's part of its serial lines.

The guest has three serial drivers. The FTDI adapter's line and the 16550A's line end in unix
sockets here, and the test inside the guest drives both far ends through virtio-serial ports:
every byte the guest writes to port kavosen.ftdi goes out on the FTDI line's socket and every
byte that comes in on that socket goes back to the port, unchanged, and the same for
kavosen.uart and the 16550A. On port kavosen.control the guest asks for the FTDI adapter to be
pulled out ("unplug ftdi") or put back ("plug ftdi"); the answer comes once QEMU has done it.
So inside the guest every far end is a descriptor to write to and read from, paced by the test.
It also asks what the FTDI chip was last told ("told ftdi"): QEMU traces the driver's requests
to its adapter, and the answer is one line of keys and values, as tests/vm/chip.py keeps them
for the chips it plays: rate, data, parity, stop, flow, rts, and out, the bytes the adapter
has sent on the line so far.

The guest's console is this program's standard output. Its init ends by printing
KAVOSEN-VM-STATUS=<n>, the exit status of the test, which becomes this program's own; a guest
that does not get there within the time limit is stopped, and the status is then 124 (125
when the guest ended without a status).

Python's standard library only.
"""

import argparse
import json
import os
import select
import socket
import subprocess
import sys
import threading
import time

STATUS_MARK = b"KAVOSEN-VM-STATUS="

# QEMU's part of the adapter: id and chardev as on its command line, and the serial number the
# guest sees (its by-id name comes from it).
FTDI_DEVICE = {"driver": "usb-serial", "id": "ftdi", "chardev": "ftdiline", "serial": "KAVOSEN1"}


def qemu_command(args, sockets):
    """The QEMU command line: two cores under TCG (KVM guests do not boot on these machines),
    the console on ttyS0, the 16550A's line on ttyS1, the FTDI adapter on an xHCI bus, the
    virtio-serial ports, QMP, and the machine's root shared read-only."""

    def chardev(cid, name):
        return ["-chardev", f"socket,id={cid},path={sockets[name]},server=on,wait=off"]

    trace = []
    for event in ("set_baud", "set_data", "set_flow_control", "handle_control"):
        trace += ["-trace", f"usb_serial_{event}"]
    command = [
        args.qemu, "-accel", "tcg", "-cpu", "max", "-smp", "2", "-m", "1024",
        "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
        "-kernel", args.kernel, "-initrd", args.initrd,
        "-append", "console=ttyS0 quiet panic=-1",
        "-chardev", "stdio,id=console", "-serial", "chardev:console",
        *chardev("uartline", "uart"), "-serial", "chardev:uartline",
        "-virtfs", "local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap",
        "-device", "qemu-xhci", *chardev("ftdiline", "ftdi"),
        "-device", ",".join([FTDI_DEVICE["driver"]] +
                            [f"{k}={v}" for k, v in FTDI_DEVICE.items() if k != "driver"]),
        "-device", "virtio-serial-pci",
        "-qmp", f"unix:{sockets['qmp']},server=on,wait=off",
        "-D", sockets["trace"], *trace,
    ]
    for port in ("ftdi", "uart", "control"):
        command += [*chardev(f"port{port}", f"port-{port}"),
                    "-device", f"virtserialport,chardev=port{port},name=kavosen.{port}"]
    return command


def connect(path, qemu, deadline):
    """Connects to one of QEMU's listening sockets, waiting while QEMU sets them up."""
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except OSError:
            s.close()
            if qemu.poll() is not None or time.monotonic() > deadline:
                raise
            time.sleep(0.05)


# Bytes that came in on each line's socket, what its device sent on the line.
line_bytes = {"ftdi": 0, "uart": 0}


def pump(source, sink, line=None):
    """Copies bytes from source to sink until either side ends, counting them in
    line_bytes[line] when line is given. A sink that cannot take more holds the source back, so
    nothing is dropped or reordered here."""
    try:
        while True:
            data = source.recv(65536)
            if not data:
                return
            if line:
                line_bytes[line] += len(data)
            sink.sendall(data)
    except OSError:
        return


def ftdi_told(trace_path):
    """What the FTDI adapter was last told, from QEMU's trace of the driver's requests."""
    told = {"rate": "0", "data": "8", "parity": "none", "stop": "1", "flow": "none",
            "rts": "low"}
    parities = {"N": "none", "O": "odd", "E": "even", "M": "mark", "S": "space"}
    flows = {"0": "none", "1": "rtscts", "2": "dtrdsr", "4": "xonxoff"}
    try:
        with open(trace_path, errors="replace") as trace:
            for line in trace:
                words = line.replace(",", " ").split()
                if "usb_serial_set_baud" in line:
                    told["rate"] = words[-1]
                elif "usb_serial_set_data" in line:
                    told["parity"] = parities.get(words[words.index("parity") + 1], "?")
                    told["data"] = words[words.index("data") + 2]
                    told["stop"] = words[words.index("stop") + 2]
                elif "usb_serial_set_flow_control" in line:
                    told["flow"] = flows.get(words[-1], words[-1])
                elif "usb_serial_handle_control" in line and "control 0x4001" in line:
                    value = int(words[-1], 16)  # modem control: RTS in bit 1, changed by bit 9
                    if value & 0x200:
                        told["rts"] = "raised" if value & 0x02 else "low"
    except OSError:
        pass
    told["out"] = str(line_bytes["ftdi"])
    return " ".join(f"{k} {v}" for k, v in told.items())


class Qmp:
    """QEMU's machine protocol: one command at a time, events kept until waited for."""

    def __init__(self, sock):
        self.file = sock.makefile("rwb", buffering=0)
        self.events = []
        self._read()  # the greeting
        self.execute("qmp_capabilities")

    def _read(self):
        line = self.file.readline()
        if not line:
            raise OSError("QMP closed")
        return json.loads(line)

    def execute(self, command, **arguments):
        self.file.write(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")
        while True:
            reply = self._read()
            if "event" in reply:
                self.events.append(reply)
            elif "error" in reply:
                raise OSError(f"QMP {command}: {reply['error'].get('desc')}")
            elif "return" in reply:
                return reply["return"]

    def wait_event(self, name, device):
        while True:
            for event in self.events:
                if event["event"] == name and event.get("data", {}).get("device") == device:
                    self.events.remove(event)
                    return
            self.events.append(self._read())


def serve_control(port, qmp, trace_path):
    """Answers the guest's requests on the control port, one line each."""
    requests = port.makefile("rb", buffering=0)
    try:
        for line in requests:
            request = line.decode(errors="replace").strip()
            try:
                if request == "unplug ftdi":
                    qmp.execute("device_del", id=FTDI_DEVICE["id"])
                    qmp.wait_event("DEVICE_DELETED", FTDI_DEVICE["id"])
                    answer = "unplugged ftdi"
                elif request == "plug ftdi":
                    qmp.execute("device_add", **FTDI_DEVICE)
                    answer = "plugged ftdi"
                elif request == "told ftdi":
                    answer = ftdi_told(trace_path)
                else:
                    answer = f"unknown request: {request}"
            except OSError as error:
                answer = f"failed: {error}"
            port.sendall(answer.encode() + b"\n")
    except OSError:
        return


def run(args):
    sockets = {name: os.path.join(args.dir, f"{name}.sock")
               for name in ("ftdi", "uart", "qmp", "port-ftdi", "port-uart", "port-control")}
    sockets["trace"] = os.path.join(args.dir, "trace.log")
    qemu = subprocess.Popen(qemu_command(args, sockets), stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE)
    deadline = time.monotonic() + args.timeout
    status = None
    try:
        connected = {name: connect(path, qemu, deadline)
                     for name, path in sockets.items() if name != "trace"}
        # Connecting to the FTDI line's socket is what plugs the adapter in.
        for line in ("ftdi", "uart"):
            for source, sink, counted in ((connected[line], connected[f"port-{line}"], line),
                                          (connected[f"port-{line}"], connected[line], None)):
                threading.Thread(target=pump, args=(source, sink, counted), daemon=True).start()
        threading.Thread(target=serve_control,
                         args=(connected["port-control"], Qmp(connected["qmp"]),
                               sockets["trace"]),
                         daemon=True).start()

        out = sys.stdout.buffer
        pending = b""
        while status is None:
            left = deadline - time.monotonic()
            if left <= 0:
                print(f"\nvm: no result within {args.timeout} s; stopping the guest", flush=True)
                return 124
            ready, _, _ = select.select([qemu.stdout], [], [], left)
            if not ready:
                continue
            data = os.read(qemu.stdout.fileno(), 65536)
            if not data:
                print("\nvm: the guest ended without a result", flush=True)
                return 125
            out.write(data)
            out.flush()
            pending += data
            *lines, pending = pending.split(b"\n")
            for line in lines:
                at = line.find(STATUS_MARK)
                if at >= 0:
                    status = int(line[at + len(STATUS_MARK):].strip() or b"125")
        return status
    except OSError as error:
        print(f"\nvm: {error}", flush=True)
        return 125
    finally:
        try:
            qemu.wait(timeout=30 if status is not None else 0)
        except subprocess.TimeoutExpired:
            qemu.kill()
            qemu.wait()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--qemu", default="qemu-system-x86_64")
    parser.add_argument("--kernel", required=True)
    parser.add_argument("--initrd", required=True)
    parser.add_argument("--dir", required=True, help="a folder for the sockets")
    parser.add_argument("--timeout", type=float, default=1200, help="seconds")
    sys.exit(run(parser.parse_args()))


if __name__ == "__main__":
    main()
