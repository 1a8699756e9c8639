// This process as tests and benchmarks see it: its environment for Qt, what it still holds
// (descriptors, threads), the CPU it used, and time.
#pragma once

#include <chrono>

// Qt without a display: the offscreen platform when neither DISPLAY nor WAYLAND_DISPLAY is set,
// and a private 0700 XDG_RUNTIME_DIR when none is set. Call first in main, before Qt starts.
void PrepareQtEnvironment();

// Descriptors this process has open, less the event notifiers (eventfds) of Qt's own threads:
// Qt starts pool threads with the first window and ends them after 30 s idle, so those come and
// go on their own. A port, file or pipe left open counts.
int OpenDescriptorCount();

// Threads this process runs besides its main thread, less Qt's own: Qt names its threads, while
// a thread the program starts keeps the process's name. 0 once every capture worker has ended.
int ProgramThreads();

// CPU seconds this process has used, all its threads.
double CpuSeconds();

// Milliseconds on the monotonic clock since it was made.
class Stopwatch {
public:
    Stopwatch() : start_(std::chrono::steady_clock::now()) {}
    long long Ms() const {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start_)
            .count();
    }

private:
    std::chrono::steady_clock::time_point start_;
};

void SleepMs(int ms);
