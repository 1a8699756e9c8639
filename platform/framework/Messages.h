// Message, notification, style and command identifiers of the framework layer.
//
// The numbers are the ones the program's resources and message maps were written with; the
// layer translates each into what Qt does (see Wnd.cpp for messages, Dialog.cpp for styles).
#pragma once

#include "platform/WinTypes.h"

// Window messages the layer routes through message maps or carries out in SendMessage.
constexpr UINT WM_SETTEXT = 0x000C;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_SHOWWINDOW = 0x0018;
constexpr UINT WM_ICONERASEBKGND = 0x0027;
constexpr UINT WM_SETFONT = 0x0030;
constexpr UINT WM_QUERYDRAGICON = 0x0037;
constexpr UINT WM_SETICON = 0x0080;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT EM_REPLACESEL = 0x00C2;
constexpr UINT CB_ADDSTRING = 0x0143;
constexpr UINT CB_SETCURSEL = 0x014E;

// Notification codes of WM_COMMAND.
constexpr UINT BN_CLICKED = 0;

// Command identifiers.
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr UINT ID_HELP = 0xE146;

// WM_SETICON kinds.
constexpr WPARAM ICON_SMALL = 0;
constexpr WPARAM ICON_BIG = 1;

// GetSystemMetrics indexes.
constexpr int SM_CXICON = 11;
constexpr int SM_CYICON = 12;

// Window styles.
constexpr DWORD WS_POPUP = 0x80000000;
constexpr DWORD WS_VISIBLE = 0x10000000;
constexpr DWORD WS_CAPTION = 0x00C00000;
constexpr DWORD WS_BORDER = 0x00800000;
constexpr DWORD WS_VSCROLL = 0x00200000;
constexpr DWORD WS_SYSMENU = 0x00080000;
constexpr DWORD WS_GROUP = 0x00020000;
constexpr DWORD WS_TABSTOP = 0x00010000;
constexpr DWORD WS_EX_APPWINDOW = 0x00040000;

// Dialog styles.
constexpr DWORD DS_SETFONT = 0x0040;
constexpr DWORD DS_MODALFRAME = 0x0080;

// Control styles.
constexpr DWORD SS_LEFT = 0x0000;
constexpr DWORD BS_PUSHBUTTON = 0x0000;
constexpr DWORD CBS_DROPDOWNLIST = 0x0003;
constexpr DWORD ES_MULTILINE = 0x0004;
constexpr DWORD ES_AUTOVSCROLL = 0x0040;
constexpr DWORD ES_READONLY = 0x0800;
constexpr DWORD ES_WANTRETURN = 0x1000;

// Font constants.
constexpr BYTE FIXED_PITCH = 1;
constexpr int FW_NORMAL = 400;

// Thread priorities.
constexpr int THREAD_PRIORITY_LOWEST = -2;
constexpr int THREAD_PRIORITY_NORMAL = 0;

// File-dialog flag.
constexpr DWORD OFN_CREATEPROMPT = 0x2000;
