#include "platform/framework/TextArea.h"

#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QImage>
#include <QKeyEvent>
#include <QMenu>
#include <QPaintEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <functional>
#include <utility>
#include <vector>

#include "tests/support/Wait.h"

namespace {

// Calls fn with the popup menu once it is open (from a timer, while QMenu::exec runs).
void WhenMenuOpens(const std::function<void(QMenu*)>& fn) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, fn] {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            poll->stop();
            poll->deleteLater();
            fn(menu);
        }
    });
    poll->start(10);
}

QAction* ActionNamed(QMenu* menu, const QString& text) {
    for (QAction* action : menu->actions()) {
        if (action->text() == text) {
            return action;
        }
    }
    return nullptr;
}

// The regions of the paint events a widget gets.
class PaintSpy : public QObject {
public:
    explicit PaintSpy(QWidget* widget) { widget->installEventFilter(this); }
    std::vector<QRegion> m_regions;

    QRegion All() const {
        QRegion all;
        for (const QRegion& region : m_regions) {
            all += region;
        }
        return all;
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            m_regions.push_back(static_cast<QPaintEvent*>(event)->region());
        }
        return false;
    }
};

// A text area and a button after it in the tab order, in a shown, active window.
class TextAreaTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto* layout = new QVBoxLayout(&m_window);
        m_area = new TextArea;
        QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPixelSize(12);
        m_area->setFont(font);
        m_next = new QPushButton("Next");
        layout->addWidget(m_area);
        layout->addWidget(m_next);
        m_window.resize(400, 300);
        m_window.show();
        m_window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&m_window));
        m_area->setFocus();
        ASSERT_TRUE(WaitUntil([this] { return m_area->hasFocus(); }));
    }

    void ExpectSelection(int start, int end) {
        EXPECT_EQ(m_area->selectionStart(), start);
        EXPECT_EQ(m_area->selectionEnd(), end);
    }

    QAccessibleTextInterface* Text() const {
        return QAccessible::queryAccessibleInterface(m_area)->textInterface();
    }
    qreal Advance() const {
        return QFontMetricsF(m_area->font()).horizontalAdvance(QLatin1Char('0'));
    }
    int LineHeight() const {
        return static_cast<int>(std::ceil(QFontMetricsF(m_area->font()).lineSpacing()));
    }
    int Columns() const { return static_cast<int>((m_area->viewport()->width() - 4) / Advance()); }
    // The rectangle, in the viewport, of the character at an offset of the shown text.
    QRect CellRect(int offset) const {
        const QRect global = Text()->characterRect(offset);
        return QRect(m_area->viewport()->mapFromGlobal(global.topLeft()), global.size());
    }
    // Its first cell, as (column, row) from the top of the text, and the cells it takes.
    QPoint Cell(int offset) const {
        const QRect rect = CellRect(offset);
        return QPoint(static_cast<int>(std::lround((rect.x() - CellRect(0).x()) / Advance())),
                      (rect.y() - CellRect(0).y()) / LineHeight());
    }
    // The lines as wrapped at the present width: the row of the end of the text, and one.
    int Lines() const { return Cell(Text()->characterCount()).y() + 1; }
    int Width(int offset) const {
        return static_cast<int>(std::lround(CellRect(offset).width() / Advance()));
    }

    QWidget m_window;
    TextArea* m_area = nullptr;
    QPushButton* m_next = nullptr;
};

}  // namespace

TEST_F(TextAreaTest, KeepsEveryByteAsGivenWhetherSetOrInsertedByteByByte) {
    QByteArray all;
    for (int b = 1; b < 256; ++b) {
        all.append(static_cast<char>(b));
    }
    all += "\r\n\n\r\r\n\r";
    m_area->setText(all);
    EXPECT_EQ(m_area->text(), all);
    m_area->viewport()->repaint();

    m_area->setText("");
    for (const char c : all) {
        m_area->replaceSelection(QByteArray(1, c));
    }
    EXPECT_EQ(m_area->text(), all);
    ExpectSelection(static_cast<int>(all.size()), static_cast<int>(all.size()));
    m_area->viewport()->repaint();
}

TEST_F(TextAreaTest, InsertsAtTheCaretReplacesTheSelectionAndClamps) {
    m_area->setText("hello");
    ExpectSelection(0, 0);
    m_area->replaceSelection("A");
    EXPECT_EQ(m_area->text(), "Ahello");
    ExpectSelection(1, 1);

    m_area->setSelection(3, 1);
    ExpectSelection(1, 3);
    m_area->replaceSelection("xy");
    EXPECT_EQ(m_area->text(), "Axyllo");
    ExpectSelection(3, 3);

    m_area->setSelection(2, -1);
    ExpectSelection(2, 6);
    m_area->replaceSelection("");
    EXPECT_EQ(m_area->text(), "Ax");

    m_area->setSelection(-5, 1000);
    ExpectSelection(0, 2);
    m_area->setText("new");
    ExpectSelection(0, 0);
}

TEST_F(TextAreaTest, PositionsInsideCharactersMoveToTheirStartButInsertionsStayWhole) {
    m_area->setText(
        "a\xe3\x81\x82"
        "b\r\nc");
    m_area->setSelection(2, 3);
    ExpectSelection(1, 1);
    m_area->setSelection(6, 6);  // between CR and LF
    ExpectSelection(5, 5);

    // A character that arrives in pieces lands whole where the caret was.
    m_area->setText("ab");
    m_area->setSelection(1, 1);
    m_area->replaceSelection("\xe3");
    m_area->replaceSelection("\x81\x82");
    EXPECT_EQ(m_area->text(),
              "a\xe3\x81\x82"
              "b");
    ExpectSelection(4, 4);
}

TEST_F(TextAreaTest, InsertsWhereTheUserPutTheCaret) {
    m_area->setText("abcdef");
    QTest::keyClick(m_area, Qt::Key_End, Qt::ControlModifier);
    QTest::keyClick(m_area, Qt::Key_Left);
    QTest::keyClick(m_area, Qt::Key_Left);
    m_area->replaceSelection("X");
    EXPECT_EQ(m_area->text(), "abcdXef");

    QTest::keyClick(m_area, Qt::Key_Home);
    QTest::keyClick(m_area, Qt::Key_Right, Qt::ShiftModifier);
    QTest::keyClick(m_area, Qt::Key_Right, Qt::ShiftModifier);
    ExpectSelection(0, 2);
    m_area->replaceSelection("");
    EXPECT_EQ(m_area->text(), "cdXef");

    // Clicks left of and past the end of the first line.
    QWidget* view = m_area->viewport();
    m_area->setSelection(3, 3);
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(1, 5));
    ExpectSelection(0, 0);
    QTest::mouseClick(view, Qt::LeftButton, {}, QPoint(view->width() - 2, 5));
    ExpectSelection(5, 5);
    m_area->replaceSelection("!");
    EXPECT_EQ(m_area->text(), "cdXef!");
    QTest::mouseClick(view, Qt::LeftButton, Qt::ShiftModifier, QPoint(1, 5));
    ExpectSelection(0, 6);
}

TEST_F(TextAreaTest, AppendingKeepsTheCaretInView) {
    for (int i = 0; i < 200; ++i) {
        m_area->replaceSelection("line\r\n");
    }
    EXPECT_EQ(Lines(), 201);
    // The scroll bar follows at the next repaint.
    QScrollBar* bar = m_area->verticalScrollBar();
    EXPECT_TRUE(WaitUntil([bar] { return bar->maximum() > 0 && bar->value() == bar->maximum(); }));
    m_area->setText("x");
    EXPECT_TRUE(WaitUntil([bar] { return bar->value() == 0; }));
}

TEST_F(TextAreaTest, ANarrowerWidgetWrapsIntoMoreLines) {
    const QByteArray dots(1000, '.');
    m_area->setText(dots);
    const int wide = Lines();
    EXPECT_GT(wide, 1);
    m_window.resize(200, 300);
    EXPECT_TRUE(WaitUntil([&] { return Lines() > wide; }));
    EXPECT_EQ(m_area->text(), dots);
}

// Each character on a grid of cells of the fixed-pitch font: its x is its column times the
// font's advance.
TEST_F(TextAreaTest, LaysEachCharacterInCellsOfTheFixedPitchFont) {
    // A tab to column 8, a wide character, a control byte in caret notation, a bad byte.
    m_area->setText(
        "a\tb\xe4\xb8\x96\x01\xff"
        "c");
    const std::vector<QPoint> cells{{0, 0}, {1, 0}, {8, 0}, {9, 0}, {11, 0}, {13, 0}, {14, 0}};
    const std::vector<int> widths{1, 7, 1, 2, 2, 1, 1};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(Cell(i), cells[i]) << i;
        EXPECT_EQ(Width(i), widths[i]) << i;
    }
}

TEST_F(TextAreaTest, ShowsEachByteThatStartsNoUtf8CharacterAsOneReplacement) {
    // A lone continuation byte, an overlong form, an encoded surrogate, a code point past
    // U+10FFFF and a lead byte with no continuation; then a whole character.
    m_area->setText(
        "\x80\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80\xe3"
        "A\xe3\x81\x82");
    EXPECT_EQ(Text()->text(0, 100),
              QString(11, QChar(0xFFFD)) + QString::fromUtf8("A\xe3\x81\x82"));
}

TEST_F(TextAreaTest, WrapsAfterTheLastBlankElseAtTheCellThatDoesNotFit) {
    const int n = Columns();
    ASSERT_GT(n, 10);
    const QByteArray full(n, 'x');
    m_area->setText(full.left(n - 3) + " yyyy");
    EXPECT_EQ(Cell(n - 3), QPoint(n - 3, 0));
    EXPECT_EQ(Cell(n - 2), QPoint(0, 1));
    m_area->setText(full + "yyyy");
    EXPECT_EQ(Cell(n), QPoint(0, 1));
    // A blank that does not fit stays at the end of its line; a wide character needs both cells.
    m_area->setText(full + " y");
    EXPECT_EQ(Cell(n), QPoint(n, 0));
    EXPECT_EQ(Cell(n + 1), QPoint(0, 1));
    m_area->setText(full.left(n - 1) + "\xe4\xb8\x96");
    EXPECT_EQ(Cell(n - 1), QPoint(0, 1));

    // Each kind of line end ends one line, and an LF that follows a CR joins it.
    m_area->setText("a\r\nb\nc\rd");
    EXPECT_EQ(Lines(), 4);
    m_area->setText("a\r");
    m_area->setSelection(2, 2);
    m_area->replaceSelection("\n");
    EXPECT_EQ(Text()->text(0, 10), "a\n");
    EXPECT_EQ(Lines(), 2);
}

// An append repaints just the cells it adds, however long the line it extends (here wrapped
// twice); the caret blinks in its own cell.
TEST_F(TextAreaTest, RepaintsOnlyTheCellsThatChange) {
    m_next->setFocus();
    m_area->setText("");
    m_area->replaceSelection("Getting data...\r\n" + QByteArray(2 * Columns() + 5, '.'));
    PaintSpy spy(m_area->viewport());
    RunEventsFor(300);
    spy.m_regions.clear();
    m_area->replaceSelection(".");
    ASSERT_TRUE(WaitUntil([&] { return !spy.m_regions.empty(); }));
    const QRect painted = spy.All().boundingRect();
    const QRect dot = CellRect(16 + 2 * Columns() + 5);
    EXPECT_EQ(Cell(16 + 2 * Columns() + 5), QPoint(5, 3));
    EXPECT_TRUE(painted.contains(dot.center()));
    EXPECT_LE(painted.width(), dot.width() + 2);
    EXPECT_LE(painted.height(), dot.height() + 1);

    m_area->setFocus();
    RunEventsFor(200);
    spy.m_regions.clear();
    ASSERT_TRUE(WaitUntil([&] { return spy.m_regions.size() >= 2; }));  // off, then on
    for (const QRegion& region : spy.m_regions) {
        EXPECT_LE(region.boundingRect().width(), 3);
    }
}

// An edit that moves the cells after it, or bytes that complete a character, repaint every cell
// they change, not only those past the line's former end.
TEST_F(TextAreaTest, RepaintsTheCellsAnInsertionMovesOrACompletedCharacterTakes) {
    m_next->setFocus();
    PaintSpy spy(m_area->viewport());
    const auto paints = [&](int caret, const QByteArray& bytes, int offset) {
        m_area->setSelection(caret, caret);
        RunEventsFor(300);
        spy.m_regions.clear();
        m_area->replaceSelection(bytes);
        ASSERT_TRUE(WaitUntil([&] { return !spy.m_regions.empty(); }));
        const QRect cell = CellRect(offset);
        EXPECT_TRUE(spy.All().contains(QPoint(cell.left() + 1, cell.center().y()))) << offset;
    };
    m_area->setText("abcdef");
    paints(1, "X", 2);  // "b", moved a cell right
    m_area->setText("ab\xe3");
    paints(3, "\x81\x82", 2);  // the wide character, where U+FFFD was
}

// While appends stream in, their repaints are gathered; a key, and a new text with what is
// appended right after it, are painted at once with whatever was held back.
TEST_F(TextAreaTest, GathersTheRepaintsOfStreamingAppendsButNotOfKeysOrANewText) {
    m_next->setFocus();
    m_area->setText("");
    m_area->replaceSelection("Getting data...\r\n");
    RunEventsFor(150);  // past the moment after a new text
    PaintSpy spy(m_area->viewport());
    const auto runPostedEvents = [] {
        for (int i = 0; i < 5; ++i) {
            QCoreApplication::processEvents();
        }
    };
    for (int i = 0; i < 40; ++i) {
        m_area->replaceSelection(".");
        runPostedEvents();
    }
    EXPECT_LE(spy.m_regions.size(), 3u);
    ASSERT_TRUE(WaitUntil([&] { return spy.All().contains(CellRect(55).center()); }));

    spy.m_regions.clear();
    m_area->replaceSelection(".");
    m_area->replaceSelection(".");
    QTest::keyClick(m_area, Qt::Key_Home);
    runPostedEvents();
    EXPECT_TRUE(spy.All().contains(CellRect(57).center()));

    m_area->setSelection(58, 58);
    m_area->replaceSelection(".");
    // As a worker writes a result: each call in a pass of the event loop of its own.
    m_area->setText("");
    runPostedEvents();
    spy.m_regions.clear();
    for (const char* text : {"preview", "\r\n\r\n...end of data.\r\n", "7 bytes."}) {
        m_area->replaceSelection(text);
        runPostedEvents();
    }
    EXPECT_EQ(Text()->characterCount(), 33);
    EXPECT_TRUE(spy.All().contains(CellRect(32).center()));
}

TEST_F(TextAreaTest, SelectAllAndCopyPutTheShownTextOnTheClipboard) {
    const QByteArray bytes("ab\r\nc\x01\td\ne\xff");
    m_area->setText(bytes);
    QTest::keyClick(m_area, Qt::Key_A, Qt::ControlModifier);
    ExpectSelection(0, static_cast<int>(bytes.size()));
    QApplication::clipboard()->clear();
    QTest::keyClick(m_area, Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QApplication::clipboard()->text(),
              QString::fromUtf8("ab\nc\xe2\x90\x81\td\ne\xef\xbf\xbd"));
}

// The area draws control bytes itself: each paints ink of its own in its cell, where the font's
// missing control pictures would all paint the same empty box.
TEST_F(TextAreaTest, DrawsEachControlByteLegiblyInAFontWithoutControlPictures) {
    ASSERT_FALSE(QFontMetrics(m_area->font()).inFontUcs4(0x2401));
    const int width = QFontMetrics(m_area->font()).horizontalAdvance("^A");
    std::vector<QImage> cells;
    for (const char* bytes : {"\x01", "\x02", "\x1b", "\x7f", "^A"}) {
        m_area->setText(bytes);
        m_area->setSelection(0, 0);
        m_area->clearFocus();  // no caret in the picture
        const QImage shot = m_area->viewport()->grab().toImage();
        const QImage cell = shot.copy(0, 0, width + 4, QFontMetrics(m_area->font()).height() + 4);
        const QRgb ground = shot.pixel(shot.width() - 1, shot.height() - 1);
        int ink = 0;
        for (int y = 0; y < cell.height(); ++y) {
            for (int x = 0; x < cell.width(); ++x) {
                ink += cell.pixel(x, y) != ground;
            }
        }
        EXPECT_GT(ink, 10) << bytes;
        for (const QImage& other : cells) {
            EXPECT_TRUE(cell != other) << bytes;
        }
        cells.push_back(cell);
    }
    EXPECT_EQ(m_area->text(), "^A");
}

// A screen reader reads the shown text, the caret and the selection, also after appends that
// bring a character in pieces. (Qt hands the change events on only while an assistive
// technology is active, which it cannot be offscreen.)
TEST_F(TextAreaTest, AssistiveTechnologyReadsTheTextCaretAndSelectionAndHearsOfAppends) {
    m_area->setText("ab\x01\r\nc");
    QAccessibleInterface* area = QAccessible::queryAccessibleInterface(m_area);
    ASSERT_NE(area, nullptr);
    QAccessibleTextInterface* text = area->textInterface();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(area->role(), QAccessible::EditableText);
    EXPECT_TRUE(area->state().readOnly);
    const QString shown = QString::fromUtf8("ab\xe2\x90\x81\nc");
    EXPECT_EQ(text->characterCount(), 5);
    EXPECT_EQ(text->text(0, 5), shown);
    EXPECT_EQ(area->text(QAccessible::Value), shown);

    m_area->setSelection(5, 1);  // the CR LF is one character
    EXPECT_EQ(text->cursorPosition(), 1);
    int start = -1, end = -1;
    ASSERT_EQ(text->selectionCount(), 1);
    text->selection(0, &start, &end);
    EXPECT_EQ(std::make_pair(start, end), std::make_pair(1, 4));
    text->setCursorPosition(4);
    ExpectSelection(5, 5);
    const QRect first = text->characterRect(0);
    EXPECT_FALSE(first.isEmpty());
    EXPECT_EQ(text->offsetAtPoint(first.center()), 0);

    // Appends at the end, a character arriving in two pieces among them.
    m_area->setSelection(6, 6);
    m_area->replaceSelection("\xe3\x81\x82");
    m_area->replaceSelection("\xe3");
    EXPECT_EQ(text->cursorPosition(), 7);
    m_area->replaceSelection("\x81\x82");
    const QString hiragana = QString::fromUtf8("\xe3\x81\x82");
    EXPECT_EQ(text->characterCount(), 7);
    EXPECT_EQ(text->cursorPosition(), 7);
    EXPECT_EQ(text->text(0, text->characterCount()), shown + hiragana + hiragana);
}

TEST_F(TextAreaTest, TakesEnterButNotTypingEscOrTab) {
    m_area->setText("abc");
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(m_area, &enter);
    EXPECT_TRUE(enter.isAccepted());
    QKeyEvent letter(QEvent::KeyPress, Qt::Key_X, Qt::NoModifier, "x");
    QApplication::sendEvent(m_area, &letter);
    EXPECT_FALSE(letter.isAccepted());
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(m_area, &escape);
    EXPECT_FALSE(escape.isAccepted());
    EXPECT_EQ(m_area->text(), "abc");

    QTest::keyClick(m_area, Qt::Key_Tab);
    EXPECT_TRUE(m_next->hasFocus());
    QTest::keyClick(m_next, Qt::Key_Backtab);
    EXPECT_TRUE(m_area->hasFocus());
}

TEST_F(TextAreaTest, DragSelectsAndDoubleClickSelectsAWord) {
    m_area->setText("hello world\r\nsecond");
    QWidget* view = m_area->viewport();
    QTest::mousePress(view, Qt::LeftButton, {}, QPoint(1, 5));
    QTest::mouseMove(view, QPoint(view->width() - 2, 5));
    QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(view->width() - 2, 5));
    ExpectSelection(0, 11);

    QTest::mouseDClick(view, Qt::LeftButton, {}, QPoint(4, 5));
    ExpectSelection(0, 5);
}

TEST_F(TextAreaTest, ContextMenuSelectsAllAndCopies) {
    m_area->setText("one\r\ntwo");
    const QPoint at(5, 5);
    const auto openMenu = [&] {
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, m_area->viewport()->mapToGlobal(at));
        QApplication::sendEvent(m_area->viewport(), &event);
    };

    bool copyEnabled = true;
    WhenMenuOpens([&copyEnabled](QMenu* menu) {
        copyEnabled = ActionNamed(menu, "&Copy")->isEnabled();
        ActionNamed(menu, "Select &All")->trigger();
        menu->close();
    });
    openMenu();
    EXPECT_FALSE(copyEnabled);
    ExpectSelection(0, 8);

    QApplication::clipboard()->clear();
    WhenMenuOpens([](QMenu* menu) {
        ActionNamed(menu, "&Copy")->trigger();
        menu->close();
    });
    openMenu();
    EXPECT_EQ(QApplication::clipboard()->text(), "one\ntwo");
}
