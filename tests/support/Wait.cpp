#include "tests/support/Wait.h"

#include <algorithm>

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <memory>

namespace {

// Runs events for up to ms milliseconds, sleeping while there are none, so a waiting test
// leaves the CPU to the threads it waits for.
void RunEventsBriefly(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

bool WaitUntil(const std::function<bool()>& pred, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > timeoutMs) {
            return pred();
        }
        RunEventsBriefly(2);
    }
    return true;
}

void RunEventsFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

TickWatch::TickWatch(int intervalMs) {
    timer_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
        ++ticks_;
        longestNs_ = std::max(longestNs_, since_.nsecsElapsed());
        since_.start();
    });
    since_.start();
    timer_.start(intervalMs);
}

double TickWatch::LongestGapMs() const {
    return static_cast<double>(std::max(longestNs_, since_.nsecsElapsed())) / 1e6;
}

void WhenModalAppears(const std::function<void(QWidget*)>& fn, int timeoutMs) {
    auto* poll = new QTimer;
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    QObject::connect(poll, &QTimer::timeout, [poll, started, fn, timeoutMs] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal->isVisible()) {
            poll->stop();
            poll->deleteLater();
            fn(modal);
        } else if (started->elapsed() > timeoutMs) {
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start(20);
}

std::shared_ptr<int> AnswerModals(std::vector<std::function<void(QWidget*)>> handlers,
                                  QWidget* except, int timeoutMs) {
    auto handled = std::make_shared<int>(0);
    auto* poll = new QTimer;
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    // Guarded pointers: a later widget may reuse the address of one already gone.
    auto seen = std::make_shared<std::vector<QPointer<QWidget>>>();
    // A widget answered before comes up again for a moment while the one above it closes (the
    // file dialog under its create prompt); only one that stays up is waiting for an answer.
    auto steadyPolls = std::make_shared<int>(0);
    auto last = std::make_shared<QPointer<QWidget>>();
    QObject::connect(poll, &QTimer::timeout, [=] {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || modal == except || !modal->isVisible()) {
            *steadyPolls = 0;
        } else if (modal != last->data()) {
            const bool answeredBefore =
                std::find(seen->begin(), seen->end(), QPointer<QWidget>(modal)) != seen->end();
            *steadyPolls = answeredBefore ? *steadyPolls + 1 : 0;
            if (!answeredBefore || *steadyPolls >= 10) {
                *last = modal;
                seen->push_back(modal);
                *steadyPolls = 0;
                handlers[static_cast<std::size_t>(*handled)](modal);
                ++*handled;
            }
        }
        if (*handled == static_cast<int>(handlers.size()) || started->elapsed() > timeoutMs) {
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start(20);
    return handled;
}
