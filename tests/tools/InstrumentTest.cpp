// The simulated instrument as a program: what a reader of its pty gets, as a serial port's
// reader would, through its COM link, paced or flat, with pauses, a hang-up and repeats.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <string>

#include "tests/support/Files.h"
#include "tests/support/Instrument.h"
#include "tests/support/Process.h"

namespace fs = std::filesystem;

namespace {

// A reader of the instrument's pty. The instrument set the slave raw, so what it sent arrives
// untranslated.
class Reader {
public:
    explicit Reader(const std::string& path)
        : fd_(open(path.c_str(), O_RDONLY | O_NOCTTY | O_CLOEXEC)) {}
    ~Reader() { close(fd_); }

    bool Open() const { return fd_ >= 0; }
    // True once a read failed: the device is gone.
    bool Failed() const { return failed_; }

    // What arrives until silenceMs pass after data (or 5 s before any), or a read fails. *ms is
    // the time from the first byte to the last.
    std::string Read(int silenceMs, long long* ms = nullptr) {
        std::string got;
        Stopwatch watch;
        long long first = 0;
        long long last = 0;
        char chunk[4096];
        pollfd p = {fd_, POLLIN, 0};
        while (!failed_ && poll(&p, 1, got.empty() ? 5000 : silenceMs) > 0) {
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            failed_ = n <= 0;
            if (n > 0) {
                first = got.empty() ? watch.Ms() : first;
                last = watch.Ms();
                got.append(chunk, static_cast<std::size_t>(n));
            }
        }
        if (ms) {
            *ms = last - first;
        }
        return got;
    }

private:
    int fd_;
    bool failed_ = false;
};

class InstrumentLine : public ::testing::Test {
protected:
    std::string Link(int n) const {
        return config_.Path() + "/kavosen/ports/COM" + std::to_string(n);
    }

    ScopedConfigHome config_;
};

TEST_F(InstrumentLine, SendsAFileByteForByteThroughItsComLink) {
    std::string sent;
    for (int i = 0; i < 4096; ++i) {
        sent += static_cast<char>((i * 7 + i / 256) & 0xFF);
    }
    const std::string file = config_.Path() + "/sample.bin";
    WriteFile(file, sent);

    Instrument instrument(KAVOSEN_INSTRUMENT, {"--file", file, "--flat", "--end", "ctrlz",
                                               "--wait-open", "--com", "5"});
    ASSERT_TRUE(instrument.Ready());
    ASSERT_EQ(fs::read_symlink(Link(5)).string(), instrument.Slave());
    {
        Reader reader(Link(5));
        ASSERT_TRUE(reader.Open());
        EXPECT_EQ(reader.Read(500), sent + '\x1a');
    }
    EXPECT_EQ(instrument.Finish(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(Link(5)))) << "the link must go with it";
}

TEST_F(InstrumentLine, RemovesItsLinkWhenTerminated) {
    Instrument instrument(KAVOSEN_INSTRUMENT, {"--text", "x", "--com", "6"});
    ASSERT_TRUE(instrument.Ready());
    ASSERT_TRUE(fs::is_symlink(Link(6)));
    EXPECT_EQ(instrument.Stop(), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(Link(6))));
}

TEST_F(InstrumentLine, PacesBytesAtTheLineRate) {
    // 5000 bytes at 57600 baud, 11 bits a byte, 5236 bytes a second: about 950 ms from the first
    // byte to the last.
    Instrument paced(KAVOSEN_INSTRUMENT,
                     {"--random", "5000", "--seed", "7", "--baud", "57600", "--wait-open"});
    ASSERT_TRUE(paced.Ready());
    Reader pacedReader(paced.Slave());
    long long ms = 0;
    const std::string got = pacedReader.Read(500, &ms);
    EXPECT_EQ(got, RandomPayload(5000, 7, true)) << "the bytes of the shared payload";
    EXPECT_EQ(std::set<char>(got.begin(), got.end()).size(), 256u) << "every byte value";
    EXPECT_GT(ms, 800);

    Instrument flat(KAVOSEN_INSTRUMENT,
                    {"--random", "5000", "--seed", "7", "--exclude-eof", "--flat", "--wait-open"});
    ASSERT_TRUE(flat.Ready());
    Reader flatReader(flat.Slave());
    EXPECT_EQ(flatReader.Read(500), RandomPayload(5000, 7));
}

TEST_F(InstrumentLine, PausesAreSilenceOnTheLine) {
    Instrument instrument(KAVOSEN_INSTRUMENT,
                          {"--text", std::string(300, 'p'), "--flat", "--pause-every", "100",
                           "--pause", "1000", "--wait-open"});
    ASSERT_TRUE(instrument.Ready());
    Reader reader(instrument.Slave());
    EXPECT_EQ(reader.Read(500), std::string(100, 'p'));
    long long ms = 0;
    EXPECT_EQ(reader.Read(1500, &ms), std::string(200, 'p'));
    EXPECT_GE(ms, 900) << "the second pause";
}

TEST_F(InstrumentLine, HangupAfterMakesTheDeviceVanish) {
    // The delay lets the reader be there before the device goes.
    Instrument instrument(KAVOSEN_INSTRUMENT, {"--random", "1000", "--flat", "--wait-open",
                                               "--delay", "100", "--hangup-after", "300"});
    ASSERT_TRUE(instrument.Ready());
    Reader reader(instrument.Slave());
    EXPECT_LE(reader.Read(2000).size(), 300u);
    EXPECT_TRUE(reader.Failed());
    EXPECT_EQ(instrument.WaitForExit(5000), 0);
}

TEST_F(InstrumentLine, RepeatSendsAgainOnEveryOpen) {
    Instrument instrument(KAVOSEN_INSTRUMENT, {"--text", "hello", "--flat", "--repeat"});
    ASSERT_TRUE(instrument.Ready());
    for (int i = 0; i < 2; ++i) {
        Reader reader(instrument.Slave());
        EXPECT_EQ(reader.Read(500), "hello") << "open " << i;
    }
    EXPECT_EQ(instrument.Finish(), 0);
}

}  // namespace
