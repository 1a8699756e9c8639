// Helpers the benchmarks share, free of Qt: the rows of the benchmark table, clocks and
// statistics, resident memory. Ptys, the instrument, payloads, the configuration folder, CPU
// time and the window come from the support library the tests use (tests/support, tools/Pty.h).
#pragma once

#include <chrono>
#include <cstddef>
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

double Median(std::vector<double> values);
// "median (min-max)" of values, each printed with format; the median alone for one value.
std::string MedianAndRange(const std::vector<double>& values, const char* format);

// ---- Processes ----------------------------------------------------------------------------

// Bytes process pid has read so far (rchar of /proc/PID/io); -1 when that cannot be read.
long long BytesRead(int pid);

// ---- Memory -------------------------------------------------------------------------------

// A size field of /proc/self/status in bytes ("VmRSS", "VmHWM", "RssFile"...); -1 when there
// is none.
long long StatusBytes(const char* field);
// Starts a new peak at the present resident size (clear_refs 5); false when the kernel refuses.
bool ResetPeakResident();
