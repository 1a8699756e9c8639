// The communications layer on real ptys: the test holds the master and plays the instrument.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm/Comm.h"
#include "tests/platform/comm/KernelSpeeds.h"
#include "tests/support/Process.h"
#include "tools/Pty.h"

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

void SetReadTimeouts(HANDLE h, DWORD multiplier, DWORD constant) {
    COMMTIMEOUTS timeouts = {};
    ASSERT_TRUE(GetCommTimeouts(h, &timeouts));
    timeouts.ReadTotalTimeoutMultiplier = multiplier;
    timeouts.ReadTotalTimeoutConstant = constant;
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
}

// The read system calls the calling thread has made (syscr in /proc/thread-self/io).
long long ReadCalls() {
    FILE* io = std::fopen("/proc/thread-self/io", "r");
    long long rchar = 0, wchar = 0, syscr = -1;
    if (io) {
        if (std::fscanf(io, "rchar: %lld wchar: %lld syscr: %lld", &rchar, &wchar, &syscr) != 3) {
            syscr = -1;
        }
        std::fclose(io);
    }
    return syscr;
}

struct TimedRead {
    BOOL ok;
    DWORD count;
    long long ms;
    long long reads;  // read system calls it made
};

TimedRead Read(HANDLE h, void* buffer, DWORD n) {
    DWORD count = 12345;
    const long long before = ReadCalls();
    Stopwatch watch;
    const BOOL ok = ReadFile(h, buffer, n, &count, nullptr);
    const long long ms = watch.Ms();
    return {ok, count, ms, ReadCalls() - before - 1};  // less the read of the count itself
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
        SetReadTimeouts(h_, 1, 500);
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

TEST(CommOpen, HandlesNameOnlyTheOpenPort) {
    Pty pty;
    HANDLE h = OpenLine(pty.Slave());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    ASSERT_TRUE(CloseHandle(h));

    // With no port open, the handle it had names nothing.
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    DWORD count = 0;
    char byte = 0;
    EXPECT_FALSE(ReadFile(h, &byte, 1, &count, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

// ---- Closing --------------------------------------------------------------------------------

TEST(CommClose, LeavesThePortAsFoundButForEcho) {
    Pty pty;
    // A terminal's settings, as a user's program left them: canonical input with echo, CR to
    // LF, XON/XOFF both ways, output processing, 9600 baud.
    termios before;
    ASSERT_EQ(tcgetattr(pty.Master(), &before), 0);
    before.c_iflag |= ICRNL | IXON | IXOFF;
    before.c_oflag |= OPOST | ONLCR;
    before.c_lflag |= ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN;
    before.c_cc[VMIN] = 1;
    before.c_cc[VTIME] = 0;
    cfsetspeed(&before, B9600);
    ASSERT_EQ(tcsetattr(pty.Master(), TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(pty.Master(), &before), 0);

    HANDLE h = OpenLine(pty.Slave());
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    DCB dcb = CaptureSettings(h, 230400);
    ASSERT_TRUE(SetCommState(h, &dcb)) << "error " << GetLastError();
    ASSERT_TRUE(CloseHandle(h));

    // Everything as found, but the flags that would send bytes to the instrument.
    termios after;
    ASSERT_EQ(tcgetattr(pty.Master(), &after), 0);
    EXPECT_EQ(after.c_iflag, before.c_iflag & ~IXOFF);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag & ~(ECHO | ECHONL));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(after.c_cc), NCCS),
              std::string(reinterpret_cast<char*>(before.c_cc), NCCS));
    EXPECT_EQ(cfgetispeed(&after), speed_t{B9600});
    EXPECT_EQ(cfgetospeed(&after), speed_t{B9600});

    // A reader that opens the port next waits for a line: its read would block (EAGAIN here),
    // where on a port left raw with VMIN 0 it returns 0 at once, as at an end of file. Nothing
    // it receives is echoed.
    const int fd = open(pty.Slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char buffer[64];
    EXPECT_EQ(read(fd, buffer, sizeof buffer), -1);
    EXPECT_EQ(errno, EAGAIN);
    ASSERT_TRUE(pty.Send("reading\r"));
    pollfd p = {fd, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    const ssize_t n = read(fd, buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0), "reading\n");
    p = {pty.Master(), POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 100), 0) << "the port echoed what it received";
    close(fd);
}

// ---- Line settings --------------------------------------------------------------------------

TEST_F(CommLine, RefusesValuesItDoesNotOffer) {
    std::vector<DCB> refused(8, CaptureSettings(h_, 9600));
    refused[0].ByteSize = 7;
    refused[1].Parity = 2;  // even
    refused[2].fParity = 1;
    refused[3].StopBits = 1;  // one and a half
    refused[4].BaudRate = 250000;
    refused[5].BaudRate = 0;
    refused[6].fOutxCtsFlow = 0;
    refused[7].fRtsControl = RTS_CONTROL_DISABLE;
    for (std::size_t i = 0; i < refused.size(); ++i) {
        EXPECT_FALSE(SetCommState(h_, &refused[i])) << "case " << i;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << "case " << i;
    }
    COMMTIMEOUTS interval = {50, 1, 500, 1, 500};
    EXPECT_FALSE(SetCommTimeouts(h_, &interval));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // The port stays as it was: raw, at the rate the fixture set.
    termios t;
    ASSERT_EQ(tcgetattr(pty_.Master(), &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
    EXPECT_EQ(cfgetospeed(&t), speed_t{B115200});
}

TEST_F(CommLine, SetsBothSpeedsOverALeftoverInputSpeed) {
    // Another program left the input at 9600 (a pty master's termios are its slave's).
    termios t;
    ASSERT_EQ(tcgetattr(pty_.Master(), &t), 0);
    t.c_cflag = (t.c_cflag & ~CIBAUD) | (B9600 << 16);
    ASSERT_EQ(tcsetattr(pty_.Master(), TCSANOW, &t), 0);
    unsigned input = 0;
    unsigned output = 0;
    ASSERT_TRUE(KernelSpeeds(pty_.Master(), &input, &output));
    ASSERT_EQ(input, 9600u);

    DCB dcb = CaptureSettings(h_, 230400);
    ASSERT_TRUE(SetCommState(h_, &dcb)) << "error " << GetLastError();
    ASSERT_TRUE(KernelSpeeds(pty_.Master(), &input, &output));
    EXPECT_EQ(input, 230400u);
    EXPECT_EQ(output, 230400u);
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
    // One read finds nothing yet, one takes the bytes once poll tells of them; the silence after
    // them needs none.
    EXPECT_EQ(r.reads, 2);
}

TEST_F(CommLine, AReadReturnsOnceItsBytesAreThere) {
    SetReadTimeouts(h_, 0, 3600000);  // an hour: only the bytes can end this read
    const std::string chunk(256, 'x');
    std::thread sender([&] {
        SleepMs(100);
        pty_.Send(chunk.substr(0, 100));
        SleepMs(100);
        pty_.Send(chunk.substr(100));
    });
    char buffer[256];
    const TimedRead r = Read(h_, buffer, sizeof buffer);
    sender.join();
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.count, 256u);
    EXPECT_GE(r.ms, 190);
}

TEST_F(CommLine, AReadTakesWhatItAsksAndLeavesTheRestQueued) {
    pty_.Send(std::string(300, 'q'));
    AwaitQueued(h_, 300);
    char buffer[256];
    const TimedRead r = Read(h_, buffer, sizeof buffer);
    EXPECT_TRUE(r.ok);
    EXPECT_EQ(r.count, 256u);
    AwaitQueued(h_, 44);
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
}

}  // namespace
