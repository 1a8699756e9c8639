// The widget side of the text area: geometry, painting and input over a TextLayout.
//
// The vertical scroll bar counts lines, so the first visible line is the bar's value, and a
// cell's x is its column times the font's advance: nothing is measured. A change repaints only
// the cells it touched, and a paint draws only the lines that cross the exposed rectangle, each
// from its shaped text (QStaticText), kept until the line or the font changes.
//
// Repaints of appends are gathered. A worker that appends through blocking calls gives each
// append a pass of Qt's event loop of its own, so Qt would paint each one, and a paint costs the
// window's thread and the window system several times what the append does. An append therefore
// repaints at once only when the last repaint is kGatherMs old; else its cells wait until then.
// Everything else repaints at once: a new text and the appends of the moment after it (the end
// of a capture writes its result so), keys, clicks and scrolling.
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
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStaticText>
#include <algorithm>
#include <cmath>
#include <iterator>
#include <unordered_map>
#include <vector>

#include "platform/framework/TextLayout.h"

namespace {

constexpr int kMargin = 2;      // between the frame and the text, on every side
constexpr int kGatherMs = 250;  // the longest an append waits to be painted
constexpr int kPromptMs = 100;  // after a new text, appends are painted at once for this long
constexpr int kDragScrollMs = 50;
constexpr int kJoinBytes = 4;  // an edit can change the character up to 3 bytes before it, or a CR

// A piece of a line drawn as one: a run of ASCII in a fixed-pitch font, else one character.
struct Run {
    int column;
    int columns;
    bool control;
    QStaticText text;
};

struct Hit {
    int pos;
    bool atLineEnd;  // pos is where the line wraps, shown at the end of the hit line
};

}  // namespace

struct TextArea::Impl {
    explicit Impl(TextArea* area) : q(area) {}

    TextArea* q;
    TextLayout layout;
    int columns = 0;
    int anchor = 0;
    int caret = 0;
    // A caret where a line wraps is shown at the end of the earlier line (after End, or a click
    // past the end of that line) instead of at the start of the later one.
    bool caretAtLineEnd = false;
    qreal goalColumn = -1;  // the column that Up and Down keep; -1 until a vertical move sets it

    qreal advance = 1;
    int lineHeight = 1;
    bool fixedPitch = true;
    std::unordered_map<int, std::vector<Run>> shapes;  // of the lines in view

    QRegion pending;  // cells changed and not yet asked to repaint
    QBasicTimer gatherTimer;
    QElapsedTimer sinceRepaint;
    QElapsedTimer sinceNewText;
    bool caretOn = false;
    bool caretHeld = false;  // the next blink keeps the caret shown
    QBasicTimer blinkTimer;
    QBasicTimer dragTimer;  // scrolls while a drag holds the pointer above or below the text
    QPointF dragPos;

    // Where the shown text for assistive technology has come to: the offset in it of the byte
    // position memoPos, kept so that telling of an append costs what the append costs.
    int memoPos = 0;
    int memoOffset = 0;

    QScrollBar* bar() const { return q->verticalScrollBar(); }
    int firstLine() const { return bar()->value(); }
    int visibleLines() const {
        return std::max(1, (q->viewport()->height() - kMargin) / lineHeight);
    }
    qreal x(qreal column) const { return kMargin + column * advance; }
    int y(int line) const { return kMargin + (line - firstLine()) * lineHeight; }
    QRect linesRect(int from, int to) const {
        return QRect(0, y(from), q->viewport()->width(), (to - from + 1) * lineHeight);
    }
    int caretLine() const {
        const int line = layout.lineAt(caret);
        const bool atEnd = caretAtLineEnd && line > 0 && layout.lineWraps(line - 1) &&
                           layout.lineStart(line) == caret;
        return atEnd ? line - 1 : line;
    }
    QRect caretRect() const {
        const int line = caretLine();
        return QRect(static_cast<int>(x(columnOf(line, caret))) - 1, y(line), 3, lineHeight);
    }

    int columnOf(int line, int pos) const;
    Hit hitInLine(int line, qreal column, bool nearestEdge) const;
    Hit hitAt(QPointF point, bool nearestEdge) const;
    void applyFont();
    void syncColumns();
    void updateScrollBar();
    void ensureCaretVisible();
    void repaint(const QRegion& region, bool gather);
    void flush();
    void showCaret();
    void select(int newAnchor, int newCaret, bool atLineEnd = false, bool keepGoal = false);
    void moveVertically(int lines, bool extend);
    void copy() const;
    const std::vector<Run>& shape(int line);
    void paintLine(QPainter& painter, int line, QPalette::ColorGroup group);

    int offsetOf(int pos);
    int posAt(int offset) const;
    int replace(int from, int to, const QByteArray& bytes);
    void tellCaret();
};

// The column of the character holding pos, or where the line's characters end.
int TextArea::Impl::columnOf(int line, int pos) const {
    for (const TextCell& cell : layout.cells(line)) {
        if (pos < cell.pos + cell.length) {
            return cell.column;
        }
    }
    return layout.lineColumns(line);
}

// nearestEdge: the character boundary nearest to the column (where a click puts the caret); else
// the character under it.
Hit TextArea::Impl::hitInLine(int line, qreal column, bool nearestEdge) const {
    for (const TextCell& cell : layout.cells(line)) {
        if (column < cell.column + (nearestEdge ? cell.width / 2.0 : cell.width)) {
            return {cell.pos, false};
        }
    }
    return {layout.lineEnd(line), layout.lineWraps(line)};
}

Hit TextArea::Impl::hitAt(QPointF point, bool nearestEdge) const {
    const int row = static_cast<int>(std::floor((point.y() - kMargin) / lineHeight));
    const int line = std::clamp(firstLine() + row, 0, layout.lineCount() - 1);
    return hitInLine(line, (point.x() - kMargin) / advance, nearestEdge);
}

void TextArea::Impl::applyFont() {
    const QFontMetricsF metrics(q->font());
    advance = std::max<qreal>(1, metrics.horizontalAdvance(QLatin1Char('0')));
    lineHeight = std::max(1, static_cast<int>(std::ceil(metrics.lineSpacing())));
    // Asked of the glyphs: QFontInfo::fixedPitch() is false for some monospaced faces. ASCII is
    // drawn in runs only where its advances are the cells'.
    fixedPitch = metrics.horizontalAdvance(QLatin1Char('i')) == advance &&
                 metrics.horizontalAdvance(QLatin1Char('W')) == advance;
    columns = 0;
    syncColumns();
}

// Lays out again where the width holds another number of columns (or the font changed), keeping
// the text at the top in view.
void TextArea::Impl::syncColumns() {
    const int now = std::max(1, static_cast<int>((q->viewport()->width() - 2 * kMargin) / advance));
    if (now == columns) {
        return;
    }
    const int top = layout.lineStart(std::min(firstLine(), layout.lineCount() - 1));
    columns = now;
    layout.setColumns(columns);
    shapes.clear();
    updateScrollBar();
    bar()->setValue(layout.lineAt(top));
    repaint(q->viewport()->rect(), false);
}

void TextArea::Impl::updateScrollBar() {
    const int page = visibleLines();
    bar()->setPageStep(page);
    bar()->setRange(0, std::max(0, layout.lineCount() - page));
}

void TextArea::Impl::ensureCaretVisible() {
    const int line = caretLine();
    if (line < firstLine()) {
        bar()->setValue(line);
    } else if (line >= firstLine() + visibleLines()) {
        bar()->setValue(line - visibleLines() + 1);
    }
}

void TextArea::Impl::repaint(const QRegion& region, bool gather) {
    pending += region;
    if (gather && !gatherTimer.isActive() && sinceRepaint.isValid() &&
        sinceRepaint.elapsed() < kGatherMs) {
        gatherTimer.start(static_cast<int>(kGatherMs - sinceRepaint.elapsed()), q);
    }
    if (!gather || !gatherTimer.isActive()) {
        flush();
    }
}

void TextArea::Impl::flush() {
    gatherTimer.stop();
    q->viewport()->update(pending);
    pending = QRegion();
    sinceRepaint.start();
}

// Shows the caret and holds it for the next blink, so that a moving caret stays visible. The
// blink timer keeps running: restarting it on every move would cost an append more than the
// append itself.
void TextArea::Impl::showCaret() {
    if (!q->hasFocus()) {
        return;
    }
    caretOn = true;
    caretHeld = true;
    const int flash = QApplication::cursorFlashTime();
    if (flash > 0 && !blinkTimer.isActive()) {
        blinkTimer.start(flash / 2, q);
    }
}

// Moves the caret and the selection, repainting the caret's cells and the lines whose
// selection changed, at once.
void TextArea::Impl::select(int newAnchor, int newCaret, bool atLineEnd, bool keepGoal) {
    QRegion changed = caretOn ? caretRect() : QRect();
    const int oldFrom = std::min(anchor, caret);
    const int oldTo = std::max(anchor, caret);
    anchor = newAnchor;
    caret = newCaret;
    caretAtLineEnd = atLineEnd;
    if (!keepGoal) {
        goalColumn = -1;
    }
    ensureCaretVisible();
    const int from = std::min(anchor, caret);
    const int to = std::max(anchor, caret);
    if ((oldFrom != oldTo || from != to) && (from != oldFrom || to != oldTo)) {
        changed +=
            linesRect(layout.lineAt(std::min(from, oldFrom)), layout.lineAt(std::max(to, oldTo)));
    }
    showCaret();
    changed += caretOn ? caretRect() : QRect();
    tellCaret();
    repaint(changed, false);
}

void TextArea::Impl::moveVertically(int lines, bool extend) {
    const int from = caretLine();
    const int to = std::clamp(from + lines, 0, layout.lineCount() - 1);
    if (goalColumn < 0) {
        goalColumn = columnOf(from, caret);
    }
    const Hit hit = hitInLine(to, goalColumn, true);
    select(extend ? anchor : hit.pos, hit.pos, hit.atLineEnd, true);
}

void TextArea::Impl::copy() const {
    if (anchor != caret) {
        QApplication::clipboard()->setText(
            layout.displayText(std::min(anchor, caret), std::max(anchor, caret)));
    }
}

const std::vector<Run>& TextArea::Impl::shape(int line) {
    auto it = shapes.find(line);
    if (it != shapes.end()) {
        return it->second;
    }
    std::vector<Run> runs;
    QString ascii;
    int asciiColumn = 0;
    const auto add = [&runs](int column, int width, bool control, const QString& text) {
        runs.push_back(Run{column, width, control, QStaticText(text)});
        runs.back().text.setTextFormat(Qt::PlainText);
    };
    const auto endAscii = [&] {
        if (!ascii.isEmpty()) {
            add(asciiColumn, static_cast<int>(ascii.size()), false, ascii);
            ascii.clear();
        }
    };
    for (const TextCell& cell : layout.cells(line)) {
        if (fixedPitch && cell.code >= 0x20 && cell.code < 0x7F) {
            asciiColumn = ascii.isEmpty() ? cell.column : asciiColumn;
            ascii.append(QLatin1Char(static_cast<char>(cell.code)));
            continue;
        }
        endAscii();
        if (IsControl(cell.code)) {
            add(cell.column, cell.width, true, CaretNotation(cell.code));
        } else if (cell.code != '\t') {
            add(cell.column, cell.width, false, QString::fromUcs4(&cell.code, 1));
        }
    }
    endAscii();
    return shapes.emplace(line, std::move(runs)).first->second;
}

void TextArea::Impl::paintLine(QPainter& painter, int line, QPalette::ColorGroup group) {
    const QPalette& palette = q->palette();
    const int top = y(line);
    const int selFrom = std::min(anchor, caret);
    const int selTo = std::max(anchor, caret);
    // The selected columns; a selected line end shows as a selected blank after the text.
    int first = -1;
    int last = -1;
    if (selFrom < selTo && layout.lineStart(line) < selTo && selFrom <= layout.lineEnd(line)) {
        for (const TextCell& cell : layout.cells(line)) {
            if (cell.pos >= selFrom && cell.pos < selTo) {
                first = first < 0 ? cell.column : first;
                last = cell.column + cell.width;
            }
        }
        const int end = layout.lineEnd(line);
        if (!layout.lineWraps(line) && end < layout.text().size() && selFrom <= end &&
            end < selTo) {
            first = first < 0 ? layout.lineColumns(line) : first;
            last = layout.lineColumns(line) + 1;
        }
    }
    const QRectF selected(x(first), top, (last - first) * advance, lineHeight);
    if (first >= 0) {
        painter.fillRect(selected, palette.brush(group, QPalette::Highlight));
    }
    const QColor ink = palette.color(group, QPalette::Text);
    const std::vector<Run>& runs = shape(line);
    for (const Run& run : runs) {
        if (run.control) {
            // A tinted ground tells caret notation apart from the same two characters as text.
            QColor ground = ink;
            ground.setAlphaF(0.2f);
            painter.fillRect(QRectF(x(run.column), top + 1, run.columns * advance, lineHeight - 2),
                             ground);
        }
    }
    const auto draw = [&](const QColor& color) {
        painter.setPen(color);
        for (const Run& run : runs) {
            painter.drawStaticText(QPointF(x(run.column), top), run.text);
        }
    };
    if (first < 0) {
        draw(ink);
        return;
    }
    painter.save();
    painter.setClipRegion(QRegion(linesRect(line, line)) - selected.toAlignedRect());
    draw(ink);
    painter.setClipRect(selected);
    draw(palette.color(group, QPalette::HighlightedText));
    painter.restore();
}

// The offset in the shown text of the character start pos.
int TextArea::Impl::offsetOf(int pos) {
    const int settled = layout.charStart(std::max(0, pos - kJoinBytes));
    // Moving back from the memo costs what moving forward does: an append asks a little behind
    // where the last one left it, and starting again from 0 would make a capture quadratic.
    if (memoPos > settled) {
        memoOffset -= static_cast<int>(layout.displayText(settled, memoPos).size());
    } else {
        memoOffset += static_cast<int>(layout.displayText(memoPos, settled).size());
    }
    memoPos = settled;
    return memoOffset + static_cast<int>(layout.displayText(settled, pos).size());
}

// The character start whose offset in the shown text is the first at or after offset.
int TextArea::Impl::posAt(int offset) const {
    const int size = static_cast<int>(layout.text().size());
    int pos = 0;
    for (int shown = 0; shown < offset && pos < size;) {
        const int next = layout.nextPosition(pos);
        shown += static_cast<int>(layout.displayText(pos, next).size());
        pos = next;
    }
    return pos;
}

// Replaces [from, to) and tells assistive technology, while one is active, what changed in the
// shown text; returns the first line that changed.
int TextArea::Impl::replace(int from, int to, const QByteArray& bytes) {
    if (memoPos > from - kJoinBytes) {
        memoPos = memoOffset = 0;
    }
    if (!QAccessible::isActive()) {  // Qt would drop the news
        return layout.replace(from, to, bytes);
    }
    const int start = layout.charStart(std::max(0, from - kJoinBytes));
    const int offset = offsetOf(start);
    const QString before = layout.displayText(start, static_cast<int>(layout.text().size()));
    const int line = layout.replace(from, to, bytes);
    const QString after = layout.displayText(start, static_cast<int>(layout.text().size()));
    qsizetype same = 0;
    while (same < before.size() && same < after.size() && before[same] == after[same]) {
        ++same;
    }
    qsizetype common = 0;
    while (common < before.size() - same && common < after.size() - same &&
           before[before.size() - 1 - common] == after[after.size() - 1 - common]) {
        ++common;
    }
    if (same + common < std::max(before.size(), after.size())) {
        QAccessibleTextUpdateEvent event(q, offset + static_cast<int>(same),
                                         before.mid(same, before.size() - same - common),
                                         after.mid(same, after.size() - same - common));
        QAccessible::updateAccessibility(&event);
    }
    return line;
}

void TextArea::Impl::tellCaret() {
    if (!QAccessible::isActive()) {
        return;
    }
    const int from = offsetOf(std::min(anchor, caret));
    const int to = offsetOf(std::max(anchor, caret));
    if (from != to) {
        QAccessibleTextSelectionEvent selection(q, from, to);
        QAccessible::updateAccessibility(&selection);
    }
    QAccessibleTextCursorEvent cursor(q, offsetOf(caret));
    QAccessible::updateAccessibility(&cursor);
}

// What assistive technology reads of a text area: its shown text, caret and selection, in
// offsets into the shown text.
class TextAreaAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit TextAreaAccessible(TextArea* area)
        : QAccessibleWidget(area, QAccessible::EditableText) {}

    void* interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TextInterface) {
            return static_cast<QAccessibleTextInterface*>(this);
        }
        return QAccessibleWidget::interface_cast(type);
    }
    QAccessible::State state() const override {
        QAccessible::State state = QAccessibleWidget::state();
        state.readOnly = true;
        state.multiLine = true;
        state.selectableText = true;
        return state;
    }
    QString text(QAccessible::Text type) const override {
        return type == QAccessible::Value ? text(0, characterCount())
                                          : QAccessibleWidget::text(type);
    }
    void selection(int selectionIndex, int* startOffset, int* endOffset) const override {
        *startOffset = *endOffset = 0;
        if (selectionIndex == 0 && selectionCount() == 1) {
            *startOffset = d()->offsetOf(area()->selectionStart());
            *endOffset = d()->offsetOf(area()->selectionEnd());
        }
    }
    int selectionCount() const override {
        return area()->selectionStart() != area()->selectionEnd() ? 1 : 0;
    }
    void addSelection(int startOffset, int endOffset) override {
        setSelection(0, startOffset, endOffset);
    }
    void removeSelection(int selectionIndex) override {
        if (selectionIndex == 0) {
            area()->setSelection(d()->caret, d()->caret);
        }
    }
    void setSelection(int selectionIndex, int startOffset, int endOffset) override {
        if (selectionIndex == 0) {
            area()->setSelection(d()->posAt(startOffset), d()->posAt(endOffset));
        }
    }
    int cursorPosition() const override { return d()->offsetOf(d()->caret); }
    void setCursorPosition(int position) override {
        const int pos = d()->posAt(position);
        d()->select(pos, pos);
    }
    QString text(int startOffset, int endOffset) const override {
        return d()
            ->layout.displayText(0, static_cast<int>(area()->text().size()))
            .mid(startOffset, std::max(0, endOffset - startOffset));
    }
    int characterCount() const override {
        return d()->offsetOf(static_cast<int>(area()->text().size()));
    }
    QRect characterRect(int offset) const override {
        TextArea::Impl* impl = d();
        const int pos = impl->posAt(offset);
        const int line = impl->layout.lineAt(pos);
        const int column = impl->columnOf(line, pos);
        const int next = impl->columnOf(line, impl->layout.nextPosition(pos));
        const QRect cells = QRectF(impl->x(column), impl->y(line),
                                   std::max(1, next - column) * impl->advance, impl->lineHeight)
                                .toRect();
        return QRect(area()->viewport()->mapToGlobal(cells.topLeft()), cells.size());
    }
    int offsetAtPoint(const QPoint& point) const override {
        const QPoint local = area()->viewport()->mapFromGlobal(point);
        if (!area()->viewport()->rect().contains(local)) {
            return -1;
        }
        return d()->offsetOf(d()->hitAt(local, false).pos);
    }
    void scrollToSubstring(int startIndex, int) override {
        TextArea::Impl* impl = d();
        const int line = impl->layout.lineAt(impl->posAt(startIndex));
        if (line < impl->firstLine() || line >= impl->firstLine() + impl->visibleLines()) {
            impl->bar()->setValue(line);
        }
    }
    QString attributes(int, int* startOffset, int* endOffset) const override {
        *startOffset = 0;
        *endOffset = characterCount();
        return QString();
    }

private:
    TextArea* area() const { return static_cast<TextArea*>(widget()); }
    TextArea::Impl* d() const { return area()->d.get(); }
};

namespace {

QAccessibleInterface* TextAreaAccessibleFactory(const QString& key, QObject* object) {
    auto* area = qobject_cast<TextArea*>(object);
    return key == QLatin1String("TextArea") && area ? new TextAreaAccessible(area) : nullptr;
}

}  // namespace

TextArea::TextArea(QWidget* parent) : QAbstractScrollArea(parent), d(std::make_unique<Impl>(this)) {
    static const bool accessible = (QAccessible::installFactory(TextAreaAccessibleFactory), true);
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
    d->syncColumns();
    d->replace(0, static_cast<int>(text().size()), bytes);
    d->shapes.clear();
    d->sinceNewText.start();
    d->updateScrollBar();
    d->pending += viewport()->rect();
    d->select(0, 0);
}

const QByteArray& TextArea::text() const {
    return d->layout.text();
}

void TextArea::replaceSelection(const QByteArray& bytes) {
    d->syncColumns();
    const int from = selectionStart();
    const int lastLine = d->layout.lineCount() - 1;
    const int lastColumns = d->layout.lineColumns(lastLine);
    const bool append = from == text().size();
    QRegion changed = d->caretOn ? d->caretRect() : QRect();
    const int line = d->replace(from, selectionEnd(), bytes);
    for (auto it = d->shapes.begin(); it != d->shapes.end();) {
        it = it->first >= line ? d->shapes.erase(it) : std::next(it);
    }
    // An append that keeps to the last line changes only the cells after its old end.
    if (line == lastLine && d->layout.lineCount() - 1 == lastLine &&
        d->layout.lineColumns(lastLine) >= lastColumns) {
        changed +=
            QRectF(d->x(lastColumns), d->y(lastLine),
                   (d->layout.lineColumns(lastLine) - lastColumns) * d->advance, d->lineHeight)
                .toAlignedRect();
    } else {
        changed += d->linesRect(line, std::max(line, d->firstLine() + d->visibleLines()));
    }
    d->anchor = d->caret = from + static_cast<int>(bytes.size());
    d->caretAtLineEnd = false;
    d->goalColumn = -1;
    d->updateScrollBar();
    d->ensureCaretVisible();
    d->showCaret();
    changed += d->caretOn ? d->caretRect() : QRect();
    d->tellCaret();
    d->repaint(changed, append && d->sinceNewText.elapsed() >= kPromptMs);
}

void TextArea::setSelection(int anchor, int caret) {
    d->syncColumns();
    d->select(d->layout.charStart(anchor),
              d->layout.charStart(caret == -1 ? static_cast<int>(text().size()) : caret));
}

int TextArea::selectionStart() const {
    return std::min(d->anchor, d->caret);
}

int TextArea::selectionEnd() const {
    return std::max(d->anchor, d->caret);
}

int TextArea::visualLineCount() const {
    d->syncColumns();
    return d->layout.lineCount();
}

void TextArea::paintEvent(QPaintEvent* event) {
    QPainter painter(viewport());
    painter.setFont(font());
    const QPalette::ColorGroup group = !isEnabled()       ? QPalette::Disabled
                                       : isActiveWindow() ? QPalette::Active
                                                          : QPalette::Inactive;
    const QRect area = event->rect();
    const int first = d->firstLine();
    const int from = first + std::max(0, (area.top() - kMargin) / d->lineHeight);
    const int to =
        std::min(d->layout.lineCount() - 1, first + (area.bottom() - kMargin) / d->lineHeight);
    for (int line = from; line <= to; ++line) {
        d->paintLine(painter, line, group);
    }
    if (d->caretOn && hasFocus()) {
        const QRect caret = d->caretRect();
        painter.fillRect(caret.x() + 1, caret.y(), 1, caret.height(),
                         palette().color(group, QPalette::Text));
    }
    // Lines scrolled out of view are shaped again should they come back.
    for (auto it = d->shapes.begin(); it != d->shapes.end();) {
        const bool shown = it->first >= first && it->first <= first + d->visibleLines();
        it = shown ? std::next(it) : d->shapes.erase(it);
    }
}

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
        d->repaint(viewport()->rect(), false);
    }
}

// Moves and selects; the text cannot be changed from the keyboard. Enter stays here, so that
// a dialog does not take it as its default action; Tab never arrives (QWidget moves the focus
// first); everything else goes on to the parent, Esc included.
void TextArea::keyPressEvent(QKeyEvent* event) {
    d->syncColumns();
    if (event == QKeySequence::SelectAll) {
        d->select(0, static_cast<int>(text().size()));
        return;
    }
    if (event == QKeySequence::Copy) {
        d->copy();
        return;
    }
    const bool extend = event->modifiers() & Qt::ShiftModifier;
    const bool wholeText = event->modifiers() & Qt::ControlModifier;
    const bool hasSelection = d->anchor != d->caret;
    const auto move = [&](int pos, bool atLineEnd = false) {
        d->select(extend ? d->anchor : pos, pos, atLineEnd);
    };
    const int line = d->caretLine();
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            break;
        case Qt::Key_Left:
            move(!extend && hasSelection ? selectionStart() : d->layout.previousPosition(d->caret));
            break;
        case Qt::Key_Right:
            move(!extend && hasSelection ? selectionEnd()
                                         : d->layout.nextPosition(d->layout.charStart(d->caret)));
            break;
        case Qt::Key_Up:
        case Qt::Key_Down:
            d->moveVertically(event->key() == Qt::Key_Up ? -1 : 1, extend);
            break;
        case Qt::Key_PageUp:
        case Qt::Key_PageDown: {
            const int page =
                event->key() == Qt::Key_PageUp ? -d->visibleLines() : d->visibleLines();
            d->bar()->setValue(d->firstLine() + page);
            d->moveVertically(page, extend);
            break;
        }
        case Qt::Key_Home:
            move(wholeText ? 0 : d->layout.lineStart(line));
            break;
        case Qt::Key_End:
            if (wholeText) {
                move(static_cast<int>(text().size()));
            } else {
                move(d->layout.lineEnd(line), d->layout.lineWraps(line));
            }
            break;
        default:
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
    d->syncColumns();
    const Hit hit = d->hitAt(event->position(), true);
    const bool extend = event->modifiers() & Qt::ShiftModifier;
    d->select(extend ? d->anchor : hit.pos, hit.pos, hit.atLineEnd);
}

void TextArea::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) {
        return;
    }
    d->dragPos = event->position();
    const Hit hit = d->hitAt(d->dragPos, true);
    d->select(d->anchor, hit.pos, hit.atLineEnd);
    if (d->dragPos.y() < 0 || d->dragPos.y() >= viewport()->height()) {
        d->dragTimer.start(kDragScrollMs, this);
    } else {
        d->dragTimer.stop();
    }
}

void TextArea::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) {
        const std::pair<int, int> word = d->layout.wordAt(d->hitAt(event->position(), false).pos);
        d->select(word.first, word.second);
    }
}

void TextArea::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* copy = menu.addAction(tr("&Copy"), this, [this] { d->copy(); });
    copy->setShortcut(QKeySequence::Copy);
    copy->setEnabled(d->anchor != d->caret);
    QAction* all = menu.addAction(tr("Select &All"), this,
                                  [this] { d->select(0, static_cast<int>(text().size())); });
    all->setShortcut(QKeySequence::SelectAll);
    menu.exec(event->globalPos());
}

void TextArea::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    d->showCaret();
    viewport()->update(d->caretRect());
}

void TextArea::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    d->blinkTimer.stop();
    d->caretOn = false;
    viewport()->update(d->caretRect());
}

void TextArea::timerEvent(QTimerEvent* event) {
    if (event->timerId() == d->blinkTimer.timerId()) {
        if (!d->caretHeld) {
            d->caretOn = !d->caretOn;
            viewport()->update(d->caretRect());
        }
        d->caretHeld = false;
    } else if (event->timerId() == d->gatherTimer.timerId()) {
        d->flush();
    } else if (event->timerId() == d->dragTimer.timerId()) {
        if (!(QApplication::mouseButtons() & Qt::LeftButton)) {
            d->dragTimer.stop();
            return;
        }
        const Hit hit = d->hitAt(d->dragPos, true);
        d->select(d->anchor, hit.pos, hit.atLineEnd);
    } else {
        QAbstractScrollArea::timerEvent(event);
    }
}
