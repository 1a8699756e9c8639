// The whole program against lines and ports that fail: devices that vanish, senders that pause
// or never stop, ports that are taken or are no ports at all.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/faults/Program.h"
#include "tests/support/Wait.h"

namespace {

// How the program stood while it waited on its own for a while.
struct Quiet {
    double cpuShare = 0;  // of one core, all threads
    int ticks = 0;        // of a 50 ms timer on the window's thread
};

// Lets the program run for ms and sees what it cost and whether the window's thread kept
// turning to its events.
Quiet WatchFor(int ms) {
    const TickWatch ticks(50);
    const double cpuBefore = CpuSeconds();
    const Stopwatch watch;
    RunEventsFor(ms);
    return {(CpuSeconds() - cpuBefore) / (static_cast<double>(watch.Ms()) / 1000), ticks.Ticks()};
}

bool SaysTheDeviceIsGone(const CCaptureDlg& dlg) {
    return Text(dlg.m_editText)
               .find("\r\nPort read error: the device is gone. Press Cancel to stop.\r\n") !=
           std::string::npos;
}

// Waits on a dead port: the worker keeps trying, costs next to nothing, and the window stays
// live and in the capture's state; Cancel then ends it.
void ExpectRetryingQuietlyUntilCancel(CCaptureDlg& dlg) {
    const Quiet quiet = WatchFor(3000);
    EXPECT_LT(quiet.cpuShare, 0.2);
    EXPECT_GE(quiet.ticks, 20);
    ExpectCaptureControls(dlg);

    Press(dlg.m_btnReceive);
    ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); })) << Text(dlg.m_editText);
    EXPECT_EQ(Text(dlg.m_editText), "ABORT.\r\n");
    EXPECT_FALSE(dlg.m_btnSave.IsWindowEnabled());
}

// The UUCP lock file of the device at path: /var/lock/LCK..ttyUSB0 for /dev/ttyUSB0.
std::string LockFileOf(const std::string& path) {
    return "/var/lock/LCK.." + path.substr(path.rfind('/') + 1);
}

// Whether the port was left as the holder had it: not in exclusive mode, and no lock file.
bool LeftAlone(const std::string& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    int exclusive = -1;
    const bool shared = fd >= 0 && ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive == 0;
    if (fd >= 0) {
        close(fd);
    }
    return shared && access(LockFileOf(path).c_str(), F_OK) != 0;
}

}  // namespace

TEST_F(ProgramTest, DeviceVanishingBeforeTheFirstByte) {
    // Unplugged 1.5 s after the program opened it: the worker is waiting by then.
    Instrument instrument(KAVOSEN_INSTRUMENT, {"--text", "never sent", "--wait-open", "--delay",
                                               "1500", "--hangup-after", "0", "--com", "3"});
    ASSERT_TRUE(instrument.Ready());
    RunProgram([&](CCaptureDlg& dlg) {
        StartOn(dlg, 3);
        ASSERT_TRUE(WaitUntil([&] { return SaysTheDeviceIsGone(dlg); }, 10000))
            << Text(dlg.m_editText);
        EXPECT_EQ(instrument.WaitForExit(5000), 0);
        const int descriptors = OpenDescriptorCount();
        ExpectRetryingQuietlyUntilCancel(dlg);
        EXPECT_EQ(dlg.m_nLength, 0);
        // The dead device's descriptor and lock file went with the capture, so that the device,
        // plugged back in, can take its name again.
        EXPECT_EQ(OpenDescriptorCount(), descriptors - 1);
        EXPECT_NE(access(LockFileOf(instrument.Slave()).c_str(), F_OK), 0);

        // The device is gone for good: trying again says so.
        Press(dlg.m_btnReceive);
        EXPECT_EQ(Text(dlg.m_editText).rfind("COM open error\r\n", 0), 0u) << Text(dlg.m_editText);
        EXPECT_TRUE(Idle(dlg));
    });
}

TEST_F(ProgramTest, DeviceVanishingMidCapture) {
    const std::string payload = RandomPayload(60000, 21);
    const std::string file = config_.Path() + "/payload.bin";
    WriteFile(file, payload);
    // About 2.9 s of a 115200-baud line, then unplugged.
    Instrument instrument(KAVOSEN_INSTRUMENT,
                          {"--file", file, "--baud", "115200", "--wait-open", "--delay", "1000",
                           "--hangup-after", "30000", "--com", "3"});
    ASSERT_TRUE(instrument.Ready());
    RunProgram([&](CCaptureDlg& dlg) {
        StartOn(dlg, 3);
        ASSERT_TRUE(WaitUntil([&] { return SaysTheDeviceIsGone(dlg); }, 15000))
            << Text(dlg.m_editText).substr(0, 300);
        // What came before the hang-up stays in view: the progress marks.
        EXPECT_EQ(Text(dlg.m_editText).rfind("Getting data...\r\n.", 0), 0u);
        ExpectRetryingQuietlyUntilCancel(dlg);

        // The partial capture: what the line carried, unchanged, at most the part still in
        // the driver's queue at the hang-up missing from its end.
        EXPECT_LE(dlg.m_nLength, 30000);
        EXPECT_GT(dlg.m_nLength, 30000 - 4096);
        EXPECT_TRUE(Stored(dlg) == payload.substr(0, static_cast<std::size_t>(dlg.m_nLength)))
            << "the partial capture differs from what was sent";
    });
}

TEST_F(ProgramTest, PausesOfFourSecondsBetweenBurstsDoNotEndTheCapture) {
    // Three bursts of 2000 bytes, the last ending with Ctrl-Z, 4 s of silence between them:
    // less than the six empty reads (4.5 s) that end a capture.
    std::string payload = RandomPayload(5999, 22) + "\x1A";
    const std::string file = config_.Path() + "/bursts.bin";
    WriteFile(file, payload);
    Instrument instrument(KAVOSEN_INSTRUMENT,
                          {"--file", file, "--baud", "115200", "--pause-every", "2000", "--pause",
                           "4000", "--wait-open", "--delay", "1000", "--com", "3"});
    ASSERT_TRUE(instrument.Ready());
    RunProgram([&](CCaptureDlg& dlg) {
        StartOn(dlg, 3);
        const Stopwatch started;
        ASSERT_TRUE(WaitUntil([&] { return dlg.m_btnSave.IsWindowEnabled(); }, 30000))
            << Text(dlg.m_editText);
        // Both pauses lay inside the capture.
        EXPECT_GT(started.Ms(), 7500);
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }));
        payload.back() = '\0';  // the Ctrl-Z is stored as zero
        EXPECT_TRUE(Stored(dlg) == payload) << dlg.m_nLength << " bytes stored";
        const std::string text = Text(dlg.m_editText);
        EXPECT_NE(text.find("\r\n\r\n...and more...\r\n6000 bytes."), std::string::npos) << text;
    });
}

TEST_F(ProgramTest, SenderThatNeverStopsDoesNotHoldTheWindow) {
    Instrument instrument(KAVOSEN_INSTRUMENT, {"--random", "65536", "--exclude-eof", "--forever",
                                               "--flat", "--com", "3"});
    ASSERT_TRUE(instrument.Ready());
    RunProgram([&](CCaptureDlg& dlg) {
        Choose(dlg.m_cmbPort, Com(3));
        // The press runs the whole command, its pause and the discarding of stale input
        // included, on the window's thread: it returns although the input never ends.
        Press(dlg.m_btnReceive);
        ExpectCaptureControls(dlg);

        // The capture runs, and the window with it.
        ASSERT_TRUE(WaitUntil([&] {
            return Text(dlg.m_editText).rfind("Getting data...\r\n..", 0) == 0;
        })) << Text(dlg.m_editText).substr(0, 100);
        EXPECT_GE(WatchFor(500).ticks, 4);

        Press(dlg.m_btnReceive);
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }));
        EXPECT_EQ(Text(dlg.m_editText), "ABORT.\r\n");
        EXPECT_GT(dlg.m_nLength, 0);
    });
}

TEST_F(ProgramTest, PortHeldByAnotherProgram) {
    Pty line(Pty::kRaw);
    ASSERT_TRUE(config_.Link(5, line.Slave()));
    PortHolder holder(line.Slave());
    ASSERT_TRUE(holder.Held());
    RunProgram([&](CCaptureDlg& dlg) {
        const int descriptors = OpenDescriptorCount();
        Choose(dlg.m_cmbPort, Com(5));
        Press(dlg.m_btnReceive);
        EXPECT_EQ(Text(dlg.m_editText).rfind("COM open error\r\n", 0), 0u) << Text(dlg.m_editText);
        EXPECT_TRUE(Idle(dlg));
        EXPECT_EQ(OpenDescriptorCount(), descriptors);
        EXPECT_TRUE(HasDeviceOpen(line.Slave(), holder.Pid()));
        if (geteuid() == 0) {  // root alone may look past a port's exclusive mode
            EXPECT_TRUE(LeftAlone(line.Slave()));
        }

        // Once the other program has let go, the same port captures.
        holder.Release();
        StartOn(dlg, 5);
        line.Send("free\x1A");
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }));
        EXPECT_EQ(Text(dlg.m_editText), "free\r\n\r\n...end of data.\r\n5 bytes.");
    });
}

TEST_F(ProgramTest, ComLinksToWhatIsNoSerialPortFailToOpen) {
    Pty line(Pty::kRaw);
    ASSERT_TRUE(config_.Link(2, line.Slave()));
    const std::string regular = config_.Path() + "/capture-notes.txt";
    WriteFile(regular, "not a port");
    struct Case {
        int com;
        std::string target;
    };
    const std::vector<Case> cases = {
        {6, "/dev/ttyKAVOSEN-unplugged"},  // a pinned adapter that is not there
        {7, "/dev/null"},                  // a character device that is no tty
        {8, regular},
        {9, config_.Path()},  // a folder
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(config_.Link(c.com, c.target));
    }
    RunProgram([&](CCaptureDlg& dlg) {
        for (const Case& c : cases) {
            SCOPED_TRACE(Com(c.com) + " -> " + c.target);
            // A completed capture before each, so the failure has a Save button to disable.
            StartOn(dlg, 2);
            line.Send("ok\x1A");
            ASSERT_TRUE(WaitUntil([&] { return Idle(dlg) && dlg.m_btnSave.IsWindowEnabled(); }));

            const int descriptors = OpenDescriptorCount();
            Choose(dlg.m_cmbPort, Com(c.com));
            Press(dlg.m_btnReceive);
            EXPECT_EQ(Text(dlg.m_editText).rfind("COM open error\r\n", 0), 0u)
                << Text(dlg.m_editText);
            EXPECT_TRUE(Idle(dlg));
            EXPECT_FALSE(dlg.m_btnSave.IsWindowEnabled());
            EXPECT_EQ(OpenDescriptorCount(), descriptors);
        }
        EXPECT_EQ(ReadFile(regular), "not a port");
    });
}
