// Window and control operations from the window's thread and from a worker: carried out on the
// window's thread, in call order, each before its caller goes on, while the window keeps
// running its events.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <string>
#include <thread>

#include "platform/framework/TextArea.h"
#include "tests/platform/framework/TestDialog.h"

namespace {

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
    CString entry;
    d.m_cmbBaudrate.GetLBText(0, entry);
    char caption[64];
    d.m_btnReceive.GetWindowText(caption, sizeof caption);
    CString text;
    d.m_editText.GetWindowText(text);
    CString list;
    d.m_cmbBaudrate.GetWindowText(list);
    return std::string(text) + " " + std::to_string(start) + "-" + std::to_string(end) + " " +
           caption + " " + std::to_string(wasDisabled) +
           std::to_string(!d.m_btnSave.IsWindowEnabled()) + " " + std::to_string(added) +
           std::to_string(selected) + std::to_string(outOfRange) +
           std::to_string(d.m_cmbBaudrate.GetCurSel()) + " " + std::string(entry) + " " +
           std::string(list);
}

constexpr const char* kExercised = "aXYb 3-3 Cancel(&C) 01 22-12 9600 230400";

TEST(CrossThread, ControlOperationsGiveTheSameResultsFromEitherThread) {
    for (const bool fromWorker : {false, true}) {
        TestDialog dialog;
        RunModal(dialog, [&](QDialog*) {
            std::string seen;
            if (fromWorker) {
                std::atomic<bool> done{false};
                std::thread worker([&] {
                    seen = ExerciseControls(dialog);
                    done = true;
                });
                EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
                worker.join();
            } else {
                seen = ExerciseControls(dialog);
            }
            EXPECT_EQ(seen, kExercised) << (fromWorker ? "worker" : "window thread");
            EXPECT_EQ(dialog.Control<TextArea>(dialog.m_editText)->text(), "aXYb");
            EXPECT_EQ(dialog.Control<QPushButton>(dialog.m_btnReceive)->text(), "Cancel(&C)");
            EXPECT_FALSE(dialog.Control<QWidget>(dialog.m_btnSave)->isEnabled());
            EXPECT_EQ(dialog.Control<QComboBox>(dialog.m_cmbPort)->currentIndex(), -1);
        });
    }
}

TEST(CrossThread, WorkerCallsRunInOrderEachBeforeTheWorkerGoesOnWhileTimersRun) {
    TestDialog dialog;
    RunModal(dialog, [&](QDialog*) {
        dialog.m_editText.SetWindowText("");
        std::atomic<int> ticks{0};
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        timer.start(1);

        int carriedOut = 0;  // touched on the window's thread only, read by the worker after
        int lateCalls = 0;   // calls the worker returned from before they had run
        int offThread = 0;
        std::string expected;
        std::atomic<bool> done{false};
        std::thread worker([&] {
            const int firstTick = ticks;
            for (int i = 0; (i < 500 || ticks < firstTick + 5) && i < 100000; ++i) {
                const std::string token = std::to_string(i) + ",";
                dialog.m_editText.ReplaceSel(token.c_str());
                expected += token;
                dialog.SendCall([&] {
                    ++carriedOut;
                    offThread += QThread::currentThread() != dialog.Window()->thread();
                });
                lateCalls += carriedOut != i + 1;
            }
            done = true;
        });
        EXPECT_TRUE(WaitUntil([&] { return done.load(); }, 60000));
        worker.join();
        EXPECT_EQ(dialog.Control<TextArea>(dialog.m_editText)->text().toStdString(), expected);
        EXPECT_EQ(lateCalls, 0);
        EXPECT_EQ(offThread, 0);
        EXPECT_GE(ticks, 5);
    });
}

TEST(CrossThread, ControlsStayUsableAfterTheModalRunUntilTheDialogGoes) {
    TestDialog dialog;
    RunModal(dialog, [&](QDialog*) {});
    ASSERT_FALSE(dialog.Window()->isVisible());
    std::atomic<bool> done{false};
    std::thread worker([&] {
        dialog.m_editText.ReplaceSel("late");
        done = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return done.load(); }));
    worker.join();
    CString text;
    dialog.m_editText.GetWindowText(text);
    EXPECT_EQ(std::string(text), "late");
}

}  // namespace
