#include "tests/support/Process.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

void PrepareQtEnvironment() {
    if (!getenv("DISPLAY") && !getenv("WAYLAND_DISPLAY")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }
    if (!getenv("XDG_RUNTIME_DIR")) {
        const std::string dir = "/tmp/kavosen-runtime-" + std::to_string(getuid());
        mkdir(dir.c_str(), 0700);
        setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
    }
}

void ForEachDescriptor(pid_t pid,
                       const std::function<void(int fd, const std::string& target)>& fn) {
    const std::string folder = "/proc/" + (pid ? std::to_string(pid) : "self") + "/fd";
    DIR* dir = opendir(folder.c_str());
    if (!dir) {
        return;
    }
    const int own = pid ? -1 : dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        if (entry->d_name[0] == '.' || fd == own) {
            continue;
        }
        char target[PATH_MAX] = {};
        if (readlink((folder + "/" + entry->d_name).c_str(), target, sizeof target - 1) < 0) {
            target[0] = '\0';
        }
        fn(fd, target);
    }
    closedir(dir);
}

int OpenDescriptorCount() {
    int count = 0;
    ForEachDescriptor(
        0, [&](int, const std::string& target) { count += target != "anon_inode:[eventfd]"; });
    return count;
}

bool HasDeviceOpen(const std::string& path, pid_t pid) {
    struct stat device;
    if (stat(path.c_str(), &device) != 0 || !S_ISCHR(device.st_mode)) {
        return false;
    }
    bool found = false;
    ForEachDescriptor(pid, [&](int, const std::string& target) {
        struct stat st;
        found = found || (stat(target.c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
                          st.st_rdev == device.st_rdev);
    });
    return found;
}

int ProgramThreads() {
    auto nameOf = [](const std::string& commPath) {
        std::string name;
        std::getline(std::ifstream(commPath), name);
        return name;
    };
    const std::string process = nameOf("/proc/self/comm");
    int count = 0;
    DIR* dir = opendir("/proc/self/task");
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.' &&
            nameOf(std::string("/proc/self/task/") + entry->d_name + "/comm") == process) {
            ++count;
        }
    }
    closedir(dir);
    return count - 1;  // the main thread
}

double CpuSeconds() {
    timespec used;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

OtherProcess::OtherProcess(const std::function<bool()>& hold, const std::function<void()>& letGo) {
    int ready[2];
    int go[2];
    if (pipe2(ready, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        return;
    }
    if (pipe2(go, O_CLOEXEC) != 0) {
        std::perror("pipe2");
        close(ready[0]);
        close(ready[1]);
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        close(ready[0]);
        close(go[1]);
        const char held = hold() ? 1 : 0;
        char c = 0;
        if (write(ready[1], &held, 1) == 1) {
            while (read(go[0], &c, 1) < 0 && errno == EINTR) {
            }
        }
        letGo();
        _exit(0);
    }
    close(ready[1]);
    close(go[0]);
    go_ = go[1];
    char held = 0;
    held_ = pid_ > 0 && read(ready[0], &held, 1) == 1 && held == 1;
    close(ready[0]);
    if (pid_ < 0) {
        std::perror("fork");
    }
}

void OtherProcess::Release() {
    if (go_ >= 0) {
        close(go_);
        go_ = -1;
    }
    if (pid_ > 0) {
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

// The descriptor closes as the child ends.
PortHolder::PortHolder(const std::string& path)
    : OtherProcess([path] { return open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) >= 0; }) {}
