// Message maps: tables that route a window's messages to its handlers.
//
// A class declares DECLARE_MESSAGE_MAP() and defines its table between BEGIN_MESSAGE_MAP and
// END_MESSAGE_MAP. Dispatch looks through the class's own entries in order, then through its
// base class's table, and runs the first handler that matches; a message no table handles gets
// the layer's default behaviour (what Qt does on its own). Each entry is a plain function that
// casts back to the class that wrote the table, so handlers are type-checked where the table is.
#pragma once

#include "platform/WinTypes.h"
#include "platform/framework/Messages.h"

class CCmdTarget;

struct AFX_MSGMAP_ENTRY {
    UINT nMessage;  // WM_...; 0 ends the table
    UINT nCode;     // WM_COMMAND: the notification code (BN_CLICKED); else 0
    UINT nID;       // WM_COMMAND: the control or command id; else 0
    LRESULT (*pfn)(CCmdTarget* target, WPARAM wParam, LPARAM lParam);
};

struct AFX_MSGMAP {
    const AFX_MSGMAP* (*pfnGetBaseMap)();  // null for the root
    const AFX_MSGMAP_ENTRY* lpEntries;
};

class CCmdTarget {
public:
    virtual ~CCmdTarget() = default;

    // Runs the first handler for the message in this object's tables; TRUE when one ran, with
    // its result in *pResult (if given).
    BOOL OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* pResult = nullptr);
    // Routes a command (WM_COMMAND with a notification code and id) the same way.
    virtual BOOL OnCmdMsg(UINT nID, UINT nCode);

protected:
    static const AFX_MSGMAP* GetThisMessageMap();
    virtual const AFX_MSGMAP* GetMessageMap() const;
};

#define DECLARE_MESSAGE_MAP()                     \
protected:                                        \
    static const AFX_MSGMAP* GetThisMessageMap(); \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)          \
    const AFX_MSGMAP* theClass::GetMessageMap() const { \
        return GetThisMessageMap();                     \
    }                                                   \
    const AFX_MSGMAP* theClass::GetThisMessageMap() {   \
        using ThisClass [[maybe_unused]] = theClass;    \
        using TheBaseClass = baseClass;                 \
        static const AFX_MSGMAP_ENTRY entries[] = {
#define END_MESSAGE_MAP()                                                                 \
    { 0, 0, 0, nullptr }                                                                  \
    }                                                                                     \
    ;                                                                                     \
    static const AFX_MSGMAP messageMap = {&TheBaseClass::GetThisMessageMap, &entries[0]}; \
    return &messageMap;                                                                   \
    }

#define ON_WM_PAINT()                                               \
    {WM_PAINT, 0, 0, [](CCmdTarget* p, WPARAM, LPARAM) -> LRESULT { \
         static_cast<ThisClass*>(p)->OnPaint();                     \
         return 0;                                                  \
     }},
#define ON_WM_QUERYDRAGICON()                                                             \
    {WM_QUERYDRAGICON, 0, 0, [](CCmdTarget* p, WPARAM, LPARAM) -> LRESULT {               \
         return reinterpret_cast<LRESULT>(static_cast<ThisClass*>(p)->OnQueryDragIcon()); \
     }},
#define ON_WM_SHOWWINDOW()                                                             \
    {WM_SHOWWINDOW, 0, 0, [](CCmdTarget* p, WPARAM wParam, LPARAM lParam) -> LRESULT { \
         static_cast<ThisClass*>(p)->OnShowWindow(static_cast<BOOL>(wParam),           \
                                                  static_cast<UINT>(lParam));          \
         return 0;                                                                     \
     }},
#define ON_BN_CLICKED(id, memberFxn)                                                               \
    {WM_COMMAND, BN_CLICKED, static_cast<UINT>(id), [](CCmdTarget* p, WPARAM, LPARAM) -> LRESULT { \
         (static_cast<ThisClass*>(p)->*(memberFxn))();                                             \
         return 0;                                                                                 \
     }},
#define ON_COMMAND(id, memberFxn)                                                         \
    {WM_COMMAND, 0, static_cast<UINT>(id), [](CCmdTarget* p, WPARAM, LPARAM) -> LRESULT { \
         (static_cast<ThisClass*>(p)->*(memberFxn))();                                    \
         return 0;                                                                        \
     }},
