// CPU of a capture at the fastest line the window offers, on a real X server, beside what a Linux
// user would run instead. Each round runs three readers at the same time, each on its own
// simulated instrument sending 200,000 random bytes and a Ctrl-Z paced as a 230400-baud line at
// 8N2 (a second after its port opens):
// - the program's window, in this process, on an X server of its own (Xvfb, started here), whose
//   CPU during the capture counts as the program's: the window's paints are made there;
// - cat reading its pty into a file;
// - the floor, a loop of blocking 256-byte reads (bench_floor, Floor.c).
// CPU comes from the kernel's schedstat of every thread. The program's is split into the window's
// thread, the capture thread (the process's CPU less that of the threads that outlive it) and
// the X server; the window's thread's CPU is also given per progress dot, its wake-up included.
// Shares of a core are the CPU over the time the line takes to carry the bytes.
//
// Goals: the program's CPU below cat's and at most 1.5 times the floor's; at most 150 us of the
// window's thread per dot.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>

#include "bench/BenchSupport.h"
#include "bench/BenchWindow.h"
#include "tests/support/Instrument.h"
#include "tests/support/Process.h"
#include "tests/support/Wait.h"
#include "tests/support/Window.h"
#include "ui/CaptureDlg.h"

extern char** environ;

namespace {

constexpr int kCom = 8;
constexpr std::size_t kBytes = 200000;
constexpr int kRounds = 3;
constexpr double kLineBytesPerSecond = 230400.0 / 11;
constexpr double kFloorGoal = 1.5;
constexpr double kDotGoalUs = 150;

// The threads of a process: the CPU nanoseconds each has used so far, the times it ran (its
// wake-ups, near enough), its read and write system calls, and its name.
struct Thread {
    long long ns = 0;
    long long runs = 0;
    long long calls = 0;
    std::string name;
};

Thread ThreadAt(const std::string& task) {
    Thread thread;
    std::ifstream(task + "/schedstat") >> thread.ns >> thread.runs >> thread.runs;
    std::ifstream io(task + "/io");
    std::string key;
    long long value = 0;
    while (io >> key >> value) {
        thread.calls += key == "syscr:" || key == "syscw:" ? value : 0;
    }
    std::getline(std::ifstream(task + "/comm"), thread.name);
    return thread;
}

std::map<std::string, Thread> Threads(const std::string& pid) {
    std::map<std::string, Thread> threads;
    const std::string dir = "/proc/" + pid + "/task";
    DIR* tasks = opendir(dir.c_str());
    while (const dirent* entry = tasks ? readdir(tasks) : nullptr) {
        if (entry->d_name[0] != '.') {
            threads[entry->d_name] = ThreadAt(dir + "/" + entry->d_name);
        }
    }
    if (tasks) {
        closedir(tasks);
    }
    return threads;
}

double CpuSecondsOf(pid_t pid) {
    long long ns = 0;
    for (const auto& thread : Threads(std::to_string(pid))) {
        ns += std::max(0LL, thread.second.ns);
    }
    return static_cast<double>(ns) / 1e9;
}

double ThreadCpuSeconds() {
    timespec used;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

// Starts args with its standard output into out and its standard error to /dev/null; -1 when
// it cannot be started.
pid_t Spawn(std::vector<std::string> args, const std::string& out) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(&arg[0]);
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

void End(pid_t pid) {
    if (pid > 0) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
}

// An X server of its own: Xvfb on the first free display, which it names through -displayfd.
// DISPLAY names it afterwards; -1 when it did not start.
pid_t StartXServer() {
    int fds[2];
    if (pipe(fds) != 0) {
        return -1;
    }
    const pid_t pid = Spawn({KAVOSEN_XVFB, "-displayfd", std::to_string(fds[1]), "-screen", "0",
                             "800x600x24", "-nolisten", "tcp"},
                            "/dev/null");
    close(fds[1]);
    char display[16] = {};
    const ssize_t n = pid > 0 ? read(fds[0], display, sizeof display - 1) : -1;
    close(fds[0]);
    if (n <= 0) {
        End(pid);
        return -1;
    }
    setenv("DISPLAY", (":" + std::string(display, std::strcspn(display, "\n"))).c_str(), 1);
    return pid;
}

// A reader run as a program of its own on an instrument's pty: its CPU from the moment it has the
// pty open to the moment it has read everything.
struct Reader {
    pid_t pid = -1;
    double startCpu = 0;
    double cpu = -1;
    Thread start;
    long long runs = 0;  // its wake-ups while reading

    bool Start(std::vector<std::string> args, const std::string& slave, const std::string& out) {
        pid = Spawn(std::move(args), out);
        return pid > 0 && WaitUntil([&] { return HasDeviceOpen(slave, pid); }, 5000) &&
               (startCpu = CpuSecondsOf(pid), start = ThreadAt("/proc/" + std::to_string(pid)),
                true);
    }
    // Once it has read total bytes; a reader that is done waits in a read, or paused, using
    // nothing more.
    void Finish(long long total) {
        if (pid > 0 && WaitUntil([&] { return BytesRead(pid) >= total; }, 10000)) {
            cpu = CpuSecondsOf(pid) - startCpu;
            runs = ThreadAt("/proc/" + std::to_string(pid)).runs - start.runs;
        }
        End(pid);
    }
};

struct Round {
    bool exact = false;
    double window = -1;   // CPU seconds
    double capture = -1;  // the worker: the process less the window's and Qt's threads
    double qt = -1;       // Qt's own threads, which Qt names
    double server = -1;   // the X server
    double cat = -1;
    double floor = -1;
    // Wake-ups, and read and write calls, of the window's and the capture thread; the X server's
    // wake-ups.
    long long windowRuns = 0, windowCalls = 0, captureRuns = 0, captureCalls = 0, serverRuns = 0;
    long long catRuns = 0, floorRuns = 0;
    double Program() const { return window + capture + qt + server; }
};

Round MeasureRound(CCaptureDlg& dlg, pid_t server, const std::string& work) {
    Round round;
    const std::vector<std::string> paced{
        "--random", std::to_string(kBytes), "--exclude-eof", "--baud", "230400", "--end",
        "ctrlz",    "--wait-open",          "--delay",       "1000"};
    std::vector<std::string> own = paced;
    own.insert(own.end(), {"--com", std::to_string(kCom)});
    Instrument forProgram(KAVOSEN_INSTRUMENT, own);
    Instrument forCat(KAVOSEN_INSTRUMENT, paced);
    Instrument forFloor(KAVOSEN_INSTRUMENT, paced);
    Reader cat;
    Reader floor;
    if (!forProgram.Ready() || !forCat.Ready() || !forFloor.Ready() ||
        !cat.Start({"cat", forCat.Slave()}, forCat.Slave(), work + "/cat.out") ||
        !floor.Start({KAVOSEN_FLOOR, forFloor.Slave()}, forFloor.Slave(), "/dev/null") ||
        !StartCapture(dlg, kCom)) {
        End(cat.pid);
        End(floor.pid);
        return round;
    }
    const std::string self = std::to_string(getpid());
    const std::map<std::string, Thread> threadsBefore = Threads(self);
    const std::string program = threadsBefore.at(self).name;  // the window's, the first thread
    const double processBefore = CpuSeconds();
    const double windowBefore = ThreadCpuSeconds();
    const double serverBefore = CpuSecondsOf(server);
    const Thread serverThreadBefore = ThreadAt("/proc/" + std::to_string(server));
    Clock::time_point end;
    if (WaitUntilEnabled(dlg.m_btnSave, 60000, &end)) {
        const double process = CpuSeconds() - processBefore;
        round.window = ThreadCpuSeconds() - windowBefore;
        round.server = CpuSecondsOf(server) - serverBefore;
        long long qtNs = 0;
        // A thread the program starts keeps the process's name; Qt names its own.
        for (const auto& [tid, now] : Threads(self)) {
            const auto before = threadsBefore.find(tid);
            if (before == threadsBefore.end()) {
                continue;
            }
            const long long runs = now.runs - before->second.runs;
            const long long calls = now.calls - before->second.calls;
            if (now.name != program) {
                qtNs += now.ns - before->second.ns;
            } else if (tid == self) {
                round.windowRuns = runs;
                round.windowCalls = calls;
            } else {
                round.captureRuns = runs;
                round.captureCalls = calls;
            }
        }
        round.serverRuns =
            ThreadAt("/proc/" + std::to_string(server)).runs - serverThreadBefore.runs;
        round.qt = static_cast<double>(qtNs) / 1e9;
        round.capture = process - round.window - round.qt;
        const std::string sent = RandomPayload(kBytes, 1);
        round.exact = dlg.m_nLength == static_cast<int>(kBytes + 1) &&
                      std::memcmp(dlg.m_pBuffer, sent.data(), kBytes) == 0 &&
                      dlg.m_pBuffer[kBytes] == 0;
    }
    cat.Finish(kBytes + 1);
    floor.Finish(kBytes + 1);
    round.cat = cat.cpu;
    round.floor = floor.cpu;
    round.catRuns = cat.runs;
    round.floorRuns = floor.runs;
    WaitUntil([&] { return Idle(dlg); });
    return round;
}

// A share of one core while the line carries the bytes of a capture.
double Share(double cpuSeconds) {
    return cpuSeconds / ((kBytes + 1) / kLineBytesPerSecond);
}

std::string Shares(const std::vector<Round>& rounds, double (*of)(const Round&)) {
    std::vector<double> values;
    for (const Round& round : rounds) {
        values.push_back(Share(of(round)) * 100);
    }
    return MedianAndRange(values, "%.2f%%");
}

}  // namespace

int main(int argc, char** argv) {
    const pid_t server = StartXServer();
    if (server < 0) {
        PrintRow("the X server (Xvfb)", "did not start", "starts", Mark::kMissed);
        return 1;
    }
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    PrepareQtEnvironment();
    ScopedConfigHome config;
    char folder[] = "/tmp/kavosen-cpu-XXXXXX";
    const std::string work = mkdtemp(folder) ? folder : "/tmp";

    std::vector<Round> rounds;
    int exact = 0;
    {
        QApplication app(argc, argv);
        WithWindow([&](CCaptureDlg& dlg) {
            Choose(dlg.m_cmbBaudrate, "230400");
            for (int i = 0; i < kRounds; ++i) {
                Progress("cpu: round %d of %d, three readers at 230400 baud", i + 1, kRounds);
                const Round round = MeasureRound(dlg, server, work);
                exact += round.exact;
                if (round.window >= 0 && round.cat >= 0 && round.floor >= 0) {
                    rounds.push_back(round);
                }
            }
        });
    }
    End(server);
    std::remove((work + "/cat.out").c_str());
    rmdir(work.c_str());

    // Chunks of 256 bytes, a dot on every fourth from the first.
    const double dots = static_cast<double>(((kBytes + 1 + 255) / 256 + 3) / 4);
    std::vector<double> toCat;
    std::vector<double> toFloor;
    std::vector<double> perDot;
    for (const Round& round : rounds) {
        toCat.push_back(round.Program() / round.cat);
        toFloor.push_back(round.Program() / round.floor);
        perDot.push_back(round.window / dots * 1e6);
    }
    const bool measured = !rounds.empty();
    PrintRow(Format("the program, all of it (%d rounds)", kRounds),
             Shares(rounds, [](const Round& r) { return r.Program(); }), "below cat's");
    PrintRow("  the window's thread", Shares(rounds, [](const Round& r) { return r.window; }));
    PrintRow("  the capture thread", Shares(rounds, [](const Round& r) { return r.capture; }));
    PrintRow("  Qt's other threads", Shares(rounds, [](const Round& r) { return r.qt; }));
    PrintRow("  the X server", Shares(rounds, [](const Round& r) { return r.server; }));
    PrintRow("cat into a file", Shares(rounds, [](const Round& r) { return r.cat; }));
    PrintRow("a blocking-read loop (the floor)",
             Shares(rounds, [](const Round& r) { return r.floor; }));
    PrintRow("program / cat", MedianAndRange(toCat, "%.2f"), "< 1",
             MarkOf(measured && Median(toCat) < 1));
    PrintRow("program / floor", MedianAndRange(toFloor, "%.2f"), Format("<= %.1f", kFloorGoal),
             MarkOf(measured && Median(toFloor) <= kFloorGoal));
    PrintRow(Format("window's thread per dot (%.0f dots)", dots), MedianAndRange(perDot, "%.0f us"),
             Format("<= %.0f us", kDotGoalUs), MarkOf(measured && Median(perDot) <= kDotGoalUs));
    // What a dot and a chunk cost the threads in wake-ups and system calls.
    std::vector<double> windowRuns, windowCalls, serverRuns, captureRuns, captureCalls, catRuns,
        floorRuns;
    const double chunks = static_cast<double>((kBytes + 1 + 255) / 256);
    for (const Round& round : rounds) {
        windowRuns.push_back(round.windowRuns / dots);
        windowCalls.push_back(round.windowCalls / dots);
        serverRuns.push_back(round.serverRuns / dots);
        captureRuns.push_back(round.captureRuns / chunks);
        captureCalls.push_back(round.captureCalls / chunks);
        catRuns.push_back(round.catRuns / chunks);
        floorRuns.push_back(round.floorRuns / chunks);
    }
    PrintRow("  window's thread: wake-ups, read+write calls per dot",
             MedianAndRange(windowRuns, "%.1f") + ", " + MedianAndRange(windowCalls, "%.1f"));
    PrintRow("  X server: wake-ups per dot", MedianAndRange(serverRuns, "%.2f"));
    PrintRow(Format("  capture thread: wake-ups, read+write calls per chunk (%.0f)", chunks),
             MedianAndRange(captureRuns, "%.2f") + ", " + MedianAndRange(captureCalls, "%.2f"));
    PrintRow("  cat, the floor: wake-ups per chunk",
             MedianAndRange(catRuns, "%.2f") + ", " + MedianAndRange(floorRuns, "%.2f"));
    PrintRow("  the captures hold every byte", Format("%d of %d", exact, kRounds), "every one",
             MarkOf(exact == kRounds));
    return 0;
}
