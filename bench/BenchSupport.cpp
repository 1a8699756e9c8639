#include "bench/BenchSupport.h"

#include <stdlib.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <fstream>

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

long long BytesRead(int pid) {
    std::ifstream io("/proc/" + std::to_string(pid) + "/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value) {
        if (key == "rchar:") {
            return value;
        }
    }
    return -1;
}
