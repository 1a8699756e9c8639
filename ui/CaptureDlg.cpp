// The main window: construction, the lists and captions it opens with, its font and icon, and
// the view operations the commands and the capture worker use.
#include "ui/CaptureDlg.h"

#include <cstdlib>
#include <cstring>

#include "res/resource.h"

namespace {

// The baud-rate list, closed by "END", which is not an entry.
const char* const kBaudRates[] = {"9600", "19200", "38400", "57600", "115200", "230400", "END"};

constexpr int kPortCount = 31;
constexpr int kDefaultBaudIndex = 4;  // "115200"

}  // namespace

CCaptureDlg::CCaptureDlg(CWnd* pParent) : CDialog(IDD_CAPTURE_DIALOG, pParent) {
    m_hIcon = AfxGetApp()->LoadIcon(IDR_MAINFRAME);
    // Without this block the worker has nowhere to store a capture. A failed allocation is not
    // fatal here: the worker tries again when a capture starts and tells the user if it fails.
    m_pBuffer = static_cast<BYTE*>(std::malloc(CAPTURE_BLOCK));
    m_nCapacity = m_pBuffer ? CAPTURE_BLOCK : 0;
    m_nLength = 0;
}

CCaptureDlg::~CCaptureDlg() {
    // A capture may still run when the window closes. The worker uses this object and its
    // buffer, so it is asked to stop and waited for; the wait keeps carrying out the view
    // operations the worker sends, so the worker is never left waiting on this thread.
    if (m_bReceiving) {
        m_bStop = 1;
    }
    AfxWaitForThreads();
    std::free(m_pBuffer);
    // m_font releases its font itself.
}

void CCaptureDlg::DoDataExchange(CDataExchange* pDX) {
    CDialog::DoDataExchange(pDX);
    DDX_Control(pDX, IDC_RECEIVE, m_btnReceive);
    DDX_Control(pDX, IDC_SAVE, m_btnSave);
    DDX_Control(pDX, IDC_TEXT, m_editText);
    DDX_Control(pDX, IDC_PORT, m_cmbPort);
    DDX_Control(pDX, IDC_BAUDRATE, m_cmbBaudrate);
}

BEGIN_MESSAGE_MAP(CCaptureDlg, CDialog)
ON_WM_PAINT()
ON_WM_QUERYDRAGICON()
ON_BN_CLICKED(IDC_RECEIVE, &CCaptureDlg::OnReceive)
ON_BN_CLICKED(IDC_SAVE, &CCaptureDlg::OnSave)
ON_WM_SHOWWINDOW()
END_MESSAGE_MAP()

BOOL CCaptureDlg::OnInitDialog() {
    CDialog::OnInitDialog();

    SetIcon(m_hIcon, TRUE);
    SetIcon(m_hIcon, FALSE);

    for (int n = 1; n <= kPortCount; ++n) {
        CString name;
        name.Format("COM%d", n);
        m_cmbPort.AddString(name);
    }
    m_cmbPort.SetCurSel(0);

    for (int i = 0; std::strcmp(kBaudRates[i], "END") != 0; ++i) {
        m_cmbBaudrate.AddString(kBaudRates[i]);
    }
    m_cmbBaudrate.SetCurSel(kDefaultBaudIndex);

    m_btnReceive.SetWindowText("Receive(&R)");
    m_btnSave.EnableWindow(FALSE);

    m_bReceiving = 0;
    m_bStop = 0;
    return TRUE;
}

void CCaptureDlg::OnShowWindow(BOOL bShow, UINT nStatus) {
    CDialog::OnShowWindow(bShow, nStatus);

    // Every show makes a new font. The text area is given the new one before the old one is
    // released, so it never holds a deleted font; when no font can be made it keeps (and is
    // given again) the one there is.
    CFont font;
    HFONT hOld = nullptr;
    if (font.CreateFont(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, 0, 0, 0, 0, FIXED_PITCH,
                        "ＭＳ ゴシック")) {
        hOld = m_font.Detach();
        m_font.Attach(font.Detach());
    }
    m_editText.SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(m_font.GetSafeHandle()), 1);
    if (hOld) {
        DeleteObject(hOld);
    }
}

void CCaptureDlg::OnPaint() {
    if (IsIconic()) {
        CPaintDC dc(this);
        SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc.GetSafeHdc()), 0);

        int cxIcon = GetSystemMetrics(SM_CXICON);
        int cyIcon = GetSystemMetrics(SM_CYICON);
        CRect rect;
        GetClientRect(&rect);
        int x = (rect.Width() - cxIcon + 1) / 2;
        int y = (rect.Height() - cyIcon + 1) / 2;
        dc.DrawIcon(x, y, m_hIcon);
    } else {
        CDialog::OnPaint();
    }
}

HCURSOR CCaptureDlg::OnQueryDragIcon() {
    return static_cast<HCURSOR>(m_hIcon);
}

void CCaptureDlg::ClearText() {
    m_editText.SetWindowText("");
}

void CCaptureDlg::AppendText(LPCSTR text) {
    m_editText.ReplaceSel(text, FALSE);
}

void CCaptureDlg::AppendFormat(LPCSTR format, int value) {
    CString text;
    text.Format(format, value);
    AppendText(text);
}
