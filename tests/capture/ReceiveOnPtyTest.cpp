// The Receive command end to end: the real window offscreen, driven as the user drives it, on
// ptys mapped as COM ports, with the simulated instrument or the test itself at the other end
// of the line.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <QTimer>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/Checks.h"
#include "tests/support/Instrument.h"
#include "tests/support/Process.h"
#include "ui/CaptureDlg.h"

namespace {

// Threads of this process running at the given nice value.
int ThreadsAtNice(int nice) {
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            errno = 0;
            const int value = getpriority(PRIO_PROCESS, static_cast<id_t>(atoi(entry->d_name)));
            count += errno == 0 && value == nice;
        }
    }
    closedir(dir);
    return count;
}

class ReceiveOnPty : public ::testing::Test {
protected:
    ScopedConfigHome config_;
};

}  // namespace

TEST_F(ReceiveOnPty, StartLocksTheSettingsAndTheWorkerWaitsForData) {
    Pty line(Pty::kRaw);
    ASSERT_TRUE(config_.Link(4, line.Slave()));
    WithWindow([&](CCaptureDlg& dlg) {
        // A completed capture first, so that the start has a Save button to disable.
        StartOn(dlg, 4);
        line.Send("ok\x1A");
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }));
        ASSERT_TRUE(dlg.m_btnSave.IsWindowEnabled());

        Press(dlg.m_btnReceive);
        // Back from the command, before any event ran: the worker's first text is still on
        // its way to the window's thread.
        ExpectCaptureControls(dlg);
        EXPECT_EQ(Text(dlg.m_editText), "");
        ASSERT_TRUE(WaitUntil([&] { return Waiting(dlg); })) << Text(dlg.m_editText);
        // One worker, two nice steps below the window's thread; nothing else here runs at it.
        EXPECT_EQ(ProgramThreads(), 1);
        EXPECT_EQ(ThreadsAtNice(getpriority(PRIO_PROCESS, 0) + 2), 1);

        // Empty reads before the first byte go on without limit.
        RunEventsFor(1600);
        EXPECT_TRUE(Waiting(dlg));
        ExpectCaptureControls(dlg);
        CancelCapture(dlg);
        EXPECT_FALSE(dlg.m_btnSave.IsWindowEnabled());
        EXPECT_TRUE(WaitUntil([] { return ProgramThreads() == 0; }, 3000));
    });
}

TEST_F(ReceiveOnPty, PressWhileReceivingChangesNothingUntilTheReadReturns) {
    Pty line(Pty::kRaw);
    ASSERT_TRUE(config_.Link(4, line.Slave()));
    WithWindow([&](CCaptureDlg& dlg) {
        StartOn(dlg, 4);
        line.Send("abc");
        // The first chunk's progress mark: the capture is receiving, its next read under way.
        ASSERT_TRUE(WaitUntil([&] { return Text(dlg.m_editText) == "Getting data...\r\n."; }))
            << Text(dlg.m_editText);

        Press(dlg.m_btnReceive);
        ExpectCaptureControls(dlg);
        EXPECT_EQ(Text(dlg.m_editText), "Getting data...\r\n.");

        // The stop is seen before the next read: once the current one has run out.
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }));
        EXPECT_EQ(Text(dlg.m_editText), "ABORT.\r\n");
        EXPECT_FALSE(dlg.m_btnSave.IsWindowEnabled());
        // The partial capture stays in the buffer.
        EXPECT_EQ(Stored(dlg), "abc");
    });
}

TEST_F(ReceiveOnPty, TwoQuickPressesWhileWaitingEndWithAbort) {
    Pty line(Pty::kRaw);
    ASSERT_TRUE(config_.Link(4, line.Slave()));
    WithWindow([&](CCaptureDlg& dlg) {
        Choose(dlg.m_cmbPort, Com(4));
        // Both clicks are queued as the user's input: the second is taken once the first
        // press's command returns, while the capture waits for data.
        QTimer::singleShot(0, [&] { Press(dlg.m_btnReceive); });
        QTimer::singleShot(0, [&] { Press(dlg.m_btnReceive); });
        ASSERT_TRUE(WaitUntil([&] { return Text(dlg.m_editText) == "ABORT.\r\n"; }, 5000))
            << Text(dlg.m_editText);
        EXPECT_TRUE(WaitUntil([&] { return Idle(dlg); }));
        EXPECT_FALSE(dlg.m_btnSave.IsWindowEnabled());

        // Nothing of that stop request is left for the next capture.
        StartOn(dlg, 4);
        line.Send("next\x1A");
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }));
        EXPECT_EQ(Text(dlg.m_editText), "next\r\n\r\n...end of data.\r\n5 bytes.");
    });
}

TEST_F(ReceiveOnPty, ThirdQuickPressIsAStopTooAndNeverEndsTheNextCapture) {
    Pty line(Pty::kRaw);
    ASSERT_TRUE(config_.Link(4, line.Slave()));
    WithWindow([&](CCaptureDlg& dlg) {
        Choose(dlg.m_cmbPort, Com(4));
        // The third press falls before the abort has reached the window: one more stop request,
        // which no worker is left to act on.
        for (int i = 0; i < 3; ++i) {
            QTimer::singleShot(0, [&] { Press(dlg.m_btnReceive); });
        }
        ASSERT_TRUE(WaitUntil([&] { return Text(dlg.m_editText) == "ABORT.\r\n"; }, 5000))
            << Text(dlg.m_editText);
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }));

        StartOn(dlg, 4);
        // Longer than a read: a stale request would have ended the capture by now.
        RunEventsFor(1000);
        EXPECT_TRUE(Waiting(dlg)) << Text(dlg.m_editText);
        line.Send("kept\x1A");
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }));
        EXPECT_EQ(Text(dlg.m_editText), "kept\r\n\r\n...end of data.\r\n5 bytes.");
    });
}

TEST_F(ReceiveOnPty, BytesSentBeforeReceiveOrDuringThePauseNeverAppear) {
    Pty line(Pty::kRaw);
    ASSERT_TRUE(config_.Link(4, line.Slave()));
    // What the device sends now waits in the slave's queue. Opened to see it arrive, and
    // closed again: the program does not open a port that anyone else holds.
    const int reader = open(line.Slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    line.Send("OLD");
    // The pty hands written bytes on to the slave's queue a moment later.
    int queued = 0;
    ASSERT_TRUE(
        WaitUntil([&] { return ioctl(reader, FIONREAD, &queued) == 0 && queued == 3; }, 2000))
        << queued << " bytes queued";
    close(reader);

    WithWindow([&](CCaptureDlg& dlg) {
        Choose(dlg.m_cmbPort, Com(4));
        // Sends as soon as the program has the port open, which is at the start of its pause.
        std::atomic<bool> sentInPause{false};
        std::thread device([&] {
            for (int i = 0; i < 5000; ++i) {
                if (HasDeviceOpen(line.Slave())) {
                    line.Send("PAUSE");
                    sentInPause = true;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        Press(dlg.m_btnReceive);
        device.join();
        ASSERT_TRUE(sentInPause);
        ASSERT_TRUE(WaitUntil([&] { return Waiting(dlg); })) << Text(dlg.m_editText);
        line.Send("NEW\x1A");
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }));
        EXPECT_EQ(Text(dlg.m_editText), "NEW\r\n\r\n...end of data.\r\n4 bytes.");
        EXPECT_EQ(Stored(dlg), std::string("NEW\0", 4));
    });
}

TEST_F(ReceiveOnPty, ChosenRateIsTheLineRate) {
    Pty line(Pty::kRaw);
    ASSERT_TRUE(config_.Link(4, line.Slave()));
    WithWindow([&](CCaptureDlg& dlg) {
        struct Case {
            const char* entry;  // null: the list as it opens
            speed_t speed;
        };
        for (const Case& c : {Case{nullptr, B115200}, Case{"230400", B230400}, Case{"9600", B9600},
                              Case{"57600", B57600}}) {
            SCOPED_TRACE(c.entry ? c.entry : "default");
            if (c.entry) {
                Choose(dlg.m_cmbBaudrate, c.entry);
            }
            StartOn(dlg, 4);
            // Termios calls on the master report the slave's settings: what the program set. The
            // rest of the line's settings are the serial-port module's (tests/port).
            termios t;
            ASSERT_EQ(tcgetattr(line.Master(), &t), 0);
            EXPECT_EQ(cfgetispeed(&t), c.speed);
            EXPECT_EQ(cfgetospeed(&t), c.speed);
            CancelCapture(dlg);
        }
    });
}

TEST_F(ReceiveOnPty, CaptureEndedByCtrlZShowsItAndEnablesSave) {
    const std::string sent = "Bench report\r\nch1 0.25 V\r\nch2 -1.50 V";
    Instrument instrument(KAVOSEN_INSTRUMENT, {"--text", sent, "--end", "ctrlz", "--wait-open",
                                               "--delay", "1000", "--com", "3"});
    ASSERT_TRUE(instrument.Ready());
    WithWindow([&](CCaptureDlg& dlg) {
        Choose(dlg.m_cmbPort, Com(3));
        Press(dlg.m_btnReceive);
        ASSERT_TRUE(WaitUntil([&] { return dlg.m_btnSave.IsWindowEnabled(); }, 15000))
            << Text(dlg.m_editText);
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }));
        EXPECT_EQ(Text(dlg.m_editText), sent + "\r\n\r\n...end of data.\r\n" +
                                            std::to_string(sent.size() + 1) + " bytes.");
        EXPECT_EQ(Stored(dlg), sent + std::string(1, '\0'));
    });
}

TEST_F(ReceiveOnPty, SilenceEndsTheCaptureAboutFourAndAHalfSecondsAfterTheLastByte) {
    Pty line(Pty::kRaw);
    ASSERT_TRUE(config_.Link(4, line.Slave()));
    WithWindow([&](CCaptureDlg& dlg) {
        StartOn(dlg, 4);
        line.Send("data");
        const Stopwatch sent;
        ASSERT_TRUE(WaitUntil([&] { return dlg.m_btnSave.IsWindowEnabled(); }, 15000));
        // The read that took the bytes runs out, then six empty reads of 756 ms.
        EXPECT_GT(sent.Ms(), 3500);
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }));
        EXPECT_EQ(Text(dlg.m_editText), "data\r\n\r\n...end of data.\r\n5 bytes.");
        EXPECT_EQ(Stored(dlg), std::string("data\0", 5));
    });
}

TEST_F(ReceiveOnPty, ReceiveCancelCyclesLeaveNothingBehind) {
    // A sender that never stops, so each Cancel takes effect within a chunk's time.
    Instrument instrument(KAVOSEN_INSTRUMENT, {"--random", "4096", "--exclude-eof", "--forever",
                                               "--baud", "115200", "--com", "3"});
    ASSERT_TRUE(instrument.Ready());
    WithWindow([&](CCaptureDlg& dlg) {
        Choose(dlg.m_cmbPort, Com(3));
        auto cycle = [&] {
            Press(dlg.m_btnReceive);
            ASSERT_TRUE(WaitUntil([&] {
                return Text(dlg.m_editText).rfind("Getting data...\r\n", 0) == 0;
            })) << Text(dlg.m_editText);
            CancelCapture(dlg);
        };
        const int descriptors = OpenDescriptorCount();
        for (int i = 0; i < 10 && !HasFailure(); ++i) {
            SCOPED_TRACE("cycle " + std::to_string(i));
            cycle();
        }
        EXPECT_EQ(OpenDescriptorCount(), descriptors);
        EXPECT_TRUE(WaitUntil([&] { return ProgramThreads() == 0; }, 3000)) << ProgramThreads();
        EXPECT_TRUE(PortReleased(instrument.Slave()));
    });
}
