// Fonts: the fixed-pitch stand-in and ownership.
#include <gtest/gtest.h>

#include <QFontInfo>
#include <QFontMetrics>

#include <QWidget>

#include "platform/framework/Framework.h"
#include "platform/framework/Widgets.h"

namespace {

// "ＭＳ ゴシック" in Shift_JIS: a face this system does not have, in bytes it cannot decode.
constexpr const char* kMissingFixedFace = "\x82\x6c\x82\x72\x20\x83\x53\x83\x56\x83\x62\x83\x4e";

// Measured on the glyphs: QFontInfo::fixedPitch() misses monospaced faces that do not say so.
bool Monospaced(const QFont& font) {
    const QFontMetrics metrics(font);
    return metrics.horizontalAdvance("iiii") == metrics.horizontalAdvance("WWWW");
}

BOOL Create(CFont& font, BYTE pitch, LPCSTR face) {
    return font.CreateFont(-12, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, 0, 0, 0, 0, pitch, face);
}

TEST(Font, FixedPitchStandsInOnlyWhereTheFaceCannotGiveIt) {
    CFont missing, notFixed, mono, proportional;
    ASSERT_TRUE(Create(missing, FIXED_PITCH, kMissingFixedFace));
    ASSERT_TRUE(Create(notFixed, FIXED_PITCH, "DejaVu Sans"));
    for (const CFont* font : {&missing, &notFixed}) {
        EXPECT_TRUE(Monospaced(*FontOf(*font)));
        EXPECT_EQ(QFontInfo(*FontOf(*font)).pixelSize(), 12);
    }
    ASSERT_TRUE(Create(mono, FIXED_PITCH, "DejaVu Sans Mono"));
    EXPECT_EQ(QFontInfo(*FontOf(mono)).family(), "DejaVu Sans Mono");
    ASSERT_TRUE(Create(proportional, 0, "DejaVu Sans"));
    EXPECT_FALSE(Monospaced(*FontOf(proportional)));
}

TEST(Font, AnObjectHoldsOneFontAndTheWidgetKeepsItsCopy) {
    QWidget widget;
    CWnd control;
    control.m_hWnd = HandleOf(&widget);
    {
        CFont font;
        ASSERT_TRUE(Create(font, FIXED_PITCH, kMissingFixedFace));
        const HFONT held = font;
        EXPECT_FALSE(Create(font, 0, "DejaVu Sans"));
        EXPECT_EQ(font.GetSafeHandle(), held);
        EXPECT_FALSE(font.Attach(held));
        control.SendMessage(WM_SETFONT, reinterpret_cast<WPARAM>(font.GetSafeHandle()), 1);
        EXPECT_EQ(font.Detach(), held);
        EXPECT_FALSE(font.DeleteObject());
        EXPECT_TRUE(DeleteObject(held));
        const QFont used = widget.font();
        EXPECT_TRUE(Monospaced(used));
        EXPECT_EQ(QFontInfo(used).pixelSize(), 12);
    }
}

}  // namespace
