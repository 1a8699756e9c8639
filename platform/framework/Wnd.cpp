// Message maps, window operations and the cross-thread call they all go through.
#include <QApplication>
#include <QGuiApplication>
#include <QScreen>
#include <QThread>
#include <QVariant>
#include <atomic>
#include <vector>

#include "platform/framework/Widgets.h"

// ---- Cross-thread calls -------------------------------------------------------------------

namespace {

// Qt hands a blocking call over to the target's thread through its event queue, and the end of
// the call back through a semaphore, both inside Qt, where ThreadSanitizer cannot see them
// (Debian's Qt is not built for it). The call's pointer to its function makes both hand-overs
// visible: the caller stores it with release as the last step of making the call, and the
// target's thread reads it with acquire before the function runs; that thread stores it again
// with release once the function has run, and the caller reads it with acquire as it frees the
// call, which Qt does on the caller's thread after the wait, whether the call ran or was dropped.
class HandOver {
public:
    explicit HandOver(const std::function<void()>* fn) {
        m_fn.store(fn, std::memory_order_release);
    }
    HandOver(HandOver&& other) noexcept {
        m_fn.store(other.m_fn.load(std::memory_order_relaxed), std::memory_order_release);
    }
    HandOver& operator=(HandOver&&) = delete;
    ~HandOver() { m_fn.load(std::memory_order_acquire); }  // the caller's side of the end

    void Run() {
        const std::function<void()>* fn = m_fn.load(std::memory_order_acquire);
        (*fn)();
        m_fn.store(fn, std::memory_order_release);
    }

private:
    std::atomic<const std::function<void()>*> m_fn{nullptr};
};

}  // namespace

// Qt's blocking connection waits for the call to have run, and releases the caller as well when
// the call is dropped unrun: a queued call is an event, and deleting the event (as destroying
// its target does) ends the wait. On the target's own thread it would wait for itself for ever,
// so a call there runs at once.
void CallOnThreadOf(QObject* target, const std::function<void()>& fn) {
    if (!target || QThread::currentThread() == target->thread()) {
        fn();
        return;
    }
    QMetaObject::invokeMethod(
        target, [call = HandOver(&fn)]() mutable { call.Run(); }, Qt::BlockingQueuedConnection);
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

// The program gives the same icon as both the big and the small one, so the window icon is the
// last one given (with all its sizes) and the property keeps it for the next WM_SETICON to return.
constexpr const char* kIconProperty = "kavosen.icon";

LRESULT SetWindowIcon(QWidget* widget, HICON hIcon) {
    const auto previous = reinterpret_cast<LRESULT>(widget->property(kIconProperty).value<void*>());
    widget->setProperty(kIconProperty, QVariant::fromValue(static_cast<void*>(hIcon)));
    widget->setWindowIcon(hIcon ? *IconOf(hIcon) : QIcon());
    return previous;
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
            return SetWindowIcon(widget, reinterpret_cast<HICON>(lParam));
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

void CWnd::GetWindowText(CString& text) const {
    text = WithWidget<QWidget>(m_hWnd, QByteArray(), WidgetText).constData();
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

// ---- The screen ----------------------------------------------------------------------------

QRect AvailableArea(QWidget* over) {
    QScreen* screen = over ? over->screen() : QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

QSize RoomOnScreen(QWidget* over) {
    // A window manager's frame: a title bar and two borders.
    const QSize frame(8, 40);
    return AvailableArea(over).size() - frame;
}
