// The Receive/Cancel command: one button that starts a capture while none runs and asks the
// running one to stop otherwise.
#include <cstdlib>

#include "port/Port.h"
#include "ui/CaptureDlg.h"

void CCaptureDlg::OnReceive() {
    if (m_bReceiving) {
        // The worker looks at the request before its next read.
        m_bStop = 1;
        return;
    }

    ClearText();
    m_btnSave.EnableWindow(FALSE);
    m_cmbPort.EnableWindow(FALSE);
    m_cmbBaudrate.EnableWindow(FALSE);
    m_btnReceive.SetWindowText("Cancel(&C)");
    // A Cancel pressed after the previous worker's last look at the request was never acted on;
    // it must not end this capture.
    m_bStop = 0;
    m_bReceiving = 1;

    CString port;
    CString rate;
    m_cmbPort.GetWindowText(port);
    m_cmbBaudrate.GetWindowText(rate);
    CString path = CString("\\\\.\\") + port;
    int nRate = std::atoi(rate);

    if (OpenPort(path, nRate, 8, 0, 1) != 1) {
        AppendText("COM open error");
        // Under it, why: what the user can do about it differs with every reason.
        AppendText("\r\n");
        AppendText(OpenPortReason());
        ResetControls();
        return;
    }

    // Let the line settle, then throw away whatever arrived before or during the pause.
    Sleep(500);
    DrainPort();

    if (!AfxBeginThread(ReceiveThread, this, THREAD_PRIORITY_LOWEST, 0, 0, nullptr)) {
        // Without a worker nothing would ever end this capture or close the port.
        ResetControls();
        AppendText("Capture start error");
    }
}
