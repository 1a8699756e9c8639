#include "tools/Pty.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

namespace {

constexpr int kStallLimitMs = 10000;

long long NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

Pty::Pty(Settings settings) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    termios t;
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        ptsname_r(master, name, sizeof name) != 0 ||
        fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK) != 0 ||
        (settings == kRaw &&
         (tcgetattr(master, &t) != 0 || (cfmakeraw(&t), tcsetattr(master, TCSANOW, &t)) != 0))) {
        const int error = errno;
        if (master >= 0) {
            close(master);
        }
        errno = error;
        return;
    }
    master_ = master;
    slave_ = name;
}

Pty::~Pty() {
    Hangup();
}

bool Pty::Send(const void* bytes, std::size_t count) {
    const char* p = static_cast<const char*>(bytes);
    long long giveUp = NowMs() + kStallLimitMs;
    while (count > 0) {
        const ssize_t n = write(master_, p, count);
        if (n > 0) {
            p += n;
            count -= static_cast<std::size_t>(n);
            giveUp = NowMs() + kStallLimitMs;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        const long long left = giveUp - NowMs();
        if ((n < 0 && errno != EAGAIN) || left <= 0) {
            return false;
        }
        // Full. While nobody has the slave open, poll reports a hang-up at once instead of
        // waiting for room, so look again a little later then.
        pollfd out = {master_, POLLOUT, 0};
        if (poll(&out, 1, static_cast<int>(left)) > 0 && !(out.revents & POLLOUT)) {
            const timespec pause = {0, 10 * 1000000};
            nanosleep(&pause, nullptr);
        }
    }
    return true;
}

void Pty::Hangup() {
    if (master_ >= 0) {
        close(master_);
        master_ = -1;
    }
}

std::string RandomPayload(std::size_t size, std::uint64_t seed, bool withCtrlZ) {
    // SplitMix64: small, fast, and the same everywhere, so a seed names the same bytes.
    std::uint64_t state = seed;
    auto next = [&state] {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    };
    std::vector<char> values;
    for (int v = 0; v < 256; ++v) {
        if (withCtrlZ || v != 0x1A) {
            values.push_back(static_cast<char>(v));
        }
    }
    for (std::size_t i = values.size() - 1; i > 0; --i) {
        std::swap(values[i], values[next() % (i + 1)]);
    }
    std::string bytes(values.begin(), values.begin() + std::min(size, values.size()));
    bytes.reserve(size);
    while (bytes.size() < size) {
        bytes += values[next() % values.size()];
    }
    return bytes;
}
