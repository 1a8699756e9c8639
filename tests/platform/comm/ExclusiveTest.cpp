// Keeping the port to one opener: exclusive mode and flock, other processes that hold the device
// open, and UUCP lock files, on real ptys. Root gets past TIOCEXCL, so as root (as the tests run
// here) these show that the other means hold.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <functional>
#include <string>

#include "platform/comm/Comm.h"
#include "tests/support/Process.h"
#include "tools/Pty.h"

namespace {

HANDLE OpenLine(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

// The UUCP lock file of a pty's slave: /var/lock/LCK..N for /dev/pts/N.
std::string LockFileOf(const Pty& pty) {
    return "/var/lock/LCK.." + pty.Slave().substr(pty.Slave().rfind('/') + 1);
}

// The PID a lock file names; 0 when there is none.
long LockHolder(const std::string& lockFile) {
    std::ifstream in(lockFile);
    long pid = 0;
    in >> pid;
    return pid;
}

// Another process on the machine: it runs hold, keeps what hold took until Release, then runs
// letGo and ends.
class OtherProcess {
public:
    OtherProcess(const std::function<bool()>& hold, const std::function<void()>& letGo) {
        int ready[2];
        int go[2];
        if (pipe2(ready, O_CLOEXEC) != 0 || pipe2(go, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe2";
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(ready[0]);
            close(go[1]);
            const char held = hold() ? 1 : 0;
            char c = 0;
            if (write(ready[1], &held, 1) == 1) {
                while (read(go[0], &c, 1) < 0 && errno == EINTR) {
                }
            }
            letGo();
            _exit(0);
        }
        close(ready[1]);
        close(go[0]);
        go_ = go[1];
        char held = 0;
        held_ = pid_ > 0 && read(ready[0], &held, 1) == 1 && held == 1;
        close(ready[0]);
    }
    ~OtherProcess() { Release(); }

    bool Held() const { return held_; }
    pid_t Pid() const { return pid_; }
    // Lets go and waits until the process has ended.
    void Release() {
        if (go_ >= 0) {
            close(go_);
            go_ = -1;
            waitpid(pid_, nullptr, 0);
        }
    }

private:
    pid_t pid_ = -1;
    int go_ = -1;
    bool held_ = false;
};

// Whether another opener is kept out by the lock, and whether it finds the tty in exclusive mode.
struct Taken {
    bool locked;
    int exclusive;
};

Taken LookFromOutside(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    Taken taken = {false, -1};
    if (fd >= 0) {
        taken.locked = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
        ioctl(fd, TIOCGEXCL, &taken.exclusive);
        close(fd);
    }
    return taken;
}

TEST(Exclusive, TheOpenPortIsLockedAndExclusiveAndHasItsLockFileUntilClosed) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to look at a tty in exclusive mode";
    }
    Pty pty;
    HANDLE h = OpenLine(pty.Slave());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    Taken taken = LookFromOutside(pty.Slave());
    EXPECT_TRUE(taken.locked);
    EXPECT_EQ(taken.exclusive, 1);
    EXPECT_EQ(LockHolder(LockFileOf(pty)), getpid());

    EXPECT_TRUE(CloseHandle(h));
    taken = LookFromOutside(pty.Slave());
    EXPECT_FALSE(taken.locked);
    EXPECT_EQ(taken.exclusive, 0) << "a closed port must not stay exclusive";
    EXPECT_EQ(access(LockFileOf(pty).c_str(), F_OK), -1) << "the lock file stayed";
}

TEST(Exclusive, ALockedPortIsBusy) {
    Pty pty;
    const int holder = open(pty.Slave().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const int before = OpenDescriptorCount();
    EXPECT_EQ(OpenLine(pty.Slave()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(OpenDescriptorCount(), before);
    close(holder);
}

TEST(Exclusive, APortThatAnotherProcessHoldsOpenWithoutALockIsBusy) {
    Pty pty;
    int fd = -1;
    OtherProcess holder(
        [&] {
            fd = open(pty.Slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            return fd >= 0;
        },
        [&] { close(fd); });
    ASSERT_TRUE(holder.Held());
    EXPECT_EQ(OpenLine(pty.Slave()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(LockHolder(LockFileOf(pty)), 0) << "a refused open left a lock file";

    // Once it has let go the port opens, though this process holds the pty's other side.
    holder.Release();
    HANDLE h = OpenLine(pty.Slave());
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    CloseHandle(h);
}

TEST(Exclusive, ASecondInstanceIsRefused) {
    Pty pty;
    HANDLE first = INVALID_HANDLE_VALUE;
    OtherProcess instance(
        [&] {
            first = OpenLine(pty.Slave());
            return first != INVALID_HANDLE_VALUE;
        },
        [&] { CloseHandle(first); });
    ASSERT_TRUE(instance.Held());
    EXPECT_EQ(LockHolder(LockFileOf(pty)), instance.Pid());
    EXPECT_EQ(OpenLine(pty.Slave()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(LockHolder(LockFileOf(pty)), instance.Pid()) << "the holder's lock file was touched";

    instance.Release();
    EXPECT_EQ(LockHolder(LockFileOf(pty)), 0);
    HANDLE second = OpenLine(pty.Slave());
    ASSERT_NE(second, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    // One port at a time, and the same one least of all.
    EXPECT_EQ(OpenLine(pty.Slave()), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(CloseHandle(second));
}

// Both formats terminal programs write: ten ASCII characters and a newline, and the older 4-byte
// binary int in the machine's byte order.
TEST(Exclusive, ALiveProcesssLockFileRefusesAndAStaleOneIsRemovedInEitherFormat) {
    for (const bool binary : {false, true}) {
        SCOPED_TRACE(binary ? "binary" : "ASCII");
        Pty pty;
        const std::string lockFile = LockFileOf(pty);
        OtherProcess locker([] { return true; }, [] {});
        ASSERT_TRUE(locker.Held());
        {
            std::ofstream out(lockFile, std::ios::binary);
            const int32_t pid = locker.Pid();
            if (binary) {
                out.write(reinterpret_cast<const char*>(&pid), sizeof pid);
            } else {
                out << std::string(10 - std::to_string(pid).size(), ' ') << pid << "\n";
            }
        }
        if (!std::ifstream(lockFile)) {
            GTEST_SKIP() << "cannot write " << lockFile;
        }
        EXPECT_EQ(OpenLine(pty.Slave()), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        EXPECT_EQ(access(lockFile.c_str(), F_OK), 0) << "the live holder's lock file was removed";

        // The locker ends without removing its lock file: stale now.
        locker.Release();
        HANDLE h = OpenLine(pty.Slave());
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        EXPECT_EQ(LockHolder(lockFile), getpid());
        EXPECT_TRUE(CloseHandle(h));
        EXPECT_EQ(access(lockFile.c_str(), F_OK), -1);
    }
}

TEST(Exclusive, ClosingAPortWhoseDeviceVanishedReleasesEverything) {
    Pty pty;
    const int before = OpenDescriptorCount();
    HANDLE h = OpenLine(pty.Slave());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const std::string lockFile = LockFileOf(pty);
    EXPECT_EQ(LockHolder(lockFile), getpid());
    pty.Hangup();
    DWORD count = 0;
    char byte = 0;
    EXPECT_FALSE(ReadFile(h, &byte, 1, &count, nullptr));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(access(lockFile.c_str(), F_OK), -1) << "the lock file stayed";
    EXPECT_EQ(OpenDescriptorCount(), before - 1) << "the pty's master, and nothing else, is gone";
}

}  // namespace
