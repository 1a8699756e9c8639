#include "tests/platform/framework/TestDialog.h"

// The layer has no entry macro for WM_SETICON; this map routes it by hand.
#define ON_WM_SETICON_BY_HAND()                                       \
    {WM_SETICON, 0, 0, [](CCmdTarget* p, WPARAM, LPARAM) -> LRESULT { \
         return static_cast<ThisClass*>(p)->OnSetIcon();              \
     }},

BEGIN_MESSAGE_MAP(TestDialogBase, CDialog)
ON_BN_CLICKED(IDC_RECEIVE, &TestDialogBase::OnBaseReceive)
ON_BN_CLICKED(IDC_SAVE, &TestDialogBase::OnBaseSave)
END_MESSAGE_MAP()

// Two entries for IDC_RECEIVE: only the first may run. IDC_SAVE is left to the base map.
BEGIN_MESSAGE_MAP(TestDialog, TestDialogBase)
ON_BN_CLICKED(IDC_RECEIVE, &TestDialog::OnReceive)
ON_WM_QUERYDRAGICON()
ON_BN_CLICKED(IDC_RECEIVE, &TestDialog::OnReceiveAgain)
ON_WM_SHOWWINDOW()
ON_WM_SETICON_BY_HAND()
END_MESSAGE_MAP()

void TestDialog::DoDataExchange(CDataExchange* pDX) {
    DDX_Control(pDX, IDC_RECEIVE, m_btnReceive);
    DDX_Control(pDX, IDC_SAVE, m_btnSave);
    DDX_Control(pDX, IDC_TEXT, m_editText);
    DDX_Control(pDX, IDC_PORT, m_cmbPort);
    DDX_Control(pDX, IDC_BAUDRATE, m_cmbBaudrate);
}

BOOL TestDialog::OnInitDialog() {
    calls.push_back("init");
    CDialog::OnInitDialog();
    for (int n = 1; n <= 20; ++n) {
        m_cmbPort.AddString(("COM" + std::to_string(n)).c_str());
    }
    m_cmbPort.SetCurSel(0);
    m_cmbBaudrate.AddString("9600");
    m_cmbBaudrate.SetCurSel(m_cmbBaudrate.AddString("115200"));
    m_btnReceive.SetWindowText("Receive(&R)");
    return TRUE;
}

void TestDialog::OnShowWindow(BOOL bShow, UINT nStatus) {
    calls.push_back(bShow ? "show" : "hide");
    CDialog::OnShowWindow(bShow, nStatus);
}

// A message dispatched from within the handler must not change what Default() handles.
LRESULT TestDialog::OnSetIcon() {
    calls.push_back("set icon");
    SendMessage(WM_SETTEXT, 0, reinterpret_cast<LPARAM>("nested"));
    return m_iconDefault ? Default() : 0;
}

INT_PTR RunModal(TestDialog& dialog, const std::function<void(QDialog*)>& script) {
    WhenModalAppears([&](QWidget*) {
        script(dialog.Window());
        if (dialog.Window()->isVisible()) {
            dialog.EndDialog(kScriptLeftOpen);
        }
    });
    return dialog.DoModal();
}
