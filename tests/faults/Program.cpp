#include "tests/faults/Program.h"

#include <QTest>
#include <QTimer>
#include <QWidget>

#include "app/CaptureApp.h"
#include "tests/support/Wait.h"

long long ProgramTest::RunProgram(const std::function<void(CCaptureDlg&)>& body) {
    closeQueued_ = false;
    bool shown = false;
    Stopwatch returned;
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
        returned = Stopwatch();
    });
    EXPECT_EQ(theApp.InitInstance(), FALSE);
    EXPECT_EQ(theApp.m_pMainWnd, nullptr);
    return shown ? returned.Ms() : -1;
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
