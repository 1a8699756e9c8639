#include "tests/faults/Program.h"

#include <time.h>

#include <QComboBox>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <iterator>

#include "app/CaptureApp.h"
#include "tests/support/Wait.h"

double CpuSeconds() {
    timespec used;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

long long MsSince(const std::chrono::steady_clock::time_point& start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

long long ProgramTest::RunProgram(const std::function<void(CCaptureDlg&)>& body) {
    closeQueued_ = false;
    bool shown = false;
    std::chrono::steady_clock::time_point returned;
    WhenModalAppears([&](QWidget* window) {
        auto* dlg = dynamic_cast<CCaptureDlg*>(theApp.m_pMainWnd);
        if (!dlg || Widget(*dlg) != window) {
            ADD_FAILURE() << "the modal window is not the program's main window";
            window->close();
            return;
        }
        shown = true;
        body(*dlg);
        if (!closeQueued_ && window->isVisible()) {
            QTest::keyClick(window, Qt::Key_Escape);
        }
        returned = std::chrono::steady_clock::now();
    });
    EXPECT_EQ(theApp.InitInstance(), FALSE);
    EXPECT_EQ(theApp.m_pMainWnd, nullptr);
    return shown ? MsSince(returned) : -1;
}

void ProgramTest::CloseLater(CCaptureDlg& dlg, CloseBy how) {
    closeQueued_ = true;
    QWidget* window = Widget(dlg);
    QTimer::singleShot(0, window, [window, how] {
        if (how == CloseBy::Esc) {
            QTest::keyClick(window, Qt::Key_Escape);
        } else {
            window->close();
        }
    });
}

void ProgramTest::StartOn(CCaptureDlg& dlg, int n) {
    Choose(dlg.m_cmbPort, Com(n));
    Press(dlg.m_btnReceive);
    ASSERT_TRUE(WaitUntil([&] { return Waiting(dlg); })) << "text: " << Text(dlg.m_editText);
}

void ProgramTest::CancelCapture(CCaptureDlg& dlg) {
    Press(dlg.m_btnReceive);
    ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }));
    EXPECT_EQ(Text(dlg.m_editText), "ABORT.\r\n");
}
