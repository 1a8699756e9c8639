#include "tests/capture/CaptureFixture.h"

#include <QTimer>

void CaptureTest::WithWindow(const std::function<void(CCaptureDlg&)>& body) {
    CCaptureDlg dlg;
    QTimer::singleShot(0, [&] {
        body(dlg);
        dlg.EndDialog(IDCANCEL);
    });
    dlg.DoModal();
}

std::string CaptureTest::Text(const CWnd& wnd) {
    CString text;
    wnd.GetWindowText(text);
    return std::string(text);
}

bool CaptureTest::Idle(const CCaptureDlg& dlg) {
    return dlg.m_bReceiving == 0 && Text(dlg.m_btnReceive) == "Receive(&R)" &&
           dlg.m_cmbPort.IsWindowEnabled() && dlg.m_cmbBaudrate.IsWindowEnabled();
}

bool CaptureTest::CaptureToEnd(CCaptureDlg& dlg, int timeoutMs) {
    dlg.OnReceive();
    return WaitUntil([&] { return Idle(dlg); }, timeoutMs);
}
