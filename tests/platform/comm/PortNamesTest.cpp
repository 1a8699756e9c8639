// COM port names: links, the default order on a sysfs and /dev tree of the test's own making,
// and names that are plain paths.
#include <gtest/gtest.h>
#include <stdlib.h>
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
        fs::create_directories(sys_ + "/class/tty");
        fs::create_directories(dev_);
        fs::create_directories(links_);
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
    std::string Resolve(const std::string& name) {
        return ResolvePortName(name, links_, sys_, dev_);
    }
    std::string Dev(const std::string& name) { return dev_ + "/" + name; }

    std::string root_, sys_, dev_, links_;
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
