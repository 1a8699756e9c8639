#include "tests/support/Wait.h"

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
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < ms) {
        RunEventsBriefly(2);
    }
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
    // A guarded pointer: a later widget may reuse the address of one already gone.
    auto last = std::make_shared<QPointer<QWidget>>();
    QObject::connect(poll, &QTimer::timeout, [=] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal != except && modal != last->data() && modal->isVisible()) {
            *last = modal;
            handlers[static_cast<std::size_t>(*handled)](modal);
            ++*handled;
        }
        if (*handled == static_cast<int>(handlers.size()) || started->elapsed() > timeoutMs) {
            poll->stop();
            poll->deleteLater();
        }
    });
    poll->start(20);
    return handled;
}
