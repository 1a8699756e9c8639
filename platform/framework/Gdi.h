// Drawing objects: rectangles, icons, fonts and the painting context of OnPaint.
#pragma once

#include "platform/WinTypes.h"
#include "platform/framework/Messages.h"

// Opaque handles; the layer keeps what each stands for (a QIcon, a QFont, a QPainter).
struct HICON__;
using HICON = HICON__*;
using HCURSOR = HICON;
struct HFONT__;
using HFONT = HFONT__*;
struct HDC__;
using HDC = HDC__*;

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

class CRect : public RECT {
public:
    CRect() : RECT{0, 0, 0, 0} {}
    int Width() const { return right - left; }
    int Height() const { return bottom - top; }
};

// The system's metrics in pixels (SM_CXICON, SM_CYICON: the size of a large icon).
int GetSystemMetrics(int nIndex);

// A font handle owned by the object. A CFont holds at most one font; DeleteObject releases it.
class CFont {
public:
    CFont() = default;
    ~CFont();
    CFont(const CFont&) = delete;
    CFont& operator=(const CFont&) = delete;

    // Makes a font from the logical-font fields. nHeight < 0 asks for a character height of
    // -nHeight pixels. When FIXED_PITCH is asked for and the face is missing or proportional,
    // the system's fixed-pitch font of the same height stands in. FALSE, leaving the object as
    // it was, when this object already holds a font or no font can be made.
    BOOL CreateFont(int nHeight, int nWidth, int nEscapement, int nOrientation, int nWeight,
                    BYTE bItalic, BYTE bUnderline, BYTE cStrikeOut, BYTE nCharSet,
                    BYTE nOutPrecision, BYTE nClipPrecision, BYTE nQuality, BYTE nPitchAndFamily,
                    LPCSTR lpszFacename);
    BOOL Attach(HFONT hFont);  // FALSE when the object already holds a font
    HFONT Detach();
    BOOL DeleteObject();  // FALSE when it held none
    HFONT GetSafeHandle() const { return m_hObject; }
    operator HFONT() const { return m_hObject; }  // NOLINT(google-explicit-constructor)

private:
    HFONT m_hObject = nullptr;
};

// Releases a font handle that no CFont holds any more.
BOOL DeleteObject(HFONT hFont);

class CWnd;

// The painting context of a window within its OnPaint; made anywhere else, its HDC is null.
class CPaintDC {
public:
    explicit CPaintDC(CWnd* pWnd);
    ~CPaintDC();
    CPaintDC(const CPaintDC&) = delete;
    CPaintDC& operator=(const CPaintDC&) = delete;

    HDC GetSafeHdc() const { return m_hDC; }
    // Draws the icon at its large size (SM_CXICON x SM_CYICON) with its top left at (x, y).
    BOOL DrawIcon(int x, int y, HICON hIcon);

private:
    HDC m_hDC = nullptr;
};
