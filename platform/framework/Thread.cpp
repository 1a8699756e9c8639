// Worker threads on POSIX threads, and pauses.
//
// Every thread that AfxBeginThread starts is counted until its very end. The count lets the
// window's thread wait for all workers (AfxWaitForThreads) before it destroys what they use,
// for instance when the window closes while a capture runs. Such a worker may itself be
// waiting for the window's thread to carry out a view operation, so the wait keeps the
// window's thread handling posted calls instead of blocking it.
#include "platform/framework/Thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>

// How far a thread started below the normal priority is lowered: one nice step for each of the
// two steps THREAD_PRIORITY_LOWEST lies below normal, from the nice value it started with (the
// starter's). Linux shares a busy core by weights that fall by about 1.25 a nice step: two steps
// down, the worker still gets about 40% of a core against a CPU-bound process at the starter's
// level, and is woken promptly, while a capture at 230400 baud (20.9 kB/s) needs well under 1%
// of a core; the line discipline's 4 kB buffer fills in about 200 ms at that rate. Nice 19, the
// lowest there is, would leave the worker about 1.5% of a core, too little to keep up when both
// cores are busy. The window's thread still comes first.
constexpr int kLoweringNiceSteps = 2;

class CWinThread {
public:
    CWinThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, bool bLowerPriority)
        : m_pfnThreadProc(pfnThreadProc), m_pParam(pParam), m_bLowerPriority(bLowerPriority) {}

    AFX_THREADPROC m_pfnThreadProc;
    LPVOID m_pParam;
    bool m_bLowerPriority;
};

namespace {

// The registry of live threads. Plain globals with constant initialisation and trivial
// destruction, so a thread still ending while the process exits never meets a destroyed lock.
std::mutex g_registryLock;
int g_liveThreads = 0;
// While the window's thread waits in AfxWaitForThreads: how many waits are running (they can
// nest) and the event dispatcher to wake when the last thread ends.
int g_waits = 0;
QAbstractEventDispatcher* g_waitingDispatcher = nullptr;

void LeaveRegistry() {
    std::lock_guard<std::mutex> lock(g_registryLock);
    if (--g_liveThreads == 0 && g_waitingDispatcher != nullptr) {
        // Under the lock: a waiter cannot return (and its dispatcher cannot go) meanwhile.
        g_waitingDispatcher->wakeUp();
    }
}

void* ThreadStart(void* arg) {
    auto* thread = static_cast<CWinThread*>(arg);
    if (thread->m_bLowerPriority) {
        // On Linux the nice value belongs to each thread, named by its id; the rest of the
        // process keeps its priority. A refusal leaves this thread at the starter's.
        const id_t self = static_cast<id_t>(gettid());
        errno = 0;
        const int nice = getpriority(PRIO_PROCESS, self);
        if (errno == 0) {
            setpriority(PRIO_PROCESS, self, nice + kLoweringNiceSteps);
        }
    }
    thread->m_pfnThreadProc(thread->m_pParam);
    delete thread;
    // The last thing this thread does: once a waiter sees the count at zero, no worker touches
    // anything of the program any more.
    LeaveRegistry();
    return nullptr;
}

}  // namespace

// The program asks for the default stack, no creation flags and no security attributes.
CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, int nPriority, UINT, DWORD,
                           LPSECURITY_ATTRIBUTES) {
    if (pfnThreadProc == nullptr) {
        return nullptr;
    }
    auto* thread =
        new (std::nothrow) CWinThread(pfnThreadProc, pParam, nPriority < THREAD_PRIORITY_NORMAL);
    if (thread == nullptr) {
        return nullptr;
    }

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        delete thread;
        return nullptr;
    }
    int err = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (err == 0) {
        // Counted before it runs, so a wait that begins right after this call includes it.
        std::lock_guard<std::mutex> lock(g_registryLock);
        pthread_t id;
        err = pthread_create(&id, &attr, ThreadStart, thread);
        if (err == 0) {
            ++g_liveThreads;
        }
    }
    pthread_attr_destroy(&attr);
    if (err != 0) {
        delete thread;
        return nullptr;
    }
    return thread;
}

void AfxWaitForThreads() {
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    std::unique_lock<std::mutex> lock(g_registryLock);
    ++g_waits;
    g_waitingDispatcher = dispatcher;
    while (g_liveThreads > 0) {
        lock.unlock();
        // Posted calls (a worker's view operations) and timers run; the user's input waits, so
        // nothing the user does can start new work while the workers are being waited for. A
        // wake-up sent before this call starts waiting is kept, so none is lost.
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents |
                                        QEventLoop::ExcludeUserInputEvents);
        lock.lock();
    }
    if (--g_waits == 0) {
        g_waitingDispatcher = nullptr;
    }
}

// sleep_for sleeps on for the time left when a signal interrupts it.
void Sleep(DWORD dwMilliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}
