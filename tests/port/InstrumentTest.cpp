// The simulated instrument end to end, read through the serial-port module as the capture
// reads it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "port/Port.h"
#include "tests/platform/comm/Pty.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

// A running kavosen-instrument with its standard input and output on pipes.
class Instrument {
public:
    Instrument(const std::vector<std::string>& args, const std::string& configHome) {
        std::vector<std::string> env = {"XDG_CONFIG_HOME=" + configHome};
        for (char** e = environ; *e; ++e) {
            if (std::string(*e).rfind("XDG_CONFIG_HOME=", 0) != 0) {
                env.push_back(*e);
            }
        }
        std::vector<std::string> argv = {KAVOSEN_INSTRUMENT};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> argp;
        std::vector<char*> envp;
        for (std::string& a : argv) {
            argp.push_back(&a[0]);
        }
        argp.push_back(nullptr);
        for (std::string& e : env) {
            envp.push_back(&e[0]);
        }
        envp.push_back(nullptr);

        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            execve(argp[0], argp.data(), envp.data());
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
        const std::string line = ReadLine(5000);
        if (line.rfind("READY ", 0) == 0) {
            slave_ = line.substr(6);
        } else {
            ADD_FAILURE() << "the instrument did not say READY: " << line;
        }
    }

    ~Instrument() {
        if (pid_ > 0) {
            Signal(SIGKILL);
        }
        close(stdout_);
    }

    const std::string& Slave() const { return slave_; }

    // Closes its standard input, which ends it, and returns its exit status.
    int Finish() {
        close(stdin_);
        stdin_ = -1;
        return Wait();
    }

    int Signal(int signal) {
        kill(pid_, signal);
        return Wait();
    }

private:
    std::string ReadLine(int timeoutMs) {
        std::string line;
        char c = 0;
        pollfd p = {stdout_, POLLIN, 0};
        while (poll(&p, 1, timeoutMs) == 1 && read(stdout_, &c, 1) == 1 && c != '\n') {
            line += c;
        }
        return line;
    }

    int Wait() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        if (stdin_ >= 0) {
            close(stdin_);
            stdin_ = -1;
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::string slave_;
};

// A configuration folder of the test's own, which this process uses too.
class InstrumentLine : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/kavosen-instrument-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        config_ = pattern;
        if (const char* old = getenv("XDG_CONFIG_HOME")) {
            oldConfig_ = old;
        }
        setenv("XDG_CONFIG_HOME", config_.c_str(), 1);
    }
    void TearDown() override {
        ClosePort();
        if (oldConfig_.empty()) {
            unsetenv("XDG_CONFIG_HOME");
        } else {
            setenv("XDG_CONFIG_HOME", oldConfig_.c_str(), 1);
        }
        fs::remove_all(config_);
    }

    std::string Link(int n) const { return config_ + "/kavosen/ports/COM" + std::to_string(n); }

    // Reads until the line falls silent after data (one empty read) or a read fails; *ms is
    // the time from the first full chunk to the last, as a partial chunk waits out its
    // time-out.
    std::string Capture(long long* ms = nullptr) {
        std::string got;
        BYTE chunk[256];
        Stopwatch watch;
        long long first = -1;
        long long last = -1;
        for (int idle = 0; idle < 8;) {
            const int n = ReadPort(chunk, sizeof chunk);
            if (n < 0 || (n == 0 && !got.empty())) {
                break;
            }
            if (n == 0) {
                ++idle;
                continue;
            }
            if (n == sizeof chunk) {
                first = first < 0 ? watch.Ms() : first;
                last = watch.Ms();
            }
            got.append(reinterpret_cast<char*>(chunk), static_cast<std::size_t>(n));
        }
        if (ms) {
            *ms = last - first;
        }
        return got;
    }

    std::string config_;
    std::string oldConfig_;
};

TEST_F(InstrumentLine, SendsAFileByteForByteThroughItsComLink) {
    std::string sent;
    for (int i = 0; i < 4096; ++i) {
        sent += static_cast<char>((i * 7 + i / 256) & 0xFF);
    }
    const std::string file = config_ + "/sample.bin";
    std::ofstream(file, std::ios::binary) << sent;

    Instrument instrument({"--file", file, "--flat", "--end", "ctrlz", "--wait-open", "--com", "5"},
                          config_);
    ASSERT_EQ(fs::read_symlink(Link(5)).string(), instrument.Slave());
    ASSERT_EQ(OpenPort("\\\\.\\COM5", 230400, 8, 0, 1), 1);
    EXPECT_EQ(Capture(), sent + '\x1a');
    ClosePort();
    EXPECT_EQ(instrument.Finish(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(Link(5)))) << "the link must go with it";
}

TEST_F(InstrumentLine, RemovesItsLinkWhenTerminated) {
    Instrument instrument({"--text", "x", "--com", "6"}, config_);
    ASSERT_TRUE(fs::is_symlink(Link(6)));
    EXPECT_EQ(instrument.Signal(SIGTERM), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(Link(6))));
}

TEST_F(InstrumentLine, PacesBytesAtTheLineRate) {
    // 5000 bytes at 57600 baud, 11 bits a byte, 5236 bytes a second: from the first full
    // chunk of 256 bytes to the 19th, 4608 bytes take about 880 ms on the line.
    Instrument paced({"--random", "5000", "--seed", "7", "--baud", "57600", "--wait-open"},
                     config_);
    ASSERT_EQ(OpenPort(paced.Slave().c_str(), 57600, 8, 0, 1), 1);
    long long ms = 0;
    const std::string got = Capture(&ms);
    ClosePort();
    EXPECT_EQ(got.size(), 5000u);
    EXPECT_EQ(std::set<char>(got.begin(), got.end()).size(), 256u) << "every byte value";
    EXPECT_GT(ms, 600);
    EXPECT_LT(ms, 1800);

    Instrument flat({"--random", "5000", "--seed", "7", "--flat", "--wait-open"}, config_);
    ASSERT_EQ(OpenPort(flat.Slave().c_str(), 57600, 8, 0, 1), 1);
    EXPECT_EQ(Capture(&ms), got) << "the same seed gives the same bytes";
    EXPECT_LT(ms, 300);
}

TEST_F(InstrumentLine, PausesAreSilenceOnTheLine) {
    Instrument instrument({"--text", std::string(300, 'p'), "--flat", "--pause-every", "100",
                           "--pause", "1000", "--wait-open"},
                          config_);
    ASSERT_EQ(OpenPort(instrument.Slave().c_str(), 115200, 8, 0, 1), 1);
    BYTE chunk[256];
    EXPECT_EQ(ReadPort(chunk, 256), 100);
}

TEST_F(InstrumentLine, HangupAfterMakesTheDeviceVanish) {
    // The delay lets the port be set up before the device goes.
    Instrument instrument(
        {"--random", "1000", "--flat", "--wait-open", "--delay", "100", "--hangup-after", "300"},
        config_);
    ASSERT_EQ(OpenPort(instrument.Slave().c_str(), 115200, 8, 0, 1), 1);
    BYTE chunk[256];
    int total = 0;
    int n = 0;
    Stopwatch watch;
    while ((n = ReadPort(chunk, 256)) >= 0 && watch.Ms() < 5000) {
        total += n;
    }
    EXPECT_EQ(n, READ_DEVICE_GONE);
    EXPECT_LE(total, 300);
    EXPECT_EQ(ReadPort(chunk, 256), READ_DEVICE_GONE);
}

TEST_F(InstrumentLine, DrainEndsAgainstASenderThatNeverStops) {
    Instrument instrument({"--random", "4096", "--flat", "--forever", "--wait-open"}, config_);
    ASSERT_EQ(OpenPort(instrument.Slave().c_str(), 230400, 8, 0, 1), 1);
    SleepMs(100);
    Stopwatch watch;
    DrainPort();
    EXPECT_LT(watch.Ms(), 2000);
    BYTE chunk[256];
    EXPECT_EQ(ReadPort(chunk, 256), 256);
}

TEST_F(InstrumentLine, RepeatSendsAgainOnEveryOpen) {
    Instrument instrument({"--text", "hello", "--flat", "--repeat"}, config_);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(OpenPort(instrument.Slave().c_str(), 115200, 8, 0, 1), 1);
        EXPECT_EQ(Capture(), "hello") << "open " << i;
        ClosePort();
    }
    EXPECT_EQ(instrument.Finish(), 0);
}

}  // namespace
