// The main window as tests and benchmarks see and drive it: its controls' widgets and texts, the
// user's clicks and choices, its states, a capture started as the user starts one, and Save
// with its dialogs answered. Free of GoogleTest; tests' expectations on it are in Checks.h.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "ui/CaptureDlg.h"

class QWidget;

QWidget* Widget(const CWnd& wnd);
std::string Text(const CWnd& wnd);
// A click with the mouse, as the user gives it.
void Press(CButton& button);
// The user picks an entry of a drop-down list; false (and the list unchanged) when it has none
// of that text.
bool Choose(CComboBox& list, const std::string& entry);
std::string Com(int n);
// Idle: no capture runs, the Receive caption is back and both lists are enabled.
bool Idle(const CCaptureDlg& dlg);
// A capture waits for its first byte: the worker's first text and nothing after it.
bool Waiting(const CCaptureDlg& dlg);
// The capture as stored: the first m_nLength bytes of the buffer. Only while no worker runs.
std::string Stored(const CCaptureDlg& dlg);

// Opens the main window as the program does (a modal dialog), runs body within its modal loop,
// then closes it with Esc unless body closed it; returns DoModal's result. Destroying the window
// waits for a capture still running. The window loads its icon from the application object,
// which must exist.
INT_PTR WithWindow(const std::function<void(CCaptureDlg&)>& body);
// Chooses COMn and presses Receive; true once the capture waits for data, false when the window
// went back to idle (the port did not open) or nothing happened within 10 s.
bool StartCapture(CCaptureDlg& dlg, int n);

// What one press of Save brought up.
struct SaveRun {
    int fileDialogs = 0;
    int createPrompts = 0;
    std::vector<std::string> messages;    // the results, in order
    std::vector<std::string> unexpected;  // any other window, by class, closed unanswered
};
// Presses Save and answers what comes up as the user does: names path in the file dialog, lets
// it create the file when it asks, reads each result, and lets a progress window run. Returns
// when the command has finished.
SaveRun Save(CCaptureDlg& dlg, const std::string& path);
