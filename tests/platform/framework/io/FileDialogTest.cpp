// CFileDialog as the Save command uses it, driven like a user from timers while DoModal runs:
// the kind of dialog, its filters, the default extension, the create prompt and the owner.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>
#include <ostream>
#include <vector>

#include "platform/framework/File.h"
#include "platform/framework/Messages.h"
#include "platform/framework/Widgets.h"
#include "platform/framework/WinApp.h"
#include "tests/support/Wait.h"

// Readable failure messages.
void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}

namespace {

constexpr char kFilter[] = "Text files(*.txt)|*.txt|All files(*.*)|*.*||";

struct Prompt {
    int count = 0;
    QString title;
    QString text;
};

class FileDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A dialog left open by a failing test is closed, so the test fails instead of hanging.
        m_watchdog.setSingleShot(true);
        QObject::connect(&m_watchdog, &QTimer::timeout, [] {
            for (QWidget* window : QApplication::topLevelWidgets()) {
                if (window->isVisible() && qobject_cast<QDialog*>(window)) {
                    ADD_FAILURE() << "a dialog was left open";
                    window->close();
                }
            }
        });
        m_watchdog.start(20000);
    }

    // Runs fn on the file dialog once DoModal has opened it.
    void OnFileDialog(const std::function<void(QFileDialog*)>& fn) {
        WhenModalAppears([this, fn](QWidget* modal) {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            ASSERT_NE(dialog, nullptr);
            dialog->setDirectory(m_dir.path());
            fn(dialog);
        });
    }

    // Answers the next message box that opens over dialog with button, noting it in *prompt; for
    // as long as the test runs.
    void AnswerPrompt(QWidget* dialog, QMessageBox::StandardButton button, Prompt* prompt) {
        auto answered = std::make_shared<bool>(false);
        m_answering.push_back(AnswerEachModal(
            [answered, button, prompt](QWidget* modal) {
                auto* box = qobject_cast<QMessageBox*>(modal);
                if (*answered || !box) {
                    return;
                }
                *answered = true;
                ++prompt->count;
                prompt->title = box->windowTitle();
                prompt->text = box->text();
                QTimer::singleShot(0, box->button(button), &QAbstractButton::click);
            },
            dialog));
    }

    static void TypeAndAccept(QFileDialog* dialog, const QString& name) {
        dialog->findChild<QLineEdit*>("fileNameEdit")->setText(name);
        static_cast<QDialog*>(dialog)->accept();
    }

    // The names the list shows under the selected filter, once it has loaded `expected`.
    static QStringList Listed(QFileDialog* dialog, const QString& expected) {
        auto* view = dialog->findChild<QListView*>("listView");
        QStringList names;
        WaitUntil(
            [&] {
                names.clear();
                for (int row = 0; row < view->model()->rowCount(view->rootIndex()); ++row) {
                    names << view->model()->index(row, 0, view->rootIndex()).data().toString();
                }
                return names.contains(expected);
            },
            5000);
        return names;
    }

    QString PathOf(const char* name) const { return m_dir.filePath(name); }
    void Touch(const char* name) const {
        QFile file(PathOf(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    }

    QTemporaryDir m_dir;
    std::vector<std::shared_ptr<int>> m_answering;
    QTimer m_watchdog;
};

TEST_F(FileDialogTest, SaveDialogWithTheFiltersAsGivenWhereAllFilesMeansEveryName) {
    Touch("notes.txt");
    Touch("README");
    QFileDialog::AcceptMode mode{};
    QStringList filterTexts;
    QString selected;
    QStringList asText;
    QStringList asAll;
    OnFileDialog([&](QFileDialog* dialog) {
        mode = dialog->acceptMode();
        auto* types = dialog->findChild<QComboBox*>("fileTypeCombo");
        for (int i = 0; i < types->count(); ++i) {
            filterTexts << types->itemText(i);
        }
        selected = types->currentText();
        asText = Listed(dialog, "notes.txt");
        QTest::keyClick(types, Qt::Key_Down);  // the user picks "All files(*.*)"
        asAll = Listed(dialog, "README");
        dialog->reject();
    });
    CFileDialog dlg(FALSE, "txt", nullptr, OFN_CREATEPROMPT, kFilter);
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_TRUE(dlg.GetPathName().IsEmpty());
    EXPECT_EQ(mode, QFileDialog::AcceptSave);
    EXPECT_EQ(filterTexts, QStringList({"Text files(*.txt)", "All files(*.*)"}));
    EXPECT_EQ(selected, "Text files(*.txt)");
    EXPECT_EQ(asText, QStringList({"notes.txt"}));
    EXPECT_TRUE(asAll.contains("README") && asAll.contains("notes.txt"));
}

TEST_F(FileDialogTest, NewNameGainsTheExtensionAndIsChosenOnlyAfterTheUserAgrees) {
    Prompt declined;
    Prompt agreed;
    QString title;
    bool openAfterNo = false;
    OnFileDialog([&](QFileDialog* dialog) {
        title = dialog->windowTitle();
        AnswerPrompt(dialog, QMessageBox::No, &declined);
        TypeAndAccept(dialog, "capture");
        openAfterNo = dialog->isVisible();
        AnswerPrompt(dialog, QMessageBox::Yes, &agreed);
        TypeAndAccept(dialog, "capture");
    });
    CFileDialog dlg(FALSE, "txt", nullptr, OFN_CREATEPROMPT, kFilter);
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(declined.count, 1);
    EXPECT_EQ(declined.title, title);
    EXPECT_EQ(declined.text,
              PathOf("capture.txt") + "\nThis file does not exist.\nDo you want to create it?");
    EXPECT_TRUE(openAfterNo);
    EXPECT_EQ(agreed.count, 1);
    EXPECT_EQ(QString(dlg.GetPathName()), PathOf("capture.txt"));
    EXPECT_FALSE(QFile::exists(PathOf("capture.txt")));  // the dialog only names it
}

TEST_F(FileDialogTest, ExistingFileIsChosenWithoutAnyPromptAndKeepsItsExtension) {
    Touch("data.bin");
    Prompt prompt;
    OnFileDialog([&](QFileDialog* dialog) {
        AnswerPrompt(dialog, QMessageBox::No, &prompt);
        TypeAndAccept(dialog, "data.bin");
    });
    CFileDialog dlg(FALSE, "txt", nullptr, OFN_CREATEPROMPT, kFilter);
    EXPECT_EQ(dlg.DoModal(), IDOK);
    EXPECT_EQ(prompt.count, 0);
    EXPECT_EQ(QString(dlg.GetPathName()), PathOf("data.bin"));
}

TEST_F(FileDialogTest, MainWindowOwnsTheDialogAndTakesNoInputMeanwhile) {
    QWidget window;
    auto* button = new QPushButton("Receive", &window);
    int clicks = 0;
    QObject::connect(button, &QPushButton::clicked, [&] { ++clicks; });
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    const QPoint onButton = button->mapTo(&window, button->rect().center());
    QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, onButton);
    ASSERT_EQ(clicks, 1);  // the click reaches the button while nothing blocks it

    CWinApp app;
    CWnd mainWnd;
    mainWnd.m_hWnd = HandleOf(&window);
    app.m_pMainWnd = &mainWnd;
    QWidget* parent = nullptr;
    OnFileDialog([&](QFileDialog* dialog) {
        parent = dialog->parentWidget();
        QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, onButton);
        dialog->reject();
    });
    CFileDialog dlg(FALSE, "txt", nullptr, OFN_CREATEPROMPT, kFilter);  // no owner given
    EXPECT_EQ(dlg.DoModal(), IDCANCEL);
    EXPECT_EQ(parent, &window);
    EXPECT_EQ(clicks, 1);
}

}  // namespace
