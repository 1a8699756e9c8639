// CCaptureDlg: the main window. It holds every piece of state the program has besides the
// port: its controls, the text-area font, the icon and the capture state that the Receive
// command and the capture worker share.
//
// Threads: the window's thread runs the commands (OnReceive, OnSave) and owns the controls;
// one capture worker (ReceiveThread) at a time reads the port and writes the capture buffer.
// The worker changes the display only through the view operations below, each carried out on
// the window's thread, in call order, before the worker goes on.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/framework/Framework.h"

// Initial size of the capture buffer and the step by which it grows.
constexpr std::int32_t CAPTURE_BLOCK = 0xA0000;

class CCaptureDlg : public CDialog {
public:
    explicit CCaptureDlg(CWnd* pParent = nullptr);
    ~CCaptureDlg() override;

    // View operations; callable from the window's thread and from the worker.
    void ClearText();
    // Replaces the text area's selection (an insertion at the caret) with text; not undoable.
    void AppendText(LPCSTR text);
    void AppendFormat(LPCSTR format, int value);

    // Returns the window to its idle state after a capture: the port closed, m_bReceiving 0,
    // the Receive caption back, both lists enabled. Save, the text and m_bStop are untouched.
    // Carried out on the window's thread as one step, so no click falls in its middle.
    void ResetControls();

    // The Receive/Cancel and Save commands.
    void OnReceive();
    void OnSave();

protected:
    void DoDataExchange(CDataExchange* pDX) override;
    BOOL OnInitDialog() override;

    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void OnShowWindow(BOOL bShow, UINT nStatus);

    DECLARE_MESSAGE_MAP()

public:
    CButton m_btnReceive;
    CButton m_btnSave;
    CEdit m_editText;
    CComboBox m_cmbPort;
    CComboBox m_cmbBaudrate;
    // Stop request: 1 from the window's thread (Cancel), back to 0 by the worker acting on it.
    std::atomic<std::int32_t> m_bStop{0};
    CFont m_font;
    // A capture runs (from the press of Receive to ResetControls).
    std::atomic<std::int32_t> m_bReceiving{0};
    // The capture buffer, its size and the bytes captured. Written by the worker while a
    // capture runs; read by Save only while the Save button is enabled, which the worker does
    // after its last write (the enabling is a call the window's thread carries out, so the
    // writes are complete and visible before it).
    BYTE* m_pBuffer;
    std::int32_t m_nCapacity;
    std::int32_t m_nLength;
    HICON m_hIcon;
};

// The capture worker's thread procedure (capture/ReceiveThread.cpp); pParam is the window.
UINT ReceiveThread(LPVOID pParam);
