// The far end of a serial line, for the simulated instrument, the tests and the benchmarks: a
// pty whose slave a program opens as its serial port while the master plays the device, and
// the bytes an instrument sends.
//
// These live beside the instrument because the instrument is a program of its own that needs
// them too; the tests and the benchmarks link the same library, so there is one of each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A pty. Nobody holds the slave open until the code under test opens it. The master does not
// block; Send waits for room itself.
class Pty {
public:
    // kKernelDefaults leaves the slave as the kernel sets up a new tty (echo, canonical input,
    // CR to LF), so whatever raw mode it is in later, the code that opened it set. kRaw sets the
    // slave raw through the master, as a real line never translates bytes, so that bytes sent
    // before a program has set its own settings arrive as sent.
    enum Settings { kKernelDefaults, kRaw };

    explicit Pty(Settings settings = kKernelDefaults);
    ~Pty();  // Hangup()
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // -1, and Slave() empty, when the pty could not be made (errno tells why).
    int Master() const { return master_; }
    const std::string& Slave() const { return slave_; }

    // Writes all count bytes to the master, waiting while the pty is full, as a sender held by
    // flow control waits. False when a write fails or nobody makes room for 10 s (a reader that
    // stopped reading), so a test fails rather than hangs.
    bool Send(const void* bytes, std::size_t count);
    bool Send(const std::string& bytes) { return Send(bytes.data(), bytes.size()); }

    // Closes the master: the slave's device vanishes, as an unplugged adapter does.
    void Hangup();

private:
    int master_ = -1;
    std::string slave_;
};

// size bytes of every value but Ctrl-Z (0x1A), unless withCtrlZ, the first 255 (256) of them
// holding each value once in shuffled order, so even a short payload carries every byte value.
// The same seed gives the same bytes on every build and machine.
std::string RandomPayload(std::size_t size, std::uint64_t seed, bool withCtrlZ = false);
