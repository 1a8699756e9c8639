// Why a refused port was refused, as the line under "COM open error" tells it: each reason on a
// real node that refuses for that reason.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>

#include "port/Port.h"
#include "tests/support/Files.h"
#include "tests/support/Instrument.h"
#include "tests/support/Process.h"
#include "tools/Pty.h"

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNogroup = 65534;

// The reason OpenPort gives for path, or "opened" when it opens.
std::string ReasonFor(const std::string& path, int rate = 115200) {
    if (OpenPort(path.c_str(), rate, 8, 0, 1) == 1) {
        ClosePort();
        return "opened";
    }
    return OpenPortReason();
}

// What fn returns when run by a child process that has become nobody, in no group but its own:
// a user as the program's users are, whom the node's permissions apply to (root passes them).
std::string AsNobody(const std::function<std::string()>& fn) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return "no pipe";
    }
    const pid_t child = fork();
    if (child == 0) {
        close(pipeFds[0]);
        const std::string text =
            setgroups(0, nullptr) == 0 && setgid(kNogroup) == 0 && setuid(kNobody) == 0
                ? fn()
                : "could not become nobody";
        const ssize_t written = write(pipeFds[1], text.data(), text.size());
        _exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    close(pipeFds[1]);
    std::string text;
    char buffer[512];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return text;
}

// A child process named "sleep" that lives until the object goes; holding path open when one is
// given, the way a terminal left open on the port holds it.
class Sleeper {
public:
    explicit Sleeper(const std::string& path = std::string()) {
        pid_ = fork();
        if (pid_ == 0) {
            if (!path.empty() && open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) < 0) {
                _exit(1);
            }
            execlp("sleep", "sleep", "60", static_cast<char*>(nullptr));
            _exit(1);
        }
        // Ready once the child is sleep, with the port open since before the exec.
        for (int i = 0; i < 500 && ReadFile("/proc/" + std::to_string(pid_) + "/comm") != "sleep\n";
             ++i) {
            SleepMs(10);
        }
    }
    ~Sleeper() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;

    pid_t Pid() const { return pid_; }

private:
    pid_t pid_ = -1;
};

TEST(OpenReason, NoDeviceAtThatName) {
    ScopedConfigHome config;
    ASSERT_TRUE(config.Link(6, "/dev/ttyKAVOSEN-unplugged"));
    EXPECT_EQ(ReasonFor("\\\\.\\COM6"),
              "There is no device /dev/ttyKAVOSEN-unplugged: is the adapter plugged in?");
    // No link, and far fewer serial ports than 31 on any machine.
    EXPECT_EQ(ReasonFor("\\\\.\\COM31"),
              "No serial port is present as COM31: is the adapter plugged in?");
}

TEST(OpenReason, PermissionDeniedNamesTheGroupToJoin) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to give a node to a group and to become another user";
    }
    const group* dialout = getgrnam("dialout");
    if (!dialout) {
        GTEST_SKIP() << "this system has no dialout group";
    }
    // As a USB adapter's node is: root's, read and write for the dialout group.
    Pty adapter;
    ASSERT_EQ(chown(adapter.Slave().c_str(), 0, dialout->gr_gid), 0);
    ASSERT_EQ(chmod(adapter.Slave().c_str(), 0660), 0);
    // As a pty slave is: its owner's, the tty group may only write.
    Pty terminal;
    const std::string reasons =
        AsNobody([&] { return ReasonFor(adapter.Slave()) + "\n" + ReasonFor(terminal.Slave()); });
    EXPECT_EQ(reasons, "Permission denied for " + adapter.Slave() +
                           ": it belongs to group dialout, which you are not in. Join it with "
                           "\"sudo usermod -aG dialout nobody\", then log out and in again.\n"
                           "Permission denied for " +
                           terminal.Slave() + ": only root may open it.");
}

TEST(OpenReason, BusyNamesTheHolder) {
    Pty pty;
    {
        Sleeper holder(pty.Slave());
        EXPECT_EQ(ReasonFor(pty.Slave()), pty.Slave() + " is in use by sleep (process " +
                                              std::to_string(holder.Pid()) +
                                              "): end it, or close the port there.");
    }

    // A terminal program's lock file, naming a process that runs but does not hold the port.
    const std::string lock = "/var/lock/LCK.." + pty.Slave().substr(pty.Slave().rfind('/') + 1);
    Sleeper locker;
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(locker.Pid()));
    WriteFile(lock, text);
    if (ReadFile(lock) != text) {
        GTEST_SKIP() << "cannot write " << lock;
    }
    EXPECT_EQ(ReasonFor(pty.Slave()), pty.Slave() + " is locked by " + lock +
                                          " of sleep (process " + std::to_string(locker.Pid()) +
                                          "): end it, or close the port there.");
    unlink(lock.c_str());
}

TEST(OpenReason, NotASerialPortAndRefusedSettings) {
    ScopedConfigHome config;
    const std::string notes = config.Path() + "/notes.txt";
    WriteFile(notes, "not a port");
    EXPECT_EQ(ReasonFor(notes), notes + " is not a serial port.");

    Pty pty;
    EXPECT_EQ(ReasonFor(pty.Slave(), 250000),
              "The driver of " + pty.Slave() +
                  " refused the line settings (250000 baud, 8 data bits, no parity): choose "
                  "another rate or port.");
    EXPECT_EQ(ReasonFor(pty.Slave()), "opened");
}

}  // namespace
