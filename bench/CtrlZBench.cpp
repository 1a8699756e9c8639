// Time from a Ctrl-Z to the result shown: from just before a block of data ending in a Ctrl-Z
// is written to the pty to the moment Save turns enabled, the last step of the result the
// worker shows. Two cases, alternating, five captures each:
// - the Ctrl-Z completes a full chunk: 1279 data bytes and the Ctrl-Z are exactly five chunks,
//   so the read that holds it returns as soon as it is there;
// - the Ctrl-Z falls in a partial chunk: 1151 data bytes and the Ctrl-Z are four and a half,
//   and the read of the last half returns only at its total time-out, 500 + 256 ms after it
//   began.
// Each capture must end on the Ctrl-Z holding every byte sent (the Ctrl-Z stored as 0).
//
// Goal for both: at most one read time-out (756 ms), the longest a read can still wait once
// the Ctrl-Z is there, plus 50 ms for the end path to show the result.
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

constexpr int kCom = 9;
constexpr int kRunsEach = 5;
constexpr double kGoalMs = 756 + 50;
constexpr std::size_t kFullChunkData = 5 * 256 - 1;
constexpr std::size_t kPartialChunkData = 4 * 256 + 128 - 1;

struct Run {
    bool ended = false;
    bool exact = false;
    double ms = 0;
};

Run Measure(CCaptureDlg& dlg, Pty& pty, const std::string& block) {
    Run run;
    if (!StartCapture(dlg, kCom)) {
        return run;
    }
    const Clock::time_point start = Clock::now();
    Clock::time_point shown;
    run.ended = pty.Send(block) && WaitUntilEnabled(dlg.m_btnSave, 5000, &shown);
    run.ms = Milliseconds(shown - start);
    run.exact = run.ended && dlg.m_nLength == static_cast<int>(block.size()) &&
                std::memcmp(dlg.m_pBuffer, block.data(), block.size() - 1) == 0 &&
                dlg.m_pBuffer[block.size() - 1] == 0;
    WaitUntil([&] { return Idle(dlg); });
    return run;
}

std::string Block(std::size_t dataBytes, std::uint64_t seed) {
    return RandomPayload(dataBytes, seed) + '\x1A';
}

void LatencyRow(const std::string& figure, const std::vector<double>& ms) {
    const std::string goal = Format("<= %.0f ms (a read time-out + 50)", kGoalMs);
    if (ms.empty()) {
        PrintRow(figure, "did not end", goal, Mark::kMissed);
        return;
    }
    PrintRow(figure, MedianAndRange(ms, "%.1f ms"), goal, MarkOf(Median(ms) <= kGoalMs));
}

}  // namespace

int main(int argc, char** argv) {
    PrepareQtEnvironment();
    ScopedConfigHome config;
    QApplication app(argc, argv);

    std::vector<double> full;
    std::vector<double> partial;
    int exact = 0;
    Pty pty(Pty::kRaw);
    const bool linked = config.Link(kCom, pty.Slave());
    WithWindow([&](CCaptureDlg& dlg) {
        if (!linked) {
            return;
        }
        for (int i = 0; i < 2 * kRunsEach; ++i) {
            const bool inPartial = i % 2 != 0;
            Progress("ctrl-z: capture %d of %d", i + 1, 2 * kRunsEach);
            const Run run = Measure(dlg, pty,
                                    Block(inPartial ? kPartialChunkData : kFullChunkData,
                                          static_cast<std::uint64_t>(i + 1)));
            if (run.ended) {
                (inPartial ? partial : full).push_back(run.ms);
            }
            exact += run.exact;
        }
    });

    LatencyRow(Format("Ctrl-Z completing a chunk, median of %d", kRunsEach), full);
    LatencyRow(Format("Ctrl-Z in a partial chunk, median of %d", kRunsEach), partial);
    PrintRow("captures ended on the Ctrl-Z, every byte kept",
             Format("%d of %d", exact, 2 * kRunsEach), "every capture",
             MarkOf(exact == 2 * kRunsEach));
    return 0;
}
