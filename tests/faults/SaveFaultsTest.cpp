// The whole program saving what it captured: a large binary capture lands in the file byte for
// byte.

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
