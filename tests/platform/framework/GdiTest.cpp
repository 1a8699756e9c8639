// Fonts (the fixed-pitch stand-in, ownership) and painting through CPaintDC in a paint
// handler.
#include <gtest/gtest.h>

#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>

#include "tests/platform/framework/TestDialog.h"

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
    TestDialog dialog;
    RunModal(dialog, [&](QDialog*) {
        CFont font;
        ASSERT_TRUE(Create(font, FIXED_PITCH, kMissingFixedFace));
        const HFONT held = font;
        EXPECT_FALSE(Create(font, 0, "DejaVu Sans"));
        EXPECT_EQ(font.GetSafeHandle(), held);
        EXPECT_FALSE(font.Attach(held));
        dialog.m_editText.SetFont(&font);
        EXPECT_EQ(font.Detach(), held);
        EXPECT_FALSE(font.DeleteObject());
        EXPECT_TRUE(DeleteObject(held));
        const QFont used = dialog.Control(dialog.m_editText)->font();
        EXPECT_TRUE(Monospaced(used));
        EXPECT_EQ(QFontInfo(used).pixelSize(), 12);
    });
}

// The window alone, without its controls or the background Qt paints itself: only what the
// paint handler paints shows over the red.
QImage PaintedByHandler(QWidget* window) {
    QImage image(window->size(), QImage::Format_ARGB32);
    image.fill(Qt::red);
    window->render(&image, QPoint(), QRegion(), QWidget::RenderFlags());
    return image;
}

TEST(Paint, HandlerPaintsThroughCPaintDCOnlyWithinThePaint) {
    CWinApp app("TestApp");
    TestDialog dialog;
    RunModal(dialog, [&](QDialog* window) {
        const QPoint origin((window->width() - 32 + 1) / 2, (window->height() - 32 + 1) / 2);
        dialog.paints = 0;
        EXPECT_EQ(PaintedByHandler(window).pixel(origin + QPoint(16, 16)), QColor(Qt::red).rgb());

        dialog.m_hIcon = app.LoadIcon(IDR_MAINFRAME);
        const QImage painted = PaintedByHandler(window);
        EXPECT_EQ(dialog.paints, 2);
        // The icon at 32 x 32, centred; the rest erased to the window's background.
        const QImage icon = IconOf(dialog.m_hIcon)->pixmap(32, 32).toImage();
        int differing = 0;
        for (int y = 0; y < 32; ++y) {
            for (int x = 0; x < 32; ++x) {
                const QRgb want = icon.pixel(x, y);
                differing += qAlpha(want) == 255 && painted.pixel(origin + QPoint(x, y)) != want;
            }
        }
        EXPECT_EQ(differing, 0);
        EXPECT_EQ(painted.pixel(2, 2), window->palette().window().color().rgb());

        CPaintDC outside(&dialog);
        EXPECT_EQ(outside.GetSafeHdc(), nullptr);
        EXPECT_FALSE(outside.DrawIcon(0, 0, dialog.m_hIcon));
    });
}

}  // namespace
