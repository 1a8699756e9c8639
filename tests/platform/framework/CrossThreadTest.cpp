// Window and control operations from the window's thread and from a worker: carried out on the
// window's thread, in call order, each before its caller goes on (a text area's ReplaceSel
// through its inbox: done for whatever comes after), while the window keeps running its
// events.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/framework/TextArea.h"
#include "tests/platform/framework/TestDialog.h"

namespace {

// Runs fn on a worker while the window's thread keeps running events.
void OnWorker(const std::function<void()>& fn) {
    std::atomic<bool> done{false};
    std::thread worker([&] {
        fn();
        done = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }, 60000));
    worker.join();
}

// Every kind of control operation once; the results as the caller saw them.
std::string ExerciseControls(TestDialog& d) {
    d.m_editText.SetWindowText("ab");
    d.m_editText.SetSel(1, 1);
    d.m_editText.ReplaceSel("XY");
    int start = -1;
    int end = -1;
    d.m_editText.GetSel(start, end);
    d.m_btnReceive.SetWindowText("Cancel(&C)");
    const BOOL wasDisabled = d.m_btnSave.EnableWindow(FALSE);
    const int added = d.m_cmbBaudrate.AddString("230400");
    const int selected = d.m_cmbBaudrate.SetCurSel(added);
    const int outOfRange = d.m_cmbPort.SetCurSel(d.m_cmbPort.GetCount());
    CString entry, list, text;
    d.m_cmbBaudrate.GetLBText(0, entry);
    d.m_cmbBaudrate.GetWindowText(list);
    d.m_editText.GetWindowText(text);
    char caption[8];  // too short: cut, and terminated
    d.m_btnReceive.GetWindowText(caption, sizeof caption);
    return std::string(text) + " " + std::to_string(start) + std::to_string(end) + " " + caption +
           " " + std::to_string(wasDisabled) + std::to_string(d.m_btnSave.IsWindowEnabled()) + " " +
           std::to_string(added) + std::to_string(selected) + std::to_string(outOfRange) + " " +
           std::string(entry) + " " + std::string(list);
}

TEST(CrossThread, ControlOperationsGiveTheSameResultsFromEitherThread) {
    for (const bool fromWorker : {false, true}) {
        TestDialog d;
        RunModal(d, [&](QDialog*) {
            std::string seen;
            if (fromWorker) {
                OnWorker([&] { seen = ExerciseControls(d); });
            } else {
                seen = ExerciseControls(d);
            }
            EXPECT_EQ(seen, "aXYb 33 Cancel( 00 22-1 9600 230400") << fromWorker;
            EXPECT_EQ(d.Control<TextArea>(d.m_editText)->text(), "aXYb");
            EXPECT_EQ(d.Control<QPushButton>(d.m_btnReceive)->text(), "Cancel(&C)");
            EXPECT_FALSE(d.Control(d.m_btnSave)->isEnabled());
            EXPECT_EQ(d.Control<QComboBox>(d.m_cmbPort)->currentIndex(), -1);
        });
        // The window is hidden now, but its controls serve a worker until the dialog goes.
        OnWorker([&] { d.m_editText.ReplaceSel("!"); });
        EXPECT_EQ(d.Control<TextArea>(d.m_editText)->text(), "aXY!b");
    }
}

TEST(CrossThread, WorkerCallsRunInOrderEachBeforeTheWorkerGoesOnWhileTimersRun) {
    TestDialog d;
    RunModal(d, [&](QDialog*) {
        std::atomic<int> ticks{0};
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        timer.start(1);
        int carriedOut = 0;  // touched on the window's thread only, read by the worker after
        int lateCalls = 0;   // calls the worker returned from before they had run
        int offThread = 0;
        std::string expected;
        OnWorker([&] {
            const int firstTick = ticks;
            for (int i = 0; (i < 500 || ticks < firstTick + 5) && i < 100000; ++i) {
                const std::string token = std::to_string(i) + ",";
                d.m_editText.ReplaceSel(token.c_str());
                expected += token;
                d.SendCall([&] {
                    ++carriedOut;
                    offThread += QThread::currentThread() != d.Window()->thread();
                });
                lateCalls += carriedOut != i + 1;
            }
        });
        EXPECT_EQ(d.Control<TextArea>(d.m_editText)->text().toStdString(), expected);
        EXPECT_EQ(lateCalls, 0);
        EXPECT_EQ(offThread, 0);
        EXPECT_GE(ticks, 5);
    });
}

// A text control whose own map takes EM_REPLACESEL, as a subclass that watches its text would.
class WatchedEdit : public CEdit {
public:
    std::vector<bool> onWindowThread;  // one entry a message, touched on the window's thread

protected:
    LRESULT OnReplaceSel() {
        onWindowThread.push_back(QThread::currentThread() == qApp->thread());
        return Default();
    }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(WatchedEdit, CEdit){EM_REPLACESEL, 0, 0,
                                      [](CCmdTarget* p, WPARAM, LPARAM) -> LRESULT {
                                          return static_cast<WatchedEdit*>(p)->OnReplaceSel();
                                      }},
    END_MESSAGE_MAP()

        TEST(CrossThread, AWorkersAppendsKeepTheirOrderWhetherAMapHandlesThemOrNot) {
    TestDialog d;
    RunModal(d, [&](QDialog*) {
        WatchedEdit watched;
        watched.m_hWnd = d.m_editText.m_hWnd;  // a second object over the same control
        std::string seen;
        OnWorker([&] {
            d.m_editText.SetWindowText("");
            d.m_editText.ReplaceSel("a");
            watched.ReplaceSel("b");
            d.m_editText.ReplaceSel("c");
            d.m_editText.SetSel(0, 0);
            d.m_editText.ReplaceSel(">");
            watched.ReplaceSel("");
            CString text;
            d.m_editText.GetWindowText(text);
            seen = text;
        });
        EXPECT_EQ(seen, ">abc");
        EXPECT_EQ(watched.onWindowThread, std::vector<bool>({true, true}));
    });
}

TEST(CrossThread, CallsFromTwoWorkersAtOnceKeepEachOnesOrderAcrossTargets) {
    TestDialog d;
    RunModal(d, [&](QDialog*) {
        constexpr int kCalls = 10000;
        std::vector<int> seen[2];  // touched on the window's thread only, read by each worker after
        int lateCalls[2] = {0, 0};
        std::atomic<int> running{2};
        std::vector<std::thread> workers;
        for (int w = 0; w < 2; ++w) {
            workers.emplace_back([&, w] {
                for (int i = 0; i < kCalls; ++i) {
                    // The dialog and one of its controls in turn: calls to either come in one line.
                    CWnd& target = i % 2 == 0 ? static_cast<CWnd&>(d) : d.m_editText;
                    target.SendCall([&, w, i] { seen[w].push_back(i); });
                    lateCalls[w] += static_cast<int>(seen[w].size()) != i + 1;
                }
                --running;
            });
        }
        EXPECT_TRUE(WaitUntil([&] { return running == 0; }, 60000));
        for (std::thread& worker : workers) {
            worker.join();
        }
        for (int w = 0; w < 2; ++w) {
            ASSERT_EQ(seen[w].size(), std::size_t{kCalls}) << "worker " << w;
            int outOfOrder = 0;
            for (int i = 0; i < kCalls; ++i) {
                outOfOrder += seen[w][i] != i;
            }
            EXPECT_EQ(outOfOrder, 0) << "worker " << w;
            EXPECT_EQ(lateCalls[w], 0) << "worker " << w;
        }
    });
}

TEST(CrossThread, InputAndTimersAreHandledDuringAFloodOfCalls) {
    TestDialog d;
    RunModal(d, [&](QDialog*) {
        std::atomic<bool> stop{false};
        std::atomic<bool> stopped{false};
        std::atomic<long> calls{0};
        std::thread worker([&] {
            QElapsedTimer limit;
            limit.start();
            // Back to back, as fast as the window carries them out, until the test has seen
            // what it waits for (or, should the window never get to it, for 20 s).
            while (!stop && limit.elapsed() < 20000) {
                d.SendCall([] {});
                ++calls;
            }
            stopped = true;
        });
        ASSERT_TRUE(WaitUntil([&] { return calls > 1000; }));

        // A key press goes through the event loop as the user's does: posted, not sent.
        QWidget* button = d.Control(d.m_btnReceive);
        bool timerFired = false;
        QElapsedTimer sinceInput;
        sinceInput.start();
        QCoreApplication::postEvent(button,
                                    new QKeyEvent(QEvent::KeyPress, Qt::Key_Space, Qt::NoModifier));
        QCoreApplication::postEvent(
            button, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Space, Qt::NoModifier));
        QTimer::singleShot(5, [&] { timerFired = true; });
        const long callsBefore = calls;
        const bool handled = WaitUntil(
            [&] {
                return timerFired &&
                       std::find(d.calls.begin(), d.calls.end(), "receive") != d.calls.end();
            },
            30000);
        const qint64 ms = sinceInput.elapsed();
        const long callsDuring = calls - callsBefore;
        stop = true;
        EXPECT_TRUE(WaitUntil([&] { return stopped.load(); }));  // its last call is served
        worker.join();
        EXPECT_TRUE(handled);
        EXPECT_LT(ms, 2000) << "the click and the timer waited for the flood of calls";
        EXPECT_GT(callsDuring, 0) << "the flood stopped before they were handled";
    });
}

}  // namespace
