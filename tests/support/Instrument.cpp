#include "tests/support/Instrument.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "tests/support/Process.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

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
        std::perror("ScopedConfigHome: mkdtemp");
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
        std::perror("Instrument: pipe2");
        return;
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
        std::perror("Instrument: pipe2");
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
        std::fprintf(stderr, "Instrument: cannot start %s: %s\n", program.c_str(),
                     std::strerror(err));
        return;
    }

    // The READY line, read a byte at a time: nothing after it may be taken from the pipe.
    std::string line;
    const Stopwatch waited;
    for (;;) {
        const long long left = 10000 - waited.Ms();
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
        std::fprintf(stderr, "Instrument: no READY line (%s)\n", line.c_str());
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

int Instrument::Finish(int timeoutMs) {
    CloseFd(&stdin_);
    return WaitForExit(timeoutMs);
}

int Instrument::WaitForExit(int timeoutMs) {
    const Stopwatch waited;
    for (;;) {
        const int status = Reap(WNOHANG);
        if (status >= 0 || pid_ <= 0 || waited.Ms() >= timeoutMs) {
            return status;
        }
        SleepMs(10);
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
