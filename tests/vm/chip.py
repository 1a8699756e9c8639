#!/usr/bin/python3
"""Plays the chip of a USB serial adapter inside the bench's virtual machine.

    chip.py KIND UDC FOLDER       KIND: ch341, cp210x or pl2303; UDC: a controller in /sys/class/udc

It makes a USB gadget with the chip's vendor and product ids on the dummy host controller's UDC,
so that the chip's own Linux driver binds it on the host side of the same machine and gives a
/dev/ttyUSBn. Behind the gadget's FunctionFS (mounted with FUNCTIONFS_ALL_CTRL_RECIP, so that the
driver's requests to the device reach it too) this program answers the driver's vendor control
requests as the chip would, as much of the chip as its driver uses and no more, and carries the
line's bytes: what the instrument sends comes in on a pty, whose other end FOLDER/line links to,
and goes out to the driver on the bulk IN endpoint; whatever the driver sends on the bulk OUT
endpoint goes to the same pty, where the instrument would receive it.

What the driver tells the chip is kept in FOLDER/state, replaced whole at each change, one
"key value" a line:
    rate    the line rate the chip runs at, worked out from the value it was given
    value   that value as the chip got it
    data    data bits;  parity  none, odd, even, mark or space;  stop  1, 1.5 or 2
    flow    rtscts, xonxoff or none: the handshake the chip itself keeps
    rts     raised, low, or auto (the chip drives RTS by the room in its buffer)
    out     bytes the driver has sent on the data endpoint so far
FOLDER/udc names the controller the gadget is bound to; writing "" to the gadget's UDC file in
configfs pulls the adapter out, writing that name back plugs it in again.

Python's standard library only.
"""

import errno
import os
import struct
import subprocess
import sys
import threading
import tty

GADGETS = "/sys/kernel/config/usb_gadget"

# FunctionFS (include/uapi/linux/usb/functionfs.h).
DESCRIPTORS_MAGIC_V2 = 3
STRINGS_MAGIC = 2
HAS_FS_DESC = 1
HAS_HS_DESC = 2
ALL_CTRL_RECIP = 64
EVENT_SETUP = 4
EVENT_SIZE = 12  # struct usb_functionfs_event: the setup packet, the type, padding

DIR_IN = 0x80
BULK = 2
INTERRUPT = 3


class Chip:
    """What every chip has: its line settings as last told, and the state file."""

    vendor = product = device_release = 0
    manufacturer = product_name = ""
    interrupt_in = False  # the driver needs a status endpoint besides the data endpoints

    def __init__(self, folder):
        self.folder = folder
        self.lock = threading.Lock()
        self.settings = {"rate": 0, "value": "-", "data": 8, "parity": "none", "stop": "1",
                         "flow": "none", "rts": "low", "out": 0}

    def update(self, **changes):
        with self.lock:
            self.settings.update(changes)
            text = "".join(f"{k} {v}\n" for k, v in self.settings.items())
            path = os.path.join(self.folder, "state")
            with open(path + ".new", "w") as f:
                f.write(text)
            os.replace(path + ".new", path)

    def sent_out(self, count):
        self.update(out=self.settings["out"] + count)

    def encode(self, data):
        """The bytes as they go out on bulk IN."""
        return data

    def control(self, request_type, request, value, index, data):
        """Answers one control request: bytes for an IN request, True for an OUT request
        taken, None to stall it as the chip would refuse it."""
        return None


class Ch341(Chip):
    """WCH CH340/CH341: registers written and read in pairs; the line rate is a prescaler and a
    divisor of a 48 MHz clock; the modem lines are one inverted byte."""

    vendor, product, device_release = 0x1A86, 0x7523, 0x0264
    manufacturer, product_name = "WCH", "CH340 serial"
    interrupt_in = True
    VERSION = 0x31  # 0x30 and later keep the line format in register 0x18 alone

    def __init__(self, folder):
        super().__init__(folder)
        self.registers = {0x05: 0x01, 0x06: 0xF4, 0x07: 0xEE, 0x12: 0x00, 0x13: 0x00,
                          0x18: 0xC3, 0x25: 0x00}

    def _decode(self):
        prescaler = self.registers[0x12]
        divisor = 0x100 - self.registers[0x13]
        ps, fact = prescaler & 0x03, (prescaler >> 2) & 0x01
        rate = 48000000 // ((1 << (12 - 3 * ps - fact)) * divisor) if divisor else 0
        lcr = self.registers[0x18]
        parity = "none"
        if lcr & 0x08:
            parity = ("mark" if lcr & 0x10 else "space") if lcr & 0x20 else \
                ("even" if lcr & 0x10 else "odd")
        self.update(rate=rate, value=f"prescaler=0x{prescaler:02x},divisor=0x{divisor:02x}",
                    data=5 + (lcr & 0x03), parity=parity, stop="2" if lcr & 0x04 else "1")

    def control(self, request_type, request, value, index, data):
        if request_type == 0xC0 and request == 0x5F:  # read version
            return bytes([self.VERSION, 0x00])
        if request_type == 0xC0 and request == 0x95:  # read two registers
            return bytes([self.registers.get(value & 0xFF, 0), self.registers.get(value >> 8, 0)])
        if request_type == 0x40 and request == 0xA1:  # serial init
            return True
        if request_type == 0x40 and request == 0x9A:  # write two registers
            self.registers[value & 0xFF] = index & 0xFF
            self.registers[value >> 8] = index >> 8
            self._decode()
            return True
        if request_type == 0x40 and request == 0xA4:  # modem control, inverted: bit 6 RTS
            self.update(rts="low" if value & 0x40 else "raised")
            return True
        return None


class Cp210x(Chip):
    """Silicon Labs CP2102: requests to its interface; the rate as a 32-bit number, the line
    format in one word, the handshake in a 16-byte block."""

    vendor, product, device_release = 0x10C4, 0xEA60, 0x0100
    manufacturer, product_name = "Silicon Labs", "CP2102 USB to UART Bridge Controller"
    PARTNUM = 0x02  # CP2102: maps each rate to one of its own, as the driver does first

    def __init__(self, folder):
        super().__init__(folder)
        # Control handshake: DTR active; flow replace: RTS active; the limits as shipped.
        self.flow = struct.pack("<IIII", 0x01, 0x40, 0x80, 0x80)
        self.rts_mode = "raised"
        self.escape = 0  # the escape character of event mode, 0 while it is off

    def _flow_changed(self):
        handshake, replace, _, _ = struct.unpack("<IIII", self.flow)
        self.rts_mode = {0: "low", 1: "raised", 2: "auto"}.get((replace >> 6) & 3, "low")
        if handshake & 0x08:
            flow = "rtscts"
        elif replace & 0x03:
            flow = "xonxoff"
        else:
            flow = "none"
        self.update(flow=flow, rts=self.rts_mode)

    def encode(self, data):
        if self.escape:
            # In event mode the chip sends its escape character doubled with a 0.
            return data.replace(bytes([self.escape]), bytes([self.escape, 0]))
        return data

    def control(self, request_type, request, value, index, data):
        if request_type == 0xC0 and request == 0xFF:  # vendor specific, to the device
            if value == 0x370B:  # part number
                return bytes([self.PARTNUM, 0])
            return None
        if request_type == 0xC1:
            if request == 0x14:  # get flow
                return self.flow
            if request == 0x08:  # modem status: DTR, RTS, and CTS, DSR, DCD raised
                rts = 0x02 if self.rts_mode in ("raised", "auto") else 0
                return bytes([0x01 | rts | 0x10 | 0x20 | 0x80])
            if request == 0x10:  # comm status: nothing queued, no errors
                return bytes(19)
            return None
        if request_type != 0x41:
            return None
        if request in (0x00, 0x05, 0x12):  # enable, break, purge
            return True
        if request == 0x1E and len(data) == 4:  # baud rate
            rate = struct.unpack("<I", data)[0]
            self.update(rate=rate, value=f"0x{rate:08x}")
            return True
        if request == 0x03:  # line control
            parity = {0: "none", 1: "odd", 2: "even", 3: "mark", 4: "space"}
            self.update(data=(value >> 8) & 0x0F, parity=parity.get((value >> 4) & 0x0F, "?"),
                        stop={0: "1", 1: "1.5", 2: "2"}.get(value & 0x0F, "?"))
            return True
        if request == 0x13 and len(data) == 16:  # set flow
            self.flow = bytes(data)
            self._flow_changed()
            return True
        if request == 0x07:  # modem handshake: RTS only where the chip does not drive it
            if value & 0x0200 and self.rts_mode != "auto":
                self.rts_mode = "raised" if value & 0x02 else "low"
                self.update(rts=self.rts_mode)
            return True
        if request == 0x19 and len(data) == 6:  # special characters
            return True
        if request == 0x15:  # embed events
            self.escape = value & 0xFF
            return True
        return None


class Pl2303(Chip):
    """Prolific PL2303GL (the HXN family): CDC-like line coding and control lines to its
    interface, and vendor registers; flow control in register 0x0a."""

    vendor, product, device_release = 0x067B, 0x2303, 0x0400
    manufacturer, product_name = "Prolific Technology Inc.", "USB-Serial Controller"
    interrupt_in = True

    def __init__(self, folder):
        super().__init__(folder)
        self.line = bytes([0x80, 0x25, 0, 0, 0, 0, 8])  # 9600 8N1
        self.registers = {0x0A: 0x1C}

    def control(self, request_type, request, value, index, data):
        if request_type == 0xC0 and request == 0x81:  # vendor read
            return bytes([self.registers.get(value, 0)])
        if request_type == 0x40 and request == 0x80:  # vendor write
            self.registers[value] = index & 0xFF
            if value == 0x0A:
                flow = {0x18: "rtscts", 0x0C: "xonxoff"}.get(index & 0x1C, "none")
                self.update(flow=flow)
            return True
        if request_type == 0xA1 and request == 0x21:  # get line coding
            return self.line
        if request_type == 0x21 and request == 0x20 and len(data) == 7:  # set line coding
            self.line = bytes(data)
            rate = struct.unpack("<I", self.line[:4])[0]
            parity = {0: "none", 1: "odd", 2: "even", 3: "mark", 4: "space"}
            self.update(rate=rate, value=f"0x{rate:08x}", data=self.line[6],
                        parity=parity.get(self.line[5], "?"),
                        stop={0: "1", 1: "1.5", 2: "2"}.get(self.line[4], "?"))
            return True
        if request_type == 0x21 and request == 0x22:  # control lines: bit 1 RTS
            self.update(rts="raised" if value & 0x02 else "low")
            return True
        if request_type == 0x21 and request == 0x23:  # break
            return True
        return None


CHIPS = {"ch341": Ch341, "cp210x": Cp210x, "pl2303": Pl2303}


def descriptors(chip):
    """FunctionFS's descriptors: one vendor-specific interface with bulk IN and OUT (ep1, ep2)
    and, where the driver wants one, an interrupt IN for modem status (ep3), at full and high
    speed."""

    def interface(count):
        return struct.pack("<BBBBBBBBB", 9, 4, 0, 0, count, 0xFF, 0, 0, 0)

    def endpoint(address, kind, size, interval):
        return struct.pack("<BBBBHB", 7, 5, address, kind, size, interval)

    blocks = []
    for bulk_size, int_interval in ((64, 1), (512, 4)):
        eps = [endpoint(1 | DIR_IN, BULK, bulk_size, 0), endpoint(2, BULK, bulk_size, 0)]
        if chip.interrupt_in:
            eps.append(endpoint(3 | DIR_IN, INTERRUPT, 16, int_interval))
        blocks.append((1 + len(eps), interface(len(eps)) + b"".join(eps)))
    body = struct.pack("<II", blocks[0][0], blocks[1][0]) + blocks[0][1] + blocks[1][1]
    flags = HAS_FS_DESC | HAS_HS_DESC | ALL_CTRL_RECIP
    return struct.pack("<III", DESCRIPTORS_MAGIC_V2, 12 + len(body), flags) + body


def write_file(path, text):
    with open(path, "w") as f:
        f.write(text)


def make_gadget(kind, chip):
    """The gadget in configfs: the chip's ids and names, one configuration with one FunctionFS
    function. Returns its folder."""
    gadget = os.path.join(GADGETS, f"kavosen-{kind}")
    os.makedirs(os.path.join(gadget, "strings", "0x409"), exist_ok=True)
    write_file(os.path.join(gadget, "idVendor"), f"0x{chip.vendor:04x}")
    write_file(os.path.join(gadget, "idProduct"), f"0x{chip.product:04x}")
    write_file(os.path.join(gadget, "bcdDevice"), f"0x{chip.device_release:04x}")
    strings = os.path.join(gadget, "strings", "0x409")
    write_file(os.path.join(strings, "manufacturer"), chip.manufacturer)
    write_file(os.path.join(strings, "product"), chip.product_name)
    write_file(os.path.join(strings, "serialnumber"), f"KAVOSEN-{kind.upper()}")
    config = os.path.join(gadget, "configs", "c.1")
    os.makedirs(config, exist_ok=True)
    write_file(os.path.join(config, "MaxPower"), "100")
    function = os.path.join(gadget, "functions", f"ffs.{kind}")
    os.makedirs(function, exist_ok=True)
    link = os.path.join(config, f"ffs.{kind}")
    if not os.path.islink(link):
        os.symlink(function, link)
    return gadget


def serve_control(ep0, chip):
    """Reads ep0's events one at a time and answers each setup request before the next."""
    while True:
        try:
            event = os.read(ep0, EVENT_SIZE)
        except OSError as error:
            if error.errno == errno.EIDRM:
                continue  # the host gave up on a request before it was read: wait for the next
            raise
        if len(event) < EVENT_SIZE or event[8] != EVENT_SETUP:
            continue
        request_type, request, value, index, length = struct.unpack("<BBHHH", event[:8])
        try:
            if request_type & DIR_IN:
                answer = chip.control(request_type, request, value, index, b"")
                if isinstance(answer, bytes):
                    os.write(ep0, answer[:length])
                else:
                    os.read(ep0, 0)  # reading in an IN request stalls it
            else:
                data = os.read(ep0, length) if length else b""
                if chip.control(request_type, request, value, index, data) is True:
                    if not length:
                        os.read(ep0, 0)  # the status stage
                else:
                    os.write(ep0, b"")  # writing in an OUT request stalls it
        except OSError:
            pass  # the host gave up on the request, or the gadget went: wait for the next


def feed_in(master, ep_in, chip):
    """The instrument's bytes, from the pty to bulk IN. A write waits while the driver does not
    read (its port is closed) and while the adapter is unplugged; what was on its way when the
    adapter went is lost with it, as on a real one."""
    while True:
        data = os.read(master, 4096)
        try:
            os.write(ep_in, chip.encode(data))
        except OSError:
            pass


def take_out(master, ep_out, chip):
    """Whatever the driver sends on bulk OUT goes to the instrument, and is counted."""
    while True:
        try:
            data = os.read(ep_out, 4096)
        except OSError:
            continue
        if data:
            chip.sent_out(len(data))
            os.write(master, data)


def main():
    if len(sys.argv) != 4 or sys.argv[1] not in CHIPS:
        sys.exit(__doc__.split("\n\n")[1])
    kind, udc, folder = sys.argv[1:]
    # A chip is hardware: it answers within the driver's time-outs (100 ms for some of pl2303's
    # requests) also while the test keeps both processors busy. Its threads take this policy.
    os.sched_setscheduler(0, os.SCHED_FIFO, os.sched_param(1))
    os.makedirs(folder, exist_ok=True)
    chip = CHIPS[kind](folder)
    chip.update()

    # The instrument's end of the line: a raw pty that this program also keeps open at its far
    # side, so that it never hangs up while no test has it open.
    master, slave = os.openpty()
    tty.setraw(slave)
    line = os.path.join(folder, "line")
    if os.path.lexists(line):
        os.unlink(line)
    os.symlink(os.ttyname(slave), line)

    gadget = make_gadget(kind, chip)
    mount = os.path.join(folder, "ffs")
    os.makedirs(mount, exist_ok=True)
    if subprocess.run(["mount", "-t", "functionfs", kind, mount], check=False).returncode:
        sys.exit(f"chip: cannot mount FunctionFS {kind}")
    ep0 = os.open(os.path.join(mount, "ep0"), os.O_RDWR)
    os.write(ep0, descriptors(chip))
    os.write(ep0, struct.pack("<IIII", STRINGS_MAGIC, 16, 0, 0))
    ep_in = os.open(os.path.join(mount, "ep1"), os.O_WRONLY)
    ep_out = os.open(os.path.join(mount, "ep2"), os.O_RDONLY)

    for target, args in ((feed_in, (master, ep_in, chip)), (take_out, (master, ep_out, chip))):
        threading.Thread(target=target, args=args, daemon=True).start()
    write_file(os.path.join(folder, "udc"), udc)
    write_file(os.path.join(gadget, "UDC"), udc)
    serve_control(ep0, chip)


if __name__ == "__main__":
    main()
