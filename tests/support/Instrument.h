// The far end of the line in tests and benchmarks: the simulated instrument (tools/Instrument.cpp)
// run as a child process, a pty played from this process (tools/Pty.h), a configuration folder of
// one's own in which COM names are mapped, and whether a port is free again.
//
// A program that starts instruments is built with KAVOSEN_INSTRUMENT defined as the
// instrument's path, and passes it to Instrument. Nothing here reports through GoogleTest: a
// failure shows in the result (Ready(), Link(), Path()) and a line on standard error.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tools/Pty.h"

// Makes a new folder this process's XDG_CONFIG_HOME while the object lives, so that its COM
// links are the only ones: the port-name mapping reads the variable at every open, and the
// instruments started meanwhile inherit it. The old value comes back and the folder goes with
// the object. One at a time, made before any thread starts (setenv is not thread-safe).
class ScopedConfigHome {
public:
    ScopedConfigHome();
    ~ScopedConfigHome();
    ScopedConfigHome(const ScopedConfigHome&) = delete;
    ScopedConfigHome& operator=(const ScopedConfigHome&) = delete;

    // Empty when the folder could not be made.
    const std::string& Path() const { return path_; }
    // Maps COMn to target with a link of its own (replacing one there was); false when the link
    // cannot be made.
    bool Link(int n, const std::string& target) const;

private:
    std::string path_;
    std::string old_;
    bool hadOld_ = false;
};

class Instrument {
public:
    // Starts the instrument program with args (its options) and waits up to 10 s for its READY
    // line. Its standard input stays open (so it runs until stopped, unless args say otherwise)
    // and its standard error is this process's.
    Instrument(const std::string& program, const std::vector<std::string>& args);
    // Stops it if it still runs.
    ~Instrument();
    Instrument(const Instrument&) = delete;
    Instrument& operator=(const Instrument&) = delete;

    // Whether it started and said READY.
    bool Ready() const { return !slave_.empty(); }
    // The pty slave it sends through (empty when not ready).
    const std::string& Slave() const { return slave_; }

    // Ends it (SIGTERM) and waits for it: its exit status, 128 + the signal when a signal ended
    // it, or -1 when it had already been waited for.
    int Stop();
    // Closes its standard input, which ends an instrument without --hold once it has sent, and
    // waits as WaitForExit does.
    int Finish(int timeoutMs = 10000);
    // Waits up to timeoutMs for it to end by itself: its status as Stop gives it, or -1 while it
    // still runs.
    int WaitForExit(int timeoutMs);

private:
    int Reap(int options);

    pid_t pid_ = -1;
    int stdin_ = -1;   // its standard input: our write end
    int stdout_ = -1;  // its standard output: our read end
    std::string slave_;
};

// Whether nobody holds the device at path any more: it can be locked, and it is not exclusive.
bool PortReleased(const std::string& path);
