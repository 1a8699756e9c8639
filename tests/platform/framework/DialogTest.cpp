// The dialog made from the main window's template: its geometry in two fonts, the window it
// makes, the focus and tab order, mnemonics, and the keys that end it or do not.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include "platform/framework/TextArea.h"
#include "tests/platform/framework/TestDialog.h"

namespace {

using Calls = std::vector<std::string>;

struct Layout {
    QSize window;
    QRect port, text, receive, save, portLabel;
};

// The application's font stands in for the template's missing face, so it sets the units.
Layout LayoutInFont(const QFont& font) {
    const QFont saved = QApplication::font();
    QApplication::setFont(font);
    TestDialog dialog;
    Layout layout;
    RunModal(dialog, [&](QDialog* window) {
        layout = {window->size(),
                  dialog.Control<QWidget>(dialog.m_cmbPort)->geometry(),
                  dialog.Control<QWidget>(dialog.m_editText)->geometry(),
                  dialog.Control<QWidget>(dialog.m_btnReceive)->geometry(),
                  dialog.Control<QWidget>(dialog.m_btnSave)->geometry(),
                  window->findChildren<QLabel*>().at(0)->geometry()};
    });
    QApplication::setFont(saved);
    return layout;
}

double AlphabetWidth(const QFont& font) {
    return QFontMetrics(font).horizontalAdvance(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
}

TEST(Dialog, TemplateUnitsFollowTheFont) {
    const QFont narrow("DejaVu Sans", 9);
    QFont wide("URW Bookman", 9);
    wide.setStretch(150);
    const Layout a = LayoutInFont(narrow);
    const Layout b = LayoutInFont(wide);
    for (const Layout& l : {a, b}) {
        // The text area (5..345 x 25..170) lines up with the buttons (295..345) and the label.
        EXPECT_NEAR(l.text.right(), l.receive.right(), 1);
        EXPECT_NEAR(l.text.right(), l.save.right(), 1);
        EXPECT_EQ(l.text.left(), l.portLabel.left());
        EXPECT_NEAR(l.text.width() / double(l.window.width()), 340.0 / 349, 0.01);
        EXPECT_NEAR(l.text.height() / double(l.window.height()), 145.0 / 196, 0.01);
        EXPECT_NEAR(l.save.top() / double(l.window.height()), 175.0 / 196, 0.01);
    }
    // Horizontal units follow the average character width, vertical ones the line height
    // (rounding to whole pixels per unit allows a few percent).
    EXPECT_NEAR(b.window.width() / double(a.window.width()),
                AlphabetWidth(wide) / AlphabetWidth(narrow), 0.08);
    EXPECT_NEAR(b.window.height() / double(a.window.height()),
                QFontMetrics(wide).height() / double(QFontMetrics(narrow).height()), 0.02);
}

TEST(Dialog, OpensCentredFixedAndCaptionedWithoutMinimizeOrMaximize) {
    TestDialog dialog;
    RunModal(dialog, [&](QDialog* window) {
        EXPECT_EQ(window->windowTitle(), "KAVOSEN_WIN");
        EXPECT_EQ(window->minimumSize(), window->maximumSize());
        const Qt::WindowFlags flags = window->windowFlags();
        EXPECT_FALSE(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
        EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
        // Centred with its frame, whose size Qt guesses before the window has one.
        const QPoint offset =
            window->geometry().center() - window->screen()->availableGeometry().center();
        EXPECT_LE(std::abs(offset.x()), 10);
        EXPECT_LE(std::abs(offset.y()), 40);
        // Labels of the template show their whole text.
        for (QLabel* label : window->findChildren<QLabel*>()) {
            EXPECT_GE(label->width(), label->sizeHint().width()) << label->text().toStdString();
        }
    });
}

TEST(Dialog, FocusStartsOnTheFirstListAndTabsInTemplateOrder) {
    TestDialog dialog;
    RunModal(dialog, [&](QDialog*) {
        QWidget* const port = dialog.Control<QWidget>(dialog.m_cmbPort);
        ASSERT_TRUE(WaitUntil([&] { return port->hasFocus(); }));
        dialog.m_btnSave.EnableWindow(FALSE);
        const std::vector<QWidget*> order = {dialog.Control<QWidget>(dialog.m_cmbBaudrate),
                                             dialog.Control<QWidget>(dialog.m_btnReceive),
                                             dialog.Control<QWidget>(dialog.m_editText), port};
        for (QWidget* next : order) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            EXPECT_EQ(QApplication::focusWidget(), next);
        }
        dialog.m_btnSave.EnableWindow(TRUE);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
        EXPECT_EQ(QApplication::focusWidget(), dialog.Control<QWidget>(dialog.m_btnSave));
    });
}

TEST(Dialog, MnemonicsFocusTheListsAndClickTheButtons) {
    TestDialog dialog;
    RunModal(dialog, [&](QDialog* window) {
        dialog.calls.clear();
        QTest::keyClick(window, Qt::Key_B, Qt::AltModifier);
        EXPECT_TRUE(dialog.Control<QWidget>(dialog.m_cmbBaudrate)->hasFocus());
        QTest::keyClick(window, Qt::Key_P, Qt::AltModifier);
        EXPECT_TRUE(dialog.Control<QWidget>(dialog.m_cmbPort)->hasFocus());
        QTest::keyClick(window, Qt::Key_R, Qt::AltModifier);
        QTest::keyClick(window, Qt::Key_S, Qt::AltModifier);
        // A mnemonic clicks after the button has shown itself pressed for a moment.
        EXPECT_TRUE(WaitUntil([&] { return dialog.calls.size() >= 2; }));
        EXPECT_EQ(dialog.calls, (Calls{"receive", "base save"}));
    });
}

TEST(Dialog, EscCloseBoxAndEnterOnAClosedListEndIt) {
    const std::vector<std::pair<std::function<void(TestDialog&)>, INT_PTR>> cases = {
        {[](TestDialog& d) { QTest::keyClick(d.Control<QWidget>(d.m_cmbPort), Qt::Key_Escape); },
         IDCANCEL},
        {[](TestDialog& d) { d.Window()->close(); }, IDCANCEL},
        {[](TestDialog& d) { QTest::keyClick(d.Control<QWidget>(d.m_cmbPort), Qt::Key_Return); },
         IDOK},
        {[](TestDialog& d) {
             QTest::keyClick(d.Control<QWidget>(d.m_cmbBaudrate), Qt::Key_Enter,
                             Qt::KeypadModifier);
         },
         IDOK},
    };
    for (const auto& [press, expected] : cases) {
        TestDialog dialog;
        EXPECT_EQ(RunModal(dialog, [&](QDialog*) { press(dialog); }), expected);
        EXPECT_FALSE(dialog.Window()->isVisible());
    }
}

TEST(Dialog, EnterOnAButtonClicksItAndInTheTextAreaOrAnOpenDropDownEndsNothing) {
    TestDialog dialog;
    const INT_PTR result = RunModal(dialog, [&](QDialog* window) {
        dialog.calls.clear();
        auto* receive = dialog.Control<QPushButton>(dialog.m_btnReceive);
        receive->setFocus();
        QTest::keyClick(receive, Qt::Key_Return);
        EXPECT_EQ(dialog.calls, (Calls{"receive"}));

        QTest::keyClick(dialog.Control<QWidget>(dialog.m_editText), Qt::Key_Return);

        auto* port = dialog.Control<QComboBox>(dialog.m_cmbPort);
        port->showPopup();
        ASSERT_TRUE(WaitUntil([&] { return port->view()->isVisible(); }));
        QTest::keyClick(port->view(), Qt::Key_Down);
        QTest::keyClick(port->view(), Qt::Key_Return);
        EXPECT_TRUE(WaitUntil([&] { return !port->view()->isVisible(); }));
        EXPECT_EQ(dialog.m_cmbPort.GetCurSel(), 1);
        EXPECT_TRUE(window->isVisible());
    });
    EXPECT_EQ(result, kScriptLeftOpen);
}

TEST(Dialog, ListDropDownTakesTheTemplateHeight) {
    TestDialog dialog;
    RunModal(dialog, [&](QDialog*) {
        auto* port = dialog.Control<QComboBox>(dialog.m_cmbPort);
        port->showPopup();
        ASSERT_TRUE(WaitUntil([&] { return port->view()->isVisible(); }));
        // The port list is 135 units high with its drop-down open, the text area 145.
        const int expected = dialog.Control<QWidget>(dialog.m_editText)->height() * 135 / 145;
        const int open = port->height() + port->view()->window()->height();
        EXPECT_LE(open, expected + 2);
        EXPECT_GE(open, expected - port->view()->sizeHintForRow(0) - 4);
        EXPECT_LT(port->view()->window()->height(),
                  port->count() * port->view()->sizeHintForRow(0));
        // Wider than the template where the entries need it, so none is cut off.
        EXPECT_GE(port->width(), port->sizeHint().width());
        port->hidePopup();
    });
}

}  // namespace
