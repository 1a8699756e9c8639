// SIGTERM, SIGINT and SIGHUP end the program as its close box does: the capture stopped, the
// port closed and free for others while its far side stays open, and no dialog left to hold the
// program up. The program runs through the framework's main routine, as its executable does.
#include <signal.h>
#include <unistd.h>

#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTimer>
#include <cstring>
#include <memory>
#include <string>

#include "app/CaptureApp.h"
#include "tests/faults/Program.h"
#include "tests/support/Wait.h"

namespace {

// Runs the program's main routine; body runs within the main window's modal loop once it is up.
// Nothing here closes the window: a signal must. Windows still open after 30 s are closed, and
// the test fails rather than hangs.
int RunMain(const std::function<void(CCaptureDlg&)>& body) {
    WhenModalAppears([&](QWidget* window) {
        if (auto* dlg = dynamic_cast<CCaptureDlg*>(theApp.m_pMainWnd);
            dlg && Widget(*dlg) == window) {
            body(*dlg);
        } else {
            ADD_FAILURE() << "the modal window is not the program's main window";
        }
    });
    std::shared_ptr<int> closing;
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&closing] {
        ADD_FAILURE() << "the program did not end";
        closing = AnswerEachModal(
            [](QWidget* modal) { QTimer::singleShot(0, modal, &QWidget::close); }, nullptr);
    });
    watchdog.start(30000);
    char name[] = "KAVOSEN_WIN";
    char* argv[] = {name, nullptr};
    return AfxWinMain(1, argv);
}

}  // namespace

TEST_F(ProgramTest, EndingSignalsDuringACaptureReleaseThePort) {
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal));
        Pty line(Pty::kRaw);
        ASSERT_TRUE(config_.Link(1, line.Slave()));
        bool sent = false;
        RunMain([&](CCaptureDlg& dlg) {
            StartOn(dlg, 1);
            line.Send("partial");
            ASSERT_TRUE(WaitUntil([&] { return Text(dlg.m_editText) == "Getting data...\r\n."; }));
            sent = kill(getpid(), signal) == 0;
        });
        EXPECT_TRUE(sent);
        EXPECT_TRUE(PortReleased(line.Slave())) << line.Slave() << " is still held";
        EXPECT_TRUE(WaitUntil([] { return ProgramThreads() == 0; }, 3000)) << ProgramThreads();
    }
}

// The create prompt stands over the file dialog, which stands over the main window, when the
// signal comes: each closes as if the user had closed it, and the program ends.
TEST_F(ProgramTest, AnEndingSignalClosesTheDialogsOverTheWindow) {
    Pty line(Pty::kRaw);
    ASSERT_TRUE(config_.Link(1, line.Slave()));
    const std::string path = config_.Path() + "/new.txt";
    std::string prompt;
    RunMain([&](CCaptureDlg& dlg) {
        StartOn(dlg, 1);
        line.Send("V=1.25\x1A");
        ASSERT_TRUE(WaitUntil([&] { return Idle(dlg) && dlg.m_btnSave.IsWindowEnabled(); }));
        const std::shared_ptr<int> answering = AnswerEachModal(
            [&](QWidget* modal) {
                if (auto* files = qobject_cast<QFileDialog*>(modal)) {
                    files->findChild<QLineEdit*>("fileNameEdit")
                        ->setText(QString::fromStdString(path));
                    QTimer::singleShot(0, files, &QDialog::accept);
                } else if (auto* box = qobject_cast<QMessageBox*>(modal); box && prompt.empty()) {
                    prompt = box->text().toStdString();
                    kill(getpid(), SIGTERM);
                }
            },
            Widget(dlg));
        Press(dlg.m_btnSave);
    });
    EXPECT_NE(prompt.find("new.txt"), std::string::npos) << prompt;
    EXPECT_NE(access(path.c_str(), F_OK), 0);
}
