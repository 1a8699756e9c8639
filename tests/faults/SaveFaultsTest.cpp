// The whole program saving what it captured: a large binary capture lands in the file byte for
// byte, and every way a save can fail gets its message and is never reported as complete.
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/faults/Program.h"
#include "tests/support/Wait.h"

namespace {

using Answer = std::function<void(QWidget*)>;

// Types path into the file dialog and confirms it.
Answer NameFile(const std::string& path) {
    return [path](QWidget* w) {
        auto* dialog = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(dialog, nullptr) << "expected the file dialog";
        auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(name, nullptr);
        name->setText(QString::fromStdString(path));
        QTimer::singleShot(0, dialog, &QDialog::accept);
    };
}

// Lets the file dialog create a file that does not exist yet.
Answer AllowCreate() {
    return [](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr) << "expected the create prompt";
        QAbstractButton* yes = box->button(QMessageBox::Yes);
        ASSERT_NE(yes, nullptr);
        QTimer::singleShot(0, yes, &QAbstractButton::click);
    };
}

// Reads the result's message box into *text and closes it.
Answer Result(std::string* text) {
    return [text](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr) << "expected a message box";
        *text = box->text().toStdString();
        QTimer::singleShot(0, box, &QDialog::accept);
    };
}

// Presses Save and answers the dialogs that come up with answers, in order; returns how many
// came up. The press returns when the command has finished.
int Save(CCaptureDlg& dlg, std::vector<Answer> answers) {
    const std::shared_ptr<int> handled = AnswerModals(std::move(answers), Widget(dlg));
    Press(dlg.m_btnSave);
    return *handled;
}

// Whether any window comes up within ms: a second message after the result, say.
bool AnotherModalWithin(QWidget* except, int ms) {
    bool another = false;
    AnswerModals({[&another](QWidget* w) {
                     another = true;
                     QTimer::singleShot(0, w, &QWidget::close);
                 }},
                 except, ms);
    RunEventsFor(ms + 100);
    return another;
}

}  // namespace

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

        std::string result;
        EXPECT_EQ(Save(dlg, {NameFile(saved), AllowCreate(), Result(&result)}), 3);
        EXPECT_EQ(result, "Save complete.");
    });
    const std::string bytes = ReadFile(saved);
    EXPECT_EQ(bytes.size(), payload.size() + 1);
    EXPECT_TRUE(bytes == payload + std::string(1, '\0'))
        << "the saved file differs from what the instrument sent";
}

TEST_F(ProgramTest, SavesThatFailSaySoAndTheCaptureStaysSavable) {
    Line line;
    ASSERT_TRUE(config_.Link(4, line.Slave()));
    // A folder that a user other than root may read, for the save that runs as that user.
    const std::string dir = config_.Path() + "/saves";
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    ASSERT_EQ(chmod(config_.Path().c_str(), 0755), 0);
    const std::string readOnly = dir + "/readonly.txt";
    WriteFile(readOnly, "previous results");
    ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
    const std::string fullDisk = dir + "/full-disk.bin";
    ASSERT_EQ(symlink("/dev/full", fullDisk.c_str()), 0);

    RunProgram([&](CCaptureDlg& dlg) {
        StartOn(dlg, 4);
        line.Send("V=1.25\r\nI=0.03\x1A");
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg) && dlg.m_btnSave.IsWindowEnabled(); }));
        QWidget* window = Widget(dlg);

        std::string missing;
        EXPECT_EQ(
            Save(dlg, {NameFile(dir + "/no/such/folder/x.txt"), AllowCreate(), Result(&missing)}),
            3);
        EXPECT_EQ(missing, "File open error.");

        // Permission bits do not stop root: this save runs as a user they do stop.
        std::string denied;
        const uid_t self = geteuid();
        ASSERT_EQ(seteuid(self == 0 ? 65534 : self), 0);
        const int answered = Save(dlg, {NameFile(readOnly), Result(&denied)});
        ASSERT_EQ(seteuid(self), 0);
        EXPECT_EQ(answered, 2);
        EXPECT_EQ(denied, "File open error.");
        EXPECT_EQ(ReadFile(readOnly), "previous results");

        // A disk that is full: the open succeeds, the write does not. (The name needs an
        // extension of its own: the dialog adds ".txt" to a bare "/dev/full".)
        std::string full;
        EXPECT_EQ(Save(dlg, {NameFile(fullDisk), Result(&full)}), 2);
        EXPECT_EQ(full, "File write error. The saved file is incomplete.");
        EXPECT_FALSE(AnotherModalWithin(window, 300)) << "a second message followed";

        // After all that, the capture is still there to save.
        EXPECT_TRUE(dlg.m_btnSave.IsWindowEnabled());
        std::string done;
        const std::string good = dir + "/results.txt";
        EXPECT_EQ(Save(dlg, {NameFile(good), AllowCreate(), Result(&done)}), 3);
        EXPECT_EQ(done, "Save complete.");
        EXPECT_EQ(ReadFile(good), std::string("V=1.25\r\nI=0.03\0", 15));
    });
}
