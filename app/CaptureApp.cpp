#include "app/CaptureApp.h"

#include "res/resource.h"
#include "ui/CaptureDlg.h"

BEGIN_MESSAGE_MAP(CCaptureApp, CWinApp)
ON_COMMAND(ID_HELP, &CWinApp::OnHelp)
END_MESSAGE_MAP()

// No name is given, so the application is named after the executable.
CCaptureApp::CCaptureApp() = default;

// The one application object.
CCaptureApp theApp;

BOOL CCaptureApp::InitInstance() {
    if (!AfxSocketInit()) {
        AfxMessageBox(IDP_SOCKETS_INIT_FAILED);
        return FALSE;
    }
    // (The desktop draws its own control look; there is nothing to turn on for it.)
    {
        CCaptureDlg dlg;
        m_pMainWnd = &dlg;
        dlg.DoModal();
        m_pMainWnd = nullptr;
    }
    return FALSE;
}
