// Steps of a capture in the main window that tests take again and again, and what they expect
// of it, reported through GoogleTest.
#pragma once

#include <gtest/gtest.h>

#include "tests/support/Wait.h"
#include "tests/support/Window.h"

// Expects the controls of a running capture: Cancel offered, the lists and Save disabled.
inline void ExpectCaptureControls(const CCaptureDlg& dlg) {
    EXPECT_EQ(dlg.m_bReceiving, 1);
    EXPECT_EQ(Text(dlg.m_btnReceive), "Cancel(&C)");
    EXPECT_FALSE(dlg.m_cmbPort.IsWindowEnabled());
    EXPECT_FALSE(dlg.m_cmbBaudrate.IsWindowEnabled());
    EXPECT_FALSE(dlg.m_btnSave.IsWindowEnabled());
}

// Starts a capture on COMn and waits until its worker says it is waiting for data.
inline void StartOn(CCaptureDlg& dlg, int n) {
    ASSERT_TRUE(StartCapture(dlg, n)) << Com(n) << ", text: " << Text(dlg.m_editText);
}

// Presses Cancel and waits for the abort to finish.
inline void CancelCapture(CCaptureDlg& dlg) {
    Press(dlg.m_btnReceive);
    ASSERT_TRUE(WaitUntil([&] { return Idle(dlg); }));
    EXPECT_EQ(Text(dlg.m_editText), "ABORT.\r\n");
}

// Expects of one press of Save: one file dialog, the create prompt when the file is new, exactly
// one result, and no other window.
inline void ExpectSave(const SaveRun& run, bool created, const std::string& message) {
    EXPECT_EQ(run.fileDialogs, 1);
    EXPECT_EQ(run.createPrompts, created ? 1 : 0);
    EXPECT_TRUE(run.unexpected.empty()) << "an unexpected window: " << run.unexpected[0];
    ASSERT_EQ(run.messages.size(), 1u);
    EXPECT_EQ(run.messages[0], message);
}
