// A capture on a real line's terms, in the real window: what it costs while data arrives at the
// fastest rate the window offers, and while it waits.
//
// - Paced: the simulated instrument sends 200,000 random bytes and a Ctrl-Z paced as a
//   230400-baud line at 8N2 carries them (20,945 bytes a second, about 9.5 s). The CPU time of
//   the whole process (every thread) from the capture waiting for data to Save enabled, as a
//   share of one core, and the window's thread's part of it; the capture must hold every byte.
// - Waiting: the same share over 5 s on a silent port, and on a port whose device vanished after
//   the capture started (the pty's master closed), where every read fails at once and only the
//   worker's pause between failed reads keeps it from spinning. Then the time from clicking
//   Cancel to the window idle again (the port list enabled) on each, since that pause must not
//   make Cancel slow.
//
// Goals: under 1% of a core for each share; Cancel within about one read time-out (756 ms).
#include <time.h>

#include <QApplication>
#include <cstring>

#include "bench/BenchSupport.h"
#include "bench/BenchWindow.h"
#include "tests/support/Instrument.h"
#include "tests/support/Process.h"
#include "tests/support/Wait.h"
#include "tests/support/Window.h"
#include "ui/CaptureDlg.h"

namespace {

constexpr int kPacedCom = 8;
constexpr int kSilentCom = 9;
constexpr std::size_t kPacedBytes = 200000;
constexpr int kIntervalMs = 5000;
constexpr double kCpuGoal = 0.01;
constexpr double kCancelGoalMs = 800;

// CPU seconds the calling thread has used.
double ThreadCpuSeconds() {
    timespec used;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return static_cast<double>(used.tv_sec) + static_cast<double>(used.tv_nsec) / 1e9;
}

// The share of one core the process used while its events ran for ms.
double CpuShareOver(int ms) {
    const double cpu = CpuSeconds();
    const Clock::time_point start = Clock::now();
    RunEventsFor(ms);
    return (CpuSeconds() - cpu) / Seconds(Clock::now() - start);
}

// Clicks Cancel and returns the milliseconds until the port list is enabled again (the end of
// ResetControls), or -1 when that does not happen within 5 s.
double CancelMs(CCaptureDlg& dlg) {
    const Clock::time_point start = Clock::now();
    Press(dlg.m_btnReceive);
    Clock::time_point idle;
    if (!WaitUntilEnabled(dlg.m_cmbPort, 5000, &idle)) {
        return -1;
    }
    return Milliseconds(idle - start);
}

void CpuRow(const std::string& figure, double share) {
    const std::string goal = Format("< %.0f%% of a core", kCpuGoal * 100);
    if (share < 0) {
        PrintRow(figure, "did not run", goal, Mark::kMissed);
        return;
    }
    PrintRow(figure, Format("%.2f%% of a core", share * 100), goal, MarkOf(share < kCpuGoal));
}

void CancelRow(const std::string& figure, double ms) {
    const std::string goal = Format("<= %.0f ms (about one read time-out)", kCancelGoalMs);
    if (ms < 0) {
        PrintRow(figure, "did not end", goal, Mark::kMissed);
        return;
    }
    PrintRow(figure, Format("%.0f ms", ms), goal, MarkOf(ms <= kCancelGoalMs));
}

}  // namespace

int main(int argc, char** argv) {
    PrepareQtEnvironment();
    ScopedConfigHome config;
    QApplication app(argc, argv);

    double paced = -1;
    double pacedWindow = -1;
    bool exact = false;
    double silent = -1;
    double vanished = -1;
    double cancelSilent = -1;
    double cancelVanished = -1;
    // Sends a second after the port opens, past the pause in which the capture discards what
    // was waiting.
    Instrument instrument(
        KAVOSEN_INSTRUMENT,
        {"--random", std::to_string(kPacedBytes), "--exclude-eof", "--baud", "230400", "--end",
         "ctrlz", "--wait-open", "--delay", "1000", "--com", std::to_string(kPacedCom)});
    Pty silentLine(Pty::kRaw);
    const bool ready = instrument.Ready() && config.Link(kSilentCom, silentLine.Slave());
    WithWindow([&](CCaptureDlg& dlg) {
        Choose(dlg.m_cmbBaudrate, "230400");
        if (!ready || !StartCapture(dlg, kPacedCom)) {
            return;
        }
        Progress("line: a capture paced at 230400 baud, %zu bytes", kPacedBytes);
        const double cpu = CpuSeconds();
        const double windowCpu = ThreadCpuSeconds();
        const Clock::time_point start = Clock::now();
        Clock::time_point end;
        if (WaitUntilEnabled(dlg.m_btnSave, 60000, &end)) {
            paced = (CpuSeconds() - cpu) / Seconds(end - start);
            pacedWindow = (ThreadCpuSeconds() - windowCpu) / Seconds(end - start);
            const std::string sent = RandomPayload(kPacedBytes, 1);
            exact = dlg.m_nLength == static_cast<int>(kPacedBytes + 1) &&
                    std::memcmp(dlg.m_pBuffer, sent.data(), kPacedBytes) == 0 &&
                    dlg.m_pBuffer[kPacedBytes] == 0;
        }
        WaitUntil([&] { return Idle(dlg); });

        if (!StartCapture(dlg, kSilentCom)) {
            return;
        }
        Progress("line: a capture waiting on a silent port, %d ms", kIntervalMs);
        silent = CpuShareOver(kIntervalMs);
        cancelSilent = CancelMs(dlg);

        if (!StartCapture(dlg, kSilentCom)) {
            return;
        }
        Progress("line: a capture waiting on a vanished port, %d ms", kIntervalMs);
        silentLine.Hangup();
        vanished = CpuShareOver(kIntervalMs);
        cancelVanished = CancelMs(dlg);
    });

    CpuRow(Format("capturing at 230400 baud, %zu bytes", kPacedBytes), paced);
    if (pacedWindow >= 0) {
        PrintRow("  of it the window's thread", Format("%.2f%% of a core", pacedWindow * 100));
    }
    PrintRow("  the capture holds every byte", exact ? "yes" : "no", "yes", MarkOf(exact));
    CpuRow("waiting on a silent port, 5 s", silent);
    CpuRow("waiting on a vanished port, 5 s", vanished);
    CancelRow("Cancel to idle, silent port", cancelSilent);
    CancelRow("Cancel to idle, vanished port", cancelVanished);
    return 0;
}
