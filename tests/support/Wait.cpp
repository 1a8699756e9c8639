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

namespace {

// handler(widget, handledSoFar) answers each new modal widget; the loop runs while more() holds.
std::shared_ptr<int> AnswerLoop(std::function<void(QWidget*, int)> handler,
                                std::function<bool(const std::shared_ptr<int>&)> more,
                                QWidget* except, int timeoutMs) {
    auto handled = std::make_shared<int>(0);
    auto* poll = new QTimer;
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    // Guarded pointers: a later widget may reuse the address of one already gone.
    auto seen = std::make_shared<std::vector<QPointer<QWidget>>>();
    auto steadyPolls = std::make_shared<int>(0);
    auto last = std::make_shared<QPointer<QWidget>>();
    // The loop holds the counter weakly, so that a caller letting go of it ends the loop.
    std::weak_ptr<int> counter = handled;
    QObject::connect(poll, &QTimer::timeout, [=] {
        std::shared_ptr<int> count = counter.lock();
        if (!count || !more(count) || started->elapsed() > timeoutMs) {
            poll->stop();
            poll->deleteLater();
            return;
        }
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
                handler(modal, *count);
                ++*count;
            }
        }
    });
    poll->start(20);
    return handled;
}

}  // namespace

std::shared_ptr<int> AnswerEachModal(std::function<void(QWidget*)> handler, QWidget* except,
                                     int timeoutMs) {
    return AnswerLoop([handler](QWidget* modal, int) { handler(modal); },
                      [](const std::shared_ptr<int>& count) { return count.use_count() > 1; },
                      except, timeoutMs);
}

std::shared_ptr<int> AnswerModals(std::vector<std::function<void(QWidget*)>> handlers,
                                  QWidget* except, int timeoutMs) {
    const std::size_t total = handlers.size();
    // Kept by the loop itself, so that it runs to the last handler whatever the caller keeps.
    auto keep = std::make_shared<std::shared_ptr<int>>();
    *keep = AnswerLoop(
        [handlers](QWidget* modal, int n) { handlers[static_cast<std::size_t>(n)](modal); },
        [keep, total](const std::shared_ptr<int>& count) {
            if (static_cast<std::size_t>(*count) < total) {
                return true;
            }
            keep->reset();
            return false;
        },
        except, timeoutMs);
    return *keep;
}

void WhenModalAppears(const std::function<void(QWidget*)>& fn, int timeoutMs) {
    AnswerModals({fn}, nullptr, timeoutMs);
}
