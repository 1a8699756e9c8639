// This process as tests and benchmarks see it: its environment for Qt, what it still holds
// (descriptors, threads), the CPU it used, and time; and another process that holds what this
// one would open.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

// Qt without a display: the offscreen platform when neither DISPLAY nor WAYLAND_DISPLAY is set,
// and a private 0700 XDG_RUNTIME_DIR when none is set. Call first in main, before Qt starts.
void PrepareQtEnvironment();

// Calls fn(fd, what it refers to) for each descriptor process pid (0: this one) has open, but
// the one that reads the list.
void ForEachDescriptor(pid_t pid, const std::function<void(int fd, const std::string& target)>& fn);

// Descriptors this process has open, less the event notifiers (eventfds) of Qt's own threads:
// Qt starts pool threads with the first window and ends them after 30 s idle, so those come and
// go on their own. A port, file or pipe left open counts.
int OpenDescriptorCount();

// Whether process pid (0: this process) has the device at path open, by any descriptor.
bool HasDeviceOpen(const std::string& path, pid_t pid = 0);

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

// Another process on the machine, forked from this one: it runs hold and keeps what hold took
// (a port it opened, say) until Release; then it runs letGo and ends. In a process with threads
// (every test with Qt), hold and letGo may only make system calls such as open, close and
// flock: nothing that takes a lock another thread might have held at the fork.
class OtherProcess {
public:
    explicit OtherProcess(
        const std::function<bool()>& hold, const std::function<void()>& letGo = [] {});
    ~OtherProcess() { Release(); }
    OtherProcess(const OtherProcess&) = delete;
    OtherProcess& operator=(const OtherProcess&) = delete;

    // Whether it started and hold returned true.
    bool Held() const { return held_; }
    pid_t Pid() const { return pid_; }
    // Lets go and waits until the process has ended.
    void Release();

private:
    pid_t pid_ = -1;
    int go_ = -1;
    bool held_ = false;
};

// Another program that holds the device at path open without any lock, as a modem manager
// probing a new port or a terminal left open does. Held() is false when it cannot open it.
class PortHolder : public OtherProcess {
public:
    explicit PortHolder(const std::string& path);
};
