// A flood: 100 MB through a pty into a capture running in the real window, against cat reading
// the same flood from a pty. Each round runs one capture and one cat, in alternating order, so
// load from elsewhere on the machine falls on both alike.
//
// The flood: 100,000,000 random bytes without 0x1A, then one 0x1A, written flat out by a writer
// thread that waits while the pty is full, as flow control holds a sender. A capture is timed
// from the first byte written to Save enabled; cat from the first byte to its having read the
// last one (its read count in /proc), after which the master is closed and cat ends.
//
// Also per capture: the longest the window's thread went without serving its events (the longest
// gap between the ticks of a 10 ms timer on it) while the flood ran, the process's peak resident
// memory above the idle program (window open, capture waiting), and whether the capture buffer
// holds the flood byte for byte (the final Ctrl-Z stored as 0).
//
// Goals: throughput at least a tenth of cat's, which is still far above any serial line (230400
// baud at 8N2 carries 0.02 MB/s); no gap over 50 ms, which a user would not notice; peak memory
// above idle at most the capture plus two CAPTURE_BLOCKs, since the buffer grows in place,
// nothing keeps a second copy and the text area holds only dots while the capture runs.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <cstring>
#include <memory>
#include <thread>

#include "bench/BenchSupport.h"
#include "bench/BenchWindow.h"
#include "tests/support/Instrument.h"
#include "tests/support/Process.h"
#include "tests/support/Wait.h"
#include "tests/support/Window.h"
#include "ui/CaptureDlg.h"

extern char** environ;

namespace {

constexpr std::size_t kFloodDataBytes = 100000000;
constexpr int kRounds = 5;
constexpr int kCom = 7;
constexpr int kCaptureTimeoutMs = 120000;
constexpr double kMB = 1e6;
constexpr double kRatioGoal = 0.10;
constexpr double kGapGoalMs = 50;

// The writer's side of one flood.
struct Flood {
    Clock::time_point first;  // just before the first byte was written
    bool written = false;
};

// Writes bytes to pty flat out on a new thread; join it before reading flood.
std::thread StartFlood(Pty& pty, const std::string& bytes, Flood& flood) {
    return std::thread([&pty, &bytes, &flood] {
        flood.first = Clock::now();
        flood.written = pty.Send(bytes);
    });
}

struct CaptureRun {
    bool ended = false;
    double seconds = 0;
    double longestGapMs = 0;
    long long peakAboveIdle = -1;
    long long fileBackedAboveIdle = -1;  // at the end: mapped files, such as fonts
    bool exact = false;
};

CaptureRun MeasureCapture(const ScopedConfigHome& config, const std::string& flood) {
    CaptureRun run;
    Pty pty(Pty::kRaw);
    if (!config.Link(kCom, pty.Slave())) {
        return run;
    }
    Flood writer;
    std::thread thread;
    Clock::time_point end;
    WithWindow([&](CCaptureDlg& dlg) {
        if (!StartCapture(dlg, kCom)) {
            return;
        }
        const long long idle = StatusBytes("VmRSS");
        const long long idleFiles = StatusBytes("RssFile");
        const bool peakReset = ResetPeakResident();
        const TickWatch ticks(10);
        thread = StartFlood(pty, flood, writer);
        run.ended = WaitUntilEnabled(dlg.m_btnSave, kCaptureTimeoutMs, &end);
        run.longestGapMs = ticks.LongestGapMs();
        if (peakReset && idle >= 0) {
            run.peakAboveIdle = StatusBytes("VmHWM") - idle;
            run.fileBackedAboveIdle = StatusBytes("RssFile") - idleFiles;
        }
        // The flood's last byte, the Ctrl-Z, is stored as 0.
        run.exact = run.ended && dlg.m_nLength == static_cast<int>(flood.size()) &&
                    std::memcmp(dlg.m_pBuffer, flood.data(), flood.size() - 1) == 0 &&
                    dlg.m_pBuffer[flood.size() - 1] == 0;
    });
    // A writer the capture left behind gives up once nobody reads.
    if (thread.joinable()) {
        thread.join();
    }
    run.seconds = Seconds(end - writer.first);
    return run;
}

struct CatRun {
    bool done = false;
    double seconds = 0;
};

CatRun MeasureCat(const std::string& flood) {
    CatRun run;
    auto pty = std::make_unique<Pty>(Pty::kRaw);
    if (pty->Master() < 0) {
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    // Its read ends with an I/O error once the master is gone; that is expected.
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::string slave = pty->Slave();
    char name[] = "cat";
    char* argv[] = {name, &slave[0], nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawnp(&pid, "cat", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return run;
    }

    // Timing starts once cat has the pty open and waits in its first read.
    const Clock::time_point giveUp = Clock::now() + std::chrono::seconds(5);
    while (!HasDeviceOpen(slave, pid) && Clock::now() < giveUp) {
        usleep(1000);
    }
    const long long before = BytesRead(pid);
    if (HasDeviceOpen(slave, pid) && before >= 0) {
        Flood writer;
        StartFlood(*pty, flood, writer).join();
        // The last bytes may still be on their way through the pty.
        const long long total = static_cast<long long>(flood.size());
        const Clock::time_point drainLimit = Clock::now() + std::chrono::seconds(5);
        long long got = BytesRead(pid) - before;
        while (writer.written && got < total && Clock::now() < drainLimit) {
            usleep(100);
            got = BytesRead(pid) - before;
        }
        const Clock::time_point end = Clock::now();
        run.done = writer.written && got >= total;
        run.seconds = Seconds(end - writer.first);
    }
    // Without its master the pty is gone: cat's next read ends it.
    pty.reset();
    waitpid(pid, nullptr, 0);
    return run;
}

}  // namespace

int main(int argc, char** argv) {
    PrepareQtEnvironment();
    ScopedConfigHome config;
    QApplication app(argc, argv);

    Progress("capture: making %zu random bytes", kFloodDataBytes);
    const std::string flood = RandomPayload(kFloodDataBytes, 1) + '\x1A';

    std::vector<double> captureRates;
    std::vector<double> catRates;
    std::vector<double> ratios;
    std::vector<double> gaps;
    long long worstPeak = -1;
    long long worstPeakFiles = -1;
    bool peakKnown = true;
    int exactRounds = 0;
    int failedRuns = 0;
    for (int round = 0; round < kRounds; ++round) {
        Progress("capture: round %d of %d", round + 1, kRounds);
        CaptureRun capture;
        CatRun cat;
        if (round % 2 == 0) {
            capture = MeasureCapture(config, flood);
            cat = MeasureCat(flood);
        } else {
            cat = MeasureCat(flood);
            capture = MeasureCapture(config, flood);
        }
        exactRounds += capture.exact;
        if (!capture.ended || !cat.done) {
            ++failedRuns;
            continue;
        }
        const double captureRate = static_cast<double>(flood.size()) / kMB / capture.seconds;
        const double catRate = static_cast<double>(flood.size()) / kMB / cat.seconds;
        captureRates.push_back(captureRate);
        catRates.push_back(catRate);
        ratios.push_back(captureRate / catRate);
        gaps.push_back(capture.longestGapMs);
        peakKnown = peakKnown && capture.peakAboveIdle >= 0;
        if (capture.peakAboveIdle > worstPeak) {
            worstPeak = capture.peakAboveIdle;
            worstPeakFiles = capture.fileBackedAboveIdle;
        }
    }

    if (failedRuns > 0) {
        PrintRow("runs that did not finish", Format("%d of %d rounds", failedRuns, kRounds), "none",
                 Mark::kMissed);
    }
    PrintRow("capture, first byte to Save enabled", MedianAndRange(captureRates, "%.1f MB/s"));
    PrintRow("cat, first byte to last byte read", MedianAndRange(catRates, "%.0f MB/s"));
    PrintRow(Format("capture / cat, %d rounds", kRounds), MedianAndRange(ratios, "%.3f"),
             Format(">= %.2f (a 230400-baud line: 0.02 MB/s)", kRatioGoal),
             ratios.empty() ? Mark::kMissed : MarkOf(Median(ratios) >= kRatioGoal));
    PrintRow("window: longest gap between 10 ms ticks", MedianAndRange(gaps, "%.0f ms"),
             Format("< %.0f ms", kGapGoalMs),
             gaps.empty() ? Mark::kMissed : MarkOf(Median(gaps) < kGapGoalMs));
    const long long peakGoal = static_cast<long long>(flood.size()) + 2LL * CAPTURE_BLOCK;
    PrintRow("peak memory above idle, highest round",
             peakKnown && worstPeak >= 0 ? Format("%.2f MB", worstPeak / kMB) : "unknown",
             Format("<= %.2f MB (capture + 2 blocks)", peakGoal / kMB),
             MarkOf(peakKnown && worstPeak >= 0 && worstPeak <= peakGoal));
    // Mapped files (the fonts that draw the preview) are shared and can be dropped at any time;
    // a second copy of the data would show in the rest, the process's own memory.
    if (peakKnown && worstPeakFiles >= 0) {
        PrintRow("  of it mapped files (fonts for the preview)",
                 Format("%.2f MB", worstPeakFiles / kMB));
        PrintRow("  the rest, the process's own memory",
                 Format("%.2f MB", (worstPeak - worstPeakFiles) / kMB));
    }
    PrintRow("capture equals the flood byte for byte",
             Format("%d of %d rounds", exactRounds, kRounds), "every round",
             MarkOf(exactRounds == kRounds));
    return 0;
}
