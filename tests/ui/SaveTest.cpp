// The Save command: the file dialog, the bytes written, and the messages.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <random>
#include <string>

#include "tests/capture/ScriptedPort.h"
#include "tests/support/Files.h"
#include "tests/support/Wait.h"
#include "tests/support/Window.h"
#include "ui/CaptureDlg.h"

namespace {

// What the user saw and did.
struct Seen {
    std::string acceptMode;  // "save" or "open"
    QStringList filters;
    std::string selectedFilter;
    std::string defaultSuffix;
    std::string initialName;
    bool mainWindowBlocked = false;
    std::string message;
    std::string messageTitle;
};

// Types name into the file dialog and accepts it.
std::function<void(QWidget*)> TypeName(const std::string& name, Seen& seen, QWidget* mainWindow) {
    return [name, &seen, mainWindow](QWidget* w) {
        auto* dialog = qobject_cast<QFileDialog*>(w);
        ASSERT_NE(dialog, nullptr) << "expected the file dialog";
        seen.acceptMode = dialog->acceptMode() == QFileDialog::AcceptSave ? "save" : "open";
        seen.filters = dialog->nameFilters();
        seen.selectedFilter = dialog->selectedNameFilter().toStdString();
        seen.defaultSuffix = dialog->defaultSuffix().toStdString();
        auto* edit = dialog->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(edit, nullptr);
        seen.initialName = edit->text().toStdString();
        seen.mainWindowBlocked =
            !mainWindow->isActiveWindow() || QApplication::activeModalWidget() != mainWindow;
        edit->setText(QString::fromStdString(name));
        QTimer::singleShot(0, dialog, &QDialog::accept);
    };
}

std::function<void(QWidget*)> Answer(QMessageBox::StandardButton button, std::string* text) {
    return [button, text](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr) << "expected a message box";
        if (text) {
            *text = box->text().toStdString();
        }
        QAbstractButton* b = box->button(button);
        ASSERT_NE(b, nullptr);
        QTimer::singleShot(0, b, &QAbstractButton::click);
    };
}

std::function<void(QWidget*)> Message(Seen& seen) {
    return [&seen](QWidget* w) {
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr) << "expected a message box";
        seen.message = box->text().toStdString();
        seen.messageTitle = box->windowTitle().toStdString();
        EXPECT_EQ(box->icon(), QMessageBox::NoIcon);
        QTimer::singleShot(0, box, &QDialog::accept);
    };
}

class SaveTest : public ::testing::Test {
protected:
    void SetUp() override {
        scripted::Reset();
        char pattern[] = "/tmp/kavosen-save-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        scripted::Reset();
        std::string cmd = "rm -rf '" + dir + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }

    // Opens the window, runs one capture of what the script sends, then body.
    void AfterCapture(const std::function<void(CCaptureDlg&)>& body) {
        CCaptureDlg dlg;
        QTimer::singleShot(0, [&] {
            dlg.OnReceive();
            bool ended = WaitUntil([&] { return dlg.m_btnSave.IsWindowEnabled(); }, 60000) &&
                         WaitUntil([&] { return dlg.m_bReceiving == 0; });
            EXPECT_TRUE(ended);
            if (ended) {
                body(dlg);
            }
            dlg.EndDialog(IDCANCEL);
        });
        dlg.DoModal();
    }

    // Presses Save with the given answers; returns when the command has finished.
    static void Save(CCaptureDlg& dlg, std::vector<std::function<void(QWidget*)>> answers) {
        auto handled = AnswerModals(std::move(answers), Widget(dlg));
        dlg.OnSave();
        (void)handled;
    }

    std::string dir;
};

}  // namespace

TEST_F(SaveTest, CaptureEndedBySilenceSavesItsBytesAndTheClosingZero) {
    scripted::PushData("ABC");
    AfterCapture([&](CCaptureDlg& dlg) {
        Seen seen;
        std::string prompt;
        std::string path = dir + "/abc.txt";
        Save(dlg,
             {TypeName(path, seen, Widget(dlg)), Answer(QMessageBox::Yes, &prompt), Message(seen)});
        EXPECT_EQ(ReadFile(path), std::string("ABC\0", 4));
        EXPECT_EQ(seen.message, "Save complete.");
        EXPECT_EQ(seen.messageTitle, std::string(AfxGetAppName()));
        EXPECT_NE(prompt.find("abc.txt"), std::string::npos) << prompt;
        EXPECT_EQ(seen.acceptMode, "save");
        EXPECT_EQ(seen.defaultSuffix, "txt");
        EXPECT_EQ(seen.initialName, "");
        ASSERT_EQ(seen.filters.size(), 2);
        EXPECT_EQ(seen.filters[0].left(17).toStdString(), "Text files(*.txt)");
        EXPECT_EQ(seen.filters[1].left(14).toStdString(), "All files(*.*)");
        EXPECT_EQ(seen.selectedFilter.substr(0, 17), "Text files(*.txt)");
        EXPECT_TRUE(seen.mainWindowBlocked);
        // Still enabled: the same capture can be saved again.
        EXPECT_TRUE(dlg.m_btnSave.IsWindowEnabled());
    });
}

TEST_F(SaveTest, EveryByteValueIsSavedExactly) {
    std::mt19937 random(7);
    std::string payload;
    for (int i = 0; i < 300000; ++i) {
        char b = static_cast<char>(random() & 0xFF);
        payload += b == 0x1A ? '\x1B' : b;
    }
    for (int b = 0; b < 256; ++b) {
        payload += b == 0x1A ? '\x19' : static_cast<char>(b);
    }
    for (std::size_t i = 0; i < payload.size(); i += 256) {
        scripted::PushData(payload.substr(i, 256));
    }
    AfterCapture([&](CCaptureDlg& dlg) {
        Seen seen;
        std::string path = dir + "/random.bin";
        Save(dlg,
             {TypeName(path, seen, Widget(dlg)), Answer(QMessageBox::Yes, nullptr), Message(seen)});
        EXPECT_EQ(seen.message, "Save complete.");
        std::string saved = ReadFile(path);
        EXPECT_EQ(saved.size(), payload.size() + 1);
        EXPECT_TRUE(saved == payload + std::string(1, '\0'));
    });
}

TEST_F(SaveTest, CtrlZIsSavedAsZeroWithTheBytesAfterIt) {
    scripted::PushData(
        "AB\x1A"
        "CD");
    AfterCapture([&](CCaptureDlg& dlg) {
        Seen seen;
        std::string path = dir + "/ctrlz.txt";
        Save(dlg,
             {TypeName(path, seen, Widget(dlg)), Answer(QMessageBox::Yes, nullptr), Message(seen)});
        EXPECT_EQ(ReadFile(path), std::string("AB\0CD", 5));
    });
}

TEST_F(SaveTest, SavingAgainReplacesTheFileWithoutAsking) {
    scripted::PushData("new");
    AfterCapture([&](CCaptureDlg& dlg) {
        std::string path = dir + "/again.txt";
        WriteFile(path, "a much longer old content that must go");
        Seen seen;
        // An existing file: no create prompt and no overwrite prompt, straight to the result.
        Save(dlg, {TypeName(path, seen, Widget(dlg)), Message(seen)});
        EXPECT_EQ(seen.message, "Save complete.");
        EXPECT_EQ(ReadFile(path), std::string("new\0", 4));
        Seen again;
        Save(dlg, {TypeName(path, again, Widget(dlg)), Message(again)});
        EXPECT_EQ(again.message, "Save complete.");
        EXPECT_EQ(ReadFile(path), std::string("new\0", 4));
    });
}

TEST_F(SaveTest, NameWithoutExtensionGainsTxt) {
    scripted::PushData("ext");
    AfterCapture([&](CCaptureDlg& dlg) {
        Seen seen;
        Save(dlg, {TypeName(dir + "/noext", seen, Widget(dlg)), Answer(QMessageBox::Yes, nullptr),
                   Message(seen)});
        EXPECT_EQ(seen.message, "Save complete.");
        EXPECT_EQ(ReadFile(dir + "/noext.txt"), std::string("ext\0", 4));
        EXPECT_NE(access((dir + "/noext").c_str(), F_OK), 0);
    });
}

TEST_F(SaveTest, DecliningTheCreatePromptKeepsTheDialogOpen) {
    scripted::PushData("keep");
    AfterCapture([&](CCaptureDlg& dlg) {
        Seen seen;
        Seen second;
        bool stillOpen = false;
        std::string path = dir + "/declined.txt";
        std::string other = dir + "/accepted.txt";
        Save(dlg, {TypeName(path, seen, Widget(dlg)), Answer(QMessageBox::No, nullptr),
                   // The same file dialog again, still open: name another file this time.
                   [&](QWidget* w) {
                       stillOpen = qobject_cast<QFileDialog*>(w) != nullptr;
                       TypeName(other, second, Widget(dlg))(w);
                   },
                   Answer(QMessageBox::Yes, nullptr), Message(seen)});
        EXPECT_TRUE(stillOpen);
        EXPECT_NE(access(path.c_str(), F_OK), 0);
        EXPECT_EQ(ReadFile(other), std::string("keep\0", 5));
        EXPECT_EQ(seen.message, "Save complete.");
    });
}

TEST_F(SaveTest, CancelInTheDialogDoesNothing) {
    scripted::PushData("cancel");
    AfterCapture([&](CCaptureDlg& dlg) {
        int boxes = 0;
        auto handled =
            AnswerModals({[](QWidget* w) {
                              QTimer::singleShot(0, w, [w] { static_cast<QDialog*>(w)->reject(); });
                          },
                          [&](QWidget*) { ++boxes; }},
                         Widget(dlg), 1500);
        dlg.OnSave();
        RunEventsFor(300);
        EXPECT_EQ(*handled, 1);
        EXPECT_EQ(boxes, 0);
        EXPECT_TRUE(dlg.m_btnSave.IsWindowEnabled());
    });
}

TEST_F(SaveTest, PathsThatCannotBeOpenedSayFileOpenError) {
    scripted::PushData("nowhere");
    AfterCapture([&](CCaptureDlg& dlg) {
        Seen missing;
        Save(dlg, {TypeName(dir + "/missing/x.txt", missing, Widget(dlg)),
                   Answer(QMessageBox::Yes, nullptr), Message(missing)});
        EXPECT_EQ(missing.message, "File open error.");
        EXPECT_EQ(missing.messageTitle, std::string(AfxGetAppName()));

        // A read-only file. Permission bits do not stop root, so the save runs as a user.
        std::string readOnly = dir + "/readonly.txt";
        WriteFile(readOnly, "old");
        ASSERT_EQ(chmod(readOnly.c_str(), 0444), 0);
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        Seen denied;
        uid_t saved = geteuid();
        ASSERT_EQ(seteuid(saved == 0 ? 65534 : saved), 0);
        Save(dlg, {TypeName(readOnly, denied, Widget(dlg)), Message(denied)});
        ASSERT_EQ(seteuid(saved), 0);
        EXPECT_EQ(denied.message, "File open error.");
        EXPECT_EQ(ReadFile(readOnly), "old");

        // The capture can still be saved, elsewhere.
        Seen retry;
        std::string good = dir + "/good.txt";
        Save(dlg, {TypeName(good, retry, Widget(dlg)), Answer(QMessageBox::Yes, nullptr),
                   Message(retry)});
        EXPECT_EQ(retry.message, "Save complete.");
        EXPECT_EQ(ReadFile(good), std::string("nowhere\0", 8));
    });
}

TEST_F(SaveTest, WriteErrorIsReportedAndNeverAsComplete) {
    scripted::PushData("full");
    AfterCapture([&](CCaptureDlg& dlg) {
        // A name with an extension, so the dialog adds none: a file on a full disk.
        std::string full = dir + "/full.txt";
        ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
        Seen seen;
        Save(dlg, {TypeName(full, seen, Widget(dlg)), Message(seen)});
        EXPECT_EQ(seen.message, "File write error. The saved file is incomplete.");
        EXPECT_EQ(seen.messageTitle, std::string(AfxGetAppName()));
    });
}
