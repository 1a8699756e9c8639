// Inside the framework layer: the Qt objects behind the layer's handles, and the paths its
// files share. Only platform/framework and its tests include this.
//
// Handles are the Qt objects themselves: an HWND is the QWidget of the window or control, an
// HICON a QIcon, an HFONT a QFont, an HDC the QPainter of a CPaintDC.
#pragma once

#include <QByteArray>
#include <QIcon>
#include <QPainter>
#include <QWidget>
#include <functional>

#include "platform/WinTypes.h"
#include "platform/framework/Gdi.h"
#include "platform/framework/Resources.h"
#include "platform/framework/Wnd.h"

inline QWidget* WidgetOf(HWND hWnd) {
    return reinterpret_cast<QWidget*>(hWnd);
}
inline HWND HandleOf(QWidget* widget) {
    return reinterpret_cast<HWND>(widget);
}
inline QIcon* IconOf(HICON hIcon) {
    return reinterpret_cast<QIcon*>(hIcon);
}
inline QFont* FontOf(HFONT hFont) {
    return reinterpret_cast<QFont*>(hFont);
}
inline QPainter* PainterOf(HDC hDC) {
    return reinterpret_cast<QPainter*>(hDC);
}

// WM_COMMAND's wParam: the control or command id in the low word, the notification code in the
// high word.
inline WPARAM CommandWParam(UINT nID, UINT nCode) {
    return (WPARAM{nCode} << 16) | (nID & 0xFFFF);
}
inline UINT CommandID(WPARAM wParam) {
    return wParam & 0xFFFF;
}
inline UINT CommandCode(WPARAM wParam) {
    return (wParam >> 16) & 0xFFFF;
}

// Runs fn on the thread that owns target (for a widget: the window's thread) and returns when
// it has run. On that thread fn runs at once; from any other thread it is queued to target's
// event loop and the caller waits, so calls from one thread run in call order while the
// window's thread goes on handling input and painting between them. A call still queued when
// target is destroyed is dropped and its caller released. A null target runs fn at once.
void CallOnThreadOf(QObject* target, const std::function<void()>& fn);

// Runs fn(widget) on the window's thread for the widget of hWnd, if it is a W, and returns
// fn's result; otherwise (no window, or another kind of widget) returns `otherwise`.
template <typename W, typename R, typename Fn>
R WithWidget(HWND hWnd, R otherwise, Fn fn) {
    R result = otherwise;
    if (hWnd) {
        CallOnThreadOf(WidgetOf(hWnd), [&] {
            if (auto* widget = dynamic_cast<W*>(WidgetOf(hWnd))) {
                result = fn(widget);
            }
        });
    }
    return result;
}

// Dispatches one message to wnd's message map, on the window's thread. When no handler takes
// it, the layer's own handling (defaultProc) runs instead; a handler that calls Default() runs
// it from within. Returns the handler's or the default's result.
LRESULT Dispatch(CWnd* wnd, UINT message, WPARAM wParam, LPARAM lParam,
                 const std::function<LRESULT()>& defaultProc);

// Controls.cpp: makes the widget of one template control at rect (pixels) in dialog, or null
// for a class the layer does not know.
QWidget* CreateControl(const DLGITEM& item, const QRect& rect, QWidget* dialog);
// A window's or control's text as bytes in the code page, and setting it.
QByteArray WidgetText(QWidget* widget);
void SetWidgetText(QWidget* widget, const QByteArray& text);
// The controls' own handling of EM_REPLACESEL, CB_ADDSTRING and CB_SETCURSEL; false when the
// message is not one of a control of this kind.
bool ControlMessage(QWidget* widget, UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result);

// Gdi.cpp: the icon of the program's resources with that id, made once and kept for the
// process's life; null when there is none. Window thread only.
HICON LoadIconResource(UINT nID);

// WinApp.cpp: the owner of a message box for wnd: its window when that is visible, else none.
QWidget* MessageBoxOwner(CWnd* wnd);

// Wnd.cpp: the screen area a window over `over` (null: over none) may take: the available area
// of its screen, else of the primary screen.
QRect AvailableArea(QWidget* over);
// That area less room for a window manager's frame: a title bar and two borders. Every window
// the layer opens is fitted to it.
QSize RoomOnScreen(QWidget* over);
