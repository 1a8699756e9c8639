#include "tests/platform/comm/Pty.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <thread>

Pty::Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0) {
        ADD_FAILURE() << "cannot create a pty";
    }
    slave_ = name;
}

Pty::~Pty() {
    Hangup();
}

void Pty::Send(const void* bytes, std::size_t count) {
    const char* p = static_cast<const char*>(bytes);
    while (count > 0) {
        const ssize_t n = write(master_, p, count);
        ASSERT_GT(n, 0) << "write to the pty master failed";
        p += n;
        count -= static_cast<std::size_t>(n);
    }
}

void Pty::Hangup() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

int OpenDescriptorCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (const dirent* entry = readdir(dir)) {
        count += entry->d_name[0] != '.';
    }
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
