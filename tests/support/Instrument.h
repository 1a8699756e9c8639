// The far end of the line in tests: the simulated instrument (tools/Instrument.cpp) run as a
// child process, a pty the test plays the instrument on itself, the bytes they send, another
// program holding a port, a configuration folder of the test's own in which COM names are
// mapped, and what the process under test still holds when a capture is over.
//
// A test program that starts instruments is built with KAVOSEN_INSTRUMENT defined as the
// instrument's path, and passes it to Instrument.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

// Makes a new folder this process's XDG_CONFIG_HOME while the object lives, so that its COM
// links are the only ones: the port-name mapping reads the variable at every open, and the
// instruments started meanwhile inherit it. The old value comes back and the folder goes with
// the object. One at a time.
class ScopedConfigHome {
public:
    ScopedConfigHome();
    ~ScopedConfigHome();
    ScopedConfigHome(const ScopedConfigHome&) = delete;
    ScopedConfigHome& operator=(const ScopedConfigHome&) = delete;

    const std::string& Path() const { return path_; }
    // Maps COMn to target with a link of the test's own (replacing one there was); false when
    // the link cannot be made.
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

// A line the test plays the instrument on itself: a pty whose slave is raw from the start (set
// through the master, as a real line never translates bytes), so what the test writes is what
// the program reads.
class Line {
public:
    Line();
    ~Line();  // Hangup()
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    int Master() const { return master_; }
    const std::string& Slave() const { return slave_; }
    // Writes all of bytes to the master, waiting while the pty is full.
    void Send(const std::string& bytes);
    // Closes the master: the slave's device vanishes, as an unplugged adapter does.
    void Hangup();

private:
    int master_ = -1;
    std::string slave_;
};

// size bytes in which every value but Ctrl-Z (0x1A) occurs, the first 255 holding each once in
// shuffled order: only silence can end a capture of them. The same seed, the same bytes.
std::string RandomPayload(std::size_t size, unsigned seed);

// Opens path as a program does that takes a port for itself: a flock (which holds against
// everyone who locks, root included) and TIOCEXCL (which keeps out everyone but root). The
// descriptor, or -1.
int HoldPort(const std::string& path);

// Whether nobody holds the device at path any more: it can be locked, and it is not exclusive.
bool PortReleased(const std::string& path);

// Descriptors this process has open, less the event notifiers (eventfds) of Qt's own threads:
// Qt starts pool threads with the first window and ends them after 30 s idle, so those come and
// go on their own. A port, file or pipe left open counts.
int OpenDescriptors();

// Threads this process runs besides its main thread, less Qt's own: Qt names its threads, while
// a thread the program starts keeps the process's name. 0 once every capture worker has ended.
int ProgramThreads();
