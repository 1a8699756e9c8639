#include "tests/vm/Drivers.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/comm/PortNames.h"
#include "tests/support/Process.h"
#include "tests/support/Wait.h"

extern char** environ;

const Driver kCdcAcm = {"cdc_acm", "/dev/ttyACM0", "/dev/ttyGS0", Unplug::kGadget,
                        230400,    nullptr,        nullptr};
const Driver kFtdiSio = {"ftdi_sio", "/dev/ttyUSB0", "kavosen.ftdi", Unplug::kAdapter,
                         230400,     "ftdi",         "rtscts"};
// A PC's UART runs from a 1.8432 MHz clock: 115200 is its fastest rate.
const Driver kSerial8250 = {"serial8250", "/dev/ttyS1", "kavosen.uart", Unplug::kNone,
                            115200,       nullptr,      nullptr};
// The played chips, in the order tests/vm/init plugs them in after the FTDI adapter. The ch341
// driver of this kernel has no hardware flow control: it keeps crtscts in the tty's settings
// but never tells the chip.
const Driver kCh341 = {"ch341",       "/dev/ttyUSB1", "/run/kavosen-chips/ch341/line",
                       Unplug::kChip, 230400,         "/run/kavosen-chips/ch341",
                       "none"};
const Driver kCp210x = {"cp210x",      "/dev/ttyUSB2", "/run/kavosen-chips/cp210x/line",
                        Unplug::kChip, 230400,         "/run/kavosen-chips/cp210x",
                        "rtscts"};
const Driver kPl2303 = {"pl2303",      "/dev/ttyUSB3", "/run/kavosen-chips/pl2303/line",
                        Unplug::kChip, 230400,         "/run/kavosen-chips/pl2303",
                        "rtscts"};

namespace {

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// The node of the virtio-serial port called name.
std::string VirtioPort(const std::string& name) {
    const std::string classDir = "/sys/class/virtio-ports";
    std::string found;
    if (DIR* dir = opendir(classDir.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            std::string portName;
            std::getline(std::ifstream(classDir + "/" + entry->d_name + "/name"), portName);
            if (portName == name) {
                found = std::string("/dev/") + entry->d_name;
            }
        }
        closedir(dir);
    }
    return found;
}

// Starts argv[0] (found on PATH) with this process's environment; its standard input is in
// when that is not -1. The process id, or -1.
pid_t Start(const std::vector<std::string>& args, int in = -1) {
    std::vector<char*> argv;
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (in >= 0) {
        posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
    }
    pid_t pid = -1;
    const int err = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
        ADD_FAILURE() << "cannot start " << args[0] << ": " << std::strerror(err);
        return -1;
    }
    return pid;
}

// Runs a command to its end while the window's events run; true when it succeeded.
bool Run(const std::vector<std::string>& args) {
    const pid_t pid = Start(args);
    int status = -1;
    const bool ended =
        pid > 0 && WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 60000);
    EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << args[0] << " " << args[1] << " failed";
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Asks the host for something on the control port and returns its answer.
std::string AskHost(const std::string& request) {
    const int fd = open(VirtioPort("kavosen.control").c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ADD_FAILURE() << "no control port";
        return "";
    }
    const std::string line = request + "\n";
    std::string answer;
    if (write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size())) {
        WaitUntil(
            [&] {
                char c;
                while (read(fd, &c, 1) == 1) {
                    if (c == '\n') {
                        return true;
                    }
                    answer += c;
                }
                return false;
            },
            60000);
    }
    close(fd);
    return answer;
}

// The first line of a file, or "".
std::string FirstLine(const std::string& path) {
    std::string line;
    std::getline(std::ifstream(path), line);
    return line;
}

// Binds a played chip's gadget to the controller udc, or unbinds it with "".
void BindChip(const Driver& driver, const std::string& udc) {
    const std::string file =
        std::string("/sys/kernel/config/usb_gadget/kavosen-") + driver.name + "/UDC";
    std::ofstream out(file);
    out << udc << "\n";
    out.close();
    EXPECT_TRUE(out) << (udc.empty() ? "cannot unbind " : "cannot bind ") << file;
}

}  // namespace

std::map<std::string, std::string> ChipState(const Driver& driver) {
    std::map<std::string, std::string> state;
    if (!driver.chip) {
        return state;
    }
    std::stringstream in;
    if (driver.chip[0] == '/') {
        in << std::ifstream(std::string(driver.chip) + "/state").rdbuf();
    } else {
        in << AskHost(std::string("told ") + driver.chip);
    }
    std::string key;
    std::string value;
    while (in >> key >> value) {
        state[key] = value;
    }
    return state;
}

FarEnd::FarEnd(const Driver& driver) : driver_(driver) {
    Open();
}

FarEnd::~FarEnd() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void FarEnd::Open() {
    const bool tty = driver_.farEnd[0] == '/';
    const std::string path = tty ? driver_.farEnd : VirtioPort(driver_.farEnd);
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd_, 0) << "cannot open the far end " << driver_.farEnd;
    if (tty) {
        // The gadget's tty turns LF into CR LF and echoes by default: the instrument sends
        // bytes as they are, and never sends back what it receives.
        termios t;
        ASSERT_EQ(tcgetattr(fd_, &t), 0);
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        ASSERT_EQ(tcsetattr(fd_, TCSANOW, &t), 0);
    }
}

void FarEnd::Send(const std::string& bytes, int rate) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    const std::size_t step = std::max(1, rate / 11 / 100);
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = write(fd_, bytes.data() + sent, std::min(step, bytes.size() - sent));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            // A line nobody reads any more holds its sender back for good: give up then.
            pollfd p = {fd_, POLLOUT, 0};
            if (errno == EAGAIN && poll(&p, 1, 20000) != 1) {
                return;
            }
            continue;
        }
        if (n <= 0) {
            return;  // the line is gone
        }
        sent += static_cast<std::size_t>(n);
        std::this_thread::sleep_until(
            start + std::chrono::microseconds(static_cast<long long>(sent) * 11000000 / rate));
    }
}

std::string FarEnd::Receive(int quietMs) {
    return ReadUntilQuiet(fd_, quietMs);
}

void FarEnd::Unplug() {
    switch (driver_.unplug) {
        case Unplug::kNone:
            FAIL() << driver_.name << " cannot be unplugged";
        case Unplug::kGadget:
            // The gadget's module waits for its tty to close before it goes.
            close(fd_);
            fd_ = -1;
            Run({"rmmod", "g_serial"});
            break;
        case Unplug::kAdapter:
            EXPECT_EQ(AskHost("unplug ftdi"), "unplugged ftdi");
            break;
        case Unplug::kChip:
            // The chip stays, and so does its pty: only the cable goes.
            BindChip(driver_, "");
            break;
    }
    EXPECT_TRUE(WaitUntil([&] { return !Exists(driver_.device); }, 20000)) << driver_.device;
}

void FarEnd::Plug() {
    if (driver_.unplug == Unplug::kGadget) {
        Run({"modprobe", "g_serial"});
    } else if (driver_.unplug == Unplug::kChip) {
        BindChip(driver_, FirstLine(std::string(driver_.chip) + "/udc"));
    } else {
        EXPECT_EQ(AskHost("plug ftdi"), "plugged ftdi");
    }
    const bool farTty = driver_.farEnd[0] == '/';
    const bool back = WaitUntil(
        [&] {
            return Exists(driver_.device) && (!farTty || Exists(driver_.farEnd)) &&
                   !StableNameOf(driver_.device).empty();
        },
        60000);
    ASSERT_TRUE(back) << driver_.device << (Exists(driver_.device) ? " is back" : " is missing")
                      << ", its name in /dev/serial/by-id "
                      << (StableNameOf(driver_.device).empty() ? "is missing" : "is back");
    if (fd_ < 0) {
        Open();
    }
}

double WorkerCpuSeconds() {
    const std::string name = FirstLine("/proc/self/comm");
    long ticks = 0;
    DIR* dir = opendir("/proc/self/task");
    while (const dirent* entry = readdir(dir)) {
        const std::string task = std::string("/proc/self/task/") + entry->d_name;
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == getpid() ||
            FirstLine(task + "/comm") != name) {
            continue;
        }
        // The fields after the name in parentheses start with the third; utime is the 14th.
        const std::string stat = FirstLine(task + "/stat");
        std::istringstream fields(stat.substr(stat.rfind(')') + 2));
        std::string skipped;
        for (int field = 3; field < 14; ++field) {
            fields >> skipped;
        }
        long utime = 0;
        long stime = 0;
        fields >> utime >> stime;
        ticks += utime + stime;
    }
    closedir(dir);
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string ReadUntilQuiet(int fd, int quietMs) {
    std::string got;
    char buffer[4096];
    pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, quietMs) == 1 && (p.revents & POLLIN)) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
}

int DescriptorOf(const std::string& device) {
    int found = -1;
    ForEachDescriptor(0, [&](int fd, const std::string& target) {
        if (target == device || target == device + " (deleted)") {
            found = fd;
        }
    });
    return found;
}

int ComOf(const std::string& device) {
    for (int n = 1; n <= 31; ++n) {
        if (DevicePathOf("\\\\.\\COM" + std::to_string(n)) == device) {
            return n;
        }
    }
    return 0;
}

std::string StableNameOf(const std::string& device) {
    const std::string byId = "/dev/serial/by-id";
    std::string found;
    if (DIR* dir = opendir(byId.c_str())) {
        while (const dirent* entry = readdir(dir)) {
            const std::string link = byId + "/" + entry->d_name;
            char* target = realpath(link.c_str(), nullptr);
            if (entry->d_name[0] != '.' && target && target == device) {
                found = link;
            }
            std::free(target);
        }
        closedir(dir);
    }
    return found;
}

CpuHogs::CpuHogs(int count) {
    for (int i = 0; i < count; ++i) {
        pids_.push_back(Start({"sh", "-c", "while :; do :; done"}));
    }
}

CpuHogs::~CpuHogs() {
    for (const pid_t pid : pids_) {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
}
