// The whole program saving what it captured: a large binary capture lands in the file byte for
// byte, and every way a save can fail gets its message and is never reported as complete.
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "tests/faults/Program.h"
#include "tests/support/Wait.h"

TEST_F(ProgramTest, MegabytesOfRandomBytesAreSavedByteForByte) {
    const std::string payload = RandomPayload(4 * 1024 * 1024, 31);
    const std::string file = config_.Path() + "/payload.bin";
    WriteFile(file, payload);
    Instrument instrument(KAVOSEN_INSTRUMENT, {"--file", file, "--flat", "--wait-open", "--delay",
                                               "1000", "--com", "3"});
    ASSERT_TRUE(instrument.Ready());
    const std::string saved = config_.Path() + "/capture.bin";
    RunProgram([&](CCaptureDlg& dlg) {
        StartOn(dlg, 3);
        ASSERT_TRUE(WaitUntil([&] { return dlg.m_btnSave.IsWindowEnabled(); }, 60000));
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }));
        EXPECT_NE(Text(dlg.m_editText).find(std::to_string(payload.size() + 1) + " bytes."),
                  std::string::npos);
        ExpectSave(Save(dlg, saved), true, "Save complete.");
    });
    const std::string bytes = ReadFile(saved);
    EXPECT_EQ(bytes.size(), payload.size() + 1);
    EXPECT_TRUE(bytes == payload + std::string(1, '\0'))
        << "the saved file differs from what the instrument sent";
}

TEST_F(ProgramTest, SavesThatFailSaySoAndTheCaptureStaysSavable) {
    Pty line(Pty::kRaw);
    ASSERT_TRUE(config_.Link(4, line.Slave()));
    // A folder that a user other than root may read, for the save that runs as that user.
    const std::string dir = config_.Path() + "/saves";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(config_.Path().c_str(), 0755), 0);
    const std::string readOnly = dir + "/readonly.txt";
    WriteFile(readOnly, "previous results");
    ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
    // A full disk: the open succeeds, the write does not. The name has an extension of its
    // own, as the dialog adds ".txt" to a bare "/dev/full".
    const std::string fullDisk = dir + "/full-disk.bin";
    ASSERT_EQ(symlink("/dev/full", fullDisk.c_str()), 0);

    RunProgram([&](CCaptureDlg& dlg) {
        StartOn(dlg, 4);
        line.Send("V=1.25\r\nI=0.03\x1A");
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg) && dlg.m_btnSave.IsWindowEnabled(); }));

        {
            SCOPED_TRACE("a folder that does not exist");
            ExpectSave(Save(dlg, dir + "/no/such/folder/x.txt"), true, "File open error.");
        }
        {
            SCOPED_TRACE("a read-only file");
            // Permission bits do not stop root: this save runs as a user they do stop.
            const uid_t self = geteuid();
            ASSERT_EQ(seteuid(self == 0 ? 65534 : self), 0);
            const SaveRun run = Save(dlg, readOnly);
            ASSERT_EQ(seteuid(self), 0);
            ExpectSave(run, false, "File open error.");
            EXPECT_EQ(ReadFile(readOnly), "previous results");
        }
        {
            SCOPED_TRACE("a full disk");
            ExpectSave(Save(dlg, fullDisk), false,
                       "File write error. The saved file is incomplete.");
        }

        // After all that, the capture is still there to save.
        EXPECT_TRUE(dlg.m_btnSave.IsWindowEnabled());
        const std::string good = dir + "/results.txt";
        ExpectSave(Save(dlg, good), true, "Save complete.");
        EXPECT_EQ(ReadFile(good), std::string("V=1.25\r\nI=0.03\0", 15));
    });
}
