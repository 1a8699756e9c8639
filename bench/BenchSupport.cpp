#include "bench/BenchSupport.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/comm/PortNames.h"

// ---- Rows ---------------------------------------------------------------------------------

void PrintRow(const std::string& figure, const std::string& measured, const std::string& goal,
              Mark mark) {
    const char* text = mark == Mark::kMet ? "met" : mark == Mark::kMissed ? "missed" : "";
    std::printf("%s\t%s\t%s\t%s\n", figure.c_str(), measured.c_str(), goal.c_str(), text);
    std::fflush(stdout);
}

std::string Format(const char* format, ...) {
    char buffer[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

void Progress(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

// ---- Clocks and statistics ----------------------------------------------------------------

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double Milliseconds(Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

namespace {

double SecondsOf(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

}  // namespace

double ProcessCpuSeconds() {
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return SecondsOf(usage.ru_utime) + SecondsOf(usage.ru_stime);
}

double ThreadCpuSeconds() {
    timespec t = {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

double Median(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

std::string MedianAndRange(const std::vector<double>& values, const char* format) {
    if (values.empty()) {
        return "-";
    }
    std::string text = Format(format, Median(values));
    if (values.size() > 1) {
        const auto [low, high] = std::minmax_element(values.begin(), values.end());
        text += " (" + Format(format, *low) + "-" + Format(format, *high) + ")";
    }
    return text;
}

// ---- Memory -------------------------------------------------------------------------------

long long StatusBytes(const char* field) {
    std::ifstream status("/proc/self/status");
    const std::string prefix = std::string(field) + ":";
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return std::atoll(line.c_str() + prefix.size()) * 1024;
        }
    }
    return -1;
}

bool ResetPeakResident() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
    clear.flush();
    return static_cast<bool>(clear);
}

// ---- Environment --------------------------------------------------------------------------

void EnsureRuntimeDir() {
    if (std::getenv("XDG_RUNTIME_DIR")) {
        return;
    }
    const std::string dir = "/tmp/kavosen-bench-runtime-" + std::to_string(getuid());
    mkdir(dir.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", dir.c_str(), 1);
}

TemporaryConfigHome::TemporaryConfigHome() {
    char root[] = "/tmp/kavosen-bench-config-XXXXXX";
    if (mkdtemp(root)) {
        m_root = root;
        setenv("XDG_CONFIG_HOME", root, 1);
        mkdir((m_root + "/kavosen").c_str(), 0700);
        mkdir(PortLinkDirectory().c_str(), 0700);
    }
}

TemporaryConfigHome::~TemporaryConfigHome() {
    if (m_root.empty()) {
        return;
    }
    // Each BenchPty removed its own link; only the empty folders are left.
    rmdir(PortLinkDirectory().c_str());
    rmdir((m_root + "/kavosen").c_str());
    rmdir(m_root.c_str());
}

// ---- Ptys ---------------------------------------------------------------------------------

BenchPty::BenchPty(int comNumber) {
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0 ||
        ptsname_r(m_master, name, sizeof name) != 0) {
        CloseMaster();
        return;
    }
    m_slave = name;
    if (comNumber > 0) {
        m_link = PortLinkDirectory() + "/COM" + std::to_string(comNumber);
        unlink(m_link.c_str());
        if (symlink(m_slave.c_str(), m_link.c_str()) != 0) {
            m_link.clear();
            m_slave.clear();
        }
    }
}

BenchPty::~BenchPty() {
    if (!m_link.empty()) {
        unlink(m_link.c_str());
    }
    CloseSlave();
    CloseMaster();
}

bool BenchPty::WriteAll(const void* bytes, std::size_t count) {
    const char* p = static_cast<const char*>(bytes);
    while (count > 0) {
        const ssize_t n = write(m_master, p, count);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        p += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

void BenchPty::CloseMaster() {
    if (m_master >= 0) {
        close(m_master);
        m_master = -1;
    }
}

bool BenchPty::OpenSlaveRaw() {
    m_slaveFd = open(m_slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios t;
    if (m_slaveFd < 0 || tcgetattr(m_slaveFd, &t) != 0) {
        return false;
    }
    cfmakeraw(&t);
    return tcsetattr(m_slaveFd, TCSANOW, &t) == 0;
}

void BenchPty::CloseSlave() {
    if (m_slaveFd >= 0) {
        close(m_slaveFd);
        m_slaveFd = -1;
    }
}

// ---- Data ---------------------------------------------------------------------------------

std::vector<unsigned char> RandomBytesWithoutCtrlZ(std::size_t count, std::uint64_t seed) {
    std::vector<unsigned char> bytes(count);
    // splitmix64: fast, and good enough to make every byte value (but one) turn up.
    std::uint64_t state = seed;
    std::size_t i = 0;
    while (i < count) {
        state += 0x9E3779B97F4A7C15ull;
        std::uint64_t z = state;
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        for (int b = 0; b < 8 && i < count; ++b, z >>= 8) {
            const auto byte = static_cast<unsigned char>(z);
            if (byte != kCtrlZ) {
                bytes[i++] = byte;
            }
        }
    }
    return bytes;
}
