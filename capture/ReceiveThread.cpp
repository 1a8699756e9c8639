// The capture worker and ResetControls.
//
// The worker reads the port in chunks, appends each chunk to the capture buffer and decides
// when the sender has finished: a Ctrl-Z byte anywhere in a chunk, or IDLE_LIMIT empty reads in
// a row once data has begun. Before the first byte it waits without limit. It then shows the
// beginning of the capture, a closing line and the byte count, and enables Save. Cancel (a stop
// request, m_bStop) is looked at before every read.
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "port/Port.h"
#include "ui/CaptureDlg.h"

namespace {

constexpr int READ_CHUNK = 256;     // bytes asked of the port per read
constexpr int IDLE_LIMIT = 6;       // empty reads in a row, after data, that end a capture
constexpr int PREVIEW_SIZE = 4096;  // most bytes shown at the end
constexpr BYTE END_BYTE = 0x1A;     // Ctrl-Z

// A port that fails fails every read at once (an unplugged adapter). Each failed read is
// followed by this pause, the time an empty read of a chunk takes, so a dead port costs next to
// no CPU while the worker keeps retrying until Cancel, and a Cancel still takes effect within
// one read time-out.
constexpr DWORD FAILED_READ_PAUSE = 500 + READ_CHUNK;

// The counts are 32-bit: the buffer grows in whole blocks up to the last one that fits.
constexpr std::int32_t MAX_CAPACITY = (INT32_MAX / CAPTURE_BLOCK) * CAPTURE_BLOCK;

const char* const kReadErrorNotice = "\r\nPort read error: retrying. Press Cancel to stop.\r\n";
const char* const kDeviceGoneNotice =
    "\r\nPort read error: the device is gone. Press Cancel to stop.\r\n";
const char* const kOutOfMemoryNotice = "\r\nOut of memory: the capture stopped here.";
const char* const kSizeLimitNotice = "\r\nSize limit reached (2 GB): the capture stopped here.";
const char* const kNoBufferNotice = "Out of memory: no room for a capture.";

// Why a capture stopped before its sender finished.
enum class Shortfall { kNone, kOutOfMemory, kSizeLimit };

// Grows the capture buffer by one block, keeping its contents. On failure the buffer stays as
// it was and the reason is returned.
Shortfall GrowBuffer(CCaptureDlg* pDlg) {
    if (pDlg->m_nCapacity > MAX_CAPACITY - CAPTURE_BLOCK) {
        return Shortfall::kSizeLimit;
    }
    std::int32_t nCapacity = pDlg->m_nCapacity + CAPTURE_BLOCK;
    void* pGrown = std::realloc(pDlg->m_pBuffer, static_cast<std::size_t>(nCapacity));
    if (!pGrown) {
        return Shortfall::kOutOfMemory;
    }
    pDlg->m_pBuffer = static_cast<BYTE*>(pGrown);
    pDlg->m_nCapacity = nCapacity;
    return Shortfall::kNone;
}

}  // namespace

UINT ReceiveThread(LPVOID pParam) {
    CCaptureDlg* pDlg = static_cast<CCaptureDlg*>(pParam);
    BYTE chunk[READ_CHUNK + 1];
    char preview[PREVIEW_SIZE + 1];

    pDlg->AppendText("Getting data...\r\n");

    if (pDlg->m_nCapacity == 0 && GrowBuffer(pDlg) != Shortfall::kNone) {
        pDlg->SendCall([pDlg] {
            pDlg->ResetControls();
            pDlg->ClearText();
            pDlg->AppendText(kNoBufferNotice);
        });
        return 0;
    }
    pDlg->m_pBuffer[0] = 0;
    pDlg->m_nLength = 0;
    bool bEnd = false;
    int nChunks = 0;
    int nIdle = 0;
    int nFailure = 0;  // the last read's result while reads fail, else 0
    Shortfall shortfall = Shortfall::kNone;

    for (;;) {
        if (pDlg->m_bStop) {
            // Abort path. The steps after ResetControls run with it as one step on the window's
            // thread: a capture started in between would otherwise receive this one's texts.
            pDlg->m_bStop = 0;
            pDlg->SendCall([pDlg] {
                pDlg->ResetControls();
                pDlg->ClearText();
                pDlg->AppendText("ABORT.\r\n");
            });
            return 0;
        }

        int n = ReadPort(chunk, READ_CHUNK);
        if (n < 0) {
            // Told once when the reads start failing, and again if they fail for another
            // reason. A device that is gone stays gone: the worker waits for Cancel.
            if (n != nFailure) {
                nFailure = n;
                pDlg->AppendText(n == READ_DEVICE_GONE ? kDeviceGoneNotice : kReadErrorNotice);
            }
            Sleep(FAILED_READ_PAUSE);
            continue;
        }
        nFailure = 0;
        if (n == 0) {
            if (nChunks == 0) {
                continue;
            }
            if (++nIdle < IDLE_LIMIT) {
                continue;
            }
            // Silence after data: close the capture with a one-byte zero chunk.
            chunk[0] = 0;
            bEnd = true;
            n = 1;
        }
        chunk[n] = 0;
        ++nChunks;
        nIdle = 0;

        if (nChunks % 4 == 1) {
            pDlg->AppendText(".");
        }

        for (int i = 0; i < n; ++i) {
            if (chunk[i] == END_BYTE) {
                chunk[i] = 0;
                bEnd = true;
            }
        }

        if (pDlg->m_nLength + n > pDlg->m_nCapacity) {
            shortfall = GrowBuffer(pDlg);
            if (shortfall != Shortfall::kNone) {
                // Keep what fits; the capture ends with the buffer full.
                n = pDlg->m_nCapacity - pDlg->m_nLength;
                bEnd = true;
            }
        }
        std::memcpy(pDlg->m_pBuffer + pDlg->m_nLength, chunk, static_cast<std::size_t>(n));
        pDlg->m_nLength += n;

        if (bEnd) {
            break;
        }
    }

    // End path: the capture is complete.
    pDlg->ClearText();
    // Up to the first zero byte, at most PREVIEW_SIZE bytes. A completed capture holds a zero at
    // or before its last byte; one cut short by memory may not, hence the bound on m_nLength.
    int nPreview = 0;
    while (nPreview < PREVIEW_SIZE && nPreview < pDlg->m_nLength &&
           pDlg->m_pBuffer[nPreview] != 0) {
        preview[nPreview] = static_cast<char>(pDlg->m_pBuffer[nPreview]);
        ++nPreview;
    }
    preview[nPreview] = 0;
    pDlg->AppendText(preview);
    if (pDlg->m_nLength >= PREVIEW_SIZE) {
        pDlg->AppendText("\r\n\r\n...and more...\r\n");
    } else {
        pDlg->AppendText("\r\n\r\n...end of data.\r\n");
    }
    pDlg->AppendFormat("%d bytes.", pDlg->m_nLength);
    if (shortfall == Shortfall::kOutOfMemory) {
        pDlg->AppendText(kOutOfMemoryNotice);
    } else if (shortfall == Shortfall::kSizeLimit) {
        pDlg->AppendText(kSizeLimitNotice);
    }
    pDlg->m_btnSave.EnableWindow(TRUE);
    pDlg->ResetControls();
    return 0;
}

void CCaptureDlg::ResetControls() {
    SendCall([this] {
        // The port is closed before m_bReceiving drops: from then on a new capture may open a
        // port, and this close must never hit it.
        ClosePort();
        m_bReceiving = 0;
        m_btnReceive.SetWindowText("Receive(&R)");
        m_cmbPort.EnableWindow(TRUE);
        m_cmbBaudrate.EnableWindow(TRUE);
    });
}
