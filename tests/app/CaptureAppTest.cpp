// Start-up: the application runs its main window and ends when it closes; without a usable
// socket layer it shows only its message.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QDialog>
#include <QMessageBox>
#include <QTest>
#include <string>

#include "app/CaptureApp.h"
#include "tests/support/Wait.h"

TEST(CaptureApp, ClosingTheMainWindowEndsStartUpWithNothingElseShown) {
    int modals = 0;
    std::string title;
    WhenModalAppears([&](QWidget* window) {
        ++modals;
        title = window->windowTitle().toStdString();
        QTest::keyClick(window, Qt::Key_Escape);
    });
    EXPECT_EQ(theApp.InitInstance(), FALSE);
    EXPECT_EQ(modals, 1);
    EXPECT_EQ(title, "KAVOSEN_WIN");
    EXPECT_EQ(theApp.m_pMainWnd, nullptr);
    // Nothing else comes up afterwards.
    bool another = false;
    WhenModalAppears(
        [&](QWidget* window) {
            another = true;
            window->close();
        },
        300);
    RunEventsFor(400);
    EXPECT_FALSE(another);
}

TEST(CaptureApp, WithoutSocketsOnlyTheMessageIsShown) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers check memory through descriptors of their own, which the "
                    "descriptor limit of this test takes away";
#endif
    // The lowest free descriptor number as the limit: the socket check cannot get one.
    int probe = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    close(probe);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(probe);

    std::string text;
    std::string title;
    bool messageBox = false;
    WhenModalAppears([&](QWidget* window) {
        setrlimit(RLIMIT_NOFILE, &saved);
        auto* box = qobject_cast<QMessageBox*>(window);
        messageBox = box != nullptr;
        if (box) {
            text = box->text().toStdString();
            title = box->windowTitle().toStdString();
            box->accept();
        } else {
            window->close();
        }
    });
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    BOOL result = theApp.InitInstance();
    setrlimit(RLIMIT_NOFILE, &saved);

    EXPECT_EQ(result, FALSE);
    EXPECT_TRUE(messageBox);
    EXPECT_EQ(text, "Windows ｿｹｯﾄの初期化に失敗しました。");
    EXPECT_EQ(title, std::string(AfxGetAppName()));
    EXPECT_EQ(theApp.m_pMainWnd, nullptr);
}

TEST(CaptureApp, HelpReachesTheDefaultHandler) {
    EXPECT_TRUE(theApp.OnCmdMsg(ID_HELP, 0));
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}
