// Message maps, window operations and the cross-thread call they all go through.
#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <QVariant>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/framework/CodePage.h"
#include "platform/framework/Widgets.h"
#include "platform/framework/WinApp.h"

// ---- Cross-thread calls -------------------------------------------------------------------

namespace {

using CallClock = std::chrono::steady_clock;

// A wake-up of a sleeping thread costs tens of microseconds, far more than most calls take, so
// neither side goes to sleep at once: the caller first watches for the end of its call for a
// while, and the window's thread, having carried out a call, watches for the next one for a
// while before it goes back to its event loop. A caller that posts every few microseconds (a
// worker reporting progress) is so served without any wake-up.
constexpr auto kCallerSpin = std::chrono::microseconds(50);
constexpr auto kNextCallWait = std::chrono::microseconds(80);
// The longest stretch of calls carried out back to back before the event loop gets its turn
// again: input and timers wait at most about this long during a flood of calls.
constexpr auto kLingerLimit = std::chrono::microseconds(1500);

void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::this_thread::yield();
#endif
}

// Qt's queue and the reference count of a queued functor synchronise in code that race
// detectors do not see, so every hand-over of a call goes through the standard library:
// - the caller posts while holding g_posting, and the functor takes the lock before it touches
//   its own state (Qt may drop the caller's reference, and so free the functor, on the
//   caller's thread just after posting);
// - the functor's hold on its caller is an atomic pointer, moved in with release and taken
//   with acquire, also when Qt drops the functor unrun;
// - the end of the call is an atomic state, set with release and read with acquire by a caller
//   that watches it; a caller that went to sleep is woken under the handshake's mutex.
std::mutex g_posting;

// Calls to the application's thread that are posted and have not started (or been dropped):
// while there are any, that thread carries them out at once instead of going back to sleep.
std::atomic<int> g_callsWaiting{0};

// Set on a thread while it carries out waiting calls back to back: a call carried out in that
// stretch does not start a stretch of its own.
thread_local bool t_lingering = false;

struct Handshake {
    enum State { kRunning, kDone, kCallerAsleep };

    Handshake(const std::function<void()>& function, bool toAppThread)
        : fn(function), counted(toAppThread) {}

    // Ends the call. The handshake may be gone as soon as the caller can see kDone, so nothing
    // touches it after that, except the mutex of a caller that is asleep, which cannot return
    // before the mutex is released.
    void Finish() {
        int expected = kRunning;
        if (state.compare_exchange_strong(expected, kDone, std::memory_order_acq_rel)) {
            return;  // the caller is still watching and returns on seeing kDone
        }
        std::lock_guard<std::mutex> lock(mutex);
        state.store(kDone, std::memory_order_release);
        finished.notify_one();
    }

    // Returns once Finish has run: watches for a while, then sleeps.
    void Await() {
        const CallClock::time_point until = CallClock::now() + kCallerSpin;
        for (int round = 1;; ++round) {
            if (state.load(std::memory_order_acquire) == kDone) {
                return;
            }
            if (round % 16 == 0) {
                if (CallClock::now() >= until) {
                    break;
                }
                std::this_thread::yield();
            } else {
                CpuRelax();
            }
        }
        std::unique_lock<std::mutex> lock(mutex);
        int expected = kRunning;
        // Fails only when the call ended meanwhile: there is nothing to wait for then.
        if (state.compare_exchange_strong(expected, kCallerAsleep, std::memory_order_acq_rel)) {
            finished.wait(lock, [this] { return state.load(std::memory_order_acquire) == kDone; });
        }
    }

    const std::function<void()>& fn;
    const bool counted;  // in g_callsWaiting until it starts
    std::atomic<int> state{kRunning};
    std::mutex mutex;
    std::condition_variable finished;
};

// A functor that Qt drops unrun, because its target went away first, releases its caller when
// it is destroyed.
class CallerHold {
public:
    explicit CallerHold(Handshake* handshake) : m_handshake(handshake) {}
    CallerHold(CallerHold&& other) noexcept {
        m_handshake.store(other.m_handshake.exchange(nullptr, std::memory_order_acq_rel),
                          std::memory_order_release);
    }
    CallerHold& operator=(CallerHold&&) = delete;
    ~CallerHold() {
        if (Handshake* handshake = Take()) {
            handshake->Finish();
        }
    }

    // The caller, once: the call is no longer waiting from then on.
    Handshake* Take() {
        Handshake* handshake = m_handshake.exchange(nullptr, std::memory_order_acquire);
        if (handshake && handshake->counted) {
            g_callsWaiting.fetch_sub(1, std::memory_order_relaxed);
        }
        return handshake;
    }

private:
    std::atomic<Handshake*> m_handshake{nullptr};
};

// On the application's thread, after a call: carries out the calls that are waiting or come
// within kNextCallWait, in the order they were posted, for at most kLingerLimit. Only queued
// calls are delivered here (these and any queued slot calls, in one line); every other event
// waits for the event loop, which this returns to.
void CarryOutWaitingCalls() {
    t_lingering = true;
    const CallClock::time_point start = CallClock::now();
    CallClock::time_point lastCall = start;
    for (int round = 1;; ++round) {
        if (g_callsWaiting.load(std::memory_order_relaxed) > 0) {
            QCoreApplication::sendPostedEvents(nullptr, QEvent::MetaCall);
            lastCall = CallClock::now();
            if (lastCall - start >= kLingerLimit) {
                break;
            }
            continue;
        }
        if (round % 8 != 0) {
            CpuRelax();
            continue;
        }
        const CallClock::time_point now = CallClock::now();
        if (now - lastCall >= kNextCallWait || now - start >= kLingerLimit) {
            break;
        }
        // Leaves the processor to any thread that is ready (the one feeding the caller's
        // work, say) instead of holding it while nothing comes.
        std::this_thread::yield();
    }
    t_lingering = false;
}

}  // namespace

void CallOnThreadOf(QObject* target, const std::function<void()>& fn) {
    if (!target || QThread::currentThread() == target->thread()) {
        fn();
        return;
    }
    const QCoreApplication* app = QCoreApplication::instance();
    Handshake handshake(fn, app && target->thread() == app->thread());
    {
        std::lock_guard<std::mutex> posting(g_posting);
        if (handshake.counted) {
            // Counted before it is posted, so that a thread watching for calls never misses it.
            g_callsWaiting.fetch_add(1, std::memory_order_relaxed);
        }
        QMetaObject::invokeMethod(
            target,
            [hold = CallerHold(&handshake)]() mutable {
                Handshake* caller = nullptr;
                {
                    std::lock_guard<std::mutex> posted(g_posting);
                    caller = hold.Take();
                }
                const bool linger = caller->counted && !t_lingering;
                caller->fn();
                caller->Finish();
                if (linger) {
                    CarryOutWaitingCalls();
                }
            },
            Qt::QueuedConnection);
    }
    handshake.Await();
}

// ---- Message maps -------------------------------------------------------------------------

namespace {

const AFX_MSGMAP_ENTRY* FindEntry(const AFX_MSGMAP* map, UINT message, UINT code, UINT id) {
    for (; map; map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr) {
        for (const AFX_MSGMAP_ENTRY* entry = map->lpEntries; entry->nMessage; ++entry) {
            if (entry->nMessage == message && entry->nCode == code && entry->nID == id) {
                return entry;
            }
        }
    }
    return nullptr;
}

// The default handling of the messages being dispatched on this thread, innermost last, for
// Default().
thread_local std::vector<const std::function<LRESULT()>*> t_dispatching;

}  // namespace

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap() {
    static const AFX_MSGMAP_ENTRY entries[] = {{0, 0, 0, nullptr}};
    static const AFX_MSGMAP messageMap = {nullptr, &entries[0]};
    return &messageMap;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const {
    return GetThisMessageMap();
}

BOOL CCmdTarget::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult) {
    LRESULT result = 0;
    BOOL handled = FALSE;
    if (message == WM_COMMAND) {
        handled = OnCmdMsg(CommandID(wParam), CommandCode(wParam));
    } else if (const AFX_MSGMAP_ENTRY* entry = FindEntry(GetMessageMap(), message, 0, 0)) {
        result = entry->pfn(this, wParam, lParam);
        handled = TRUE;
    }
    if (handled && pResult) {
        *pResult = result;
    }
    return handled;
}

BOOL CCmdTarget::OnCmdMsg(UINT nID, UINT nCode) {
    const AFX_MSGMAP_ENTRY* entry = FindEntry(GetMessageMap(), WM_COMMAND, nCode, nID);
    if (!entry) {
        return FALSE;
    }
    entry->pfn(this, 0, 0);
    return TRUE;
}

bool CCmdTarget::HandlesMessage(UINT message) const {
    return FindEntry(GetMessageMap(), message, 0, 0) != nullptr;
}

LRESULT Dispatch(CWnd* wnd, UINT message, WPARAM wParam, LPARAM lParam,
                 const std::function<LRESULT()>& defaultProc) {
    LRESULT result = 0;
    t_dispatching.push_back(&defaultProc);
    const BOOL handled = wnd->OnWndMsg(message, wParam, lParam, &result);
    t_dispatching.pop_back();
    return handled ? result : defaultProc();
}

LRESULT CWnd::Default() {
    return t_dispatching.empty() ? 0 : (*t_dispatching.back())();
}

// ---- Window operations --------------------------------------------------------------------

namespace {

constexpr const char* kBigIconProperty = "kavosen.bigIcon";
constexpr const char* kSmallIconProperty = "kavosen.smallIcon";

HICON IconProperty(QWidget* widget, const char* name) {
    return static_cast<HICON>(widget->property(name).value<void*>());
}

// Both icons of WM_SETICON feed the one window icon, which holds the sizes of each.
LRESULT SetWindowIcon(QWidget* widget, WPARAM kind, HICON hIcon) {
    const char* name = kind == ICON_BIG ? kBigIconProperty : kSmallIconProperty;
    const HICON previous = IconProperty(widget, name);
    widget->setProperty(name, QVariant::fromValue(static_cast<void*>(hIcon)));
    const HICON big = IconProperty(widget, kBigIconProperty);
    const HICON small = IconProperty(widget, kSmallIconProperty);
    QIcon icon;
    for (HICON part : {big, small == big ? nullptr : small}) {
        if (part) {
            for (const QSize& size : IconOf(part)->availableSizes()) {
                icon.addPixmap(IconOf(part)->pixmap(size));
            }
        }
    }
    widget->setWindowIcon(icon);
    return reinterpret_cast<LRESULT>(previous);
}

// The layer's own handling of a message that no handler took.
LRESULT DefWindowProc(QWidget* widget, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_SETTEXT: {
            const auto* text = reinterpret_cast<LPCSTR>(lParam);
            SetWidgetText(widget, QByteArray(text ? text : ""));
            return TRUE;
        }
        case WM_SETICON:
            return SetWindowIcon(widget, wParam, reinterpret_cast<HICON>(lParam));
        case WM_SETFONT:
            // Qt copies the font and repaints on a change by itself, whatever the redraw flag.
            widget->setFont(wParam ? *FontOf(reinterpret_cast<HFONT>(wParam)) : QFont());
            return 0;
        case WM_ICONERASEBKGND:
            if (QPainter* painter = PainterOf(reinterpret_cast<HDC>(wParam))) {
                painter->fillRect(painter->window(),
                                  widget->palette().brush(widget->backgroundRole()));
                return TRUE;
            }
            return FALSE;
        default: {
            LRESULT result = 0;
            ControlMessage(widget, message, wParam, lParam, &result);
            return result;
        }
    }
}

}  // namespace

CWnd::~CWnd() = default;

void CWnd::SetWindowText(LPCSTR text) {
    SendMessage(WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

int CWnd::GetWindowText(LPSTR buffer, int maxCount) const {
    if (maxCount <= 0) {
        return 0;
    }
    const QByteArray text = WithWidget<QWidget>(m_hWnd, QByteArray(), WidgetText);
    const int count = std::min(static_cast<int>(text.size()), maxCount - 1);
    std::memcpy(buffer, text.constData(), count);
    buffer[count] = '\0';
    return count;
}

void CWnd::GetWindowText(CString& text) const {
    text = WithWidget<QWidget>(m_hWnd, QByteArray(), WidgetText).constData();
}

int CWnd::GetWindowTextLength() const {
    return WithWidget<QWidget>(m_hWnd, 0, [](QWidget* w) { return int(WidgetText(w).size()); });
}

BOOL CWnd::EnableWindow(BOOL bEnable) {
    return WithWidget<QWidget>(m_hWnd, FALSE, [bEnable](QWidget* w) {
        const BOOL wasDisabled = !w->isEnabled();
        w->setEnabled(bEnable);
        return wasDisabled;
    });
}

BOOL CWnd::IsWindowEnabled() const {
    return WithWidget<QWidget>(m_hWnd, FALSE, [](QWidget* w) { return BOOL{w->isEnabled()}; });
}

BOOL CWnd::IsWindowVisible() const {
    return WithWidget<QWidget>(m_hWnd, FALSE, [](QWidget* w) { return BOOL{w->isVisible()}; });
}

BOOL CWnd::IsIconic() const {
    return WithWidget<QWidget>(m_hWnd, FALSE, [](QWidget* w) { return BOOL{w->isMinimized()}; });
}

void CWnd::GetClientRect(RECT* rect) const {
    *rect = WithWidget<QWidget>(m_hWnd, RECT{0, 0, 0, 0}, [](QWidget* w) {
        return RECT{0, 0, w->width(), w->height()};
    });
}

LRESULT CWnd::SendMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return WithWidget<QWidget>(m_hWnd, LRESULT{0}, [&](QWidget* w) {
        return Dispatch(this, message, wParam, lParam,
                        [&] { return DefWindowProc(w, message, wParam, lParam); });
    });
}

void CWnd::SendCall(const std::function<void()>& fn) {
    CallOnThreadOf(m_hWnd ? static_cast<QObject*>(WidgetOf(m_hWnd)) : QCoreApplication::instance(),
                   fn);
}

HICON CWnd::SetIcon(HICON hIcon, BOOL bBigIcon) {
    return reinterpret_cast<HICON>(
        SendMessage(WM_SETICON, bBigIcon ? ICON_BIG : ICON_SMALL, reinterpret_cast<LPARAM>(hIcon)));
}

void CWnd::SetFont(CFont* pFont, BOOL bRedraw) {
    SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(pFont ? pFont->GetSafeHandle() : nullptr),
                bRedraw);
}

// ---- Message boxes ------------------------------------------------------------------------

QWidget* MessageBoxOwner(CWnd* wnd) {
    QWidget* widget = wnd ? WidgetOf(wnd->m_hWnd) : nullptr;
    return widget && widget->isVisible() ? widget->window() : nullptr;
}

int ShowMessageBox(QWidget* owner, const QString& text, const QString& caption, UINT nType) {
    const bool yesNo = (nType & 0x0F) == MB_YESNO;
    QMessageBox box(QMessageBox::NoIcon, caption, text,
                    yesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, owner);
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(owner ? Qt::WindowModal : Qt::ApplicationModal);
    const int answer = box.exec();
    return yesNo ? (answer == QMessageBox::Yes ? IDYES : IDNO) : IDOK;
}

int CWnd::MessageBox(LPCSTR text, LPCSTR caption, UINT type) {
    int answer = IDOK;
    SendCall([&] {
        answer =
            ShowMessageBox(MessageBoxOwner(this), FromCodePage(QByteArray(text ? text : "")),
                           FromCodePage(QByteArray(caption ? caption : AfxGetAppName())), type);
    });
    return answer;
}
