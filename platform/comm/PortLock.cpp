#include "platform/comm/PortLock.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/comm/Comm.h"

namespace {

const char kLockFolder[] = "/var/lock";

bool IsNumber(const char* name) {
    return name[0] != '\0' && strspn(name, "0123456789") == strlen(name);
}

// The pid a lock file's bytes name, in either format terminal programs write: ASCII decimal,
// padded with blanks and ended by a newline; or, from older UUCP tools, the pid itself as a 4-byte
// int in the machine's byte order. 0 when the bytes are neither.
long PidOf(const char* bytes, ssize_t n) {
    const std::string text(bytes, static_cast<std::size_t>(n > 0 ? n : 0));
    const std::size_t first = text.find_first_not_of(" \t");
    const std::size_t end = text.find_first_not_of("0123456789", first);
    const bool decimal =
        first != std::string::npos && end != first &&
        (end == std::string::npos || text.find_first_not_of(" \t\r\n", end) == std::string::npos);
    if (decimal) {
        return strtol(text.c_str() + first, nullptr, 10);
    }
    if (n == static_cast<ssize_t>(sizeof(int32_t))) {
        int32_t pid;
        memcpy(&pid, bytes, sizeof pid);
        return pid;
    }
    return 0;
}

// Whether the process pid (a name in /proc) has a descriptor other than skip open on the device
// rdev.
bool Holds(const std::string& pid, dev_t rdev, int skip) {
    DIR* fds = opendir(("/proc/" + pid + "/fd").c_str());
    if (!fds) {
        return false;  // ended meanwhile, or another user's
    }
    bool holds = false;
    while (const dirent* entry = readdir(fds)) {
        // stat follows the descriptor's link to what it has open.
        struct stat st;
        if (IsNumber(entry->d_name) && atoi(entry->d_name) != skip &&
            fstatat(dirfd(fds), entry->d_name, &st, 0) == 0 && S_ISCHR(st.st_mode) &&
            st.st_rdev == rdev) {
            holds = true;
            break;
        }
    }
    closedir(fds);
    return holds;
}

}  // namespace

pid_t HolderOf(dev_t rdev, int skip) {
    DIR* proc = opendir("/proc");
    if (!proc) {
        return 0;
    }
    const std::string self = std::to_string(getpid());
    pid_t holder = 0;
    while (const dirent* process = readdir(proc)) {
        if (IsNumber(process->d_name) &&
            Holds(process->d_name, rdev, process->d_name == self ? skip : -1)) {
            holder = static_cast<pid_t>(atoi(process->d_name));
            break;
        }
    }
    closedir(proc);
    return holder;
}

bool OpenElsewhere(int fd) {
    struct stat device;
    return fstat(fd, &device) == 0 && HolderOf(device.st_rdev, fd) != 0;
}

std::string LockFileOf(int fd) {
    // The device's own name, whatever link or path it was opened through: ttyUSB0, or 3 for
    // /dev/pts/3, as terminal programs name their lock files.
    char device[PATH_MAX] = {};
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (readlink(self.c_str(), device, sizeof device - 1) <= 0) {
        return std::string();
    }
    const char* slash = strrchr(device, '/');
    return std::string(kLockFolder) + "/LCK.." + (slash ? slash + 1 : device);
}

pid_t LiveHolder(const std::string& lockFile) {
    const int fd = open(lockFile.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return errno == EACCES ? -1 : 0;
    }
    char bytes[32] = {};
    const ssize_t n = read(fd, bytes, sizeof bytes);
    close(fd);
    const long pid = PidOf(bytes, n);
    if (pid <= 0 || pid > INT_MAX) {
        return 0;
    }
    // EPERM: the process exists but belongs to another user.
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM ? static_cast<pid_t>(pid) : 0;
}

DWORD TakeLockFile(int fd, std::string* lockFile) {
    lockFile->clear();
    const std::string lock = LockFileOf(fd);
    if (lock.empty()) {
        return ERROR_SUCCESS;
    }
    if (LiveHolder(lock) != 0) {
        return ERROR_SHARING_VIOLATION;
    }

    // Written in full under a name of its own, then linked to the lock's name, which fails when
    // that exists: nobody ever reads half a lock file of ours, and of two takers one wins.
    std::string temp = std::string(kLockFolder) + "/LTMP.XXXXXX";
    const int tempFd = mkstemp(&temp[0]);
    if (tempFd < 0) {
        return ERROR_SUCCESS;  // not writable here: the port is used without a lock file
    }
    char text[16];
    const int length = snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
    const bool written = fchmod(tempFd, 0644) == 0 && write(tempFd, text, length) == length;
    close(tempFd);
    DWORD result = ERROR_SUCCESS;
    // Twice at most: a stale lock file is removed once; one that cannot be removed (another
    // user's, in a sticky folder) names no live process, so the port is used without a lock.
    for (int attempt = 0; written && attempt < 2; ++attempt) {
        if (link(temp.c_str(), lock.c_str()) == 0) {
            *lockFile = lock;
            break;
        }
        if (errno != EEXIST) {
            break;
        }
        if (LiveHolder(lock) != 0) {
            result = ERROR_SHARING_VIOLATION;
            break;
        }
        unlink(lock.c_str());
    }
    unlink(temp.c_str());
    return result;
}

void DropLockFile(const std::string& lockFile) {
    if (!lockFile.empty() && LiveHolder(lockFile) == getpid()) {
        unlink(lockFile.c_str());
    }
}
