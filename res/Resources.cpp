// The program's resources: the main window's dialog template, the string table, the
// application icon and the version record.
#include "platform/framework/Framework.h"
#include "res/icon16.xpm"
#include "res/icon32.xpm"
#include "res/resource.h"

namespace {

// The main window's controls, in tab order. Positions and sizes are dialog units; a list's
// height is that of its opened drop-down.
const DLGITEM kCaptureDialogItems[] = {
    {-1, "STATIC", "Serial port(&P):", 5, 5, 41, 8, SS_LEFT | WS_GROUP},
    {IDC_PORT, "COMBOBOX", "", 50, 5, 35, 135, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP},
    {-1, "STATIC", "baudrate(&B):", 95, 5, 36, 15, SS_LEFT | WS_GROUP},
    {IDC_BAUDRATE, "COMBOBOX", "", 135, 5, 40, 145, CBS_DROPDOWNLIST | WS_VSCROLL | WS_TABSTOP},
    // The caption is set when the window opens.
    {IDC_RECEIVE, "BUTTON", "DUMMY", 295, 5, 50, 14, BS_PUSHBUTTON | WS_TABSTOP},
    {IDC_TEXT, "EDIT", "", 5, 25, 340, 145,
     ES_MULTILINE | ES_AUTOVSCROLL | ES_READONLY | ES_WANTRETURN | WS_BORDER | WS_VSCROLL |
         WS_TABSTOP},
    {IDC_SAVE, "BUTTON", "Save(&S)", 295, 175, 50, 14, BS_PUSHBUTTON | WS_TABSTOP},
};

const DLGTEMPLATE kDialogs[] = {
    {IDD_CAPTURE_DIALOG, 0, 0, 349, 196,
     WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT, WS_EX_APPWINDOW,
     "KAVOSEN_WIN", 9, "ＭＳ Ｐゴシック", 0, 0, 1, kCaptureDialogItems,
     static_cast<int>(sizeof kCaptureDialogItems / sizeof kCaptureDialogItems[0])},
};

const STRINGRES kStrings[] = {
    {IDP_SOCKETS_INIT_FAILED, "Windows ｿｹｯﾄの初期化に失敗しました。"},
};

const ICONRES kIcons[] = {
    {IDR_MAINFRAME, icon16_xpm, icon32_xpm},
};

const VERSIONRES kVersion = {{1, 2, 0, 0}, {1, 0, 0, 1}, "KAVOSEN_WIN", "KAVOSEN_WIN"};

}  // namespace

const RESOURCES g_resources = {
    kDialogs,  static_cast<int>(sizeof kDialogs / sizeof kDialogs[0]),
    kStrings,  static_cast<int>(sizeof kStrings / sizeof kStrings[0]),
    kIcons,    static_cast<int>(sizeof kIcons / sizeof kIcons[0]),
    &kVersion, "kavosen",
};
