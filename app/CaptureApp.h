// CCaptureApp: the application object. Start-up runs the main window as a modal dialog; the
// process ends when it closes.
#pragma once

#include "platform/framework/Framework.h"

class CCaptureApp : public CWinApp {
public:
    CCaptureApp();

    // Runs the main window and returns FALSE: no message loop follows, the process ends.
    BOOL InitInstance() override;

    DECLARE_MESSAGE_MAP()
};

extern CCaptureApp theApp;
