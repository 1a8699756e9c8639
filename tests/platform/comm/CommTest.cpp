// The communications layer on real ptys: the test holds the master and plays the instrument.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm/Comm.h"
#include "platform/comm/LineRate.h"
#include "tests/platform/comm/Pty.h"

namespace {

HANDLE OpenLine(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                       nullptr);
}

// The capture's line settings at rate: 8 data bits, no parity, two stop bits, CTS flow, RTS.
DCB CaptureSettings(HANDLE h, DWORD rate) {
    DCB dcb = {};
    EXPECT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = rate;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.fParity = 0;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    return dcb;
}

void SetReadTimeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS timeouts = {};
    ASSERT_TRUE(GetCommTimeouts(h, &timeouts));
    timeouts.ReadIntervalTimeout = interval;
    timeouts.ReadTotalTimeoutMultiplier = multiplier;
    timeouts.ReadTotalTimeoutConstant = constant;
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
}

struct TimedRead {
    BOOL ok;
    DWORD count;
    long long ms;
};

TimedRead Read(HANDLE h, void* buffer, DWORD n) {
    DWORD count = 12345;
    Stopwatch watch;
    const BOOL ok = ReadFile(h, buffer, n, &count, nullptr);
    return {ok, count, watch.Ms()};
}

// Waits until the driver's receive queue holds count bytes.
void AwaitQueued(HANDLE h, DWORD count) {
    COMSTAT stat = {};
    DWORD errors = 0;
    for (int i = 0; i < 200 && stat.cbInQue < count; ++i) {
        ASSERT_TRUE(ClearCommError(h, &errors, &stat));
        SleepMs(5);
    }
    ASSERT_EQ(stat.cbInQue, count);
}

// A handle on a fresh pty, set up as a capture sets it up.
class CommLine : public ::testing::Test {
protected:
    void SetUp() override {
        h_ = OpenLine(pty_.Slave());
        ASSERT_NE(h_, INVALID_HANDLE_VALUE) << "error " << GetLastError();
        DCB dcb = CaptureSettings(h_, 115200);
        ASSERT_TRUE(SetCommState(h_, &dcb)) << "error " << GetLastError();
        SetReadTimeouts(h_, 0, 1, 500);
    }
    void TearDown() override {
        if (h_ != INVALID_HANDLE_VALUE) {
            CloseHandle(h_);
        }
    }

    Pty pty_;
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

// ---- Opening --------------------------------------------------------------------------------

TEST(CommOpen, RefusesWhatIsNotATtyAndLeavesNothingOpen) {
    char regular[] = "/tmp/kavosen-comm-XXXXXX";
    const int fd = mkstemp(regular);
    ASSERT_GE(fd, 0);
    close(fd);
    const int before = OpenDescriptorCount();
    struct Case {
        const char* path;
        DWORD error;
    } cases[] = {{regular, ERROR_BAD_UNIT},
                 {"/dev/null", ERROR_BAD_UNIT},
                 {"/tmp", ERROR_BAD_UNIT},
                 {"/dev/kavosen-no-such-device", ERROR_FILE_NOT_FOUND}};
    for (const Case& c : cases) {
        EXPECT_EQ(OpenLine(c.path), INVALID_HANDLE_VALUE) << c.path;
        EXPECT_EQ(GetLastError(), c.error) << c.path;
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
    unlink(regular);
}

TEST(CommOpen, IsExclusiveUntilClosed) {
    Pty pty;
    HANDLE first = OpenLine(pty.Slave());
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenLine(pty.Slave()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);

    // Root gets past TIOCEXCL, so a plain open can look at the flag.
    const int probe = geteuid() == 0 ? open(pty.Slave().c_str(), O_RDONLY | O_NOCTTY) : -1;
    int exclusive = -1;
    if (probe >= 0) {
        ASSERT_EQ(ioctl(probe, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 1);
    }
    EXPECT_TRUE(CloseHandle(first));
    if (probe >= 0) {
        ASSERT_EQ(ioctl(probe, TIOCGEXCL, &exclusive), 0);
        EXPECT_EQ(exclusive, 0) << "a closed port must not stay exclusive";
        close(probe);
    }
    HANDLE again = OpenLine(pty.Slave());
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST(CommOpen, ReportsPermissionDenied) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to become another user";
    }
    Pty pty;  // the slave is root's, mode 0620: closed to other users
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) {
            _exit(3);
        }
        const int before = OpenDescriptorCount();
        const bool refused = OpenLine(pty.Slave()) == INVALID_HANDLE_VALUE;
        _exit(!refused                                ? 1
              : GetLastError() != ERROR_ACCESS_DENIED ? 2
              : OpenDescriptorCount() != before       ? 4
                                                      : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: opened, 2: other error, 4: descriptor left open";
}

std::set<int> OpenDescriptors() {
    std::set<int> fds;
    for (int fd = 0; fd < 1024; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0) {
            fds.insert(fd);
        }
    }
    return fds;
}

TEST(CommOpen, DescriptorIsCloseOnExec) {
    Pty pty;
    const std::set<int> before = OpenDescriptors();
    HANDLE h = OpenLine(pty.Slave());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    int added = 0;
    for (int fd : OpenDescriptors()) {
        if (!before.count(fd)) {
            ++added;
            EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC) << "fd " << fd;
        }
    }
    EXPECT_EQ(added, 1);
    CloseHandle(h);
}

TEST(CommOpen, ClosedHandleNeverNamesALaterOpen) {
    Pty ptyA;
    Pty ptyB;
    HANDLE a = OpenLine(ptyA.Slave());
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(a));
    HANDLE b = OpenLine(ptyB.Slave());
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    SetReadTimeouts(b, 0, 0, 200);

    EXPECT_FALSE(CloseHandle(a));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DWORD count = 0;
    char byte = 0;
    EXPECT_FALSE(ReadFile(a, &byte, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_FALSE(CloseHandle(nullptr));

    ptyB.Send("b");
    const TimedRead r = Read(b, &byte, 1);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.count, 1u);
    EXPECT_EQ(byte, 'b');
    EXPECT_TRUE(CloseHandle(b));
}

// ---- Line settings --------------------------------------------------------------------------

TEST_F(CommLine, SetsACustomRateWhereTheDriverAllows) {
    DCB dcb = CaptureSettings(h_, 250000);
    ASSERT_TRUE(SetCommState(h_, &dcb)) << "error " << GetLastError();
    DWORD rate = 0;
    ASSERT_TRUE(GetLineRate(pty_.Master(), &rate));
    EXPECT_EQ(rate, 250000u);
    DCB got = {};
    ASSERT_TRUE(GetCommState(h_, &got));
    EXPECT_EQ(got.BaudRate, 250000u);
    EXPECT_EQ(got.ByteSize, 8);
    EXPECT_EQ(got.StopBits, TWOSTOPBITS);
    EXPECT_EQ(got.fOutxCtsFlow, 1u);

    // And back to a standard rate, which must replace the custom one.
    dcb.BaudRate = 9600;
    ASSERT_TRUE(SetCommState(h_, &dcb));
    termios t;
    ASSERT_EQ(tcgetattr(pty_.Master(), &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed_t{B9600});
}

TEST_F(CommLine, FailsWhenTheDriverDoesNotKeepASetting) {
    // A pty always keeps 8 data bits and no parity: it reports success and ignores the change.
    DCB sevenBits = CaptureSettings(h_, 9600);
    sevenBits.ByteSize = 7;
    EXPECT_FALSE(SetCommState(h_, &sevenBits));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    DCB evenParity = CaptureSettings(h_, 9600);
    evenParity.Parity = EVENPARITY;
    EXPECT_FALSE(SetCommState(h_, &evenParity));

    DCB oneAndAHalf = CaptureSettings(h_, 9600);
    oneAndAHalf.StopBits = 1;
    EXPECT_FALSE(SetCommState(h_, &oneAndAHalf));
    DCB noRate = CaptureSettings(h_, 0);
    EXPECT_FALSE(SetCommState(h_, &noRate));

    // The port stays usable with raw mode intact.
    termios t;
    ASSERT_EQ(tcgetattr(pty_.Master(), &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
}

// ---- Reading --------------------------------------------------------------------------------

TEST_F(CommLine, DeliversEveryByteValueAndEchoesNothing) {
    std::string sent;
    for (int v = 0; v < 256; ++v) {
        sent += static_cast<char>(v);
    }
    sent += std::string("\x11\x13\r\n\0\x1a\xff\x03\x04\x7f", 11);
    pty_.Send(sent);
    std::vector<char> got(sent.size());
    DWORD total = 0;
    while (total < got.size()) {
        const TimedRead r = Read(h_, got.data() + total, static_cast<DWORD>(got.size() - total));
        ASSERT_TRUE(r.ok);
        ASSERT_GT(r.count, 0u) << "bytes lost after " << total;
        total += r.count;
    }
    EXPECT_EQ(std::string(got.begin(), got.end()), sent);

    pollfd p = {pty_.Master(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 100), 0) << "something was written back to the line";
}

TEST_F(CommLine, PartialDataWaitsOutTheTotalTimeout) {
    std::thread sender([this] {
        SleepMs(100);
        pty_.Send("0123456789");
    });
    char buffer[256];
    const TimedRead r = Read(h_, buffer, sizeof buffer);
    sender.join();
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.count, 10u);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    EXPECT_GE(r.ms, 750) << "the gap after the bytes must not end the read";
    EXPECT_LT(r.ms, 1500);
}

TEST_F(CommLine, FullChunkReturnsAsSoonAsItIsThere) {
    const std::string chunk(256, 'x');
    std::thread sender([&] {
        SleepMs(100);
        pty_.Send(chunk);
    });
    char buffer[256];
    const TimedRead r = Read(h_, buffer, sizeof buffer);
    sender.join();
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.count, 256u);
    EXPECT_GE(r.ms, 90);
    EXPECT_LT(r.ms, 500);
}

TEST_F(CommLine, QueuedDataReturnsAtOnce) {
    pty_.Send(std::string(300, 'q'));
    AwaitQueued(h_, 300);
    char buffer[256];
    const TimedRead r = Read(h_, buffer, sizeof buffer);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.count, 256u);
    EXPECT_LT(r.ms, 100);
    AwaitQueued(h_, 44);
}

TEST_F(CommLine, IntervalTimeoutEndsAReadThatHasBytes) {
    SetReadTimeouts(h_, 50, 1, 500);
    std::thread sender([this] {
        SleepMs(100);
        pty_.Send("abc");
    });
    char buffer[256];
    const TimedRead r = Read(h_, buffer, sizeof buffer);
    sender.join();
    EXPECT_EQ(r.count, 3u);
    EXPECT_GE(r.ms, 140);
    EXPECT_LT(r.ms, 600);
}

void OnTestSignal(int) {}

TEST_F(CommLine, SignalsDoNotCutTheWaitShort) {
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = OnTestSignal;  // no SA_RESTART: every signal interrupts poll
    sigaction(SIGUSR1, &action, &previous);
    const pthread_t reader = pthread_self();
    std::atomic<bool> done{false};
    std::thread interrupter([&] {
        while (!done) {
            SleepMs(40);
            pthread_kill(reader, SIGUSR1);
        }
    });
    char buffer[256];
    const TimedRead r = Read(h_, buffer, sizeof buffer);
    done = true;
    interrupter.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.count, 0u);
    EXPECT_GE(r.ms, 750);
    EXPECT_LT(r.ms, 1500);
}

// ---- The layer's receive queue --------------------------------------------------------------

// count bytes in which every value occurs, in an order that no shift of a chunk reproduces.
std::string Pattern(std::size_t count, std::size_t from = 0) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t at = from + i;
        bytes[i] = static_cast<char>((at * 7 + at / 256) & 0xFF);
    }
    return bytes;
}

TEST_F(CommLine, BytesTheDeviceHadReadyAreKeptInOrderForTheNextReads) {
    const std::string sent = Pattern(4000);
    pty_.Send(sent);
    AwaitQueued(h_, 4000);
    std::string got;
    char buffer[4096];
    // The first read takes all 4000 from the device; the rest of them come from the queue.
    for (const DWORD n : {1u, 255u, 7u, 256u, 1000u, 3u, 256u}) {
        const TimedRead r = Read(h_, buffer, n);
        ASSERT_TRUE(r.ok);
        ASSERT_EQ(r.count, n);
        EXPECT_LT(r.ms, 100) << "a read of " << n << " bytes that were there waited";
        got.append(buffer, r.count);
        COMSTAT stat = {};
        DWORD errors = 0;
        ASSERT_TRUE(ClearCommError(h_, &errors, &stat));
        EXPECT_EQ(stat.cbInQue, 4000 - got.size()) << "queued bytes missing from the count";
    }
    // More than is queued: the queue's bytes, then the total time-out counted from the call.
    const DWORD rest = static_cast<DWORD>(4000 - got.size());
    const TimedRead r = Read(h_, buffer, rest + 100);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.count, rest);
    EXPECT_GE(r.ms, 500 + rest + 100 - 10);
    EXPECT_LT(r.ms, 2 * (500 + rest + 100));
    got.append(buffer, r.count);
    EXPECT_TRUE(got == sent) << "bytes out of order or changed";
}

TEST_F(CommLine, AReadServedInPartFromTheQueueEndsWhenTheRestArrives) {
    pty_.Send(Pattern(300));
    AwaitQueued(h_, 300);
    char buffer[256];
    ASSERT_EQ(Read(h_, buffer, 256).count, 256u);  // 44 stay queued
    std::thread sender([this] {
        SleepMs(100);
        pty_.Send(Pattern(212, 300));
    });
    const TimedRead r = Read(h_, buffer, 256);
    sender.join();
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.count, 256u);
    EXPECT_GE(r.ms, 90);
    EXPECT_LT(r.ms, 500);
    EXPECT_EQ(std::string(buffer, r.count), Pattern(256, 256));
}

TEST_F(CommLine, AStreamReadInSmallRequestsArrivesWhole) {
    const std::string sent = Pattern(300000);
    std::thread sender([&] { pty_.Send(sent); });
    std::string got;
    std::vector<char> buffer(1024);
    // Sizes that end a read at every position in the device's chunks.
    const DWORD sizes[] = {256, 1, 1000, 17, 256, 4096, 333};
    for (std::size_t i = 0; got.size() < sent.size(); ++i) {
        const DWORD n = std::min<DWORD>(sizes[i % 7], static_cast<DWORD>(sent.size() - got.size()));
        buffer.resize(n);
        const TimedRead r = Read(h_, buffer.data(), n);
        ASSERT_TRUE(r.ok);
        ASSERT_GT(r.count, 0u) << "bytes lost after " << got.size();
        got.append(buffer.data(), r.count);
    }
    sender.join();
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent) << "bytes out of order or changed";
}

TEST_F(CommLine, QueuedBytesAreReadAfterTheDeviceVanishesThenReadsFail) {
    const std::string sent = Pattern(300);
    pty_.Send(sent);
    AwaitQueued(h_, 300);
    char buffer[256];
    ASSERT_EQ(Read(h_, buffer, 10).count, 10u);  // 290 stay queued
    pty_.Hangup();
    const TimedRead full = Read(h_, buffer, 256);
    EXPECT_TRUE(full.ok);
    EXPECT_EQ(full.count, 256u);
    EXPECT_EQ(std::string(buffer, full.count), sent.substr(10, 256));
    const TimedRead last = Read(h_, buffer, 256);
    EXPECT_TRUE(last.ok);
    EXPECT_EQ(last.count, 34u);
    EXPECT_EQ(std::string(buffer, last.count), sent.substr(266));
    EXPECT_LT(last.ms, 500);
    const TimedRead after = Read(h_, buffer, 256);
    EXPECT_FALSE(after.ok);
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(after.count, 0u);
    EXPECT_LT(after.ms, 50);
}

TEST_F(CommLine, CloseDiscardsTheQueue) {
    pty_.Send(Pattern(300));
    AwaitQueued(h_, 300);
    char buffer[256];
    ASSERT_EQ(Read(h_, buffer, 1).count, 1u);  // 299 stay queued
    ASSERT_TRUE(CloseHandle(h_));
    h_ = OpenLine(pty_.Slave());
    ASSERT_NE(h_, INVALID_HANDLE_VALUE);
    SetReadTimeouts(h_, 0, 0, 200);
    COMSTAT stat = {};
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(h_, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    pty_.Send("z");
    const TimedRead r = Read(h_, buffer, 256);
    EXPECT_EQ(r.count, 1u);
    EXPECT_EQ(buffer[0], 'z');
}

// ---- A vanishing device ---------------------------------------------------------------------

TEST_F(CommLine, ReadsFailPromptlyOnceTheDeviceVanishes) {
    std::thread unplug([this] {
        SleepMs(100);
        pty_.Hangup();
    });
    char buffer[256];
    const TimedRead during = Read(h_, buffer, sizeof buffer);
    unplug.join();
    EXPECT_FALSE(during.ok);
    EXPECT_EQ(GetLastError(), ERROR_DEVICE_NOT_CONNECTED);
    EXPECT_LT(during.ms, 500);
    for (int i = 0; i < 3; ++i) {
        const TimedRead later = Read(h_, buffer, sizeof buffer);
        EXPECT_FALSE(later.ok);
        EXPECT_LT(later.ms, 50);
    }
    COMSTAT stat = {};
    DWORD errors = 0;
    EXPECT_FALSE(ClearCommError(h_, &errors, &stat));
    EXPECT_TRUE(CloseHandle(h_));
    h_ = INVALID_HANDLE_VALUE;
}

}  // namespace
