#include "platform/comm/Comm.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "platform/comm/LineRate.h"
#include "platform/comm/LineSettings.h"
#include "platform/comm/PortNames.h"

namespace {

// ---- Last error ---------------------------------------------------------------------------

thread_local DWORD t_lastError = ERROR_SUCCESS;

// The one failure path: every failing call ends here with its reason, captured at the point
// of failure (never read from errno later, when another call may have changed it).
BOOL Fail(DWORD error) {
    t_lastError = error;
    return FALSE;
}

DWORD ErrorOfErrno(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EBUSY:        // TIOCEXCL held by another opener
        case EWOULDBLOCK:  // flock held by another opener
            return ERROR_SHARING_VIOLATION;
        case ENOTTY:
        case EISDIR:
            return ERROR_BAD_UNIT;
        case EIO:
            return ERROR_DEVICE_NOT_CONNECTED;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        default:
            return ERROR_GEN_FAILURE;
    }
}

BOOL FailErrno(int err) {
    return Fail(ErrorOfErrno(err));
}

// ---- The handle table ---------------------------------------------------------------------
//
// A handle is (serial << kSlotBits) | slot. The serial of every open is new, so a handle that
// was closed never names a port again, even when its slot is in use by a later open.

constexpr int kSlotBits = 6;
constexpr std::size_t kSlots = std::size_t{1} << kSlotBits;

// The receive queue the layer keeps for each port, as a serial driver does: a read takes as
// much from the device as it has, up to this size, so that a stream read in small requests
// costs one system call for many of them.
constexpr DWORD kReceiveQueueSize = 16384;

struct Port {
    std::uint64_t serial = 0;  // 0: slot free
    int fd = -1;
    bool vanished = false;  // the device hung up: reads fail once the queue is empty
    COMMTIMEOUTS timeouts = {};
    // Bytes read from the device and not yet returned: queued[queueStart, queueStart +
    // queueCount). Only a read outside the lock writes into the storage, and only while the
    // queue is empty, so the counts change under the lock alone.
    std::unique_ptr<BYTE[]> queued;
    DWORD queueStart = 0;
    DWORD queueCount = 0;
};

std::mutex g_tableMutex;
Port g_ports[kSlots];
std::uint64_t g_nextSerial = 1;

// The port that h names, or null when h names none. Call with g_tableMutex held.
Port* FindPort(HANDLE h) {
    const auto value = reinterpret_cast<std::uintptr_t>(h);
    const std::uint64_t serial = value >> kSlotBits;
    Port& port = g_ports[value & (kSlots - 1)];
    return serial != 0 && port.serial == serial ? &port : nullptr;
}

// ---- Opening the device -------------------------------------------------------------------

// Drops exclusive use and closes. TIOCNXCL first: a pty slave would otherwise stay exclusive
// after close. Only an opener that set TIOCEXCL may clear it: the flag belongs to the tty, so an
// opener turned away as busy would otherwise clear the flag of the one holding the port. The
// flock goes with the last descriptor of the open file.
void Release(int fd, bool exclusive) {
    if (exclusive) {
        ioctl(fd, TIOCNXCL);
    }
    close(fd);
}

// Applies want with one tcsetattr and reads it back. ERROR_SUCCESS, the failing call's error,
// or ERROR_INVALID_PARAMETER when the driver reported success without keeping everything.
DWORD ApplyLineSettings(int fd, const termios& want) {
    if (tcsetattr(fd, TCSANOW, &want) != 0) {
        return ErrorOfErrno(errno);
    }
    termios got;
    if (tcgetattr(fd, &got) != 0) {
        return ErrorOfErrno(errno);
    }
    return SameLineSettings(want, got) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

// Checks that fd is a tty, takes it for this opener alone and puts it in raw mode. *exclusive
// tells whether TIOCEXCL was set, also when a later step failed.
DWORD PrepareDevice(int fd, bool* exclusive) {
    *exclusive = false;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        return ErrorOfErrno(errno);
    }
    if (!S_ISCHR(st.st_mode)) {
        return ERROR_BAD_UNIT;
    }
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        return ErrorOfErrno(errno);  // ENOTTY for /dev/null and other character devices
    }
    // flock keeps out every other program that locks too, root included; TIOCEXCL keeps out
    // every other opener but root.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0) {
        return ErrorOfErrno(errno);
    }
    *exclusive = true;
    MakeRaw(&t);
    return ApplyLineSettings(fd, t);
}

// Raises or lowers RTS. A device without modem lines (a pty) answers ENOTTY or EINVAL: there
// is no line to set, which is not a failure. Any other answer is.
bool SetRts(int fd, bool raised) {
    int bits = TIOCM_RTS;
    return ioctl(fd, raised ? TIOCMBIS : TIOCMBIC, &bits) == 0 || errno == ENOTTY ||
           errno == EINVAL;
}

// ---- Reading ------------------------------------------------------------------------------

std::int64_t NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

constexpr std::int64_t kNsPerMs = 1000000;
constexpr std::int64_t kNoLimit = INT64_MAX;
constexpr std::uint64_t kMaxWaitMs = std::uint64_t{1} << 40;  // about 35 years

enum class ReadEnd { Done, Vanished, Failed };

// Reads into buffer until count bytes are there or the time-outs end the read, taking from the
// device up to kReceiveQueueSize bytes at a time into queue (empty on entry); *got holds the
// bytes delivered to buffer either way, *kept the bytes left at the start of queue. Time runs
// from start, for a read of total bytes in all (some of which the caller may already have had
// from the queue). Failed leaves errno set.
ReadEnd ReadWithin(int fd, BYTE* buffer, DWORD count, BYTE* queue, std::int64_t start, DWORD total,
                   const COMMTIMEOUTS& timeouts, DWORD* got, DWORD* kept) {
    // Below 2^64 for any DWORD values; waits beyond kMaxWaitMs are cut to it.
    const std::uint64_t totalMs = std::uint64_t{timeouts.ReadTotalTimeoutMultiplier} * total +
                                  timeouts.ReadTotalTimeoutConstant;
    const std::int64_t deadline =
        totalMs != 0 ? start + static_cast<std::int64_t>(std::min(totalMs, kMaxWaitMs)) * kNsPerMs
                     : kNoLimit;
    const std::int64_t intervalNs = std::int64_t{timeouts.ReadIntervalTimeout} * kNsPerMs;
    std::int64_t lastByte = start;
    *got = 0;
    *kept = 0;
    for (;;) {
        const ssize_t n = read(fd, queue, kReceiveQueueSize);
        if (n > 0) {
            const DWORD taken = std::min(static_cast<DWORD>(n), count - *got);
            std::memcpy(buffer + *got, queue, taken);
            *got += taken;
            if (*got == count) {
                *kept = static_cast<DWORD>(n) - taken;
                if (*kept > 0) {
                    std::memmove(queue, queue + taken, *kept);
                }
                return ReadEnd::Done;
            }
            lastByte = NowNs();
            continue;
        }
        if (n == 0) {
            return ReadEnd::Vanished;  // with VMIN 1 only a hung-up tty reads 0
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno == EIO) {
            return ReadEnd::Vanished;
        }
        if (errno != EAGAIN) {
            return ReadEnd::Failed;
        }

        std::int64_t until = deadline;
        if (*got > 0 && intervalNs != 0 && lastByte + intervalNs < until) {
            until = lastByte + intervalNs;
        }
        int waitMs = -1;
        if (until != kNoLimit) {
            const std::int64_t left = until - NowNs();
            if (left <= 0) {
                return ReadEnd::Done;
            }
            // Rounded up: a wait that ends early would only spin until the deadline.
            const std::int64_t leftMs = (left + kNsPerMs - 1) / kNsPerMs;
            waitMs = leftMs > INT_MAX ? INT_MAX : static_cast<int>(leftMs);
        }
        pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, waitMs);
        if (ready < 0 && errno != EINTR) {
            return ReadEnd::Failed;
        }
        if (ready > 0 && !(p.revents & POLLIN)) {
            if (p.revents & POLLNVAL) {
                errno = EBADF;
                return ReadEnd::Failed;
            }
            return ReadEnd::Vanished;  // POLLHUP or POLLERR with nothing left to read
        }
        // Data, the time-out or a signal: the next read or the time check decides.
    }
}

}  // namespace

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (!lpFileName || !(dwDesiredAccess & GENERIC_READ) || dwShareMode != 0 ||
        lpSecurityAttributes || dwCreationDisposition != OPEN_EXISTING ||
        dwFlagsAndAttributes != 0 || hTemplateFile) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const std::string path = DevicePathOf(lpFileName);
    if (path.empty()) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // O_NONBLOCK: the open does not wait for carrier, and reads wait in poll, where the
    // time-outs are kept. Nothing is ever written, though the device is open for writing.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        FailErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    bool exclusive = false;
    const DWORD error = PrepareDevice(fd, &exclusive);
    if (error != ERROR_SUCCESS) {
        Release(fd, exclusive);
        Fail(error);
        return INVALID_HANDLE_VALUE;
    }
    std::unique_ptr<BYTE[]> queued(new (std::nothrow) BYTE[kReceiveQueueSize]);
    if (!queued) {
        Release(fd, true);
        Fail(ERROR_NOT_ENOUGH_MEMORY);
        return INVALID_HANDLE_VALUE;
    }

    std::lock_guard<std::mutex> lock(g_tableMutex);
    for (std::size_t slot = 0; slot < kSlots; ++slot) {
        Port& port = g_ports[slot];
        if (port.serial == 0) {
            port = Port{};
            port.serial = g_nextSerial++;
            port.fd = fd;
            port.queued = std::move(queued);
            return reinterpret_cast<HANDLE>(
                static_cast<std::uintptr_t>((port.serial << kSlotBits) | slot));
        }
    }
    Release(fd, true);
    Fail(ERROR_TOO_MANY_OPEN_FILES);
    return INVALID_HANDLE_VALUE;
}

BOOL GetCommState(HANDLE hFile, DCB* lpDCB) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    const Port* port = FindPort(hFile);
    if (!port) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (!lpDCB) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    termios t;
    DWORD rate = 0;
    if (tcgetattr(port->fd, &t) != 0 || !GetLineRate(port->fd, &rate)) {
        return FailErrno(errno);
    }
    DCB dcb = {};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = rate;
    dcb.fBinary = 1;
    GetLineFormat(t, &dcb);
    int lines = 0;
    if (ioctl(port->fd, TIOCMGET, &lines) == 0) {
        dcb.fRtsControl = (lines & TIOCM_RTS) ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
        dcb.fDtrControl = (lines & TIOCM_DTR) ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    } else if (errno == ENOTTY || errno == EINVAL) {
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
    } else {
        return FailErrno(errno);
    }
    *lpDCB = dcb;
    return TRUE;
}

BOOL SetCommState(HANDLE hFile, DCB* lpDCB) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    const Port* port = FindPort(hFile);
    if (!port) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (!lpDCB || lpDCB->BaudRate == 0 || lpDCB->fRtsControl > RTS_CONTROL_ENABLE) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const int fd = port->fd;
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        return FailErrno(errno);
    }
    if (!SetLineFormat(&t, *lpDCB)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const speed_t speed = StandardSpeed(lpDCB->BaudRate);
    if (speed != B0) {
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
    }
    const DWORD error = ApplyLineSettings(fd, t);
    if (error != ERROR_SUCCESS) {
        return Fail(error);
    }
    if (speed == B0 && !SetCustomLineRate(fd, lpDCB->BaudRate)) {
        return FailErrno(errno);
    }
    // A driver may clamp or round a rate, or fall back to another one; 2% off is still within
    // what a UART receiver tolerates, more is a refusal.
    DWORD rate = 0;
    if (!GetLineRate(fd, &rate)) {
        return FailErrno(errno);
    }
    const DWORD want = lpDCB->BaudRate;
    const DWORD off = rate > want ? rate - want : want - rate;
    if (std::uint64_t{off} * 50 > want) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (!SetRts(fd, lpDCB->fRtsControl == RTS_CONTROL_ENABLE)) {
        return FailErrno(errno);
    }
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    const Port* port = FindPort(hFile);
    if (!port) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (!lpCommTimeouts) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    *lpCommTimeouts = port->timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    Port* port = FindPort(hFile);
    if (!port) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (!lpCommTimeouts) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    port->timeouts = *lpCommTimeouts;
    return TRUE;
}

BOOL ClearCommError(HANDLE hFile, DWORD* lpErrors, COMSTAT* lpStat) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    Port* port = FindPort(hFile);
    if (!port) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (port->vanished) {
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    int waiting = 0;
    int unsent = 0;
    if (ioctl(port->fd, FIONREAD, &waiting) != 0 || ioctl(port->fd, TIOCOUTQ, &unsent) != 0) {
        const int err = errno;
        port->vanished = err == EIO;  // a hung-up tty answers EIO to everything
        return FailErrno(err);
    }
    if (lpErrors) {
        *lpErrors = 0;
    }
    if (lpStat) {
        lpStat->cbInQue = port->queueCount + static_cast<DWORD>(waiting);
        lpStat->cbOutQue = static_cast<DWORD>(unsent);
    }
    return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              void* lpOverlapped) {
    const std::int64_t start = NowNs();
    auto* const buffer = static_cast<BYTE*>(lpBuffer);
    DWORD served = 0;
    int fd = -1;
    BYTE* queue = nullptr;
    COMMTIMEOUTS timeouts;
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        Port* port = FindPort(hFile);
        if (!port) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        if (!lpNumberOfBytesRead || (!lpBuffer && nNumberOfBytesToRead != 0) || lpOverlapped) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        *lpNumberOfBytesRead = 0;
        // What was received before the device vanished is still delivered, as from a driver's
        // queue; only then do reads fail.
        if (port->vanished && port->queueCount == 0) {
            return Fail(ERROR_DEVICE_NOT_CONNECTED);
        }
        served = std::min(nNumberOfBytesToRead, port->queueCount);
        if (served > 0) {
            std::memcpy(buffer, port->queued.get() + port->queueStart, served);
            port->queueStart += served;
            port->queueCount -= served;
        }
        if (port->queueCount == 0) {
            port->queueStart = 0;
        }
        if (served == nNumberOfBytesToRead || port->vanished) {
            *lpNumberOfBytesRead = served;
            return TRUE;
        }
        fd = port->fd;
        queue = port->queued.get();
        timeouts = port->timeouts;
    }
    // The wait runs without the lock, so that other handles stay usable meanwhile. The queue is
    // empty now and the caller is its one reader, so its storage is this read's alone until the
    // count is set below.
    DWORD got = 0;
    DWORD kept = 0;
    const ReadEnd end = ReadWithin(fd, buffer + served, nNumberOfBytesToRead - served, queue, start,
                                   nNumberOfBytesToRead, timeouts, &got, &kept);
    const int err = errno;
    got += served;
    *lpNumberOfBytesRead = got;
    if (kept > 0 || end == ReadEnd::Vanished) {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        if (Port* port = FindPort(hFile)) {
            port->queueCount = kept;
            port->vanished = port->vanished || end == ReadEnd::Vanished;
        }
    }
    // Bytes in hand are delivered even when the read then failed: they were received, and a
    // failure that lasts is reported again by the next read.
    if (end == ReadEnd::Failed && got == 0) {
        return FailErrno(err);
    }
    if (end == ReadEnd::Vanished && got == 0) {
        return Fail(ERROR_DEVICE_NOT_CONNECTED);
    }
    return TRUE;
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    std::lock_guard<std::mutex> lock(g_tableMutex);
    if (!FindPort(hFile)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return dwEvtMask == 0 ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}

BOOL CloseHandle(HANDLE hObject) {
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        Port* port = FindPort(hObject);
        if (!port) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        fd = port->fd;
        *port = Port{};
    }
    Release(fd, true);
    return TRUE;
}

DWORD GetLastError() {
    return t_lastError;
}
