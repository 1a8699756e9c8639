#include "bench/BenchWindow.h"

#include <QEvent>
#include <QEventLoop>
#include <QTimer>
#include <QWidget>

#include "tests/support/Window.h"

namespace {

// Notes the first moment its widget turns enabled and ends the loop waiting for it. Enabling a
// widget sends it the change at once, so the time is that of the change itself.
class EnabledFilter : public QObject {
public:
    EnabledFilter(QWidget* widget, QEventLoop* loop) : m_widget(widget), m_loop(loop) {}

    bool m_seen = false;
    Clock::time_point m_when;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (!m_seen && watched == m_widget && event->type() == QEvent::EnabledChange &&
            m_widget->isEnabled()) {
            m_when = Clock::now();
            m_seen = true;
            m_loop->quit();
        }
        return false;
    }

private:
    QWidget* m_widget;
    QEventLoop* m_loop;
};

}  // namespace

bool WaitUntilEnabled(const CWnd& control, int timeoutMs, Clock::time_point* when) {
    QWidget* widget = Widget(control);
    if (widget->isEnabled()) {
        *when = Clock::now();
        return true;
    }
    QEventLoop loop;
    EnabledFilter filter(widget, &loop);
    widget->installEventFilter(&filter);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    loop.exec();
    widget->removeEventFilter(&filter);
    *when = filter.m_when;
    return filter.m_seen;
}
