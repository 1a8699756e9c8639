// COM port names: links, the default order on a sysfs and /dev tree of the test's own making,
// and names that are plain paths.
#include <grp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/comm/Comm.h"
#include "platform/comm/PortNames.h"
#include "tools/Pty.h"

namespace fs = std::filesystem;

namespace {

// Sets an environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = getenv(name)) {
            old_ = old;
            had_ = true;
        }
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (had_) {
            setenv(name_.c_str(), old_.c_str(), 1);
        } else {
            unsetenv(name_.c_str());
        }
    }

private:
    std::string name_;
    std::string old_;
    bool had_ = false;
};

class PortNames : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kavosen-names-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        sys_ = root_ + "/sys";
        dev_ = root_ + "/dev";
        links_ = root_ + "/ports";
        udev_ = root_ + "/run/udev";
        proc_ = root_ + "/proc";
        fs::create_directories(sys_ + "/class/tty");
        fs::create_directories(dev_);
        fs::create_directories(links_);
        fs::create_directories(udev_ + "/data");
        fs::create_directories(proc_);
    }
    void TearDown() override { fs::remove_all(root_); }

    // A tty as sysfs shows it: device says a driver is behind it, type is a UART's type.
    void AddTty(const std::string& name, bool device, int type = -1, bool node = true) {
        const std::string dir = sys_ + "/class/tty/" + name;
        fs::create_directories(dir);
        if (device) {
            fs::create_directories(dir + "/device");
        }
        if (type >= 0) {
            std::ofstream(dir + "/type") << type << "\n";
        }
        if (node) {
            std::ofstream(dev_ + "/" + name);
        }
    }
    // A USB adapter as sysfs shows one: the tty's device is a port of an interface of the USB
    // device, which carries the strings the adapter reports, each ended by a newline.
    void AddUsbAdapter(const std::string& tty, const std::string& manufacturer,
                       const std::string& product, const std::string& serial) {
        const std::string usb = sys_ + "/devices/pci0000:00/0000:00:14.0/usb1/1-2";
        fs::create_directories(usb + "/1-2:1.0/" + tty);
        std::ofstream(usb + "/idVendor") << "0403\n";
        std::ofstream(usb + "/manufacturer", std::ios::binary) << manufacturer << "\n";
        std::ofstream(usb + "/product", std::ios::binary) << product << "\n";
        std::ofstream(usb + "/serial", std::ios::binary) << serial << "\n";
        AddTty(tty, false);
        fs::create_directory_symlink(usb + "/1-2:1.0/" + tty,
                                     sys_ + "/class/tty/" + tty + "/device");
    }
    std::string Resolve(const std::string& name) {
        return ResolvePortName(name, links_, sys_, dev_);
    }
    std::string Dev(const std::string& name) { return dev_ + "/" + name; }

    std::string root_, sys_, dev_, links_, udev_, proc_;
};

TEST_F(PortNames, DefaultOrderPutsUsbAdaptersFirstAndSkipsPortsWithoutAUart) {
    AddTty("ttyS10", true, 4);
    AddTty("ttyS2", true, 4);
    AddTty("ttyS1", true, 0);  // a legacy entry with no UART behind it
    AddTty("ttyS0", true, 4);
    AddTty("ttyACM0", true);
    AddTty("ttyUSB10", true);
    AddTty("ttyUSB2", true);
    AddTty("ttyUSB0", true);
    AddTty("ttyAMA0", true, 83);
    AddTty("tty0", false);               // a console: no device behind it
    AddTty("ttyUSB5", true, -1, false);  // gone from /dev
    const std::vector<std::string> expected = {Dev("ttyUSB0"), Dev("ttyUSB2"), Dev("ttyUSB10"),
                                               Dev("ttyACM0"), Dev("ttyAMA0"), Dev("ttyS0"),
                                               Dev("ttyS2"),   Dev("ttyS10")};
    EXPECT_EQ(ListSerialPorts(sys_, dev_), expected);
    EXPECT_EQ(Resolve("\\\\.\\COM1"), Dev("ttyUSB0"));
    EXPECT_EQ(Resolve("\\\\.\\COM8"), Dev("ttyS10"));
    EXPECT_EQ(Resolve("\\\\.\\com4"), Dev("ttyACM0"));
    EXPECT_EQ(Resolve("\\\\.\\COM9"), "") << "more COM numbers than ports";
}

TEST_F(PortNames, LinksTakePrecedenceWithoutShiftingTheNumbering) {
    AddTty("ttyUSB0", true);
    AddTty("ttyS0", true, 4);
    fs::create_symlink("/dev/serial/by-id/usb-Maker_Adapter-if00-port0", links_ + "/COM1");
    fs::create_symlink("pty-of-the-test", links_ + "/COM3");
    fs::create_symlink("/dev/kavosen-unplugged", links_ + "/COM4");
    std::ofstream(links_ + "/COM2");  // not a link: does not count

    EXPECT_EQ(Resolve("\\\\.\\COM1"), "/dev/serial/by-id/usb-Maker_Adapter-if00-port0");
    EXPECT_EQ(Resolve("\\\\.\\COM2"), Dev("ttyS0"));
    EXPECT_EQ(Resolve("\\\\.\\COM3"), links_ + "/pty-of-the-test");
    EXPECT_EQ(Resolve("\\\\.\\COM4"), "/dev/kavosen-unplugged")
        << "a broken link must not fall back to another port";
}

TEST_F(PortNames, OtherNamesAreOpenedAsTheyAre) {
    AddTty("ttyUSB0", true);
    for (const char* name :
         {"/dev/pts/3", "\\\\.\\COM0", "\\\\.\\COM01", "\\\\.\\COM1x", "\\\\.\\LPT1", "COM1", ""}) {
        EXPECT_EQ(Resolve(name), name);
    }
}

// What this user's list would say of names, as a user without root's rights sees it: as root,
// asked from a child that has given up root for nobody, since root may open any device.
std::vector<std::string> DescribeAsUser(const std::vector<std::string>& names,
                                        const std::string& links, const std::string& sys,
                                        const std::string& dev, const std::string& udev,
                                        const std::string& proc) {
    if (geteuid() != 0) {
        return DescribePorts(names, links, sys, dev, udev, proc);
    }
    int out[2];
    if (pipe(out) != 0) {
        return {};
    }
    const pid_t child = fork();
    if (child == 0) {
        close(out[0]);
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(1);
        }
        std::string text;
        for (const std::string& description : DescribePorts(names, links, sys, dev, udev, proc)) {
            text += description + '\0';
        }
        _exit(write(out[1], text.data(), text.size()) == ssize_t(text.size()) ? 0 : 1);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<size_t>(n));
    }
    close(out[0]);
    int status = 0;
    waitpid(child, &status, 0);
    std::vector<std::string> descriptions;
    for (size_t start = 0, end; (end = text.find('\0', start)) != std::string::npos;
         start = end + 1) {
        descriptions.push_back(text.substr(start, end - start));
    }
    return descriptions;
}

TEST_F(PortNames, DescriptionsNameTheDeviceItsAdapterAndWhatKeepsTheUserOut) {
    AddUsbAdapter("ttyUSB0", "FTDI", "FT232R USB UART", "A10K3XQZ");
    const std::string stable = dev_ + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A10K3XQZ-if00-port0";
    fs::create_directories(dev_ + "/serial/by-id");
    fs::create_symlink("../../ttyUSB0", stable);
    AddTty("ttyS0", true, 4);
    fs::create_symlink(stable, links_ + "/COM4");
    fs::create_symlink(dev_ + "/ttyUSB7", links_ + "/COM5");
    // Only its group may open the built-in port, as udev sets up a tty.
    const group* dialout = getgrnam("dialout");
    ASSERT_NE(dialout, nullptr);
    ASSERT_EQ(chown(Dev("ttyS0").c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(Dev("ttyS0").c_str(), 0660), 0);
    ASSERT_EQ(chmod(Dev("ttyUSB0").c_str(), 0666), 0);
    fs::permissions(root_, fs::perms::others_read | fs::perms::others_exec, fs::perm_options::add);

    const std::vector<std::string> got = DescribeAsUser(
        {"COM1", "COM2", "COM3", "COM4", "COM5", "9600"}, links_, sys_, dev_, udev_, proc_);
    const std::string adapter = "USB: FTDI FT232R USB UART\nSerial number: A10K3XQZ\n" + stable;
    ASSERT_EQ(got.size(), 6u);
    EXPECT_EQ(got[0], Dev("ttyUSB0") + "\n" + adapter);
    EXPECT_EQ(got[1], Dev("ttyS0") +
                          "\nYou may not open it: join the group dialout (sudo usermod -aG "
                          "dialout $USER), then log out and in again.");
    EXPECT_EQ(got[2], "No serial port is present for this number.");
    EXPECT_EQ(got[3], Dev("ttyUSB0") + "\nPinned by a link to " + stable + "\n" +
                          "USB: FTDI FT232R USB UART\nSerial number: A10K3XQZ");
    EXPECT_EQ(got[4], Dev("ttyUSB7") + "\nNot present: the linked device is unplugged or gone.");
    EXPECT_EQ(got[5], "") << "not a port name";
}

TEST_F(PortNames, DescriptionsWarnOfModemManagerWhereItMayProbe) {
    // Three ports as udev leaves them: one ModemManager takes for a modem to probe, one a rule
    // tells it to leave alone, one it does not look at.
    const char* const udevData[] = {
        "E:ID_BUS=usb\nE:ID_MM_CANDIDATE=1\n",
        "E:ID_MM_CANDIDATE=1\nE:ID_MM_DEVICE_IGNORE=1\n",
        "E:ID_BUS=usb\n",
    };
    for (int i = 0; i < 3; ++i) {
        const std::string name = "ttyACM" + std::to_string(i);
        AddTty(name, true);
        std::ofstream(sys_ + "/class/tty/" + name + "/dev") << "166:" << i << "\n";
        std::ofstream(udev_ + "/data/c166:" + std::to_string(i)) << udevData[i];
    }
    // COM4 is pinned to the first port, by a link in /dev as a user makes one.
    fs::create_symlink("ttyACM0", dev_ + "/instrument");
    fs::create_symlink(dev_ + "/instrument", links_ + "/COM4");
    auto warned = [&] {
        std::vector<bool> lines;
        for (const std::string& text :
             DescribePorts({"COM1", "COM2", "COM3", "COM4"}, links_, sys_, dev_, udev_, proc_)) {
            const std::string line =
                "\nModemManager is running and may open this port to probe it; see the README";
            lines.push_back(text.size() > line.size() &&
                            text.compare(text.size() - line.size(), line.size(), line) == 0);
        }
        return lines;
    };
    auto process = [&](const std::string& pid, const std::string& comm) {
        fs::create_directories(proc_ + "/" + pid);
        std::ofstream(proc_ + "/" + pid + "/comm") << comm << "\n";
    };

    process("1", "systemd");
    process("self", "ModemManager");  // not a process of its own
    process("311", "ModemManagerd");
    EXPECT_EQ(warned(), std::vector<bool>({false, false, false, false})) << "none runs";
    process("812", "ModemManager");
    EXPECT_EQ(warned(), std::vector<bool>({true, false, false, true}));
}

TEST(PortLinkDirectory, FollowsXdgConfigHomeWhenItIsAbsolute) {
    ScopedEnv home("HOME", "/home/someone");
    {
        ScopedEnv config("XDG_CONFIG_HOME", "/etc/xdg-of-someone");
        EXPECT_EQ(PortLinkDirectory(), "/etc/xdg-of-someone/kavosen/ports");
    }
    for (const char* ignored : {"", "relative/config"}) {
        ScopedEnv config("XDG_CONFIG_HOME", ignored);
        EXPECT_EQ(PortLinkDirectory(), "/home/someone/.config/kavosen/ports");
    }
    ScopedEnv config("XDG_CONFIG_HOME", nullptr);
    EXPECT_EQ(PortLinkDirectory(), "/home/someone/.config/kavosen/ports");
}

TEST_F(PortNames, CreateFileOpensTheLinkedPty) {
    ScopedEnv config("XDG_CONFIG_HOME", root_.c_str());
    fs::create_directories(root_ + "/kavosen/ports");
    Pty pty;
    fs::create_symlink(pty.Slave(), root_ + "/kavosen/ports/COM7");
    HANDLE h = CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    COMMTIMEOUTS timeouts = {0, 0, 500, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    pty.Send("via COM7");
    char buffer[8];
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &count, nullptr));
    EXPECT_EQ(std::string(buffer, count), "via COM7");
    EXPECT_TRUE(CloseHandle(h));

    EXPECT_EQ(CreateFileA("\\\\.\\COM200", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                          0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

}  // namespace

// A device chooses its own strings. Whatever they hold, each stays on its own line, nothing in one
// changes how another is drawn, and nothing in them is dropped unseen.
TEST_F(PortNames, DeviceStringsCannotDisguiseTheDevice) {
    const std::string mark = "\xEF\xBF\xBD";
    const std::string rlo = "\xE2\x80\xAE";  // U+202E, right-to-left override
    std::string manufacturer = "Acme" + rlo + "live";
    // Every other bidirectional control, the line and paragraph separators, and C0 and C1
    // controls (U+0085, next line, among them).
    const std::string hidden[] = {"\xE2\x80\xAA", "\xE2\x80\xAB", "\xE2\x80\xAC", "\xE2\x80\xAD",
                                  "\xE2\x81\xA6", "\xE2\x81\xA7", "\xE2\x81\xA8", "\xE2\x81\xA9",
                                  "\xE2\x80\x8E", "\xE2\x80\x8F", "\xD8\x9C",     "\xE2\x80\xA8",
                                  "\xE2\x80\xA9", "\r",           "\n",           "\t",
                                  "\x1B",         "\x7F",         "\xC2\x85",     "\xC2\x9F"};
    std::string product = "<b>Meter</b>";
    for (const std::string& c : hidden) {
        product += c;
    }
    product +=
        "\xFF\xC0\xAF\xED\xA0\x80!";  // not UTF-8: a stray byte, an overlong '/', a surrogate
    // 4 KB of a string: cut where a USB string descriptor would end. Characters, not bytes, count.
    std::string serial;
    for (int i = 0; i < 4096 / 2; ++i) {
        serial += "\xC3\xA9";  // é
    }
    AddUsbAdapter("ttyUSB0", manufacturer, product, serial);

    const std::vector<std::string> got = DescribePorts({"COM1"}, links_, sys_, dev_, udev_, proc_);
    ASSERT_EQ(got.size(), 1u);
    std::string longest;
    for (int i = 0; i < 126; ++i) {
        longest += "\xC3\xA9";
    }
    std::string marks;
    // One mark for each hidden character, and one for each of the six bytes that are not UTF-8.
    for (std::size_t i = 0; i < std::size(hidden) + 6; ++i) {
        marks += mark;
    }
    EXPECT_EQ(got[0], Dev("ttyUSB0") + "\nUSB: Acme" + mark + "live <b>Meter</b>" + marks +
                          "!\nSerial number: " + longest + "\xE2\x80\xA6");
}
