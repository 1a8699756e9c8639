// The shape of the program's resources: dialog templates in dialog units, the string table,
// icons and the version record. The program defines one table, g_resources (in res/), and the
// framework layer looks everything up there by id, as a resource compiler's output would be.
//
// Texts are UTF-8 (the resources were Unicode in the original).
#pragma once

#include "platform/WinTypes.h"

struct DLGITEM {
    int id;              // control id; -1 for static texts nobody addresses
    LPCSTR className;    // "STATIC", "COMBOBOX", "BUTTON" or "EDIT"
    LPCSTR text;         // initial caption; "&" marks the mnemonic
    short x, y, cx, cy;  // dialog units; a list's height is that of its opened drop-down
    DWORD style;         // besides WS_CHILD | WS_VISIBLE, which every control has
};

struct DLGTEMPLATE {
    UINT id;
    short x, y, cx, cy;  // dialog units
    DWORD style;
    DWORD exStyle;
    LPCSTR caption;
    WORD pointSize;  // dialog font, which also sets the size of a dialog unit
    LPCSTR faceName;
    WORD weight;
    BYTE italic;
    BYTE charSet;
    const DLGITEM* items;  // in tab order
    int itemCount;
};

struct STRINGRES {
    UINT id;
    LPCSTR text;
};

// An icon in its sizes, each an XPM image (the text form of a small palette image).
struct ICONRES {
    UINT id;
    const char* const* xpm16;
    const char* const* xpm32;
};

struct VERSIONRES {
    WORD fileVersion[4];
    WORD productVersion[4];
    LPCSTR internalName;
    LPCSTR originalFilename;
};

struct RESOURCES {
    const DLGTEMPLATE* dialogs;
    int dialogCount;
    const STRINGRES* strings;
    int stringCount;
    const ICONRES* icons;
    int iconCount;
    const VERSIONRES* version;
    // The name of the program's desktop entry (kavosen for kavosen.desktop): a Wayland shell
    // finds the entry, and with it the icon and the menu item, by the window's app_id.
    LPCSTR desktopEntry;
};

// Defined by the program (res/Resources.cpp).
extern const RESOURCES g_resources;

// Lookups; null when the id is not in the table.
const DLGTEMPLATE* FindDialogResource(UINT id);
LPCSTR FindStringResource(UINT id);
const ICONRES* FindIconResource(UINT id);
