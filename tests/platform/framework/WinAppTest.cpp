// The application object and main routine, message boxes, and the socket layer's start-up
// check failing for real.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QCoreApplication>
#include <QMessageBox>
#include <QTimer>

#include "tests/platform/framework/TestDialog.h"

namespace {

struct SeenBox {
    QWidget* owner;
    Qt::WindowModality modality;
    QString title;
    QString text;
    qsizetype buttons;
    QMessageBox::Icon icon;
};

// Records a message box and presses one of its buttons once its own modal loop runs.
std::function<void(QWidget*)> Press(std::vector<SeenBox>& seen, QMessageBox::StandardButton b) {
    return [&seen, b](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        ASSERT_NE(box, nullptr);
        seen.push_back({box->parentWidget(), box->windowModality(), box->windowTitle(), box->text(),
                        box->buttons().size(), box->icon()});
        QTimer::singleShot(0, box->button(b), &QAbstractButton::click);
    };
}

int LowestFreeDescriptor() {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(fd);
    return fd;
}

// No descriptor can be made while this lives.
class NoNewDescriptors {
public:
    NoNewDescriptors() {
        getrlimit(RLIMIT_NOFILE, &m_saved);
        rlimit lowered = m_saved;
        lowered.rlim_cur = static_cast<rlim_t>(LowestFreeDescriptor());
        setrlimit(RLIMIT_NOFILE, &lowered);
    }
    ~NoNewDescriptors() { setrlimit(RLIMIT_NOFILE, &m_saved); }

private:
    rlimit m_saved{};
};

// Starts as the program does: the socket layer first; when it cannot start, its message and
// nothing else.
class StartupApp : public CWinApp {
public:
    bool windowMade = false;
    BOOL InitInstance() override {
        BOOL sockets = FALSE;
        {
            NoNewDescriptors limit;
            sockets = AfxSocketInit();
        }
        if (!sockets) {
            AfxMessageBox(IDP_SOCKETS_INIT_FAILED);
            return FALSE;
        }
        windowMade = true;  // the main window would open here
        return FALSE;
    }
};

TEST(AfxWinMain, SocketFailureShowsOnlyItsMessageCaptionedWithTheExecutablesName) {
    StartupApp app;
    std::vector<SeenBox> seen;
    AnswerModals({Press(seen, QMessageBox::Ok)}, nullptr);
    std::string path = "/opt/kavosen/bin/KAVOSEN_WIN";
    char* argv[] = {path.data(), nullptr};
    EXPECT_EQ(AfxWinMain(1, argv), 0);
    EXPECT_FALSE(app.windowMade);
    EXPECT_STREQ(AfxGetAppName(), "KAVOSEN_WIN");
    EXPECT_EQ(QCoreApplication::applicationVersion(), "1.2.0.0");
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].text, QString::fromUtf8("Windows ｿｹｯﾄの初期化に失敗しました。"));
    EXPECT_EQ(seen[0].title, "KAVOSEN_WIN");
    EXPECT_EQ(seen[0].buttons, 1);
    EXPECT_EQ(seen[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(seen[0].owner, nullptr);  // no main window
}

TEST(MessageBox, ModalToTheMainWindowAndAnsweredWithThePressedButton) {
    CWinApp app("TestApp");
    TestDialog dialog;
    app.m_pMainWnd = &dialog;
    std::vector<SeenBox> seen;
    RunModal(dialog, [&](QDialog* window) {
        AnswerModals({Press(seen, QMessageBox::No), Press(seen, QMessageBox::Yes),
                      Press(seen, QMessageBox::Ok)},
                     window);
        EXPECT_EQ(dialog.MessageBox("Replace?", nullptr, MB_YESNO), IDNO);
        EXPECT_EQ(dialog.MessageBox("Replace?", "Own caption", MB_YESNO), IDYES);
        EXPECT_EQ(AfxMessageBox("Save complete."), IDOK);
        ASSERT_EQ(seen.size(), 3u);
        for (const SeenBox& box : seen) {
            EXPECT_EQ(box.owner, window);
            EXPECT_EQ(box.modality, Qt::WindowModal);
        }
        EXPECT_EQ(seen[0].title, "TestApp");
        EXPECT_EQ(seen[0].buttons, 2);
        EXPECT_EQ(seen[1].title, "Own caption");
        EXPECT_EQ(seen[2].text, "Save complete.");
    });
    app.m_pMainWnd = nullptr;
}

}  // namespace
