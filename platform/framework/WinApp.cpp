// The application object, the layer's main routine, message boxes (captioned with the
// application's name) and the socket layer's start-up check.
#include "platform/framework/WinApp.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QSpacerItem>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <iterator>
#include <memory>
#include <string>

#include "platform/framework/Widgets.h"
#include "platform/framework/Wnd.h"

namespace {

CWinApp* g_app = nullptr;
std::string g_executableName;  // the application's name when the object was given none

}  // namespace

BEGIN_MESSAGE_MAP(CWinApp, CCmdTarget)
END_MESSAGE_MAP()

CWinApp::CWinApp(LPCSTR lpszAppName) : m_pszAppName(lpszAppName) {
    g_app = this;
}

CWinApp::~CWinApp() {
    if (g_app == this) {
        g_app = nullptr;
    }
}

BOOL CWinApp::InitInstance() {
    return TRUE;
}

int CWinApp::ExitInstance() {
    return 0;
}

HICON CWinApp::LoadIcon(UINT nIDResource) const {
    return LoadIconResource(nIDResource);
}

void CWinApp::OnHelp() {}

CWinApp* AfxGetApp() {
    return g_app;
}

CWnd* AfxGetMainWnd() {
    return g_app ? g_app->m_pMainWnd : nullptr;
}

LPCSTR AfxGetAppName() {
    return g_app && g_app->m_pszAppName ? g_app->m_pszAppName : "";
}

// ---- Message boxes ------------------------------------------------------------------------

QWidget* MessageBoxOwner(CWnd* wnd) {
    QWidget* widget = wnd ? WidgetOf(wnd->m_hWnd) : nullptr;
    return widget && widget->isVisible() ? widget->window() : nullptr;
}

namespace {

// A modal box with no icon and an OK button over owner (null: over no window), captioned with
// the application's name.
//
// As wide as its caption needs: a window manager cuts a caption that does not fit the title bar
// (showing "K...N" of "KAVOSEN_WIN"), and a short message makes a narrow box. The title bar's
// font and buttons are the window manager's; the system's title font in bold and room for an
// icon and three buttons of about two lines each stand in for them. Never wider than the
// screen, though: there the caption is cut rather than the box's button put off the screen.
// QMessageBox keeps a long text within the screen itself, by wrapping it.
void ShowMessageBox(QWidget* owner, const QString& text) {
    const QString caption = QString::fromLocal8Bit(AfxGetAppName());
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
    box.setTextFormat(Qt::PlainText);
    QFont titleFont = QFontDatabase::systemFont(QFontDatabase::TitleFont);
    titleFont.setBold(true);
    const QFontMetrics title(titleFont);
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout())) {
        const QMargins margins = grid->contentsMargins();
        const int room = RoomOnScreen(owner).width() - margins.left() - margins.right();
        const int width = std::min(title.horizontalAdvance(caption) + 8 * title.height(), room);
        // QMessageBox sizes itself from its layout, so the width goes in as a spacer.
        grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed),
                      grid->rowCount(), 0, 1, grid->columnCount());
    }
    box.setWindowModality(owner ? Qt::WindowModal : Qt::ApplicationModal);
    box.exec();
}

}  // namespace

int CWnd::MessageBox(LPCSTR lpszText) {
    SendCall([&] {
        ShowMessageBox(MessageBoxOwner(this), QString::fromLocal8Bit(lpszText ? lpszText : ""));
    });
    return IDOK;
}

// The string table is UTF-8, so its texts go to the box without the code page in between.
int AfxMessageBox(UINT nIDPrompt) {
    CallOnThreadOf(QCoreApplication::instance(), [&] {
        const LPCSTR text = FindStringResource(nIDPrompt);
        ShowMessageBox(MessageBoxOwner(AfxGetMainWnd()), QString::fromUtf8(text ? text : ""));
    });
    return IDOK;
}

BOOL AfxSocketInit(void*) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return FALSE;
    }
    close(fd);
    return TRUE;
}

namespace {

// The executable file's own name, whatever link or name it was started by (argv[0] carries the
// link's name); argv0's last part where the system cannot say.
std::string ExecutableName(const char* argv0) {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    const std::string file = length > 0 ? std::string(path, static_cast<size_t>(length)) : argv0;
    return file.substr(file.rfind('/') + 1);
}

// SIGTERM (a desktop logging out, a service manager), SIGINT (Ctrl+C in the terminal that
// started the program) and SIGHUP (that terminal closing) end the program as its close box does:
// the main window closes, its destruction stops and waits for a running capture, and the port is
// closed and released for others. Ended by the signal's default action instead, the process
// would leave a port in exclusive mode that no later opener could use.
//
// A signal handler may do next to nothing safely, so it only writes a byte to a pipe; the
// window's thread watches the pipe and does the closing. It closes the topmost modal window
// as its close box would, and goes on doing so at each tick: a message box, the file dialog or
// a save's progress window may stand over the main window, and closing one lets the command
// under it go on, which may bring up another (the result of a cancelled save) before the main
// window's turn comes.
constexpr int kEndingSignals[] = {SIGTERM, SIGINT, SIGHUP};
constexpr int kClosingTickMs = 50;

// Made once and kept for the process's life, so that a handler still running on another thread
// never writes to a descriptor closed (and perhaps reused) meanwhile.
int g_signalPipe[2] = {-1, -1};

extern "C" void NoteEndingSignal(int) {
    const int saved = errno;
    const char byte = 0;
    // A full pipe already holds the news.
    [[maybe_unused]] const ssize_t written = write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

// Ends the program on the signals above while it lives; the signals' former actions come back
// when it goes.
class EndOnSignals {
public:
    EndOnSignals() {
        static const bool piped = pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0;
        if (!piped) {
            return;
        }
        Drain();  // news from an earlier run of the main routine is no concern of this one
        m_notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] {
            Drain();
            m_closing.start();
        });
        m_closing.setInterval(kClosingTickMs);
        QObject::connect(&m_closing, &QTimer::timeout, [] {
            if (QWidget* top = QApplication::activeModalWidget()) {
                top->close();
            }
        });
        struct sigaction action {};
        action.sa_handler = NoteEndingSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
            sigaction(kEndingSignals[i], &action, &m_former[i]);
        }
        m_installed = true;
    }

    ~EndOnSignals() {
        if (m_installed) {
            for (std::size_t i = 0; i < std::size(kEndingSignals); ++i) {
                sigaction(kEndingSignals[i], &m_former[i], nullptr);
            }
        }
    }

    EndOnSignals(const EndOnSignals&) = delete;
    EndOnSignals& operator=(const EndOnSignals&) = delete;

private:
    static void Drain() {
        char bytes[64];
        while (read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
        }
    }

    std::unique_ptr<QSocketNotifier> m_notifier;
    QTimer m_closing;
    struct sigaction m_former[std::size(kEndingSignals)]{};
    bool m_installed = false;
};

}  // namespace

int AfxWinMain(int argc, char** argv) {
    std::unique_ptr<QApplication> qtApp;
    if (!QCoreApplication::instance()) {
        qtApp = std::make_unique<QApplication>(argc, argv);
    }
    CWinApp* app = AfxGetApp();
    if (!app) {
        return 1;
    }
    if (!app->m_pszAppName) {
        g_executableName = ExecutableName(argc > 0 && argv[0] ? argv[0] : "");
        app->m_pszAppName = g_executableName.c_str();
    }
    QCoreApplication::setApplicationName(QString::fromLocal8Bit(app->m_pszAppName));
    if (const VERSIONRES* version = g_resources.version) {
        QCoreApplication::setApplicationVersion(QStringLiteral("%1.%2.%3.%4")
                                                    .arg(version->fileVersion[0])
                                                    .arg(version->fileVersion[1])
                                                    .arg(version->fileVersion[2])
                                                    .arg(version->fileVersion[3]));
    }
    if (g_resources.desktopEntry) {
        QGuiApplication::setDesktopFileName(QString::fromUtf8(g_resources.desktopEntry));
    }
    EndOnSignals endOnSignals;
    if (app->InitInstance()) {
        QApplication::exec();
    }
    return app->ExitInstance();
}
