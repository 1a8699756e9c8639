// Windows, dialogs and controls of the framework layer, built on Qt Widgets.
//
// Principles of operation:
// - A CWnd stands for one widget (m_hWnd). Every operation on it is carried out on the thread
//   that runs the window (the window's thread). Called from any other thread, the call waits
//   until the window's thread has carried it out, so calls from one thread take effect in
//   call order; the window keeps handling input and painting meanwhile. This is how a worker
//   thread shows progress.
// - A dialog is made from a template of the program's resources (Resources.h): its controls,
//   their positions in dialog units, captions, styles and tab order. DoModal shows it centred
//   and runs it until EndDialog; Esc and the close box end it with IDCANCEL; Enter on a list
//   with a closed drop-down ends it with IDOK; Enter on a push button clicks that button.
// - Messages (paint, show, drag icon, button clicks, commands) go through message maps
//   (MessageMap.h); a handler may call Default() for the layer's own handling.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/WinTypes.h"
#include "platform/framework/Gdi.h"
#include "platform/framework/MessageMap.h"
#include "platform/framework/String.h"

struct HWND__;
using HWND = HWND__*;

class CWnd : public CCmdTarget {
public:
    CWnd() = default;
    ~CWnd() override;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND m_hWnd = nullptr;
    HWND GetSafeHwnd() const { return m_hWnd; }

    // Texts are bytes in the process's code page.
    void SetWindowText(LPCSTR text);
    void GetWindowText(CString& text) const;

    BOOL EnableWindow(BOOL bEnable = TRUE);  // returns whether it was disabled before
    BOOL IsWindowEnabled() const;
    BOOL IsIconic() const;
    void GetClientRect(RECT* rect) const;

    // Carries out one message: the window's message map first, then the layer's own handling
    // of WM_SETTEXT, WM_SETICON, WM_SETFONT, WM_ICONERASEBKGND, EM_REPLACESEL, CB_ADDSTRING
    // and CB_SETCURSEL. Blocks as described above when called from another thread.
    LRESULT SendMessage(UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    // Runs fn on the window's thread and waits for it, as SendMessage does: no input is handled
    // between the steps of fn, so a group of steps takes effect as one.
    void SendCall(const std::function<void()>& fn);

    // WM_SETICON: the window's icon, big and small alike; returns the one it had before.
    HICON SetIcon(HICON hIcon, BOOL bBigIcon);

    // A modal message box with an OK button, owned by this window and captioned with the
    // application's name.
    int MessageBox(LPCSTR lpszText);

protected:
    // The layer's own handling of the message being dispatched now.
    LRESULT Default();

    void OnPaint() { Default(); }
    void OnShowWindow(BOOL, UINT) { Default(); }
    HCURSOR OnQueryDragIcon() { return reinterpret_cast<HCURSOR>(Default()); }

    friend class CDataExchange;
    friend void DDX_Control(class CDataExchange* pDX, int nIDC, CWnd& rControl);
};

// DoDataExchange's context: binds control members to the controls of a dialog.
class CDataExchange {
public:
    CDataExchange(CWnd* pDlgWnd, BOOL bSaveAndValidate)
        : m_bSaveAndValidate(bSaveAndValidate), m_pDlgWnd(pDlgWnd) {}
    BOOL m_bSaveAndValidate;
    CWnd* m_pDlgWnd;
};

// Makes rControl stand for the dialog's control nIDC (once; later calls keep the binding).
void DDX_Control(CDataExchange* pDX, int nIDC, CWnd& rControl);

class CDialog : public CWnd {
public:
    // The program's one window has no parent: pParentWnd is null, and the window opens centred
    // on the screen.
    explicit CDialog(UINT nIDTemplate, CWnd* pParentWnd = nullptr);
    ~CDialog() override;

    // Creates the window from the template, runs OnInitDialog, shows it centred and handles
    // its input until EndDialog; returns the code given to EndDialog. Afterwards the window is
    // hidden but its controls stay valid until the object is destroyed, so a worker that still
    // uses them does no harm.
    virtual INT_PTR DoModal();
    void EndDialog(int nResult);

    // Binds controls (DoDataExchange); TRUE gives the focus to the first tab-stop control.
    virtual BOOL OnInitDialog();
    virtual void OnOK();      // EndDialog(IDOK)
    virtual void OnCancel();  // EndDialog(IDCANCEL)

    // Commands go to the dialog's message map first, then to the application's.
    BOOL OnCmdMsg(UINT nID, UINT nCode) override;

protected:
    virtual void DoDataExchange(CDataExchange* pDX);
    BOOL UpdateData(BOOL bSaveAndValidate = TRUE);

    DECLARE_MESSAGE_MAP()

private:
    UINT m_nIDTemplate;
};

class CButton : public CWnd {};

// The multi-line text area. Its text is bytes in the process's code page; CR LF, a lone LF and
// a lone CR each end a line, other control bytes and bytes that are not valid text are shown
// as visible symbols, and reading the text back gives exactly the bytes put in.
class CEdit : public CWnd {
public:
    // Replaces the selection (at the caret when nothing is selected) with text; the caret ends
    // after it. A read-only text area takes this too.
    void ReplaceSel(LPCSTR text, BOOL bCanUndo = FALSE);
};

class CComboBox : public CWnd {
public:
    int AddString(LPCSTR text);  // index of the new entry (lists are not sorted)
    int SetCurSel(int nSelect);  // CB_ERR when out of range
};

constexpr int CB_ERR = -1;

// The tooltips of a drop-down list's entries: given the entries' texts, one tooltip for each
// ("" for none). A list asks each time it opens, so that a tooltip can tell what is true then.
using ListToolTips = std::vector<std::string> (*)(const std::vector<std::string>& entries);
// Sets where every list takes its tooltips from (null: no tooltips, as at start). Call before
// the first window opens.
void SetListToolTips(ListToolTips tips);
