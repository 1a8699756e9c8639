#include "tests/support/Window.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QTest>
#include <QWidget>

QWidget* Widget(const CWnd& wnd) {
    return reinterpret_cast<QWidget*>(wnd.m_hWnd);
}

std::string Text(const CWnd& wnd) {
    CString text;
    wnd.GetWindowText(text);
    return std::string(text);
}

void Press(CButton& button) {
    QTest::mouseClick(Widget(button), Qt::LeftButton);
}

void Choose(CComboBox& list, const std::string& entry) {
    auto* combo = qobject_cast<QComboBox*>(Widget(list));
    ASSERT_NE(combo, nullptr);
    const int index = combo->findText(QString::fromStdString(entry));
    ASSERT_GE(index, 0) << entry;
    combo->setCurrentIndex(index);
}

std::string Com(int n) {
    return "COM" + std::to_string(n);
}

bool Idle(const CCaptureDlg& dlg) {
    return dlg.m_bReceiving == 0 && Text(dlg.m_btnReceive) == "Receive(&R)" &&
           dlg.m_cmbPort.IsWindowEnabled() && dlg.m_cmbBaudrate.IsWindowEnabled();
}

bool Waiting(const CCaptureDlg& dlg) {
    return Text(dlg.m_editText) == "Getting data...\r\n";
}

void ExpectCaptureControls(const CCaptureDlg& dlg) {
    EXPECT_EQ(dlg.m_bReceiving, 1);
    EXPECT_EQ(Text(dlg.m_btnReceive), "Cancel(&C)");
    EXPECT_FALSE(dlg.m_cmbPort.IsWindowEnabled());
    EXPECT_FALSE(dlg.m_cmbBaudrate.IsWindowEnabled());
    EXPECT_FALSE(dlg.m_btnSave.IsWindowEnabled());
}

std::string Stored(const CCaptureDlg& dlg) {
    return std::string(reinterpret_cast<const char*>(dlg.m_pBuffer),
                       static_cast<std::size_t>(dlg.m_nLength));
}
