// Waiting in tests and benchmarks: conditions checked while Qt's events keep running, so the
// window under test stays live (and a worker's calls to it are carried out) while a test waits;
// and how well the waiting thread kept serving its events.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

// Runs events until pred() holds or timeoutMs pass; returns whether pred() held.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 10000);

// Runs events for ms milliseconds; nothing of the caller's wakes the thread meanwhile.
void RunEventsFor(int ms);

// A timer ticking every intervalMs on the calling thread while the object lives: how many ticks
// came, and the longest gap between two, counted from its start and up to now: the longest the
// thread went without serving its events.
class TickWatch {
public:
    explicit TickWatch(int intervalMs);

    int Ticks() const { return ticks_; }
    double LongestGapMs() const;

private:
    QTimer timer_;
    QElapsedTimer since_;
    int ticks_ = 0;
    qint64 longestNs_ = 0;
};

class QWidget;

// The one loop that answers modal widgets as they come up (other than `except`, such as the main
// window, itself modal), each once: handler gets every new one until the caller lets go of the
// returned counter of widgets handled, or timeoutMs pass. A widget answered before counts as new
// again only when it stays up (the file dialog after a declined create prompt), not while it
// shows for a moment as the one above it closes. Answer through a queued call
// (QTimer::singleShot(0, ...)) so the code under test runs its own modal loop again; a handler
// that runs events itself holds the loop until it returns.
std::shared_ptr<int> AnswerEachModal(std::function<void(QWidget*)> handler, QWidget* except,
                                     int timeoutMs = 20000);
// The same loop with one handler for each widget in the order they come up; it ends after the
// last, whether or not the caller keeps the counter.
std::shared_ptr<int> AnswerModals(std::vector<std::function<void(QWidget*)>> handlers,
                                  QWidget* except, int timeoutMs = 20000);

// Calls fn with the first modal widget that appears within timeoutMs (from a timer, while the
// code under test runs its own modal loop).
void WhenModalAppears(const std::function<void(QWidget*)>& fn, int timeoutMs = 10000);
