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

bool CaptureTest::CaptureToEnd(CCaptureDlg& dlg, int timeoutMs) {
    dlg.OnReceive();
    return WaitUntil([&] { return Idle(dlg); }, timeoutMs);
}
