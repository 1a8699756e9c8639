#include "platform/comm/PortNames.h"

#include <dirent.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <optional>

namespace {

bool IsDigit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

const char kDevicePrefix[] = "\\\\.\\";  // the four characters \\.\ before a device name

// The n of "\\.\COMn", or 0 when name is not a COM device name.
unsigned ComNumber(const std::string& name) {
    const std::string prefix = kDevicePrefix;
    if (name.size() < prefix.size() + 4 || name.compare(0, prefix.size(), prefix) != 0) {
        return 0;
    }
    std::string rest = name.substr(prefix.size());
    for (int i = 0; i < 3; ++i) {
        rest[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(rest[i])));
    }
    const std::string digits = rest.substr(3);
    if (rest.compare(0, 3, "COM") != 0 || digits.size() > 6 || digits[0] == '0' ||
        !std::all_of(digits.begin(), digits.end(), IsDigit)) {
        return 0;
    }
    return static_cast<unsigned>(std::stoul(digits));
}

// The end of the run of digits that starts at i.
std::size_t DigitsEnd(const std::string& s, std::size_t i) {
    while (i < s.size() && IsDigit(s[i])) {
        ++i;
    }
    return i;
}

// Compares names so that runs of digits count as numbers: ttyS2 before ttyS10.
bool NaturalLess(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (IsDigit(a[i]) && IsDigit(b[j])) {
            const std::size_t endA = DigitsEnd(a, i);
            const std::size_t endB = DigitsEnd(b, j);
            while (i + 1 < endA && a[i] == '0') {
                ++i;
            }
            while (j + 1 < endB && b[j] == '0') {
                ++j;
            }
            const std::string numberA = a.substr(i, endA - i);
            const std::string numberB = b.substr(j, endB - j);
            if (numberA.size() != numberB.size()) {
                return numberA.size() < numberB.size();
            }
            if (numberA != numberB) {
                return numberA < numberB;
            }
            i = endA;
            j = endB;
        } else if (a[i] != b[j]) {
            return a[i] < b[j];
        } else {
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

// USB adapters come first, ttyUSB before ttyACM; every other port after them.
int PortGroup(const std::string& name) {
    auto numbered = [&name](const std::string& prefix) {
        return name.size() > prefix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
               name.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
    };
    if (numbered("ttyUSB")) {
        return 0;
    }
    if (numbered("ttyACM")) {
        return 1;
    }
    return 2;
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A serial-core port reports its UART type; 0 is PORT_UNKNOWN, a port with no UART behind it.
bool HasNoUart(const std::string& ttyDir) {
    std::ifstream type(ttyDir + "/type");
    int value = -1;
    return type >> value && value == 0;
}

// The target of the link COMn in linkDir (a relative target taken from linkDir), or nothing when
// there is no such link.
std::optional<std::string> LinkTarget(unsigned number, const std::string& linkDir) {
    const std::string link = linkDir + "/COM" + std::to_string(number);
    struct stat st;
    if (lstat(link.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
        return std::nullopt;
    }
    std::string target(PATH_MAX, '\0');
    const ssize_t length = readlink(link.c_str(), &target[0], target.size());
    if (length <= 0) {
        return link;  // opening the link itself follows it, or fails as it should
    }
    target.resize(static_cast<std::size_t>(length));
    return target[0] == '/' ? target : linkDir + "/" + target;
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

// The most characters a USB string descriptor holds (its 254 bytes of UTF-16).
constexpr std::size_t kMostDeviceChars = 126;
const char kMark[] = "\xEF\xBF\xBD";      // U+FFFD
const char kEllipsis[] = "\xE2\x80\xA6";  // U+2026

// Characters that would change how the rest of the text is drawn: C0 and C1 controls, line and
// paragraph separators, and the bidirectional controls (with which "evil" shows as "live" and the
// next line, the serial number, is drawn reversed).
bool Disguises(char32_t c) {
    return c < 0x20 || (c >= 0x7F && c <= 0x9F) || c == 0x061C || c == 0x200E || c == 0x200F ||
           c == 0x2028 || c == 0x2029 || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069);
}

// The length of the well-formed UTF-8 sequence at text[at] and its character; 0 when the bytes
// there are not one (a stray byte, an overlong form, a surrogate, beyond U+10FFFF).
std::size_t DecodeUtf8(const std::string& text, std::size_t at, char32_t* c) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        *c = lead;
        return 1;
    }
    const std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    char32_t value = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        value = (value << 6) | (byte(i) & 0x3F);
    }
    static const char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (value < kLeast[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return 0;
    }
    *c = value;
    return length;
}

// A string a device chose, as it may be shown: every character that could disguise it or what
// follows, and every byte that is not UTF-8, is a visible mark (not dropped, so a string
// made of them still shows that something is there), and a string longer than a device can
// report is cut, with an ellipsis.
std::string Shown(const std::string& raw) {
    std::string shown;
    std::size_t chars = 0;
    for (std::size_t at = 0; at < raw.size(); ++chars) {
        if (chars == kMostDeviceChars) {
            return shown + kEllipsis;
        }
        char32_t c = 0;
        const std::size_t length = DecodeUtf8(raw, at, &c);
        if (length == 0 || Disguises(c)) {
            shown += kMark;
            at += length == 0 ? 1 : length;
        } else {
            shown.append(raw, at, length);
            at += length;
        }
    }
    return shown;
}

// A string attribute of a device in sysfs (the kernel ends it with a newline), without trailing
// blanks and as it may be shown; "" when it cannot be read.
std::string Attribute(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::string text(4096, '\0');
    file.read(&text[0], static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(file.gcount()));
    if (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return Shown(text);
}

// The USB device a tty belongs to: the nearest folder holding idVendor up the chain of its
// device's parents in sysfs; "" for a tty that is not on USB.
std::string UsbDeviceDir(const std::string& ttyName, const std::string& sysfsRoot) {
    const std::string top = RealPath(sysfsRoot);
    std::string dir = RealPath(sysfsRoot + "/class/tty/" + ttyName + "/device");
    while (!top.empty() && dir.size() > top.size() && dir.compare(0, top.size(), top) == 0) {
        if (Exists(dir + "/idVendor")) {
            return dir;
        }
        dir.erase(dir.rfind('/'));
    }
    return std::string();
}

// The link in devRoot/serial/by-id that leads to the device realDevice.
std::string StableName(const std::string& realDevice, const std::string& devRoot) {
    const std::string byId = devRoot + "/serial/by-id";
    std::string found;
    if (DIR* dir = opendir(byId.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string path = byId + "/" + entry->d_name;
            if (entry->d_name[0] != '.' && RealPath(path) == realDevice) {
                found = path;
                break;
            }
        }
        closedir(dir);
    }
    return found;
}

// How a user may be let in: the group that may open the device, which is dialout on Debian.
std::string AccessAdvice(const std::string& device) {
    struct stat st;
    const group* owner = stat(device.c_str(), &st) == 0 ? getgrgid(st.st_gid) : nullptr;
    const std::string name = owner && owner->gr_gid != 0 ? owner->gr_name : "dialout";
    return "You may not open it: join the group " + name + " (sudo usermod -aG " + name +
           " $USER), then log out and in again.";
}

std::string Describe(const std::string& device, bool linked, const std::string& sysfsRoot,
                     const std::string& devRoot) {
    if (device.empty()) {
        return "No serial port is present for this number.";
    }
    const std::string real = RealPath(device);
    if (real.empty()) {
        return device + (linked ? "\nNot present: the linked device is unplugged or gone."
                                : "\nNot present.");
    }
    std::string text = real;
    if (linked) {
        text += "\nPinned by a link to " + device;
    }
    const std::string usb = UsbDeviceDir(real.substr(real.rfind('/') + 1), sysfsRoot);
    if (!usb.empty()) {
        std::string name = Attribute(usb + "/manufacturer");
        const std::string product = Attribute(usb + "/product");
        name += name.empty() || product.empty() ? product : " " + product;
        text += "\nUSB: " + (name.empty() ? "unnamed adapter" : name);
        const std::string serial = Attribute(usb + "/serial");
        if (!serial.empty()) {
            text += "\nSerial number: " + serial;
        }
    }
    const std::string stable = StableName(real, devRoot);
    if (!stable.empty() && stable != device) {
        text += "\n" + stable;
    }
    if (access(real.c_str(), R_OK | W_OK) != 0 && errno == EACCES) {
        text += "\n" + AccessAdvice(real);
    }
    return text;
}

// Whether a process named ModemManager runs. Its name in procRoot/<pid>/comm is readable by
// every user, though its descriptors are not.
bool ModemManagerRuns(const std::string& procRoot) {
    bool found = false;
    if (DIR* dir = opendir(procRoot.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string pid = entry->d_name;
            if (!pid.empty() && std::all_of(pid.begin(), pid.end(), IsDigit) &&
                Attribute(procRoot + "/" + pid + "/comm") == "ModemManager") {
                found = true;
                break;
            }
        }
        closedir(dir);
    }
    return found;
}

// Whether ModemManager takes the tty device for a modem it may probe: udev's rules mark such a
// device ID_MM_CANDIDATE=1 in its data (udevRoot/data/c<major>:<minor>, the numbers from sysfs),
// unless a rule marks it ID_MM_DEVICE_IGNORE=1, as the README shows how.
bool ModemManagerCandidate(const std::string& device, const std::string& sysfsRoot,
                           const std::string& udevRoot) {
    const std::string real = RealPath(device);
    if (real.empty()) {
        return false;
    }
    const std::string number =
        Attribute(sysfsRoot + "/class/tty/" + real.substr(real.rfind('/') + 1) + "/dev");
    std::ifstream data(udevRoot + "/data/c" + number);
    bool candidate = false;
    bool ignored = false;
    for (std::string line; !number.empty() && std::getline(data, line);) {
        candidate = candidate || line == "E:ID_MM_CANDIDATE=1";
        ignored = ignored || line == "E:ID_MM_DEVICE_IGNORE=1";
    }
    return candidate && !ignored;
}

}  // namespace

std::string PortLinkDirectory() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (config && config[0] == '/') {
        base = config;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] == '\0') {
            const passwd* user = getpwuid(getuid());
            home = user ? user->pw_dir : "";
        }
        base = std::string(home) + "/.config";
    }
    return base + "/kavosen/ports";
}

std::vector<std::string> ListSerialPorts(const std::string& sysfsRoot, const std::string& devRoot) {
    const std::string classDir = sysfsRoot + "/class/tty";
    std::vector<std::string> names;
    if (DIR* dir = opendir(classDir.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            const std::string ttyDir = classDir + "/" + name;
            if (name[0] != '.' && Exists(ttyDir + "/device") && !HasNoUart(ttyDir) &&
                Exists(devRoot + "/" + name)) {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        const int groupA = PortGroup(a);
        const int groupB = PortGroup(b);
        return groupA != groupB ? groupA < groupB : NaturalLess(a, b);
    });
    std::vector<std::string> paths;
    for (const std::string& name : names) {
        paths.push_back(devRoot + "/" + name);
    }
    return paths;
}

std::string ResolvePortName(const std::string& name, const std::string& linkDir,
                            const std::string& sysfsRoot, const std::string& devRoot) {
    const unsigned number = ComNumber(name);
    if (number == 0) {
        return name;
    }
    if (std::optional<std::string> target = LinkTarget(number, linkDir)) {
        return *target;
    }
    const std::vector<std::string> ports = ListSerialPorts(sysfsRoot, devRoot);
    return number <= ports.size() ? ports[number - 1] : std::string();
}

std::string DevicePathOf(const std::string& name) {
    return ResolvePortName(name, PortLinkDirectory(), "/sys", "/dev");
}

std::vector<std::string> DescribePorts(const std::vector<std::string>& names,
                                       const std::string& linkDir, const std::string& sysfsRoot,
                                       const std::string& devRoot, const std::string& udevRoot,
                                       const std::string& procRoot) {
    std::optional<std::vector<std::string>> ports;  // listed once, if a name needs it
    std::optional<bool> modemManager;               // looked for once, if a port needs it
    std::vector<std::string> out;
    for (const std::string& name : names) {
        const unsigned number = ComNumber(kDevicePrefix + name);
        if (number == 0) {
            out.emplace_back();
            continue;
        }
        std::optional<std::string> device = LinkTarget(number, linkDir);
        const bool linked = device.has_value();
        if (!linked) {
            if (!ports) {
                ports = ListSerialPorts(sysfsRoot, devRoot);
            }
            device = number <= ports->size() ? (*ports)[number - 1] : std::string();
        }
        std::string text = Describe(*device, linked, sysfsRoot, devRoot);
        if (ModemManagerCandidate(*device, sysfsRoot, udevRoot)) {
            if (!modemManager) {
                modemManager = ModemManagerRuns(procRoot);
            }
            if (*modemManager) {
                text +=
                    "\nModemManager is running and may open this port to probe it; see the "
                    "README";
            }
        }
        out.push_back(text);
    }
    return out;
}

std::vector<std::string> DescribePortsHere(const std::vector<std::string>& names) {
    return DescribePorts(names, PortLinkDirectory(), "/sys", "/dev", "/run/udev", "/proc");
}
