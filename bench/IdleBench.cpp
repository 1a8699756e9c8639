// A capture waiting for data should cost next to nothing: measured on a silent port, and on a
// port whose device vanished after the capture started (the pty's master closed), where every
// read fails at once and only the worker's pause between failed reads keeps it from spinning.
// Each is the CPU time of the whole process (every thread) over 5 s, as a share of one core;
// the window's thread only waits for events meanwhile.
//
// Also, since the pacing must not make Cancel slow: the time from clicking Cancel to the window
// idle again (the lists enabled), on each port.
//
// Goals: under 1% of a core on both; Cancel within about one read time-out (756 ms).
#include <QApplication>

#include "bench/BenchSupport.h"
#include "bench/CaptureWindow.h"
#include "ui/CaptureDlg.h"

namespace {

constexpr int kCom = 8;
constexpr int kIntervalMs = 5000;
constexpr double kCpuGoal = 0.01;
constexpr double kCancelGoalMs = 800;

// The share of one core the process used while its events ran for ms.
double CpuShareOver(int ms) {
    const double cpu = ProcessCpuSeconds();
    const Clock::time_point start = Clock::now();
    RunEventsFor(ms);
    return (ProcessCpuSeconds() - cpu) / Seconds(Clock::now() - start);
}

// Clicks Cancel and returns the milliseconds until the port list is enabled again (the end of
// ResetControls), or -1 when that does not happen within 5 s.
double CancelMs(CCaptureDlg& dlg) {
    const Clock::time_point start = Clock::now();
    ClickReceive(dlg);
    Clock::time_point idle;
    if (!WaitUntilEnabled(dlg.m_cmbPort, 5000, &idle)) {
        return -1;
    }
    return Milliseconds(idle - start);
}

void CpuRow(const std::string& figure, double share) {
    if (share < 0) {
        PrintRow(figure, "did not run", "< 1% of a core", Mark::kMissed);
        return;
    }
    PrintRow(figure, Format("%.2f%% of a core", share * 100), "< 1% of a core",
             MarkOf(share < kCpuGoal));
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
    PrepareQt();
    TemporaryConfigHome configHome;
    QApplication app(argc, argv);

    double silent = -1;
    double vanished = -1;
    double cancelSilent = -1;
    double cancelVanished = -1;
    BenchPty pty(kCom);
    WithCaptureWindow([&](CCaptureDlg& dlg) {
        if (!pty.Ok() || !StartCapture(dlg, kCom)) {
            return;
        }
        Progress("idle: a capture waiting on a silent port, %d ms", kIntervalMs);
        silent = CpuShareOver(kIntervalMs);
        cancelSilent = CancelMs(dlg);

        if (!StartCapture(dlg, kCom)) {
            return;
        }
        Progress("idle: a capture waiting on a vanished port, %d ms", kIntervalMs);
        pty.CloseMaster();
        vanished = CpuShareOver(kIntervalMs);
        cancelVanished = CancelMs(dlg);
    });

    CpuRow("waiting on a silent port, 5 s", silent);
    CpuRow("waiting on a vanished port, 5 s", vanished);
    CancelRow("Cancel to idle, silent port", cancelSilent);
    CancelRow("Cancel to idle, vanished port", cancelVanished);
    return 0;
}
