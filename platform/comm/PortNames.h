// COM port names: how "\\.\COMn", the name the program opens, maps to a Linux device, as the
// device namespace of the program's original platform would map it to a serial port.
//
// 1. A symbolic link named COMn in the port link directory maps COMn to the link's target,
//    whatever tty that is (a /dev/serial/by-id name that stays with one adapter, a pty). A
//    link always wins, even a broken one: a pinned adapter that is unplugged fails to open
//    rather than leaving the program to capture from another port.
// 2. Otherwise COMn is the n-th hardware serial port present, in this order: ttyUSB* by
//    number, then ttyACM* by number, then every other tty that has a device behind it in sysfs,
//    in natural order (ttyAMA0, ttyS0, ttyS1, ttyS2, ttyS10). So a user with one USB adapter
//    and nothing set up captures from COM1. A tty whose sysfs "type" reads 0 (PORT_UNKNOWN:
//    the legacy ttyS entries registered for addresses without a UART) is not counted, nor is
//    one without a node in /dev. Links do not shift this numbering: COM2 is the second port
//    even when COM1 is a link.
// Any other name is a path and is opened as it is.
//
// The functions only read the file system; any thread may call them.
#pragma once

#include <string>
#include <vector>

// The port link directory: $XDG_CONFIG_HOME/kavosen/ports, or ~/.config/kavosen/ports when
// XDG_CONFIG_HOME is unset, empty or not an absolute path.
std::string PortLinkDirectory();

// The hardware serial ports in COM order (element 0 is COM1) as device paths under devRoot,
// found under sysfsRoot/class/tty. The roots are "/sys" and "/dev" on a running system and a
// folder of the tests' own making in tests.
std::vector<std::string> ListSerialPorts(const std::string& sysfsRoot, const std::string& devRoot);

// The device to open for name: for "\\.\COMn" (COM in any case, n from 1, no leading zero) the
// target of the link COMn in linkDir (a relative target is taken from linkDir), else the n-th
// of ListSerialPorts; "" when that COM name has no device. Any other name is returned as it is.
std::string ResolvePortName(const std::string& name, const std::string& linkDir,
                            const std::string& sysfsRoot, const std::string& devRoot);

// ResolvePortName with this user's link directory and the system's /sys and /dev.
std::string DevicePathOf(const std::string& name);

// What a user needs to know to pick a port from a list of names such as "COM3": for each COM
// name (as a list shows it, without the "\\.\" of the name opened), lines of text saying
// which device it maps to right now; "" for a name that is no COM name. A device of a USB
// adapter is named with its maker, product and serial number as the adapter reports them
// (what udev calls ID_VENDOR, ID_MODEL and ID_SERIAL_SHORT) and with its stable name under
// devRoot/serial/by-id where it has one. A device this user may not open says so and how to
// join its group. A device that ModemManager may open to probe it says so, as the last line:
// when a process named ModemManager runs (in procRoot) and udev's data for the device (in
// udevRoot/data) marks it ID_MM_CANDIDATE=1 and not ID_MM_DEVICE_IGNORE=1. The ports and
// ModemManager are looked up once for the whole list.
std::vector<std::string> DescribePorts(const std::vector<std::string>& names,
                                       const std::string& linkDir, const std::string& sysfsRoot,
                                       const std::string& devRoot, const std::string& udevRoot,
                                       const std::string& procRoot);

// DescribePorts with this user's link directory and the system's /sys, /dev, /run/udev and
// /proc.
std::vector<std::string> DescribePortsHere(const std::vector<std::string>& names);
