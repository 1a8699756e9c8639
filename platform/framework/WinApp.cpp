// The application object, the layer's main routine, application-wide message boxes and the
// socket layer's start-up check.
#include "platform/framework/WinApp.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <clocale>
#include <cstring>
#include <memory>
#include <string>

#include "platform/framework/CodePage.h"
#include "platform/framework/Widgets.h"

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

int AfxWinMain(int argc, char** argv) {
    std::unique_ptr<QApplication> qtApp;
    if (!QCoreApplication::instance()) {
        qtApp = std::make_unique<QApplication>(argc, argv);
    }
    std::setlocale(LC_ALL, "");
    CWinApp* app = AfxGetApp();
    if (!app) {
        return 1;
    }
    if (!app->m_pszAppName) {
        const char* path = argc > 0 && argv[0] ? argv[0] : "";
        const char* slash = std::strrchr(path, '/');
        g_executableName = slash ? slash + 1 : path;
        app->m_pszAppName = g_executableName.c_str();
    }
    QCoreApplication::setApplicationName(FromCodePage(QByteArray(app->m_pszAppName)));
    if (const VERSIONRES* version = g_resources.version) {
        QCoreApplication::setApplicationVersion(QStringLiteral("%1.%2.%3.%4")
                                                    .arg(version->fileVersion[0])
                                                    .arg(version->fileVersion[1])
                                                    .arg(version->fileVersion[2])
                                                    .arg(version->fileVersion[3]));
    }
    if (app->InitInstance()) {
        QApplication::exec();
    }
    return app->ExitInstance();
}
