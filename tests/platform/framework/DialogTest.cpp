// The dialog made from a template, as the main window is made: its geometry in three fonts,
// where it opens, the focus and tab order, and the drop-down lists with their tooltips.
#include <gtest/gtest.h>
#include <algorithm>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QScreen>
#include <QTest>

#include "platform/framework/Framework.h"
#include "tests/support/Wait.h"
#include "tests/support/Window.h"

namespace {

struct Layout {
    QSize window;
    QRect label, text, receive, save;
    int labelNeeds;  // the label's width for its caption, in the font it was given
};

// The template's face is missing here, so the application's font sets the units.
Layout LayoutInFont(const QFont& font) {
    const QFont saved = QApplication::font();
    QApplication::setFont(font);
    Layout layout;
    WithWindow([&](CCaptureDlg& d) {
        QLabel* label = Widget(d)->findChildren<QLabel*>().at(0);
        layout = {Widget(d)->size(),
                  label->geometry(),
                  Widget(d.m_editText)->geometry(),
                  Widget(d.m_btnReceive)->geometry(),
                  Widget(d.m_btnSave)->geometry(),
                  label->sizeHint().width()};
        for (QLabel* each : Widget(d)->findChildren<QLabel*>()) {
            EXPECT_GE(each->width(), each->sizeHint().width()) << each->text().toStdString();
        }
        // No control reaches into the next one on its row.
        EXPECT_LE(label->geometry().right(), Widget(d.m_cmbPort)->x());
    });
    QApplication::setFont(saved);
    return layout;
}

double AlphabetWidth(const QFont& font) {
    return QFontMetrics(font).horizontalAdvance(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
}

// The width a horizontal unit needs: a quarter of the average character, or more where the
// label captions (41 and 36 units wide) would not fit.
double UnitWidth(const QFont& font) {
    const QFontMetrics metrics(font);
    return std::max({AlphabetWidth(font) / 26 / 2 / 4,
                     metrics.horizontalAdvance("Serial port(P):") / 41.0,
                     metrics.horizontalAdvance("baudrate(B):") / 36.0});
}

// The template sets the size (9 points): two faces narrow enough for the window to fit the
// offscreen screen (800 x 600), a third so wide that it must shrink to fit.
TEST(Dialog, TemplateUnitsFollowTheFontAndShrinkToFitTheScreen) {
    CWinApp app;
    QFont narrow("DejaVu Sans", 9);
    narrow.setStretch(75);
    const QFont wide("DejaVu Sans", 9);
    const Layout a = LayoutInFont(narrow);
    const Layout b = LayoutInFont(wide);
    QFont widest("DejaVu Sans", 9);
    widest.setStretch(125);
    const Layout huge = LayoutInFont(widest);
    const QSize screen = QApplication::primaryScreen()->availableGeometry().size();
    EXPECT_LE(huge.window.width(), screen.width());
    EXPECT_LE(huge.window.height(), screen.height());
    EXPECT_GT(huge.window.width(), screen.width() * 3 / 4) << "shrunk no more than needed";
    EXPECT_GE(huge.label.width(), huge.labelNeeds);
    for (const Layout& l : {a, b, huge}) {
        // The text area (5..345 x 25..170) lines up with the buttons (..345) and the label (5..).
        EXPECT_NEAR(l.text.right(), l.receive.right(), 1);
        EXPECT_NEAR(l.text.right(), l.save.right(), 1);
        EXPECT_EQ(l.text.left(), l.label.left());
        EXPECT_NEAR(l.text.width() / double(l.window.width()), 340.0 / 349, 0.01);
        EXPECT_NEAR(l.text.height() / double(l.window.height()), 145.0 / 196, 0.01);
        EXPECT_NEAR(l.save.top() / double(l.window.height()), 175.0 / 196, 0.01);
    }
    // Horizontal units follow the average character width (widened until the labels fit),
    // vertical ones the line height (whole pixels per unit allow a few percent).
    EXPECT_NEAR(b.window.width() / double(a.window.width()), UnitWidth(wide) / UnitWidth(narrow),
                0.08);
    EXPECT_NEAR(b.window.height() / double(a.window.height()),
                QFontMetrics(wide).height() / double(QFontMetrics(narrow).height()), 0.02);
}

TEST(Dialog, OpensCentredFixedFocusedAndTabsInTemplateOrder) {
    CWinApp app;
    WithWindow([&](CCaptureDlg& d) {
        QWidget* window = Widget(d);
        EXPECT_EQ(window->minimumSize(), window->maximumSize());
        EXPECT_FALSE(window->windowFlags() &
                     (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
        // Centred with its frame (none offscreen), to the pixel, once it is shown.
        const auto offCentre = [window] {
            const QRect area = window->screen()->availableGeometry();
            const QRect frame = window->frameGeometry();
            return std::max(std::abs(frame.left() - area.left() - (area.right() - frame.right())),
                            std::abs(frame.top() - area.top() - (area.bottom() - frame.bottom())));
        };
        EXPECT_TRUE(WaitUntil([&] { return offCentre() <= 1; })) << offCentre();

        // Save is disabled, and a disabled control is passed over.
        QWidget* const port = Widget(d.m_cmbPort);
        ASSERT_TRUE(WaitUntil([&] { return port->hasFocus(); }));
        for (QWidget* next :
             {Widget(d.m_cmbBaudrate), Widget(d.m_btnReceive), Widget(d.m_editText), port}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            EXPECT_EQ(QApplication::focusWidget(), next);
        }
        d.m_btnSave.EnableWindow(TRUE);
        QTest::keyClick(port, Qt::Key_Backtab);
        EXPECT_EQ(QApplication::focusWidget(), Widget(d.m_btnSave));
    });
}

// Tooltips that tell how often they were asked for: "asked N" for the entries that start with
// "COM", none for the others.
int g_tooltipRequests = 0;
std::vector<std::string> CountingTooltips(const std::vector<std::string>& entries) {
    ++g_tooltipRequests;
    std::vector<std::string> tips;
    for (const std::string& entry : entries) {
        tips.push_back(entry.rfind("COM", 0) == 0 ? "asked " + std::to_string(g_tooltipRequests)
                                                  : "");
    }
    return tips;
}

TEST(Dialog, ADropDownFillsTheTemplatesHeightAndAsksForItsTooltipsAtEachOpening) {
    CWinApp app;
    WithWindow([&](CCaptureDlg& d) {
        auto* port = qobject_cast<QComboBox*>(Widget(d.m_cmbPort));
        auto* baud = qobject_cast<QComboBox*>(Widget(d.m_cmbBaudrate));
        port->showPopup();  // no tooltips until they are set
        port->hidePopup();
        EXPECT_FALSE(port->itemData(0, Qt::ToolTipRole).isValid());

        g_tooltipRequests = 0;
        SetListToolTips(CountingTooltips);
        port->showPopup();
        port->hidePopup();
        baud->showPopup();
        baud->hidePopup();
        EXPECT_FALSE(baud->itemData(0, Qt::ToolTipRole).isValid());
        port->showPopup();
        SetListToolTips(nullptr);
        EXPECT_EQ(port->itemData(30, Qt::ToolTipRole).toString(), "asked 3");

        // The port list is 135 units high with its drop-down open, the text area 145.
        ASSERT_TRUE(WaitUntil([&] { return port->view()->isVisible(); }));
        const int expected = Widget(d.m_editText)->height() * 135 / 145;
        const int row = port->view()->sizeHintForRow(0);
        const int open = port->height() + port->view()->window()->height();
        EXPECT_LE(open, expected + 2);
        EXPECT_GE(open, expected - row - 4);
        EXPECT_LT(port->view()->window()->height(), port->count() * row);
        EXPECT_GE(port->width(), port->sizeHint().width());  // no entry cut off
        port->hidePopup();
    });
}

}  // namespace
