#include "platform/comm/OpenReason.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/comm/Comm.h"
#include "platform/comm/PortLock.h"

namespace {

const char kDevicePrefix[] = "\\\\.\\";

// "minicom (process 1234)", or "process 1234" when its name cannot be read.
std::string ProcessText(pid_t pid) {
    std::string name;
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::getline(comm, name);
    const std::string number = "process " + std::to_string(pid);
    return name.empty() ? number : name + " (" + number + ")";
}

// Whether this process counts as a member of gid now.
bool InGroupNow(gid_t gid) {
    if (getegid() == gid) {
        return true;
    }
    const int count = getgroups(0, nullptr);
    std::vector<gid_t> groups(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count <= 0 || getgroups(count, groups.data()) != count) {
        return false;
    }
    for (gid_t g : groups) {
        if (g == gid) {
            return true;
        }
    }
    return false;
}

// Whether the user database makes user a member of gid: true once `usermod -aG` has run, even
// while the session that started this process has not got the group yet.
bool ListedInGroup(const passwd& user, gid_t gid) {
    int count = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    if (getgrouplist(user.pw_name, user.pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<std::size_t>(count));
        if (getgrouplist(user.pw_name, user.pw_gid, groups.data(), &count) < 0) {
            return false;
        }
    }
    for (int i = 0; i < count; ++i) {
        if (groups[static_cast<std::size_t>(i)] == gid) {
            return true;
        }
    }
    return false;
}

// A device node is meant for a group when that group may read and write it and is not root's:
// joining that group is the way in. Otherwise only its owner opens it.
std::string AccessDeniedText(const std::string& path) {
    const std::string denied = "Permission denied for " + path;
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return denied + ".";
    }
    const group* owners = getgrgid(st.st_gid);
    const passwd* user = getpwuid(geteuid());
    const bool forGroup =
        st.st_gid != 0 && (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (!owners || !user || !forGroup) {
        const passwd* owner = getpwuid(st.st_uid);
        return denied + ": only " + (owner ? owner->pw_name : std::to_string(st.st_uid)) +
               " may open it.";
    }
    const std::string name = owners->gr_name;
    if (InGroupNow(st.st_gid)) {
        return denied + ", although you are in its group " + name + ".";
    }
    if (ListedInGroup(*user, st.st_gid)) {
        return denied + ": you have joined its group " + name +
               " since you logged in; log out and in again.";
    }
    return denied + ": it belongs to group " + name + ", which you are not in. Join it with \"" +
           "sudo usermod -aG " + name + " " + user->pw_name + "\", then log out and in again.";
}

// The holder that /proc shows first; else the lock file; else what cannot be seen from here.
std::string BusyText(const std::string& path, int fd) {
    struct stat st;
    const bool known = fd >= 0 ? fstat(fd, &st) == 0 : stat(path.c_str(), &st) == 0;
    if (const pid_t holder = known ? HolderOf(st.st_rdev, fd) : 0) {
        return path + " is in use by " + ProcessText(holder) + ": end it, or close the port there.";
    }
    const std::string lock = fd >= 0 ? LockFileOf(fd) : std::string();
    const pid_t locker = lock.empty() ? 0 : LiveHolder(lock);
    if (locker > 0) {
        return path + " is locked by " + lock + " of " + ProcessText(locker) +
               ": end it, or close the port there.";
    }
    if (locker < 0) {
        return path + " is locked by " + lock + ".";
    }
    return path + " is in use by another program, one that runs as another user (a modem " +
           "manager runs as root).";
}

}  // namespace

std::string OpenFailureText(DWORD error, const std::string& name, const std::string& path, int fd,
                            int err) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
            if (path.empty()) {
                const std::string com =
                    name.compare(0, std::strlen(kDevicePrefix), kDevicePrefix) == 0
                        ? name.substr(std::strlen(kDevicePrefix))
                        : name;
                return "No serial port is present as " + com + ": is the adapter plugged in?";
            }
            return "There is no device " + path + ": is the adapter plugged in?";
        case ERROR_ACCESS_DENIED:
            return AccessDeniedText(path);
        case ERROR_SHARING_VIOLATION:
            return BusyText(path, fd);
        case ERROR_BAD_UNIT:
            return path + " is not a serial port.";
        case ERROR_INVALID_PARAMETER:
            return "The driver of " + path + " does not take raw mode: it is no serial port.";
        default:
            return path + " could not be opened: " + std::strerror(err) + ".";
    }
}

std::string SettingsRefusedText(const std::string& path, DWORD rate) {
    return "The driver of " + path + " refused the line settings (" + std::to_string(rate) +
           " baud, 8 data bits, no parity): choose another rate or port.";
}
