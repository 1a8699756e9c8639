// The main window as tests and benchmarks see and drive it: its controls' widgets and texts, the
// user's clicks and choices, its states, and a capture started as the user starts one. Free of
// GoogleTest; tests' expectations on it are in Checks.h.
#pragma once

#include <functional>
#include <string>

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
// then closes it with Esc. Destroying the window waits for a capture still running.
void WithWindow(const std::function<void(CCaptureDlg&)>& body);
// Chooses COMn and presses Receive; true once the capture waits for data, false when the window
// went back to idle (the port did not open) or nothing happened within 10 s.
bool StartCapture(CCaptureDlg& dlg, int n);
