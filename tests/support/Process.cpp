#include "tests/support/Process.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
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

int OpenDescriptorCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.' || std::atoi(entry->d_name) == own) {
            continue;
        }
        char target[256] = {};
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        count += n < 0 || std::strcmp(target, "anon_inode:[eventfd]") != 0;
    }
    closedir(dir);
    return count;
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
