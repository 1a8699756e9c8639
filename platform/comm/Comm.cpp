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
#include <string>

#include "platform/comm/LineSettings.h"
#include "platform/comm/OpenReason.h"
#include "platform/comm/PortLock.h"
#include "platform/comm/PortNames.h"

namespace {

// ---- Last error ---------------------------------------------------------------------------

thread_local DWORD t_lastError = ERROR_SUCCESS;
thread_local std::string t_lastErrorText;

// The one failure path: every failing call ends here with its reason, captured at the point
// of failure (never read from errno later, when another call may have changed it), and, where
// a user is told why, the text that says it.
BOOL Fail(DWORD error, std::string text = std::string()) {
    t_lastError = error;
    t_lastErrorText = std::move(text);
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
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        default:
            return ERROR_GEN_FAILURE;
    }
}

BOOL FailErrno(int err) {
    return Fail(ErrorOfErrno(err));
}

// ---- The open port ------------------------------------------------------------------------

// The one open port; its handle is its descriptor.
struct Port {
    int fd = -1;           // -1: no port open
    std::string path;      // the device, as the user is told of it
    std::string lockFile;  // empty when no lock file could be made
    COMMTIMEOUTS timeouts = {};
    termios found = {};  // the line settings as the open found them, put back on close
};

Port g_port;

HANDLE HandleOf(int fd) {
    return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd));
}

// The open port when h names it, else null.
Port* FindPort(HANDLE h) {
    return g_port.fd >= 0 && h == HandleOf(g_port.fd) ? &g_port : nullptr;
}

// ---- Opening the device -------------------------------------------------------------------

// Puts back the line settings the open found, so that the next program on the port (a `cat`,
// a terminal) gets the port it would have had: left raw with VMIN 0, each of its reads would
// return 0 at once. The flags that make the tty send bytes of its own stay off, whatever was
// found: ECHO and ECHONL would send back a byte that arrives between this and the close, and
// IXOFF would send XOFF to an instrument that keeps sending into a buffer no one reads any more.
// A device that has gone fails at once, and has nothing to restore.
void RestoreFound(int fd, const termios& found) {
    termios t = found;
    t.c_lflag &= ~(ECHO | ECHONL);
    t.c_iflag &= ~IXOFF;
    tcsetattr(fd, TCSANOW, &t);
}

// Drops exclusive use and closes; none of it waits, also on a device that vanished. found, when
// not null, is put back first, while the port is still this opener's alone. The lock file goes
// next: once the descriptor is closed the device's name may be given to another device.
// TIOCNXCL next: a pty slave would otherwise stay exclusive after close. Only an opener that set
// TIOCEXCL may clear it: the flag belongs to the tty, so an opener turned away as busy would
// otherwise clear the flag of the one holding the port. The flock goes with the descriptor.
void Release(int fd, bool exclusive, const std::string& lockFile, const termios* found) {
    if (found) {
        RestoreFound(fd, *found);
    }
    DropLockFile(lockFile);
    if (exclusive) {
        ioctl(fd, TIOCNXCL);
    }
    close(fd);
}

// Applies want with one tcsetattr and reads it back into *got. ERROR_SUCCESS or the failing
// call's error.
DWORD ApplyLineSettings(int fd, const termios& want, termios* got) {
    if (tcsetattr(fd, TCSANOW, &want) != 0 || tcgetattr(fd, got) != 0) {
        return ErrorOfErrno(errno);
    }
    return ERROR_SUCCESS;
}

// Checks that fd is a tty, takes it for this opener alone and puts it in raw mode. *exclusive
// tells whether TIOCEXCL was set, *lockFile which lock file was made and *changed whether the
// line settings may have been changed from *found, the settings the open found, also when a
// later step failed.
DWORD PrepareDevice(int fd, bool* exclusive, std::string* lockFile, termios* found, bool* changed) {
    *exclusive = false;
    *changed = false;
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
    // The port is this opener's alone, as a port opened with no sharing is; anyone else who has
    // it open would take the bytes meant for the capture. flock keeps out every other program
    // that locks too, root included. TIOCEXCL keeps out every later opener but root; root gets
    // past another opener's TIOCEXCL, so it is looked at first. Set before the look through
    // /proc, it leaves no gap for anyone but root to open the port unseen. The lock file last,
    // so a refused port leaves none behind.
    int held = 0;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCGEXCL, &held) != 0) {
        return ErrorOfErrno(errno);
    }
    if (held) {
        return ERROR_SHARING_VIOLATION;
    }
    if (ioctl(fd, TIOCEXCL) != 0) {
        return ErrorOfErrno(errno);
    }
    *exclusive = true;
    if (OpenElsewhere(fd)) {
        return ERROR_SHARING_VIOLATION;
    }
    const DWORD locked = TakeLockFile(fd, lockFile);
    if (locked != ERROR_SUCCESS) {
        return locked;
    }
    *found = t;
    *changed = true;
    MakeRaw(&t);
    termios got;
    const DWORD error = ApplyLineSettings(fd, t, &got);
    return error != ERROR_SUCCESS ? error : IsRaw(got) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

// ---- Reading ------------------------------------------------------------------------------

std::int64_t NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000000000 + now.tv_nsec;
}

constexpr std::int64_t kNsPerMs = 1000000;
constexpr std::uint64_t kMaxWaitMs = std::uint64_t{1} << 40;  // about 35 years

}  // namespace

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (!lpFileName || dwDesiredAccess != (GENERIC_READ | GENERIC_WRITE) || dwShareMode != 0 ||
        lpSecurityAttributes || dwCreationDisposition != OPEN_EXISTING ||
        dwFlagsAndAttributes != 0 || hTemplateFile) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (g_port.fd >= 0) {
        Fail(ERROR_SHARING_VIOLATION, g_port.path + " is open already.");
        return INVALID_HANDLE_VALUE;
    }
    const std::string path = DevicePathOf(lpFileName);
    // The reason is told while the descriptor, if any, is still open: who holds the port is
    // looked up from the device it names.
    const auto fail = [&](DWORD error, int fd, int err) {
        Fail(error, OpenFailureText(error, lpFileName, path, fd, err));
        return INVALID_HANDLE_VALUE;
    };
    if (path.empty()) {
        return fail(ERROR_FILE_NOT_FOUND, -1, ENOENT);
    }
    // O_NONBLOCK: the open does not wait for carrier, and reads wait in poll, where the
    // time-outs are kept. Nothing is ever written, though the device is open for writing.
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        return fail(ErrorOfErrno(err), -1, err);
    }
    bool exclusive = false;
    std::string lockFile;
    termios found = {};
    bool changed = false;
    const DWORD error = PrepareDevice(fd, &exclusive, &lockFile, &found, &changed);
    if (error != ERROR_SUCCESS) {
        const int err = errno;
        fail(error, fd, err);
        Release(fd, exclusive, lockFile, changed ? &found : nullptr);
        return INVALID_HANDLE_VALUE;
    }
    g_port = Port{};
    g_port.fd = fd;
    g_port.path = path;
    g_port.lockFile = lockFile;
    g_port.found = found;
    return HandleOf(fd);
}

BOOL GetCommState(HANDLE hFile, DCB* lpDCB) {
    if (!FindPort(hFile)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    *lpDCB = DCB{};
    return TRUE;
}

BOOL SetCommState(HANDLE hFile, DCB* lpDCB) {
    const Port* port = FindPort(hFile);
    if (!port) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    // Whatever goes wrong here, the user is told of the settings: the driver is what refused.
    const auto refused = [&](DWORD error) {
        return Fail(error, SettingsRefusedText(port->path, lpDCB->BaudRate));
    };
    termios t;
    if (tcgetattr(port->fd, &t) != 0) {
        return refused(ErrorOfErrno(errno));
    }
    if (!SetLineFormat(&t, *lpDCB)) {
        return refused(ERROR_INVALID_PARAMETER);
    }
    termios got;
    const DWORD error = ApplyLineSettings(port->fd, t, &got);
    if (error != ERROR_SUCCESS) {
        return refused(error);
    }
    if (!CapturesAsAsked(t, got)) {
        return refused(ERROR_INVALID_PARAMETER);
    }
    // A device without modem lines (a pty) answers ENOTTY or EINVAL: there is no RTS to raise,
    // which is not a failure. Any other answer is.
    const int rts = TIOCM_RTS;
    if (ioctl(port->fd, TIOCMBIS, &rts) != 0 && errno != ENOTTY && errno != EINVAL) {
        return refused(ErrorOfErrno(errno));
    }
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts) {
    const Port* port = FindPort(hFile);
    if (!port) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    *lpCommTimeouts = port->timeouts;
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts) {
    Port* port = FindPort(hFile);
    if (!port) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (lpCommTimeouts->ReadIntervalTimeout != 0) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    port->timeouts = *lpCommTimeouts;
    return TRUE;
}

BOOL ClearCommError(HANDLE hFile, DWORD* lpErrors, COMSTAT* lpStat) {
    const Port* port = FindPort(hFile);
    if (!port) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    int waiting = 0;
    if (ioctl(port->fd, FIONREAD, &waiting) != 0) {
        return FailErrno(errno);  // EIO once the tty hung up
    }
    *lpErrors = 0;
    lpStat->cbInQue = static_cast<DWORD>(waiting);
    return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              void* lpOverlapped) {
    const std::int64_t start = NowNs();
    const Port* port = FindPort(hFile);
    if (!port) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    if (lpOverlapped) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    // Below 2^64 for any DWORD values; waits beyond kMaxWaitMs are cut to it.
    const std::uint64_t totalMs =
        std::uint64_t{port->timeouts.ReadTotalTimeoutMultiplier} * nNumberOfBytesToRead +
        port->timeouts.ReadTotalTimeoutConstant;
    const std::int64_t deadline =
        start + static_cast<std::int64_t>(std::min(totalMs, kMaxWaitMs)) * kNsPerMs;
    auto* const buffer = static_cast<BYTE*>(lpBuffer);
    DWORD got = 0;
    // Bytes in hand are delivered even when the read then fails: they were received, and a
    // failure that lasts is reported again by the next read.
    auto end = [&](DWORD error) {
        *lpNumberOfBytesRead = got;
        return got > 0 || error == ERROR_SUCCESS ? TRUE : Fail(error);
    };
    // Reads only when poll says there is something to read: after a short read the line is
    // drained, and reading again at once would only fail with EAGAIN. The first read is tried
    // straight away, for bytes already waiting.
    bool readable = true;
    for (;;) {
        if (got == nNumberOfBytesToRead) {
            return end(ERROR_SUCCESS);
        }
        if (readable) {
            const ssize_t n = read(port->fd, buffer + got, nNumberOfBytesToRead - got);
            if (n > 0) {
                got += static_cast<DWORD>(n);
                readable = false;
                continue;
            }
            if (n == 0 || errno == EIO) {
                return end(ERROR_DEVICE_NOT_CONNECTED);  // with VMIN 1 only a hung-up tty reads 0
            }
            if (errno != EINTR && errno != EAGAIN) {
                return end(ErrorOfErrno(errno));
            }
            readable = errno == EINTR;
            continue;
        }
        const std::int64_t left = deadline - NowNs();
        if (left <= 0) {
            return end(ERROR_SUCCESS);
        }
        // Rounded up: a wait that ends early would only spin until the deadline.
        const std::int64_t leftMs = (left + kNsPerMs - 1) / kNsPerMs;
        pollfd p = {port->fd, POLLIN, 0};
        const int ready = poll(&p, 1, leftMs > INT_MAX ? INT_MAX : static_cast<int>(leftMs));
        if (ready < 0 && errno != EINTR) {
            return end(ErrorOfErrno(errno));
        }
        if (ready > 0 && !(p.revents & POLLIN)) {
            return end(ERROR_DEVICE_NOT_CONNECTED);  // POLLHUP or POLLERR, nothing left to read
        }
        // A time-out or a signal leaves the decision to the time check.
        readable = ready > 0;
    }
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    if (!FindPort(hFile)) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    return dwEvtMask == 0 ? TRUE : Fail(ERROR_INVALID_PARAMETER);
}

BOOL CloseHandle(HANDLE hObject) {
    Port* port = FindPort(hObject);
    if (!port) {
        return Fail(ERROR_INVALID_HANDLE);
    }
    Release(port->fd, true, port->lockFile, &port->found);
    *port = Port{};
    return TRUE;
}

DWORD GetLastError() {
    return t_lastError;
}

LPCSTR GetLastErrorText() {
    return t_lastErrorText.c_str();
}
