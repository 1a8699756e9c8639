// The application object and the layer's main routine.
//
// The program defines one static CWinApp-derived object. The layer's main routine (AfxWinMain,
// called from main in platform/WinMain.cpp) starts Qt, names the application after the
// executable (unless the object was given a name), calls InitInstance and, when it returns
// FALSE, ExitInstance; the process then ends with ExitInstance's result. Meanwhile SIGTERM,
// SIGINT and SIGHUP close the open windows as their close boxes do, so the program ends the way
// closing its main window ends it.
#pragma once

#include "platform/WinTypes.h"
#include "platform/framework/Gdi.h"
#include "platform/framework/MessageMap.h"

class CWnd;

class CWinApp : public CCmdTarget {
public:
    explicit CWinApp(LPCSTR lpszAppName = nullptr);
    ~CWinApp() override;

    virtual BOOL InitInstance();
    virtual int ExitInstance();  // 0

    // Loads an icon of the program's resources; null when there is none of that id.
    HICON LoadIcon(UINT nIDResource) const;

    // The default Help command: the program has no help content, so it shows nothing.
    void OnHelp();

    LPCSTR m_pszAppName = nullptr;  // set by AfxWinMain when null
    CWnd* m_pMainWnd = nullptr;

    DECLARE_MESSAGE_MAP()
};

CWinApp* AfxGetApp();
CWnd* AfxGetMainWnd();
LPCSTR AfxGetAppName();

// A modal message box on the main window, captioned with the application's name, with the
// text of a string-table entry and an OK button.
int AfxMessageBox(UINT nIDPrompt);

// Checks that the process can use sockets (creates and closes one); FALSE when it cannot.
// Linux needs no set-up, so this is all the socket layer's initialisation comes to.
BOOL AfxSocketInit(void* lpwsaData = nullptr);

// The layer's main routine; see above. Usable with an application Qt already runs (tests).
int AfxWinMain(int argc, char** argv);
