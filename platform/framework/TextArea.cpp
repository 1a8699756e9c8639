// The widget side of the text area: geometry, painting and input over a TextLayout.
//
// The scroll bar counts lines, and a cell's x is its column times the font's advance: nothing is
// measured. A change repaints only the cells it touched, and a paint draws only the lines that
// cross the exposed rectangle, each from its shaped text, kept until the line or the font changes.
//
// Repaints of appends are gathered: a worker's appends each come in a pass of the event loop of
// their own, and a paint costs the window's thread and the window system several times what the
// append does. Everything else repaints at once: a new text and the appends of the moment after
// it (the end of a capture writes its result so), keys, clicks and scrolling.
#include "platform/framework/TextArea.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QBasicTimer>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMenu>
#include <QPainter>
#include <QScrollBar>
#include <QStaticText>
#include <algorithm>
#include <cmath>
#include <unordered_map>
#include <vector>

#include "platform/framework/TextLayout.h"

namespace {

constexpr int kMargin = 2;      // between the frame and the text, on every side
constexpr int kGatherMs = 250;  // how often appends that stream in are painted
constexpr int kPromptMs = 100;  // after a new text, appends are painted at once for this long
constexpr int kJoinBytes = 4;   // an edit can change the character up to 3 bytes before it, or a CR

// A piece of a line drawn as one: a run of ASCII in a fixed-pitch font, else one character.
struct Run {
    int column, end;
    bool ascii, control;
    QString chars;
    QStaticText text;
};

}  // namespace

struct TextArea::Impl {
    explicit Impl(TextArea* area) : q(area) {}
    TextArea* q;
    TextLayout layout;
    int columns = 0, anchor = 0, caret = 0;
    int goalColumn = -1;  // the column that Up and Down keep; -1 until a vertical move sets it
    qreal advance = 1;
    int lineHeight = 1;
    bool fixedPitch = true, caretOn = false;
    bool caretHeld = false;                            // the next blink keeps the caret shown
    std::unordered_map<int, std::vector<Run>> shapes;  // of the lines in view
    QRegion pending;                                   // changed, not yet asked to repaint
    QBasicTimer gatherTimer, blinkTimer;
    QElapsedTimer sinceRepaint, sinceNewText;

    QScrollBar* bar() const { return q->verticalScrollBar(); }
    int first() const { return bar()->value(); }
    int page() const { return std::max(1, (q->viewport()->height() - kMargin) / lineHeight); }
    int size() const { return layout.size(); }
    QRectF cells(int line, int column, int count) const {
        return QRectF(kMargin + column * advance, kMargin + (line - first()) * lineHeight,
                      count * advance, lineHeight);
    }
    QRect lines(int from, int to) const {
        return QRect(0, kMargin + (from - first()) * lineHeight, q->viewport()->width(),
                     (to - from + 1) * lineHeight);
    }
    QRect caretCell() const {
        const int line = layout.lineAt(caret);
        const QRectF cell = cells(line, layout.columnOf(line, caret), 0);
        return QRect(static_cast<int>(cell.x()) - 1, static_cast<int>(cell.y()), 3, lineHeight);
    }
    QRect shownCaret() const { return caretOn ? caretCell() : QRect(); }

    // nearestEdge: the character boundary nearest to the column (where a click puts the
    // caret); else the character under it.
    int hitInLine(int line, qreal column, bool nearestEdge) const {
        for (const TextCell& cell : layout.cells(line)) {
            if (column < cell.column + (nearestEdge ? cell.width / 2.0 : cell.width)) {
                return cell.pos;
            }
        }
        return layout.lineEnd(line);
    }
    int hitAt(QPointF point, bool nearestEdge) const {
        const int row = static_cast<int>(std::floor((point.y() - kMargin) / lineHeight));
        const int line = std::clamp(first() + row, 0, layout.lineCount() - 1);
        return hitInLine(line, (point.x() - kMargin) / advance, nearestEdge);
    }
    void reveal(int line) { bar()->setValue(std::clamp(first(), line - page() + 1, line)); }

    void applyFont() {
        const QFontMetricsF metrics(q->font());
        advance = std::max<qreal>(1, metrics.horizontalAdvance(QLatin1Char('0')));
        lineHeight = std::max(1, static_cast<int>(std::ceil(metrics.lineSpacing())));
        // Asked of the glyphs (QFontInfo::fixedPitch() is false for some monospaced faces): ASCII
        // is drawn in runs only where its advances are the cells'.
        fixedPitch = metrics.horizontalAdvance(QLatin1Char('i')) == advance &&
                     metrics.horizontalAdvance(QLatin1Char('W')) == advance;
        columns = 0;
        syncColumns();
    }
    // Lays out again when the width holds another number of columns, keeping the top line in view.
    void syncColumns() {
        const int now =
            std::max(1, static_cast<int>((q->viewport()->width() - 2 * kMargin) / advance));
        if (now != columns) {
            const int top = layout.lineStart(std::min(first(), layout.lineCount() - 1));
            layout.setColumns(columns = now);
            shapes.clear();
            updateScrollBar();
            bar()->setValue(layout.lineAt(top));
            repaint(q->viewport()->rect(), false);
        }
    }
    void updateScrollBar() {
        bar()->setPageStep(page());
        bar()->setRange(0, std::max(0, layout.lineCount() - page()));
    }
    // Asks for region to be repainted at once or, gathered, with the first later call that finds
    // the last repaint kGatherMs old. While appends stream in, that is an append, so the window
    // wakes for nothing else: the timer, set well past the moment the next append would come,
    // only paints what the last append of a stream left.
    void repaint(const QRegion& region, bool gather) {
        pending += region;
        if (gather && sinceRepaint.isValid() && sinceRepaint.elapsed() < kGatherMs) {
            if (!gatherTimer.isActive()) {
                gatherTimer.start(2 * kGatherMs, q);
            }
            return;
        }
        gatherTimer.stop();
        q->viewport()->update(pending);
        pending = QRegion();
        sinceRepaint.start();
    }
    // Shows the caret and holds it for the next blink, so that a moving caret stays visible. The
    // blink timer keeps running: restarting it on every move would cost an append more than the
    // append itself.
    void showCaret() {
        caretOn = q->hasFocus();
        caretHeld = true;
        if (!caretOn) {
            blinkTimer.stop();
        } else if (QApplication::cursorFlashTime() > 0 && !blinkTimer.isActive()) {
            blinkTimer.start(QApplication::cursorFlashTime() / 2, q);
        }
    }
    // Moves the caret and the selection, repainting at once the caret's cells and the lines whose
    // selection changed.
    void select(int newAnchor, int newCaret, bool keepGoal = false) {
        QRegion changed = shownCaret();
        const int oldFrom = std::min(anchor, caret);
        const int oldTo = std::max(anchor, caret);
        anchor = newAnchor;
        caret = newCaret;
        goalColumn = keepGoal ? goalColumn : -1;
        reveal(layout.lineAt(caret));
        const int from = std::min(anchor, caret);
        const int to = std::max(anchor, caret);
        if ((oldFrom != oldTo || from != to) && (from != oldFrom || to != oldTo)) {
            changed +=
                lines(layout.lineAt(std::min(from, oldFrom)), layout.lineAt(std::max(to, oldTo)));
        }
        showCaret();
        repaint(changed + shownCaret(), false);
        if (QAccessible::isActive()) {
            if (from != to) {
                QAccessibleTextSelectionEvent selection(q, layout.shownOffset(from),
                                                        layout.shownOffset(to));
                QAccessible::updateAccessibility(&selection);
            }
            QAccessibleTextCursorEvent cursor(q, layout.shownOffset(caret));
            QAccessible::updateAccessibility(&cursor);
        }
    }
    // Replaces [from, to) by bytes, with the caret after them (at the start for a new text), and
    // repaints what changed: a new text whole, an append that only adds cells to its line those
    // cells, anything else the lines from the first changed on. Assistive technology, while one is
    // active, is told what changed in the shown text.
    void edit(int from, int to, const QByteArray& bytes, bool newText) {
        const int last = layout.lineCount() - 1;
        const int lastColumns = layout.lineColumns(last);
        const bool append = from == size() && !newText;
        const bool extends = append && layout.extends(from);
        QRegion changed = shownCaret();
        const bool tell = QAccessible::isActive();  // else Qt would drop the news
        const int start = tell ? layout.charStart(from - kJoinBytes) : 0;
        const int offset = tell ? layout.shownOffset(start) : 0;
        const QString before = tell ? layout.shownText(start, size()) : QString();
        const int line = layout.replace(from, to, bytes);
        if (tell) {
            QAccessibleTextUpdateEvent event(q, offset, before, layout.shownText(start, size()));
            QAccessible::updateAccessibility(&event);
        }
        for (auto it = shapes.begin(); it != shapes.end();) {
            it = it->first >= line ? shapes.erase(it) : ++it;
        }
        const int grown = layout.lineColumns(last) - lastColumns;
        changed += newText ? QRegion(q->viewport()->rect())
                   : extends && layout.lineCount() - 1 == last
                       ? cells(last, lastColumns, grown).toAlignedRect()
                       : lines(line, std::max(line, first() + page()));
        anchor = caret = newText ? 0 : from + static_cast<int>(bytes.size());
        goalColumn = -1;
        updateScrollBar();
        reveal(layout.lineAt(caret));
        showCaret();
        if (newText) {
            sinceNewText.start();
        }
        repaint(changed + shownCaret(), append && sinceNewText.elapsed() >= kPromptMs);
    }
    void copy() const {
        if (anchor != caret) {
            QApplication::clipboard()->setText(
                layout.shownText(std::min(anchor, caret), std::max(anchor, caret)));
        }
    }
    const std::vector<Run>& shape(int line) {
        const auto [it, fresh] = shapes.try_emplace(line);
        std::vector<Run>& runs = it->second;
        if (!fresh) {
            return runs;
        }
        for (const TextCell& cell : layout.cells(line)) {
            const bool ascii = fixedPitch && cell.code >= 0x20 && cell.code < 0x7F;
            const bool control = IsControl(cell.code);
            if (cell.code == '\t' || cell.code == '\n') {  // blank, and a line end
                continue;
            }
            if (!ascii || runs.empty() || !runs.back().ascii || runs.back().end != cell.column) {
                runs.push_back(Run{cell.column, cell.column, ascii, control, QString(), {}});
            }
            runs.back().end += cell.width;
            runs.back().chars +=
                control ? CaretNotation(cell.code) : QString::fromUcs4(&cell.code, 1);
        }
        for (Run& run : runs) {
            run.text.setTextFormat(Qt::PlainText);
            run.text.setText(run.chars);
        }
        return runs;
    }
    void paintLine(QPainter& painter, int line, QPalette::ColorGroup group) {
        const QPalette& palette = q->palette();
        const auto draw = [&](const QColor& ink) {
            QColor ground = ink;
            ground.setAlphaF(0.2f);
            painter.setPen(ink);
            for (const Run& run : shape(line)) {
                const QRectF rect = cells(line, run.column, run.end - run.column);
                if (run.control) {
                    // A tinted ground tells caret notation apart from the same two characters as
                    // text.
                    painter.fillRect(rect.adjusted(0, 1, 0, -1), ground);
                }
                painter.drawStaticText(rect.topLeft(), run.text);
            }
        };
        draw(palette.color(group, QPalette::Text));
        // The selection is painted over; a selected line end shows as a selected blank after the
        // text.
        int begin = -1, end = 0;
        for (const TextCell& cell : layout.cells(line)) {
            if (cell.pos >= std::min(anchor, caret) && cell.pos < std::max(anchor, caret)) {
                begin = begin < 0 ? cell.column : begin;
                end = cell.column + std::max(1, cell.width);
            }
        }
        if (begin >= 0) {
            const QRectF selected = cells(line, begin, end - begin);
            painter.setClipRect(selected);
            painter.fillRect(selected, palette.brush(group, QPalette::Highlight));
            draw(palette.color(group, QPalette::HighlightedText));
            painter.setClipping(false);
        }
    }
};

// What assistive technology reads of a text area: its shown text, caret and selection, in
// offsets into the shown text.
class TextAreaAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit TextAreaAccessible(TextArea* area)
        : QAccessibleWidget(area, QAccessible::EditableText), d(area->d.get()) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        return type == QAccessible::TextInterface ? static_cast<QAccessibleTextInterface*>(this)
                                                  : QAccessibleWidget::interface_cast(type);
    }
    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.readOnly = state.multiLine = state.selectableText = true;
        return state;
    }
    QString text(QAccessible::Text type) const override {
        return type == QAccessible::Value ? text(0, characterCount())
                                          : QAccessibleWidget::text(type);
    }
    void selection(int index, int* start, int* end) const override {
        const bool one = index == 0 && selectionCount() == 1;
        *start = one ? offsetOf(std::min(d->anchor, d->caret)) : 0;
        *end = one ? offsetOf(std::max(d->anchor, d->caret)) : 0;
    }
    int selectionCount() const override { return d->anchor != d->caret ? 1 : 0; }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int) override { d->select(d->caret, d->caret); }
    void setSelection(int, int start, int end) override { d->select(posAt(start), posAt(end)); }
    int cursorPosition() const override { return offsetOf(d->caret); }
    void setCursorPosition(int offset) override { setSelection(0, offset, offset); }
    QString text(int start, int end) const override {
        return d->layout.shownText(posAt(start), posAt(end));
    }
    int characterCount() const override { return offsetOf(d->size()); }
    QRect characterRect(int offset) const override {
        const int pos = posAt(offset);
        const int line = d->layout.lineAt(pos);
        const TextCell cell = d->layout.cellAt(line, pos);
        return d->cells(line, cell.column, std::max(1, cell.width))
            .toRect()
            .translated(d->q->viewport()->mapToGlobal(QPoint()));
    }
    int offsetAtPoint(const QPoint& point) const override {
        const QPoint local = d->q->viewport()->mapFromGlobal(point);
        return d->q->viewport()->rect().contains(local) ? offsetOf(d->hitAt(local, false)) : -1;
    }
    void scrollToSubstring(int start, int) override { d->reveal(d->layout.lineAt(posAt(start))); }
    QString attributes(int, int* start, int* end) const override {
        *start = 0;
        *end = characterCount();
        return QString();
    }

private:
    int offsetOf(int pos) const { return d->layout.shownOffset(pos); }
    int posAt(int offset) const { return d->layout.positionAt(offset); }
    TextArea::Impl* d;
};

TextArea::TextArea(QWidget* parent) : QAbstractScrollArea(parent), d(std::make_unique<Impl>(this)) {
    static const bool accessible =
        (QAccessible::installFactory([](const QString& key, QObject* object) {
             auto* area = qobject_cast<TextArea*>(object);
             return key == QLatin1String("TextArea") && area
                        ? static_cast<QAccessibleInterface*>(new TextAreaAccessible(area))
                        : nullptr;
         }),
         true);
    Q_UNUSED(accessible);
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Always shown, so that the wrap width does not change when the text starts to scroll.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    verticalScrollBar()->setSingleStep(1);
    d->sinceNewText.start();
    d->applyFont();
}

TextArea::~TextArea() = default;

void TextArea::setText(const QByteArray& bytes) {
    d->edit(0, d->size(), bytes, true);
}

const QByteArray& TextArea::text() const {
    return d->layout.text();
}

void TextArea::replaceSelection(const QByteArray& bytes) {
    d->edit(selectionStart(), selectionEnd(), bytes, false);
}

void TextArea::setSelection(int anchor, int caret) {
    d->select(d->layout.charStart(anchor), d->layout.charStart(caret == -1 ? d->size() : caret));
}

int TextArea::selectionStart() const {
    return std::min(d->anchor, d->caret);
}

int TextArea::selectionEnd() const {
    return std::max(d->anchor, d->caret);
}

void TextArea::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    painter.setFont(font());
    const QPalette::ColorGroup group = !isEnabled()       ? QPalette::Disabled
                                       : isActiveWindow() ? QPalette::Active
                                                          : QPalette::Inactive;
    const QRect area = event->rect();
    const int first = d->first() + std::max(0, (area.top() - kMargin) / d->lineHeight);
    const int last =
        std::min(d->layout.lineCount() - 1, d->first() + (area.bottom() - kMargin) / d->lineHeight);
    for (int line = first; line <= last; ++line) {
        d->paintLine(painter, line, group);
    }
    if (d->caretOn) {
        painter.fillRect(d->caretCell().adjusted(1, 0, -1, 0),
                         palette().color(group, QPalette::Text));
    }
    // Lines scrolled out of view are shaped again should they come back.
    for (auto it = d->shapes.begin(); it != d->shapes.end();) {
        const bool shown = it->first >= d->first() && it->first <= d->first() + d->page();
        it = shown ? ++it : d->shapes.erase(it);
    }
}

// Of the viewport, which QAbstractScrollArea passes on whatever resized it.
void TextArea::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    d->syncColumns();
    d->updateScrollBar();
}

void TextArea::scrollContentsBy(int, int) {
    d->repaint(viewport()->rect(), false);
}

void TextArea::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        d->applyFont();
    }
}

// Moves and selects; the text cannot be changed from the keyboard. Enter stays here, so that
// a dialog does not take it as its default action; Tab never arrives (QWidget moves the focus
// first); everything else goes on to the parent, Esc included.
void TextArea::keyPressEvent(QKeyEvent* event) {
    const bool extend = event->modifiers() & Qt::ShiftModifier;
    const bool whole = event->modifiers() & Qt::ControlModifier;
    const bool selection = d->anchor != d->caret;
    const int line = d->layout.lineAt(d->caret);
    const auto move = [&](int pos, bool keepGoal = false) {
        d->select(extend ? d->anchor : pos, pos, keepGoal);
    };
    const auto vertical = [&](int lines) {
        const int to = std::clamp(line + lines, 0, d->layout.lineCount() - 1);
        d->goalColumn = d->goalColumn < 0 ? d->layout.columnOf(line, d->caret) : d->goalColumn;
        move(d->hitInLine(to, d->goalColumn, true), true);
    };
    if (event == QKeySequence::SelectAll) {
        d->select(0, d->size());
    } else if (event == QKeySequence::Copy) {
        d->copy();
    } else if (event->key() == Qt::Key_Left) {
        move(!extend && selection ? selectionStart() : d->layout.charStart(d->caret - 1));
    } else if (event->key() == Qt::Key_Right) {
        move(!extend && selection ? selectionEnd()
                                  : d->layout.nextPosition(d->layout.charStart(d->caret)));
    } else if (event->key() == Qt::Key_Up || event->key() == Qt::Key_Down) {
        vertical(event->key() == Qt::Key_Up ? -1 : 1);
    } else if (event->key() == Qt::Key_PageUp || event->key() == Qt::Key_PageDown) {
        const int page = event->key() == Qt::Key_PageUp ? -d->page() : d->page();
        d->bar()->setValue(d->first() + page);
        vertical(page);
    } else if (event->key() == Qt::Key_Home) {
        move(whole ? 0 : d->layout.lineStart(line));
    } else if (event->key() == Qt::Key_End) {
        move(whole ? d->size() : d->layout.lineEnd(line));
    } else if (event->key() != Qt::Key_Return && event->key() != Qt::Key_Enter) {
        event->ignore();
        return;
    }
    event->accept();
}

void TextArea::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    const int pos = d->hitAt(event->position(), true);
    d->select(event->modifiers() & Qt::ShiftModifier ? d->anchor : pos, pos);
}

// A drag above or below the text selects into the lines there, scrolling them into view.
void TextArea::mouseMoveEvent(QMouseEvent* event) {
    if (event->buttons() & Qt::LeftButton) {
        d->select(d->anchor, d->hitAt(event->position(), true));
    }
}

void TextArea::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const std::pair<int, int> word = d->layout.wordAt(d->hitAt(event->position(), false));
        d->select(word.first, word.second);
    }
}

void TextArea::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* copy = menu.addAction(tr("&Copy"), this, [this] { d->copy(); });
    copy->setShortcut(QKeySequence::Copy);
    copy->setEnabled(d->anchor != d->caret);
    menu.addAction(tr("Select &All"), this, [this] { d->select(0, d->size()); })
        ->setShortcut(QKeySequence::SelectAll);
    menu.exec(event->globalPos());
}

void TextArea::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    d->showCaret();
    viewport()->update(d->caretCell());
}

void TextArea::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    d->showCaret();
    viewport()->update(d->caretCell());
}

// The caret's cell is repainted only when the caret turns on or off: a caret held by appends
// costs no paint.
void TextArea::timerEvent(QTimerEvent* event) {
    if (event->timerId() == d->blinkTimer.timerId()) {
        const bool on = d->caretHeld || !d->caretOn;
        d->caretHeld = false;
        if (on != d->caretOn) {
            d->caretOn = on;
            viewport()->update(d->caretCell());
        }
    } else if (event->timerId() == d->gatherTimer.timerId()) {
        d->repaint(QRegion(), false);
    } else {
        QAbstractScrollArea::timerEvent(event);
    }
}
