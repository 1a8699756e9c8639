#include "tests/support/Instrument.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>

extern char** environ;

namespace fs = std::filesystem;

namespace {

long long NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

void CloseFd(int* fd) {
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

}  // namespace

ScopedConfigHome::ScopedConfigHome() {
    char pattern[] = "/tmp/kavosen-config-XXXXXX";
    if (!mkdtemp(pattern)) {
        ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
        return;
    }
    path_ = pattern;
    if (const char* old = getenv("XDG_CONFIG_HOME")) {
        old_ = old;
        hadOld_ = true;
    }
    setenv("XDG_CONFIG_HOME", path_.c_str(), 1);
}

ScopedConfigHome::~ScopedConfigHome() {
    if (hadOld_) {
        setenv("XDG_CONFIG_HOME", old_.c_str(), 1);
    } else {
        unsetenv("XDG_CONFIG_HOME");
    }
    if (!path_.empty()) {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
}

bool ScopedConfigHome::Link(int n, const std::string& target) const {
    const fs::path dir = fs::path(path_) / "kavosen" / "ports";
    const fs::path link = dir / ("COM" + std::to_string(n));
    std::error_code error;
    fs::create_directories(dir, error);
    fs::remove(link, error);
    fs::create_symlink(target, link, error);
    return !error;
}

Instrument::Instrument(const std::string& program, const std::vector<std::string>& args) {
    int in[2];
    int out[2];
    // Close-on-exec: only the instrument's own copies (made by the dup2 below) cross the exec,
    // so no other child inherits the ends of its pipes and keeps it alive.
    if (pipe2(in, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        return;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        close(in[0]);
        close(in[1]);
        return;
    }
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argp;
    for (std::string& a : argv) {
        argp.push_back(a.data());
    }
    argp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const int err = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argp.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    if (err != 0) {
        pid_ = -1;
        ADD_FAILURE() << "cannot start " << program << ": " << std::strerror(err);
        return;
    }

    // The READY line, read a byte at a time: nothing after it may be taken from the pipe.
    std::string line;
    const long long deadline = NowMs() + 10000;
    for (;;) {
        const long long left = deadline - NowMs();
        pollfd p = {stdout_, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        char c = 0;
        if (read(stdout_, &c, 1) != 1 || c == '\n') {
            break;
        }
        line += c;
    }
    if (line.rfind("READY ", 0) == 0) {
        slave_ = line.substr(6);
    } else {
        ADD_FAILURE() << "the instrument did not say READY (" << line << ")";
    }
}

Instrument::~Instrument() {
    Stop();
    CloseFd(&stdout_);
}

int Instrument::Stop() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
    }
    return Reap(0);
}

int Instrument::WaitForExit(int timeoutMs) {
    const long long deadline = NowMs() + timeoutMs;
    for (;;) {
        const int status = Reap(WNOHANG);
        if (status >= 0 || pid_ <= 0 || NowMs() >= deadline) {
            return status;
        }
        const timespec pause = {0, 10 * 1000000};
        nanosleep(&pause, nullptr);
    }
}

int Instrument::Reap(int options) {
    if (pid_ <= 0) {
        return -1;
    }
    int status = 0;
    pid_t got;
    while ((got = waitpid(pid_, &status, options)) < 0 && errno == EINTR) {
    }
    if (got == 0) {
        return -1;  // still running
    }
    pid_ = -1;
    CloseFd(&stdin_);
    if (got < 0) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

Line::Line() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    termios t;
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
        ptsname_r(master_, name, sizeof name) != 0 || tcgetattr(master_, &t) != 0 ||
        (cfmakeraw(&t), tcsetattr(master_, TCSANOW, &t)) != 0) {
        ADD_FAILURE() << "cannot set up a pty: " << std::strerror(errno);
        return;
    }
    slave_ = name;
}

Line::~Line() {
    Hangup();
}

void Line::Send(const std::string& bytes) {
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = write(master_, p, left);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ADD_FAILURE() << "write to the pty master: " << std::strerror(errno);
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

void Line::Hangup() {
    CloseFd(&master_);
}

std::string RandomPayload(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes;
    for (int v = 0; v < 256; ++v) {
        if (v != 0x1A) {
            bytes += static_cast<char>(v);
        }
    }
    std::shuffle(bytes.begin(), bytes.end(), random);
    bytes.resize(std::min(size, bytes.size()));
    while (bytes.size() < size) {
        // 255 values: 0x1A and above move up by one.
        const unsigned v = random() % 255;
        bytes += static_cast<char>(v >= 0x1A ? v + 1 : v);
    }
    return bytes;
}

int HoldPort(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0 && (flock(fd, LOCK_EX | LOCK_NB) != 0 || ioctl(fd, TIOCEXCL) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool PortReleased(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    int exclusive = 1;
    const bool released = flock(fd, LOCK_EX | LOCK_NB) == 0 &&
                          ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive == 0;
    close(fd);
    return released;
}

int OpenDescriptors() {
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
