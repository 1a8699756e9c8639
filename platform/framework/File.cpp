// CFile on a POSIX file descriptor. Every failure is reported through the result; nothing
// throws. Close syncs the file to its device first, so a saved file that is reported as saved
// has reached the disk, and an error the disk reports late (a delayed write failing) is not
// lost.
#include "platform/framework/File.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

CFile::~CFile() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

BOOL CFile::Open(LPCSTR lpszFileName, UINT nOpenFlags) {
    if (m_fd >= 0 || lpszFileName == nullptr || (nOpenFlags & modeWrite) == 0 ||
        (nOpenFlags & ~(modeWrite | modeCreate)) != 0) {
        return FALSE;
    }
    int flags = O_WRONLY | O_CLOEXEC;
    if (nOpenFlags & modeCreate) {
        flags |= O_CREAT | O_TRUNC;
    }
    int fd;
    do {
        fd = ::open(lpszFileName, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return FALSE;
    }
    m_fd = fd;
    return TRUE;
}

BOOL CFile::Write(const void* lpBuf, UINT nCount) {
    if (m_fd < 0) {
        return FALSE;
    }
    const char* next = static_cast<const char*>(lpBuf);
    UINT left = nCount;
    while (left > 0) {
        // The kernel may take fewer bytes than asked (a signal, a pipe, a large count).
        const ssize_t written = ::write(m_fd, next, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return FALSE;
        }
        if (written == 0) {
            return FALSE;  // the file takes nothing more, and waiting would not change that
        }
        next += written;
        left -= static_cast<UINT>(written);
    }
    return TRUE;
}

BOOL CFile::Close() {
    if (m_fd < 0) {
        return FALSE;
    }
    const int fd = m_fd;
    m_fd = -1;
    BOOL ok = TRUE;
    int synced;
    do {
        synced = ::fsync(fd);
    } while (synced < 0 && errno == EINTR);
    // EINVAL, EROFS and ENOTSUP only say that this file cannot be synced (a device such as a
    // terminal or /dev/null): there is nothing more to do for it, which is no error.
    if (synced < 0 && errno != EINVAL && errno != EROFS && errno != ENOTSUP) {
        ok = FALSE;
    }
    // No retry after EINTR: Linux has released the descriptor by then.
    if (::close(fd) < 0) {
        ok = FALSE;
    }
    return ok;
}
