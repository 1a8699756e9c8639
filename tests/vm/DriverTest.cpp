// The whole program on real serial drivers: cdc_acm, ftdi_sio, the 8250 UART driver, ch341,
// cp210x and pl2303, inside the bench's virtual machine (tests/vm/run.sh runs this program there;
// it needs the guest's devices and is never run on the host). The program runs as its start-up runs
// it, offscreen, with an instrument played on the far end of each line. One table of scenarios runs
// over the six drivers.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <string>

#include "tests/faults/Program.h"
#include "tests/support/Process.h"
#include "tests/support/Wait.h"
#include "tests/vm/Drivers.h"
#include "tests/vm/LineState.h"

namespace {

constexpr int kRates[] = {9600, 19200, 38400, 57600, 115200, 230400};

// The line settings the program asks for at rate, as LineState words: the rate both ways,
// 8 data bits, two stop bits, no parity, RTS/CTS flow control, modem status ignored, raw input,
// no echo, no output processing, RTS raised (each driver here has modem lines).
std::string ProgramSettings(int rate) {
    const std::string r = std::to_string(rate);
    return r + "/" + r +
           " cs8 cstopb -parenb crtscts clocal -ixon -icrnl -istrip -echo -icanon -opost rts";
}

// What the program stores of what was sent: each Ctrl-Z as a zero byte, and one zero byte more
// when silence ended the capture.
std::string StoredFormOf(std::string sent, bool silence) {
    std::replace(sent.begin(), sent.end(), '\x1A', '\0');
    return silence ? sent + '\0' : sent;
}

// Where two byte strings part, for a failure message.
std::string Difference(const std::string& got, const std::string& want) {
    const auto at = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    return std::to_string(got.size()) + " bytes where " + std::to_string(want.size()) +
           " were expected, the first difference at byte " + std::to_string(at.first - got.begin());
}

class RealDriver : public ProgramTest, public ::testing::WithParamInterface<Driver> {
protected:
    RealDriver() : driver_(GetParam()), com_(ComOf(driver_.device)) {}

    // Selects COMn and rate, presses Receive and waits until the capture waits for data.
    static void StartAt(CCaptureDlg& dlg, int com, int rate) {
        ASSERT_TRUE(Choose(dlg.m_cmbBaudrate, std::to_string(rate)));
        StartOn(dlg, com);
    }

    // Captures sent from the far end on COMn at rate, to its end on the line (a Ctrl-Z in sent,
    // or silence), and expects it stored byte for byte. Returns the milliseconds from the last
    // byte sent to the capture's end.
    long long ExpectCaptured(CCaptureDlg& dlg, FarEnd& far, int com, int rate,
                             const std::string& sent, bool silence) {
        StartAt(dlg, com, rate);
        if (HasFatalFailure()) {
            return -1;
        }
        auto sending = std::async(std::launch::async, [&] {
            far.Send(sent, rate);
            return Stopwatch();  // from the last byte
        });
        const bool ended = WaitUntil(
            [&] {
                return sending.wait_for(std::chrono::seconds(0)) == std::future_status::ready &&
                       Idle(dlg);
            },
            180000);
        EXPECT_TRUE(ended) << Text(dlg.m_editText).substr(0, 200);
        if (!ended) {
            CancelCapture(dlg);  // the stored bytes are the worker's until it has ended
        }
        const Stopwatch sinceLastByte = sending.get();
        const std::string want = StoredFormOf(sent, silence);
        EXPECT_TRUE(Stored(dlg) == want) << Difference(Stored(dlg), want);
        EXPECT_NE(Text(dlg.m_editText).find(std::to_string(want.size()) + " bytes."),
                  std::string::npos);
        return sinceLastByte.Ms();
    }

    // After the device went away: the text area says so, the worker waits without loading the
    // CPU and the window stays in the capture's state; Cancel brings the window back to idle
    // with the dead device closed.
    void ExpectGoneUntilCancel(CCaptureDlg& dlg) {
        ASSERT_TRUE(WaitUntil(
            [&] { return Text(dlg.m_editText).find("Port read error") != std::string::npos; },
            20000))
            << Text(dlg.m_editText).substr(0, 200);
        EXPECT_NE(Text(dlg.m_editText).find("the device is gone"), std::string::npos)
            << Text(dlg.m_editText).substr(0, 200);
        ASSERT_EQ(ProgramThreads(), 1) << "the worker";
        const double cpuBefore = WorkerCpuSeconds();
        const Stopwatch watch;
        RunEventsFor(3000);
        const double share = (WorkerCpuSeconds() - cpuBefore) * 1000 / watch.Ms();
        EXPECT_LT(share, 0.2) << "of a core for the worker on a dead port";

        ExpectCaptureControls(dlg);

        Press(dlg.m_btnReceive);
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }, 10000));
        EXPECT_EQ(Text(dlg.m_editText), "ABORT.\r\n");
        EXPECT_EQ(DescriptorOf(driver_.device), -1) << "the old device node is still open";
    }

    // What the chip behind the driver was told for a capture at rate: 8 data bits, no parity, two
    // stop bits, the rate within 1% (as near as the chip's clock divides), the handshake its driver
    // passes on, RTS raised or driven by the chip, and not a byte more on the data endpoint than
    // outBefore, its count before the program opened the port.
    void ExpectChipTold(int rate, const std::string& outBefore) {
        const std::map<std::string, std::string> chip = ChipState(driver_);
        std::string told;
        for (const auto& [key, value] : chip) {
            told += " " + key + "=" + value;
        }
        std::printf("[ %s ] the chip was told%s\n", driver_.name, told.c_str());
        auto at = [&](const char* key) {
            const auto it = chip.find(key);
            return it == chip.end() ? std::string() : it->second;
        };
        const double chipRate = std::atof(at("rate").c_str());
        EXPECT_NEAR(chipRate, rate, rate * 0.01) << told;
        EXPECT_EQ(at("data"), "8");
        EXPECT_EQ(at("parity"), "none");
        EXPECT_EQ(at("stop"), "2");
        EXPECT_EQ(at("flow"), driver_.chipFlow);
        EXPECT_TRUE(at("rts") == "raised" || at("rts") == "auto") << "RTS " << at("rts");
        EXPECT_EQ(at("out"), outBefore) << "bytes sent on the data endpoint";
    }

    const Driver& driver_;
    const int com_;  // the device's COM number by default
};

// The drivers whose devices can be unplugged.
class PluggableDriver : public RealDriver {};

}  // namespace

// Names the driver in a failure message.
void PrintTo(const Driver& driver, std::ostream* os) {
    *os << driver.name;
}

TEST_P(RealDriver, FarEndCarriesEveryByteValueBothWays) {
    // The bench itself, without the program: what passes between the device and its far end
    // arrives unchanged, either way. So a capture that differs is the program's doing, and a
    // byte the program wrote to the line would be seen at the far end.
    FarEnd far(driver_);
    const int fd = open(driver_.device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << driver_.device;
    termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    cfsetspeed(&t, B115200);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    ASSERT_EQ(fcntl(fd, F_SETFL, 0), 0);  // blocking from here

    const std::string bytes = RandomPayload(2000, 1) + '\x1A';
    ReadUntilQuiet(fd, 200);
    far.Receive(0);
    far.Send(bytes, 115200);
    std::string got = ReadUntilQuiet(fd, 1000);
    EXPECT_TRUE(got == bytes) << "far end to device: " << Difference(got, bytes);
    ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    got = far.Receive(1000);
    EXPECT_TRUE(got == bytes) << "device to far end: " << Difference(got, bytes);
    close(fd);
}

TEST_P(RealDriver, HoldsTheLineSettingsAsAskedAtEachRate) {
    FarEnd far(driver_);
    ASSERT_NE(com_, 0);
    RunProgram([&](CCaptureDlg& dlg) {
        for (const int rate : kRates) {
            SCOPED_TRACE(std::to_string(rate) + " baud");
            far.Receive(0);
            const std::string outBefore = ChipState(driver_)["out"];
            ASSERT_TRUE(Choose(dlg.m_cmbPort, Com(com_)));
            ASSERT_TRUE(Choose(dlg.m_cmbBaudrate, std::to_string(rate)));
            Press(dlg.m_btnReceive);
            if (rate > driver_.topRate) {
                // The driver keeps another rate than asked: no capture at a wrong rate.
                EXPECT_EQ(Text(dlg.m_editText).rfind("COM open error\r\nThe driver of ", 0), 0u)
                    << Text(dlg.m_editText);
                EXPECT_TRUE(Idle(dlg));
                continue;
            }
            ASSERT_TRUE(WaitUntil([&] { return Waiting(dlg); })) << Text(dlg.m_editText);
            // Read through the program's own descriptor while its capture waits.
            const std::string held = LineState(DescriptorOf(driver_.device));
            std::printf("[ %s ] %s at %d holds %s\n", driver_.name, driver_.device, rate,
                        held.c_str());
            EXPECT_EQ(held, ProgramSettings(rate));
            if (driver_.chip) {
                ExpectChipTold(rate, outBefore);
            }
            CancelCapture(dlg);
            EXPECT_EQ(far.Receive(300), "") << "the program wrote to the line";
        }
    });
}

TEST_P(RealDriver, CapturesEveryByteValueAndSavesIt) {
    FarEnd far(driver_);
    ASSERT_NE(com_, 0);
    struct Case {
        int rate;
        std::size_t size;  // about half a second of the line
    };
    const Case cases[] = {{9600, 400}, {115200, 5000}, {230400, 10000}};
    unsigned seed = 10;
    RunProgram([&](CCaptureDlg& dlg) {
        for (const Case& c : cases) {
            if (c.rate > driver_.topRate) {
                continue;  // refused to open, as HoldsTheLineSettingsAsAskedAtEachRate shows
            }
            for (const bool silence : {false, true}) {
                SCOPED_TRACE(std::to_string(c.rate) + " baud, ended by " +
                             (silence ? "silence" : "Ctrl-Z"));
                const std::string sent = RandomPayload(c.size, ++seed) + (silence ? "" : "\x1A");
                far.Receive(0);
                ASSERT_NO_FATAL_FAILURE(ExpectCaptured(dlg, far, com_, c.rate, sent, silence));
                const std::string file =
                    config_.Path() + "/capture" + std::to_string(seed) + ".bin";
                ExpectSave(Save(dlg, file), true, "Save complete.");
                const std::string saved = ReadFile(file);
                EXPECT_TRUE(saved == StoredFormOf(sent, silence))
                    << "saved: " << Difference(saved, StoredFormOf(sent, silence));
                // From the open on, nothing reached the instrument.
                EXPECT_EQ(far.Receive(300), "") << "the program wrote to the line";
            }
        }
    });
}

TEST_P(RealDriver, BytesSentBeforeReceiveOrDuringThePauseAreDropped) {
    FarEnd far(driver_);
    ASSERT_NE(com_, 0);
    far.Receive(0);
    far.Send(RandomPayload(300, 20), 115200);  // while nobody has the port open
    RunProgram([&](CCaptureDlg& dlg) {
        // Sent as soon as the program has opened the port: the press is still running then,
        // in its pause before the stale input is thrown away.
        auto duringPause = std::async(std::launch::async, [&] {
            WaitUntil([&] { return DescriptorOf(driver_.device) >= 0; }, 10000);
            far.Send(RandomPayload(100, 21), 115200);
        });
        ASSERT_TRUE(Choose(dlg.m_cmbPort, Com(com_)));
        ASSERT_TRUE(Choose(dlg.m_cmbBaudrate, "115200"));
        Press(dlg.m_btnReceive);
        ASSERT_EQ(duringPause.wait_for(std::chrono::seconds(0)), std::future_status::ready)
            << "the bytes of the pause were still being sent when it ended";
        ASSERT_TRUE(WaitUntil([&] { return Waiting(dlg); })) << Text(dlg.m_editText);

        const std::string sent = RandomPayload(1000, 22) + "\x1A";
        auto sending = std::async(std::launch::async, [&] { far.Send(sent, 115200); });
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }, 30000));
        sending.wait();
        EXPECT_TRUE(Stored(dlg) == StoredFormOf(sent, false))
            << Difference(Stored(dlg), StoredFormOf(sent, false));
    });
}

TEST_P(PluggableDriver, UnpluggedBeforeTheFirstByteAndMidCaptureThenPluggedBack) {
    FarEnd far(driver_);
    ASSERT_NE(com_, 0);
    // udev names the device a moment after it appears.
    ASSERT_TRUE(WaitUntil([&] { return !StableNameOf(driver_.device).empty(); }, 30000))
        << "no name in /dev/serial/by-id for " << driver_.device;
    const std::string stable = StableNameOf(driver_.device);
    constexpr int kPinned = 9;
    ASSERT_TRUE(config_.Link(kPinned, stable));
    RunProgram([&](CCaptureDlg& dlg) {
        {
            SCOPED_TRACE("before the first byte, on " + Com(com_) + " by default numbering");
            StartAt(dlg, com_, 115200);
            far.Unplug();
            ASSERT_NO_FATAL_FAILURE(ExpectGoneUntilCancel(dlg));
            ASSERT_NO_FATAL_FAILURE(far.Plug());
            ExpectCaptured(dlg, far, com_, 115200, RandomPayload(1000, 30) + "\x1A", false);
        }
        {
            SCOPED_TRACE("mid-capture, on " + Com(kPinned) + " linked to " + stable);
            StartAt(dlg, kPinned, 115200);
            far.Send(RandomPayload(3000, 31), 115200);
            ASSERT_TRUE(WaitUntil(
                [&] { return Text(dlg.m_editText).rfind("Getting data...\r\n.", 0) == 0; }));
            far.Unplug();
            ASSERT_NO_FATAL_FAILURE(ExpectGoneUntilCancel(dlg));
            ASSERT_NO_FATAL_FAILURE(far.Plug());
            ExpectCaptured(dlg, far, kPinned, 115200, RandomPayload(1000, 32) + "\x1A", false);
        }
    });
}

TEST_P(RealDriver, PortThatAnotherProgramHoldsOpenIsRefused) {
    FarEnd far(driver_);
    ASSERT_NE(com_, 0);
    PortHolder holder(driver_.device);
    ASSERT_TRUE(holder.Held());
    RunProgram([&](CCaptureDlg& dlg) {
        ASSERT_TRUE(Choose(dlg.m_cmbPort, Com(com_)));
        Press(dlg.m_btnReceive);
        const std::string text = Text(dlg.m_editText);
        EXPECT_EQ(text.rfind("COM open error\r\n", 0), 0u) << text;
        EXPECT_NE(text.find(" is in use by "), std::string::npos) << text;
        if (!Idle(dlg)) {
            CancelCapture(dlg);
        }
        EXPECT_EQ(DescriptorOf(driver_.device), -1);

        // Once the other program has let go, the port captures.
        holder.Release();
        ExpectCaptured(dlg, far, com_, 115200, "free\x1A", false);
    });
}

TEST_P(RealDriver, LeavesThePortAsItFoundIt) {
    FarEnd far(driver_);
    ASSERT_NE(com_, 0);
    // A terminal's settings, as a user's program left them on a three-wire line: canonical
    // input with echo, CR to LF, XON/XOFF, output processing, 9600 baud, modem status ignored.
    const int fd = open(driver_.device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0) << driver_.device;
    termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    t.c_iflag = ICRNL | IXON;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = CS8 | CREAD | CLOCAL | HUPCL;
    t.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | IEXTEN;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetspeed(&t, B9600);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    const std::string before = LineState(fd);
    close(fd);

    RunProgram([&](CCaptureDlg& dlg) {
        ExpectCaptured(dlg, far, com_, 115200, RandomPayload(500, 50) + "\x1A", false);
    });

    // All as found, but echo, which stays off so that nothing reached the instrument between
    // the restore and the close.
    std::string want = before;
    want.replace(want.find(" echo "), 6, " -echo ");
    const int reader = open(driver_.device, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0) << driver_.device;
    EXPECT_EQ(LineState(reader), want);
    // A reader started after the capture waits for a line: its read would block (EAGAIN here),
    // where on a port left raw with VMIN 0 it returns 0 at once, as at an end of file.
    char buffer[64];
    EXPECT_EQ(read(reader, buffer, sizeof buffer), -1);
    EXPECT_EQ(errno, EAGAIN);
    far.Send("after\r", 9600);
    pollfd p = {reader, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 10000), 1);
    const ssize_t n = read(reader, buffer, sizeof buffer);
    EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0), "after\n");
    EXPECT_EQ(far.Receive(300), "") << "the port echoed what it received";
    close(reader);
}

TEST_P(RealDriver, NothingIsLostWhileBothCoresAreBusy) {
    FarEnd far(driver_);
    ASSERT_NE(com_, 0);
    const int rate = std::min(230400, driver_.topRate);
    // Eight seconds of the line.
    const std::string sent = RandomPayload(static_cast<std::size_t>(rate / 11 * 8), 40) + "\x1A";
    far.Receive(0);
    RunProgram([&](CCaptureDlg& dlg) {
        CpuHogs hogs(2);
        const Stopwatch sinceReceive;
        const long long lag = ExpectCaptured(dlg, far, com_, rate, sent, false);
        std::printf(
            "[ %s ] %zu bytes at %d with both cores busy: ended %lld ms after the last "
            "byte, %lld ms after Receive\n",
            driver_.name, sent.size(), rate, lag, sinceReceive.Ms());
    });
}

INSTANTIATE_TEST_SUITE_P(Drivers, RealDriver,
                         ::testing::Values(kCdcAcm, kFtdiSio, kSerial8250, kCh341, kCp210x,
                                           kPl2303),
                         [](const ::testing::TestParamInfo<Driver>& info) {
                             return std::string(info.param.name);
                         });
INSTANTIATE_TEST_SUITE_P(Drivers, PluggableDriver,
                         ::testing::Values(kCdcAcm, kFtdiSio, kCh341, kCp210x, kPl2303),
                         [](const ::testing::TestParamInfo<Driver>& info) {
                             return std::string(info.param.name);
                         });
