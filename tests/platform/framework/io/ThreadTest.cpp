// Worker threads and pauses: start, priority, failure to start, waiting for workers that call
// the window's thread, and Sleep against signals.
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QThread>
#include <QWidget>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "platform/framework/Thread.h"
#include "platform/framework/Widgets.h"

namespace {

using Clock = std::chrono::steady_clock;

int OwnNice() {
    return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
}

struct Probe {
    std::atomic<bool> ran{false};
    std::atomic<int> nice{-100};
};

UINT RecordNice(LPVOID param) {
    auto* probe = static_cast<Probe*>(param);
    probe->nice = OwnNice();
    probe->ran = true;
    return 0;
}

TEST(AfxBeginThread, LowestPriorityLowersTheNewThreadOnly) {
    const int starterNice = OwnNice();
    Probe lowered;
    Probe normal;
    ASSERT_NE(AfxBeginThread(RecordNice, &lowered, THREAD_PRIORITY_LOWEST), nullptr);
    ASSERT_NE(AfxBeginThread(RecordNice, &normal, THREAD_PRIORITY_NORMAL), nullptr);
    AfxWaitForThreads();
    EXPECT_TRUE(lowered.ran);
    EXPECT_EQ(lowered.nice, std::min(starterNice + 2, 19));
    EXPECT_EQ(normal.nice, starterNice);
    // The main thread's id is the process id: lowering "the process" would show here.
    EXPECT_EQ(OwnNice(), starterNice);
}

TEST(AfxBeginThread, NullWhenTheThreadCannotBeMade) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers reserve more address space than a limit here could allow";
#endif
    // New threads get a 256 MB stack, and address space is left for a little more than the
    // process maps now, so the stack cannot be mapped (and no stack of that size was ever cached
    // for reuse).
    pthread_attr_t defaults;
    ASSERT_EQ(pthread_getattr_default_np(&defaults), 0);
    pthread_attr_t huge;
    ASSERT_EQ(pthread_attr_init(&huge), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&huge, 256u << 20), 0);
    ASSERT_EQ(pthread_setattr_default_np(&huge), 0);
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (32u << 20);
    ASSERT_EQ(setrlimit(RLIMIT_AS, &tight), 0);
    Probe probe;
    CWinThread* thread = AfxBeginThread(RecordNice, &probe, THREAD_PRIORITY_NORMAL);
    setrlimit(RLIMIT_AS, &saved);
    EXPECT_EQ(thread, nullptr);
    AfxWaitForThreads();  // the thread that was never made is not waited for
    EXPECT_FALSE(probe.ran);

    ASSERT_NE(AfxBeginThread(RecordNice, &probe, THREAD_PRIORITY_NORMAL), nullptr);
    AfxWaitForThreads();
    pthread_setattr_default_np(&defaults);
    pthread_attr_destroy(&huge);
    pthread_attr_destroy(&defaults);
    EXPECT_TRUE(probe.ran);
}

// Like the capture worker: every step is a call the window's thread carries out while the
// worker waits for it.
struct CallingWorker {
    CWnd* window;
    int calls = 0;  // touched on the window's thread only
    bool allOnWindowThread = true;
    std::atomic<bool> finished{false};
};

UINT MakeCalls(LPVOID param) {
    auto* worker = static_cast<CallingWorker*>(param);
    for (int i = 0; i < 200; ++i) {
        worker->window->SendCall([worker] {
            ++worker->calls;
            worker->allOnWindowThread &=
                QThread::currentThread() == QCoreApplication::instance()->thread();
        });
    }
    Sleep(50);  // ends well after the wait has begun
    worker->finished = true;
    return 0;
}

TEST(AfxWaitForThreads, CarriesOutWorkersCallsUntilAllHaveEnded) {
    QWidget widget;
    CWnd window;
    window.m_hWnd = HandleOf(&widget);
    CallingWorker workers[3] = {{&window}, {&window}, {&window}};
    for (CallingWorker& worker : workers) {
        ASSERT_NE(AfxBeginThread(MakeCalls, &worker, THREAD_PRIORITY_LOWEST), nullptr);
    }
    AfxWaitForThreads();
    for (const CallingWorker& worker : workers) {
        EXPECT_TRUE(worker.finished);
        EXPECT_EQ(worker.calls, 200);
        EXPECT_TRUE(worker.allOnWindowThread);
    }
}

void NoteSignal(int) {}

TEST(Sleep, WaitsAtLeastTheTimeAskedThroughSignals) {
    struct sigaction action {};
    struct sigaction saved {};
    action.sa_handler = NoteSignal;  // no SA_RESTART: every signal interrupts the pause
    sigaction(SIGUSR1, &action, &saved);
    std::atomic<bool> done{false};
    Clock::duration slept{};
    std::thread sleeper([&] {
        const auto start = Clock::now();
        Sleep(300);
        slept = Clock::now() - start;
        done = true;
    });
    while (!done) {
        pthread_kill(sleeper.native_handle(), SIGUSR1);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    sleeper.join();
    sigaction(SIGUSR1, &saved, nullptr);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(slept).count();
    // A pause that started over on each signal would never end here: the signals keep coming.
    EXPECT_GE(ms, 300);
}

}  // namespace
