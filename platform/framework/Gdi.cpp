// Fonts, icons and painting.
#include <QFontDatabase>
#include <QFontMetrics>
#include <QPixmap>
#include <algorithm>
#include <cstdlib>
#include <map>
#include <utility>

#include "platform/framework/Widgets.h"

namespace {

// The size of a large icon, in logical pixels (Qt scales them on a HiDPI screen).
constexpr int kIconSize = 32;

// Whether the face Qt resolves for font gives narrow, wide and punctuation characters the
// same advance. Asked of the glyphs: QFontInfo::fixedPitch() is false for some monospaced faces
// (Noto Sans Mono, which fontconfig picks for "monospace" where it is installed).
bool DrawsFixedPitch(const QFont& font) {
    const QFontMetrics metrics(font);
    const int advance = metrics.horizontalAdvance(QLatin1Char('i'));
    return metrics.horizontalAdvance(QLatin1Char('W')) == advance &&
           metrics.horizontalAdvance(QLatin1Char('.')) == advance;
}

}  // namespace

int GetSystemMetrics(int nIndex) {
    return nIndex == SM_CXICON || nIndex == SM_CYICON ? kIconSize : 0;
}

// ---- Fonts --------------------------------------------------------------------------------

CFont::~CFont() {
    DeleteObject();
}

// Width, escapement, orientation, character set, precisions and quality have no counterpart
// in Qt's font matching; the face, height, weight, style and pitch decide the font.
BOOL CFont::CreateFont(int nHeight, int, int, int, int nWeight, BYTE bItalic, BYTE bUnderline,
                       BYTE cStrikeOut, BYTE, BYTE, BYTE, BYTE, BYTE nPitchAndFamily,
                       LPCSTR lpszFacename) {
    if (m_hObject) {
        return FALSE;
    }
    QFont font;
    if (lpszFacename && *lpszFacename) {
        font.setFamily(QString::fromLocal8Bit(lpszFacename));
    }
    // A negative height is the character height; a positive one, the cell height, is taken
    // as the same, which is near enough for the sizes a dialog asks for.
    if (nHeight != 0) {
        font.setPixelSize(std::abs(nHeight));
    }
    if (nWeight > 0) {
        font.setWeight(static_cast<QFont::Weight>(std::clamp(nWeight, 1, 1000)));
    }
    font.setItalic(bItalic);
    font.setUnderline(bUnderline);
    font.setStrikeOut(cStrikeOut);
    if ((nPitchAndFamily & 0x03) == FIXED_PITCH) {
        font.setFixedPitch(true);
        font.setStyleHint(QFont::TypeWriter);
        // A missing face falls back to a proportional font whatever the hints say, so the
        // system's fixed-pitch font stands in, at the same height and style.
        if (!DrawsFixedPitch(font)) {
            QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
            if (nHeight != 0) {
                fixed.setPixelSize(std::abs(nHeight));
            }
            fixed.setWeight(font.weight());
            fixed.setItalic(font.italic());
            fixed.setUnderline(font.underline());
            fixed.setStrikeOut(font.strikeOut());
            font = fixed;
        }
    }
    m_hObject = reinterpret_cast<HFONT>(new QFont(font));
    return TRUE;
}

BOOL CFont::Attach(HFONT hFont) {
    if (m_hObject || !hFont) {
        return FALSE;
    }
    m_hObject = hFont;
    return TRUE;
}

HFONT CFont::Detach() {
    return std::exchange(m_hObject, nullptr);
}

BOOL CFont::DeleteObject() {
    return ::DeleteObject(Detach());
}

BOOL DeleteObject(HFONT hFont) {
    if (!hFont) {
        return FALSE;
    }
    delete FontOf(hFont);
    return TRUE;
}

// ---- Painting -----------------------------------------------------------------------------

// Qt paints a widget only from within its paint event, which is where OnPaint runs.
CPaintDC::CPaintDC(CWnd* pWnd) {
    QWidget* widget = WidgetOf(pWnd->m_hWnd);
    if (widget && widget->testAttribute(Qt::WA_WState_InPaintEvent)) {
        m_hDC = reinterpret_cast<HDC>(new QPainter(widget));
    }
}

CPaintDC::~CPaintDC() {
    delete PainterOf(m_hDC);
}

BOOL CPaintDC::DrawIcon(int x, int y, HICON hIcon) {
    QPainter* painter = PainterOf(m_hDC);
    if (!painter || !hIcon) {
        return FALSE;
    }
    IconOf(hIcon)->paint(painter, QRect(x, y, kIconSize, kIconSize));
    return TRUE;
}

// ---- Icons --------------------------------------------------------------------------------

HICON LoadIconResource(UINT nID) {
    // Made once per id and never released, as icon handles of the resources stay valid for
    // the process's life.
    static auto& icons = *new std::map<UINT, QIcon*>;
    if (const auto known = icons.find(nID); known != icons.end()) {
        return reinterpret_cast<HICON>(known->second);
    }
    const ICONRES* resource = FindIconResource(nID);
    if (!resource) {
        return nullptr;
    }
    auto* icon = new QIcon;
    for (const char* const* xpm : {resource->xpm16, resource->xpm32}) {
        if (xpm) {
            icon->addPixmap(QPixmap(xpm));
        }
    }
    icons[nID] = icon;
    return reinterpret_cast<HICON>(icon);
}
