// A dialog over the program's main-window template with message maps of its own (a derived
// map over a base map), recording what reaches its handlers; and a modal run driven by a
// script.
#pragma once

#include <QDialog>
#include <functional>
#include <string>
#include <vector>

#include "platform/framework/Framework.h"
#include "platform/framework/Widgets.h"
#include "res/resource.h"
#include "tests/support/Wait.h"

using Calls = std::vector<std::string>;

class TestDialogBase : public CDialog {
public:
    TestDialogBase() : CDialog(IDD_CAPTURE_DIALOG) {}
    Calls calls;  // the handlers that ran, in order

protected:
    void OnBaseReceive() { calls.push_back("base receive"); }
    void OnBaseSave() { calls.push_back("base save"); }
    DECLARE_MESSAGE_MAP()
};

class TestDialog : public TestDialogBase {
public:
    CButton m_btnReceive;
    CButton m_btnSave;
    CEdit m_editText;
    CComboBox m_cmbPort;
    CComboBox m_cmbBaudrate;
    HICON m_hIcon = nullptr;    // what the drag-icon handler returns
    bool m_iconDefault = true;  // whether the WM_SETICON handler lets the layer set the icon

    QDialog* Window() const { return static_cast<QDialog*>(WidgetOf(m_hWnd)); }
    template <typename W = QWidget>
    W* Control(const CWnd& control) const {
        return dynamic_cast<W*>(WidgetOf(control.m_hWnd));
    }

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;
    void OnReceive() { calls.push_back("receive"); }
    void OnReceiveAgain() { calls.push_back("receive again"); }
    void OnShowWindow(BOOL bShow, UINT nStatus);
    HCURSOR OnQueryDragIcon() { return m_hIcon; }
    LRESULT OnSetIcon();
    DECLARE_MESSAGE_MAP()
};

// Runs dialog modally; script runs once the window is up. Whatever the script leaves open is
// ended with kScriptLeftOpen, so a failed expectation cannot hang the suite.
constexpr int kScriptLeftOpen = 99;
INT_PTR RunModal(TestDialog& dialog, const std::function<void(QDialog*)>& script);
