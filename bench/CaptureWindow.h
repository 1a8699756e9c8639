// Driving the program's main window in-process, as a user would: the window run modally as the
// program runs it, a port chosen in its list, Receive clicked, and the moment Save becomes
// enabled (the result shown) timed on the window's thread itself.
//
// Everything here runs on the window's thread, from the body given to WithCaptureWindow.
#pragma once

#include <functional>
#include <string>

#include "bench/BenchSupport.h"

class CCaptureDlg;
class CWnd;

// Qt without a display: the offscreen platform and a private runtime folder. Call first in
// main, before the QApplication is made.
void PrepareQt();

// Opens the main window as the program does (a modal dialog) and calls body from its event
// loop once the window is shown; closes the window when body returns. Destroying the window
// waits for a capture still running to stop.
void WithCaptureWindow(const std::function<void(CCaptureDlg&)>& body);

// Selects COMn in the port list and clicks Receive. Returns true once the capture waits for
// data (its worker has written "Getting data..."); false when the port did not open or the
// worker did not start within timeoutMs.
bool StartCapture(CCaptureDlg& dlg, int comNumber, int timeoutMs = 5000);

// Clicks the Receive button; while a capture runs it reads Cancel.
void ClickReceive(CCaptureDlg& dlg);

// Runs events until the window is idle again (capture over, lists enabled, Receive caption
// back); false after timeoutMs.
bool WaitUntilIdle(CCaptureDlg& dlg, int timeoutMs);

// Runs events until the control is enabled. *when is the moment of the change, taken on the
// window's thread as the change is made, not when a later look saw it. False after timeoutMs.
bool WaitUntilEnabled(const CWnd& control, int timeoutMs, Clock::time_point* when);

// Runs events for ms milliseconds; nothing of the benchmark's wakes the thread meanwhile.
void RunEventsFor(int ms);

// Runs events until pred() holds, looking every millisecond; false after timeoutMs.
bool RunEventsUntil(const std::function<bool()>& pred, int timeoutMs);

std::string TextOf(const CWnd& wnd);
