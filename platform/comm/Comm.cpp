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
#include <mutex>
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

struct Port {
    std::uint64_t serial = 0;  // 0: slot free
    int fd = -1;
    bool vanished = false;  // the device hung up: reads fail from now on
    COMMTIMEOUTS timeouts = {};
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

// Reads into buffer until count bytes are there or the time-outs end the read; *got holds the
// bytes read either way. Failed leaves errno set.
ReadEnd ReadWithin(int fd, BYTE* buffer, DWORD count, const COMMTIMEOUTS& timeouts, DWORD* got) {
    const std::int64_t start = NowNs();
    // Below 2^64 for any DWORD values; waits beyond kMaxWaitMs are cut to it.
    const std::uint64_t totalMs = std::uint64_t{timeouts.ReadTotalTimeoutMultiplier} * count +
                                  timeouts.ReadTotalTimeoutConstant;
    const std::int64_t deadline =
        totalMs != 0 ? start + static_cast<std::int64_t>(std::min(totalMs, kMaxWaitMs)) * kNsPerMs
                     : kNoLimit;
    const std::int64_t intervalNs = std::int64_t{timeouts.ReadIntervalTimeout} * kNsPerMs;
    std::int64_t lastByte = start;
    *got = 0;
    for (;;) {
        const ssize_t n = read(fd, buffer + *got, count - *got);
        if (n > 0) {
            *got += static_cast<DWORD>(n);
            if (*got == count) {
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

    std::lock_guard<std::mutex> lock(g_tableMutex);
    for (std::size_t slot = 0; slot < kSlots; ++slot) {
        Port& port = g_ports[slot];
        if (port.serial == 0) {
            port = Port{};
            port.serial = g_nextSerial++;
            port.fd = fd;
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
        lpStat->cbInQue = static_cast<DWORD>(waiting);
        lpStat->cbOutQue = static_cast<DWORD>(unsent);
    }
    return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              void* lpOverlapped) {
    int fd = -1;
    COMMTIMEOUTS timeouts;
    {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        const Port* port = FindPort(hFile);
        if (!port) {
            return Fail(ERROR_INVALID_HANDLE);
        }
        if (!lpNumberOfBytesRead || (!lpBuffer && nNumberOfBytesToRead != 0) || lpOverlapped) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
        *lpNumberOfBytesRead = 0;
        if (port->vanished) {
            return Fail(ERROR_DEVICE_NOT_CONNECTED);
        }
        if (nNumberOfBytesToRead == 0) {
            return TRUE;
        }
        fd = port->fd;
        timeouts = port->timeouts;
    }
    // The wait runs without the lock, so that other handles stay usable meanwhile.
    DWORD got = 0;
    const ReadEnd end =
        ReadWithin(fd, static_cast<BYTE*>(lpBuffer), nNumberOfBytesToRead, timeouts, &got);
    const int err = errno;
    *lpNumberOfBytesRead = got;
    if (end == ReadEnd::Failed) {
        return FailErrno(err);
    }
    if (end == ReadEnd::Vanished) {
        std::lock_guard<std::mutex> lock(g_tableMutex);
        if (Port* port = FindPort(hFile)) {
            port->vanished = true;
        }
        if (got == 0) {
            return Fail(ERROR_DEVICE_NOT_CONNECTED);
        }
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
