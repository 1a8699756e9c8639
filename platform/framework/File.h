// Files and the file dialog.
#pragma once

#include <memory>

#include "platform/WinTypes.h"
#include "platform/framework/String.h"

class FileProgress;
class QSaveFile;

// A file opened for writing, byte for byte (no conversion of any kind). A file name is bytes in
// the file system's encoding, as CFileDialog::GetPathName gives it, whatever the code page.
//
// An existing regular file is replaced only at a Close that succeeds: until then the bytes go to
// a new file beside it, and a Write or Close that fails removes that file and leaves the old one
// as it was. Only a writable file in a folder where no file can be created is written in place.
//
// Called on the window's thread, a CFile never keeps that thread waiting: Write and Close do
// their work on a thread of their own while the window goes on painting. When one of them takes
// longer than about half a second, a modal progress window over the main window shows how far it
// has got, and while bytes are being written it offers Cancel, which fails the Write.
class CFile {
public:
    enum OpenFlags : UINT {
        modeWrite = 0x0001,
        modeCreate = 0x1000,  // create, or replace an existing file
    };

    CFile();
    ~CFile();  // closes a file still open, ignoring errors; a file not yet replaced stays as it was
    CFile(const CFile&) = delete;
    CFile& operator=(const CFile&) = delete;

    // Takes modeCreate | modeWrite. FALSE when the path cannot be opened or created (missing
    // folder, no permission, a read-only file, a folder, a name too long), when it would have to
    // wait for a reader (a FIFO nobody reads), for other flags, or when this object is already
    // open.
    BOOL Open(LPCSTR lpszFileName, UINT nOpenFlags);
    // Writes all nCount bytes; FALSE on any error (disk full, device error, a reader that went
    // away) or when the user cancels. A file that takes no more bytes for now (a FIFO or terminal
    // nobody reads) is waited for until it does or the user cancels.
    BOOL Write(const void* lpBuf, UINT nCount);
    // Flushes the file to its device, closes it and puts it in place of the file it replaces;
    // FALSE when a Write failed, the user cancelled, or any of these reports an error (a write
    // the disk fails only now), and then a replaced file is left as it was. A file that cannot be
    // flushed at all, such as a terminal or /dev/null, is no error. The file is closed either way.
    BOOL Close();

private:
    int m_fd = -1;
    // The new file beside a regular file (or the file itself, where none can be made beside it);
    // null for a target written in place (a FIFO, a terminal, a device).
    std::unique_ptr<QSaveFile> m_save;
    bool m_failed = false;  // a Write failed: Close does not put the file in place
    // The progress window and the cancel request of the open file.
    std::unique_ptr<FileProgress> m_progress;
};

// The save dialog. The filter is "text|patterns|text|patterns||"; "*.*" means every file.
class CFileDialog {
public:
    // The layer makes the one dialog the program asks for: a save dialog (bOpenFileDialog
    // FALSE) with no file name filled in (lpszFileName null). lpszDefExt is added to a name
    // typed without an extension. OFN_CREATEPROMPT asks before naming a file that does not exist,
    // and the dialog stays open when the user declines; an existing file is chosen without
    // asking. The application's main window owns the dialog and takes no input while it is open.
    CFileDialog(BOOL bOpenFileDialog, LPCSTR lpszDefExt, LPCSTR lpszFileName, DWORD dwFlags,
                LPCSTR lpszFilter);

    INT_PTR DoModal();  // IDOK or IDCANCEL
    // The chosen file, as the bytes of its name in the file system (for CFile::Open).
    CString GetPathName() const;

private:
    CString m_strDefExt;
    DWORD m_dwFlags;
    CString m_strFilter;
    CString m_strPathName;
};
