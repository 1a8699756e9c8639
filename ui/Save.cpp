// The Save command: writes the last completed capture, byte for byte, to a file the user names.
#include "ui/CaptureDlg.h"

void CCaptureDlg::OnSave() {
    CFileDialog dlg(FALSE, "txt", nullptr, OFN_CREATEPROMPT,
                    "Text files(*.txt)|*.txt|All files(*.*)|*.*||");
    if (dlg.DoModal() != IDOK) {
        return;
    }

    CFile file;
    if (!file.Open(dlg.GetPathName(), CFile::modeCreate | CFile::modeWrite)) {
        MessageBox("File open error.");
        return;
    }
    BOOL bWritten = file.Write(m_pBuffer, static_cast<UINT>(m_nLength));
    BOOL bClosed = file.Close();
    if (!bWritten || !bClosed) {
        // The bytes written before the error (or before the user cancelled) stay in the file;
        // it must not pass for a whole capture.
        MessageBox("File write error. The saved file is incomplete.");
        return;
    }
    MessageBox("Save complete.");
}
