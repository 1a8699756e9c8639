#include "tests/capture/CaptureFixture.h"

bool CaptureTest::CaptureToEnd(CCaptureDlg& dlg, int timeoutMs) {
    dlg.OnReceive();
    return WaitUntil([&] { return Idle(dlg); }, timeoutMs);
}
