// Files and the file dialog.
#pragma once

#include "platform/WinTypes.h"
#include "platform/framework/String.h"

class CWnd;

// A file opened for writing, byte for byte (no conversion of any kind).
class CFile {
public:
    enum OpenFlags : UINT {
        modeWrite = 0x0001,
        modeCreate = 0x1000,  // create, or truncate an existing file
    };

    CFile() = default;
    ~CFile();  // closes a file still open, ignoring errors
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // FALSE when the path cannot be opened or created (missing folder, no permission, a folder),
    // when modeWrite is missing or another flag is given, or when this object is already open.
    BOOL Open(LPCSTR lpszFileName, UINT nOpenFlags);
    // Writes all nCount bytes; FALSE on any error (disk full, device error), with the bytes
    // written so far left in the file.
    BOOL Write(const void* lpBuf, UINT nCount);
    // Flushes the file to its device and closes it; FALSE when either reports an error (a
    // write the disk fails only now). A file that cannot be flushed at all, such as a terminal
    // or /dev/null, is no error. The file is closed either way.
    BOOL Close();

private:
    int m_fd = -1;
};

// The file dialog. The filter is "text|patterns|text|patterns||"; "*.*" means every file.
class CFileDialog {
public:
    // bOpenFileDialog FALSE makes a save dialog. lpszDefExt is added to a name typed without an
    // extension. OFN_CREATEPROMPT asks before naming a file that does not exist, and the dialog
    // stays open when the user declines; without OFN_OVERWRITEPROMPT an existing file is chosen
    // without asking. A null parent means the application's main window, which takes no input
    // while the dialog is open.
    CFileDialog(BOOL bOpenFileDialog, LPCSTR lpszDefExt = nullptr, LPCSTR lpszFileName = nullptr,
                DWORD dwFlags = 0, LPCSTR lpszFilter = nullptr, CWnd* pParentWnd = nullptr);

    INT_PTR DoModal();  // IDOK or IDCANCEL
    CString GetPathName() const;

private:
    BOOL m_bOpenFileDialog;
    CString m_strDefExt;
    CString m_strFileName;
    DWORD m_dwFlags;
    CString m_strFilter;
    CWnd* m_pParentWnd;
    CString m_strPathName;
};
