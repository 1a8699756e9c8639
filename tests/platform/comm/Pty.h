// Helpers for tests on real ptys: a pty whose slave the code under test opens while the test
// plays the instrument on the master, a monotonic stopwatch, and counting descriptors.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

// A pty with the kernel's default (cooked) settings on its slave, which nobody holds open:
// whatever raw mode the slave is in afterwards, the code under test set.
class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    int Master() const { return master_; }
    const std::string& Slave() const { return slave_; }
    // Writes all of bytes to the master (blocking).
    void Send(const void* bytes, std::size_t count);
    void Send(const std::string& bytes) { Send(bytes.data(), bytes.size()); }
    // Closes the master: the slave's device vanishes.
    void Hangup();

private:
    int master_ = -1;
    std::string slave_;
};

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

// The number of descriptors this process has open.
int OpenDescriptorCount();

// Sleeps for ms milliseconds.
void SleepMs(int ms);
