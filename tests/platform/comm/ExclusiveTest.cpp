// Keeping the port to one opener: exclusive mode and flock, a second instance, and UUCP lock
// files, on real ptys. Root gets past TIOCEXCL, so as root (as the tests run here) these show
// that the other means hold. A program that holds the port open without any lock is refused in
// tests/faults, where the whole program meets it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
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

}  // namespace
