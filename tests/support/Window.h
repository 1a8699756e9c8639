// The main window as a test sees and drives it: its controls' widgets and texts, the user's
// clicks and choices, and its idle state.
#pragma once

#include <string>

#include "ui/CaptureDlg.h"

class QWidget;

QWidget* Widget(const CWnd& wnd);
std::string Text(const CWnd& wnd);
// A click with the mouse, as the user gives it.
void Press(CButton& button);
// The user picks an entry of a drop-down list.
void Choose(CComboBox& list, const std::string& entry);
std::string Com(int n);
// Idle: no capture runs, the Receive caption is back and both lists are enabled.
bool Idle(const CCaptureDlg& dlg);
// A capture waits for its first byte: the worker's first text and nothing after it.
bool Waiting(const CCaptureDlg& dlg);
// Expects the controls of a running capture: Cancel offered, the lists and Save disabled.
void ExpectCaptureControls(const CCaptureDlg& dlg);
// The capture as stored: the first m_nLength bytes of the buffer. Only while no worker runs.
std::string Stored(const CCaptureDlg& dlg);
