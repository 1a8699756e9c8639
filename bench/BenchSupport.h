// Helpers the benchmarks share, free of Qt: the rows of the benchmark table, clocks and CPU
// time, resident memory, ptys mapped as COM ports, and the bytes a flood sends.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// ---- Rows ---------------------------------------------------------------------------------
//
// A benchmark prints each figure as one row on standard output: four fields separated by tabs
// (figure, measured, goal, mark), and nothing else there; progress goes to standard error.
// tools/bench.sh gathers the rows of every benchmark into one aligned table.

enum class Mark { kNone, kMet, kMissed };

inline Mark MarkOf(bool met) {
    return met ? Mark::kMet : Mark::kMissed;
}

void PrintRow(const std::string& figure, const std::string& measured, const std::string& goal = "",
              Mark mark = Mark::kNone);

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A line on standard error, so a long run shows where it is.
void Progress(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- Clocks and statistics ----------------------------------------------------------------

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d);
double Milliseconds(Clock::duration d);

// User and system time of the whole process (every thread), and of the calling thread alone.
double ProcessCpuSeconds();
double ThreadCpuSeconds();

double Median(std::vector<double> values);
// "median (min-max)" of values, each printed with format; the median alone for one value.
std::string MedianAndRange(const std::vector<double>& values, const char* format);

// ---- Memory -------------------------------------------------------------------------------

// A size field of /proc/self/status in bytes ("VmRSS", "VmHWM", "RssFile"...); -1 when there
// is none.
long long StatusBytes(const char* field);
// Starts a new peak at the present resident size (clear_refs 5); false when the kernel refuses.
bool ResetPeakResident();

// ---- Environment --------------------------------------------------------------------------

// XDG_RUNTIME_DIR, which Qt wants, pointed at a private 0700 folder when unset.
void EnsureRuntimeDir();

// A temporary configuration folder for the run: XDG_CONFIG_HOME points at it while the object
// lives, so the COM links a BenchPty makes never touch the user's own. Make it before anything
// starts threads (setenv is not thread-safe).
class TemporaryConfigHome {
public:
    TemporaryConfigHome();
    ~TemporaryConfigHome();
    TemporaryConfigHome(const TemporaryConfigHome&) = delete;
    TemporaryConfigHome& operator=(const TemporaryConfigHome&) = delete;

private:
    std::string m_root;
};

// ---- Ptys ---------------------------------------------------------------------------------

// A pty that the benchmark drives from its master side. With comNumber > 0 its slave is mapped
// as COMn: a link COMn in the port link directory, removed again with the object. Nobody holds
// the slave open until the code under test (or OpenSlaveRaw) opens it.
class BenchPty {
public:
    explicit BenchPty(int comNumber = 0);
    ~BenchPty();
    BenchPty(const BenchPty&) = delete;
    BenchPty& operator=(const BenchPty&) = delete;

    bool Ok() const { return m_master >= 0 && !m_slave.empty(); }
    const std::string& Slave() const { return m_slave; }

    // Writes all count bytes to the master, blocking while the pty is full, as a sender held by
    // flow control waits; false when a write fails (no slave open any more, say).
    bool WriteAll(const void* bytes, std::size_t count);
    // Closes the master: the slave's device vanishes.
    void CloseMaster();
    // Opens the slave in raw mode (no echo, no translation) and keeps it open with the object,
    // so the settings stay while other programs open and close it. False when that fails.
    bool OpenSlaveRaw();
    // Closes what OpenSlaveRaw opened.
    void CloseSlave();

private:
    int m_master = -1;
    int m_slaveFd = -1;
    std::string m_slave;
    std::string m_link;
};

// ---- Data ---------------------------------------------------------------------------------

// count pseudo-random bytes of every value but 0x1A (Ctrl-Z, the end byte), the same for the
// same seed.
std::vector<unsigned char> RandomBytesWithoutCtrlZ(std::size_t count, std::uint64_t seed);

constexpr unsigned char kCtrlZ = 0x1A;
