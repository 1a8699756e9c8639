// The dialog made from the main window's template: its geometry in two fonts, the window it
// makes, the focus and tab order, mnemonics, the drop-down, and the keys that end it or not.
#include <gtest/gtest.h>
#include <algorithm>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QScreen>
#include <QTest>

#include "tests/platform/framework/TestDialog.h"
#include "tests/support/Instrument.h"

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
    TestDialog d;
    Layout layout;
    RunModal(d, [&](QDialog* window) {
        QLabel* label = window->findChildren<QLabel*>().at(0);
        layout = {window->size(),
                  label->geometry(),
                  d.Control(d.m_editText)->geometry(),
                  d.Control(d.m_btnReceive)->geometry(),
                  d.Control(d.m_btnSave)->geometry(),
                  label->sizeHint().width()};
        // No control reaches into the next one on its row.
        EXPECT_LE(label->geometry().right(), d.Control(d.m_cmbPort)->x());
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

TEST(Dialog, OpensCentredFixedCaptionedFocusedAndTabsInTemplateOrder) {
    TestDialog d;
    RunModal(d, [&](QDialog* window) {
        EXPECT_EQ(window->windowTitle(), "KAVOSEN_WIN");
        EXPECT_EQ(window->minimumSize(), window->maximumSize());
        EXPECT_FALSE(window->windowFlags() &
                     (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
        // Centred with its frame (none offscreen), to the pixel.
        const QRect area = window->screen()->availableGeometry();
        const QRect frame = window->frameGeometry();
        EXPECT_LE(std::abs(frame.left() - area.left() - (area.right() - frame.right())), 1);
        EXPECT_LE(std::abs(frame.top() - area.top() - (area.bottom() - frame.bottom())), 1);
        for (QLabel* label : window->findChildren<QLabel*>()) {
            EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
        }

        QWidget* const port = d.Control(d.m_cmbPort);
        ASSERT_TRUE(WaitUntil([&] { return port->hasFocus(); }));
        d.m_btnSave.EnableWindow(FALSE);
        for (QWidget* next : {d.Control(d.m_cmbBaudrate), d.Control(d.m_btnReceive),
                              d.Control(d.m_editText), port}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            EXPECT_EQ(QApplication::focusWidget(), next);
        }
        d.m_btnSave.EnableWindow(TRUE);
        QTest::keyClick(port, Qt::Key_Backtab);
        EXPECT_EQ(QApplication::focusWidget(), d.Control(d.m_btnSave));
    });
}

TEST(Dialog, MnemonicsFocusTheListsAndClickTheButtons) {
    TestDialog d;
    RunModal(d, [&](QDialog* window) {
        // Shortcuts go to the active window only, as a user's keys do.
        ASSERT_TRUE(QTest::qWaitForWindowActive(window));
        d.calls.clear();
        QTest::keyClick(window, Qt::Key_B, Qt::AltModifier);
        EXPECT_TRUE(d.Control(d.m_cmbBaudrate)->hasFocus());
        QTest::keyClick(window, Qt::Key_P, Qt::AltModifier);
        EXPECT_TRUE(d.Control(d.m_cmbPort)->hasFocus());
        QTest::keyClick(window, Qt::Key_R, Qt::AltModifier);
        QTest::keyClick(window, Qt::Key_S, Qt::AltModifier);
        EXPECT_EQ(d.calls, (Calls{"receive", "base save"}));
    });
}

TEST(Dialog, EscCloseBoxAndEnterOnAClosedListEndIt) {
    const std::vector<std::pair<std::function<void(TestDialog&)>, INT_PTR>> cases = {
        {[](TestDialog& d) { QTest::keyClick(d.Control(d.m_cmbPort), Qt::Key_Escape); }, IDCANCEL},
        {[](TestDialog& d) { d.Window()->close(); }, IDCANCEL},
        {[](TestDialog& d) { QTest::keyClick(d.Control(d.m_cmbPort), Qt::Key_Return); }, IDOK},
        {[](TestDialog& d) {
             QTest::keyClick(d.Control(d.m_cmbBaudrate), Qt::Key_Enter, Qt::KeypadModifier);
         },
         IDOK},
    };
    for (const auto& [press, expected] : cases) {
        TestDialog d;
        EXPECT_EQ(RunModal(d, [&](QDialog*) { press(d); }), expected);
        EXPECT_FALSE(d.Window()->isVisible());
    }
}

TEST(Dialog, EnterClicksAButtonAndEndsNothingInTheTextAreaOrAnOpenDropDown) {
    ScopedConfigHome config;
    TestDialog d;
    const INT_PTR result = RunModal(d, [&](QDialog* window) {
        d.calls.clear();
        d.Control(d.m_btnReceive)->setFocus();
        QTest::keyClick(d.Control(d.m_btnReceive), Qt::Key_Return);
        EXPECT_EQ(d.calls, (Calls{"receive"}));
        QTest::keyClick(d.Control(d.m_editText), Qt::Key_Return);

        // The port list is 135 units high with its drop-down open, the text area 145.
        auto* port = d.Control<QComboBox>(d.m_cmbPort);
        // Each opening tells anew which device a port is: here COM2, whose device comes while the
        // window is open. A list of other names has no tooltips.
        ASSERT_TRUE(config.Link(2, "/dev/kavosen-unplugged"));
        port->showPopup();
        EXPECT_TRUE(port->itemData(1, Qt::ToolTipRole).toString().contains("Not present"));
        port->hidePopup();
        Pty pty;
        ASSERT_TRUE(config.Link(2, pty.Slave()));
        auto* baud = d.Control<QComboBox>(d.m_cmbBaudrate);
        baud->showPopup();
        baud->hidePopup();
        EXPECT_FALSE(baud->itemData(0, Qt::ToolTipRole).isValid());
        port->showPopup();
        EXPECT_TRUE(port->itemData(1, Qt::ToolTipRole)
                        .toString()
                        .startsWith(QString::fromStdString(pty.Slave() + "\n")));
        ASSERT_TRUE(WaitUntil([&] { return port->view()->isVisible(); }));
        const int expected = d.Control(d.m_editText)->height() * 135 / 145;
        const int row = port->view()->sizeHintForRow(0);
        const int open = port->height() + port->view()->window()->height();
        EXPECT_LE(open, expected + 2);
        EXPECT_GE(open, expected - row - 4);
        EXPECT_LT(port->view()->window()->height(), port->count() * row);
        EXPECT_GE(port->width(), port->sizeHint().width());  // no entry cut off

        QTest::keyClick(port->view(), Qt::Key_Down);
        QTest::keyClick(port->view(), Qt::Key_Return);
        EXPECT_TRUE(WaitUntil([&] { return !port->view()->isVisible(); }));
        EXPECT_EQ(port->currentIndex(), 1);
        EXPECT_TRUE(window->isVisible());
    });
    EXPECT_EQ(result, kScriptLeftOpen);
}

}  // namespace
