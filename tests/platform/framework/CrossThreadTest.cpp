// Window and control operations from the window's thread and from workers: carried out on the
// window's thread, in call order, each before its caller goes on, while the window keeps
// handling input and timers; a call whose target is destroyed first is dropped and its caller
// released.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QComboBox>
#include <QCoreApplication>
#include <QKeyEvent>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/framework/TextArea.h"
#include "platform/framework/Widgets.h"
#include "tests/support/Wait.h"
#include "tests/support/Window.h"

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
std::string ExerciseControls(CCaptureDlg& d) {
    d.m_editText.SetWindowText("ab");
    d.m_editText.ReplaceSel("XY");
    d.m_editText.ReplaceSel("!");
    d.m_btnReceive.SetWindowText("Cancel(&C)");
    const BOOL wasDisabled = d.m_btnSave.EnableWindow(TRUE);
    const int added = d.m_cmbBaudrate.AddString("460800");
    const int selected = d.m_cmbBaudrate.SetCurSel(added);
    const int outOfRange = d.m_cmbPort.SetCurSel(31);  // one past the last of its 31 entries
    CString text, caption, list;
    d.m_editText.GetWindowText(text);
    d.m_btnReceive.GetWindowText(caption);
    d.m_cmbBaudrate.GetWindowText(list);
    return std::string(text) + " " + std::string(caption) + " " + std::to_string(wasDisabled) +
           std::to_string(d.m_btnSave.IsWindowEnabled()) + " " + std::to_string(added) +
           std::to_string(selected) + std::to_string(outOfRange) + " " + std::string(list);
}

TEST(CrossThread, ControlOperationsGiveTheSameResultsFromEitherThread) {
    CWinApp app;
    for (const bool fromWorker : {false, true}) {
        WithWindow([&](CCaptureDlg& d) {
            std::string seen;
            if (fromWorker) {
                OnWorker([&] { seen = ExerciseControls(d); });
            } else {
                seen = ExerciseControls(d);
            }
            EXPECT_EQ(seen, "XY!ab Cancel(&C) 11 66-1 460800") << fromWorker;
            EXPECT_EQ(qobject_cast<TextArea*>(Widget(d.m_editText))->text(), "XY!ab");
            EXPECT_EQ(qobject_cast<QPushButton*>(Widget(d.m_btnReceive))->text(), "Cancel(&C)");
            EXPECT_TRUE(Widget(d.m_btnSave)->isEnabled());
            EXPECT_EQ(qobject_cast<QComboBox*>(Widget(d.m_cmbPort))->currentIndex(), -1);

            // Once the window is hidden, its controls serve a worker until the dialog goes.
            d.EndDialog(IDOK);
            ASSERT_FALSE(Widget(d)->isVisible());
            OnWorker([&] { d.m_editText.ReplaceSel("?"); });
            EXPECT_EQ(qobject_cast<TextArea*>(Widget(d.m_editText))->text(), "XY!?ab");
        });
    }
}

TEST(CrossThread, CallsFromTwoWorkersAtOnceKeepEachOnesOrderAcrossTargets) {
    CWinApp app;
    WithWindow([&](CCaptureDlg& d) {
        constexpr int kCalls = 10000;
        std::vector<int> seen[2];  // touched on the window's thread only, read by each worker after
        int lateCalls[2] = {0, 0};
        int offThread = 0;
        std::atomic<int> running{2};
        std::vector<std::thread> workers;
        for (int w = 0; w < 2; ++w) {
            workers.emplace_back([&, w] {
                for (int i = 0; i < kCalls; ++i) {
                    // The dialog and one of its controls in turn: calls to either come in one line.
                    CWnd& target = i % 2 == 0 ? static_cast<CWnd&>(d) : d.m_editText;
                    target.SendCall([&, w, i] {
                        seen[w].push_back(i);
                        offThread += QThread::currentThread() != Widget(d)->thread();
                    });
                    lateCalls[w] += static_cast<int>(seen[w].size()) != i + 1;
                }
                --running;
            });
        }
        EXPECT_TRUE(WaitUntil([&] { return running == 0; }, 60000));
        for (std::thread& worker : workers) {
            worker.join();
        }
        EXPECT_EQ(offThread, 0);
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
    CWinApp app;
    WithWindow([&](CCaptureDlg& d) {
        std::atomic<bool> stop{false};
        std::atomic<bool> stopped{false};
        std::atomic<long> calls{0};
        std::thread worker([&] {
            // Back to back, as fast as the window carries them out, until the test has seen
            // what it waits for.
            while (!stop) {
                d.SendCall([] {});
                ++calls;
            }
            stopped = true;
        });
        EXPECT_TRUE(WaitUntil([&] { return calls > 1000; }));

        // A key press goes through the event loop as the user's does: posted, not sent. Down
        // moves the rate list from 115200 to the next rate.
        auto* list = qobject_cast<QComboBox*>(Widget(d.m_cmbBaudrate));
        bool timerFired = false;
        QCoreApplication::postEvent(list,
                                    new QKeyEvent(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier));
        QCoreApplication::postEvent(
            list, new QKeyEvent(QEvent::KeyRelease, Qt::Key_Down, Qt::NoModifier));
        QTimer::singleShot(5, [&] { timerFired = true; });
        const bool handled =
            WaitUntil([&] { return timerFired && list->currentText() == "230400"; }, 60000);
        const long callsMeanwhile = calls;
        // The flood goes on after them: they did not have to wait for its end.
        EXPECT_TRUE(WaitUntil([&] { return calls > callsMeanwhile; }));
        stop = true;
        EXPECT_TRUE(WaitUntil([&] { return stopped.load(); }));  // its last call is served
        worker.join();
        EXPECT_TRUE(handled);
    });
}

// Whether the thread sleeps in the kernel, as the caller of a call to another thread does while
// it waits for it.
bool Asleep(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::size_t name = line.rfind(')');  // the state follows the command name
    return name != std::string::npos && line.compare(name, 3, ") S") == 0;
}

TEST(CrossThread, ACallWhoseTargetIsDestroyedFirstIsDroppedAndItsCallerReleased) {
    struct Caller {
        std::atomic<pid_t> tid{0};
        std::atomic<bool> returned{false};
        bool ran = false;  // touched on this thread only, if at all
    };
    auto caller = std::make_shared<Caller>();  // the worker's, should it never return
    auto* target = new QObject;
    std::thread worker([caller, target] {
        caller->tid = gettid();
        CallOnThreadOf(target, [caller] { caller->ran = true; });
        caller->returned = true;
    });
    // This thread runs no events meanwhile, so a caller that stays asleep waits for a call
    // that is queued.
    int asleep = 0;
    for (int i = 0; i < 2000 && asleep < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        asleep = caller->tid != 0 && Asleep(caller->tid) ? asleep + 1 : 0;
    }
    EXPECT_EQ(asleep, 5);
    delete target;
    EXPECT_TRUE(WaitUntil([&] { return caller->returned.load(); }, 10000));
    EXPECT_FALSE(caller->ran);
    if (caller->returned) {
        worker.join();
    } else {
        worker.detach();  // it waits for a call that can never run
    }
}

}  // namespace
