#include "bench/CaptureWindow.h"

#include <stdlib.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <clocale>

#include "ui/CaptureDlg.h"

namespace {

// The application object the window belongs to: the window takes its icon from it.
CWinApp g_app("KAVOSEN_WIN");

// The framework layer's window handles are the widgets themselves.
QWidget* WidgetOf(const CWnd& wnd) {
    return reinterpret_cast<QWidget*>(wnd.m_hWnd);
}

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

bool Idle(CCaptureDlg& dlg) {
    return dlg.m_bReceiving == 0 && TextOf(dlg.m_btnReceive) == "Receive(&R)" &&
           dlg.m_cmbPort.IsWindowEnabled();
}

}  // namespace

void PrepareQt() {
    if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
    }
    EnsureRuntimeDir();
    // Texts are in the locale's character set, as the program's own start-up sets it.
    std::setlocale(LC_ALL, "");
}

void WithCaptureWindow(const std::function<void(CCaptureDlg&)>& body) {
    CCaptureDlg dlg;
    AfxGetApp()->m_pMainWnd = &dlg;
    QTimer::singleShot(0, [&] {
        RunEventsUntil([&] { return WidgetOf(dlg)->isVisible(); }, 5000);
        body(dlg);
        dlg.EndDialog(IDCANCEL);
    });
    dlg.DoModal();
    AfxGetApp()->m_pMainWnd = nullptr;
}

bool StartCapture(CCaptureDlg& dlg, int comNumber, int timeoutMs) {
    dlg.m_cmbPort.SetCurSel(comNumber - 1);
    ClickReceive(dlg);
    const auto waiting = [&] { return TextOf(dlg.m_editText).rfind("Getting data...", 0) == 0; };
    // A port that fails to open leaves the window idle at once.
    RunEventsUntil([&] { return waiting() || Idle(dlg); }, timeoutMs);
    return waiting();
}

void ClickReceive(CCaptureDlg& dlg) {
    static_cast<QPushButton*>(WidgetOf(dlg.m_btnReceive))->click();
}

bool WaitUntilIdle(CCaptureDlg& dlg, int timeoutMs) {
    return RunEventsUntil([&] { return Idle(dlg); }, timeoutMs);
}

bool WaitUntilEnabled(const CWnd& control, int timeoutMs, Clock::time_point* when) {
    QWidget* widget = WidgetOf(control);
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

void RunEventsFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

bool RunEventsUntil(const std::function<bool()>& pred, int timeoutMs) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > timeoutMs) {
            return pred();
        }
        RunEventsFor(1);
    }
    return true;
}

std::string TextOf(const CWnd& wnd) {
    CString text;
    wnd.GetWindowText(text);
    return std::string(text);
}
