// Closing the window at every stage of a capture ends the program cleanly: the worker is gone,
// the port closed and released, nothing left open.
#include <string>

#include "tests/faults/Program.h"
#include "tests/support/Wait.h"

namespace {

// The program ended and left nothing behind: no worker, no descriptor more than it had before it
// ran, and the port free for others.
void ExpectEndedCleanly(long long closeMs, int descriptorsBefore, const std::string& port) {
    EXPECT_GE(closeMs, 0) << "the window never came up";
    EXPECT_EQ(OpenDescriptorCount(), descriptorsBefore);
    EXPECT_TRUE(PortReleased(port)) << port << " is still held";
    // The destructor waited for the worker; its thread is gone from the process a moment later.
    EXPECT_TRUE(WaitUntil([] { return ProgramThreads() == 0; }, 3000)) << ProgramThreads();
}

}  // namespace

TEST_F(ProgramTest, ClosingWhileWaitingForData) {
    Pty line(Pty::kRaw);
    ASSERT_TRUE(config_.Link(4, line.Slave()));
    const int descriptors = OpenDescriptorCount();
    const long long closeMs = RunProgram([&](CCaptureDlg& dlg) {
        StartOn(dlg, 4);
        RunEventsFor(300);  // well inside a read
        CloseLater(dlg, CloseBy::CloseBox);
    });
    ExpectEndedCleanly(closeMs, descriptors, line.Slave());
}

TEST_F(ProgramTest, ClosingWhileReceiving) {
    Instrument instrument(KAVOSEN_INSTRUMENT,
                          {"--random", "1000000", "--exclude-eof", "--baud", "115200",
                           "--wait-open", "--delay", "1000", "--com", "3"});
    ASSERT_TRUE(instrument.Ready());
    const int descriptors = OpenDescriptorCount();
    const long long closeMs = RunProgram([&](CCaptureDlg& dlg) {
        StartOn(dlg, 3);
        ASSERT_TRUE(WaitUntil([&] {
            return Text(dlg.m_editText).rfind("Getting data...\r\n...", 0) == 0;
        })) << Text(dlg.m_editText).substr(0, 100);
        CloseLater(dlg, CloseBy::Esc);
    });
    ExpectEndedCleanly(closeMs, descriptors, instrument.Slave());
}

TEST_F(ProgramTest, ClosingDuringThePauseAfterTheOpen) {
    Pty line(Pty::kRaw);
    ASSERT_TRUE(config_.Link(4, line.Slave()));
    const int descriptors = OpenDescriptorCount();
    const long long closeMs = RunProgram([&](CCaptureDlg& dlg) {
        Choose(dlg.m_cmbPort, Com(4));
        // Esc pressed while the command pauses: taken as soon as the command returns, with
        // the worker just started.
        CloseLater(dlg, CloseBy::Esc);
        Press(dlg.m_btnReceive);
        ExpectCaptureControls(dlg);
    });
    ExpectEndedCleanly(closeMs, descriptors, line.Slave());
}

TEST_F(ProgramTest, ClosingAfterTheDeviceVanished) {
    Pty line(Pty::kRaw);
    ASSERT_TRUE(config_.Link(4, line.Slave()));
    const int descriptors = OpenDescriptorCount();
    const long long closeMs = RunProgram([&](CCaptureDlg& dlg) {
        StartOn(dlg, 4);
        line.Send("partial");
        ASSERT_TRUE(WaitUntil([&] { return Text(dlg.m_editText) == "Getting data...\r\n."; }));
        line.Hangup();
        ASSERT_TRUE(WaitUntil(
            [&] { return Text(dlg.m_editText).find("Port read error") != std::string::npos; }));
        CloseLater(dlg, CloseBy::Esc);
    });
    EXPECT_GE(closeMs, 0);
    // Less the line's master, which the hang-up closed.
    EXPECT_EQ(OpenDescriptorCount(), descriptors - 1);
    EXPECT_TRUE(WaitUntil([] { return ProgramThreads() == 0; }, 3000));
}
