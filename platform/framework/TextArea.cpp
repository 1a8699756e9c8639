// The widget side of the text area: geometry, painting and input over a TextLayout.
//
// The vertical scroll bar counts visual lines, so the first visible line is the bar's value and
// painting lays out nothing: it decodes just the lines in the update rectangle.
//
// A change never paints at once; it asks for a repaint, at most one a frame interval. Qt merges
// update requests only within one pass of its event loop, and a worker that appends through
// blocking calls gives every append a pass of its own: left to Qt, each one-dot append would
// repaint the whole view, which costs far more than the append. The scroll bar catches up at
// that repaint too.
#include "platform/framework/TextArea.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QBasicTimer>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFocusEvent>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QHash>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "platform/framework/TextLayout.h"

namespace {

constexpr int kMargin = 2;    // between the frame and the text, on every side
constexpr int kFrameMs = 16;  // shortest time between two repaints of changed text
constexpr int kDragScrollMs = 50;
// Bytes before an edit whose characters the edit can change: more than the longest character
// of any code page (6 bytes), and the CR that an LF joins.
constexpr int kJoinWindow = 8;

// Advances of symbols in one font, each measured once: a wrap measures every character it
// passes, and text from an instrument is mostly the same few characters.
class AdvanceCache {
public:
    explicit AdvanceCache(const QFont& font) : m_metrics(font) { m_ascii.fill(-1); }

    qreal operator()(char32_t symbol) {
        if (symbol < m_ascii.size()) {
            qreal& width = m_ascii[symbol];
            if (width < 0) {
                width = measure(symbol);
            }
            return width;
        }
        auto it = m_other.constFind(symbol);
        if (it == m_other.constEnd()) {
            it = m_other.insert(symbol, measure(symbol));
        }
        return *it;
    }

private:
    // The string overload takes the fallback font into account where the font lacks the symbol.
    qreal measure(char32_t symbol) const {
        return m_metrics.horizontalAdvance(IsControl(symbol) ? CaretNotation(symbol)
                                                             : QString::fromUcs4(&symbol, 1));
    }

    QFontMetricsF m_metrics;
    std::array<qreal, 128> m_ascii;
    QHash<char32_t, qreal> m_other;
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
    int anchor = 0;
    int caret = 0;
    // A caret where a line wraps is shown at the end of the earlier line (after End, or a
    // click past the end of that line) instead of at the start of the later one.
    bool caretAtLineEnd = false;
    qreal goalX = -1;  // the x that Up and Down keep; -1 until a vertical move sets it

    std::shared_ptr<AdvanceCache> advances;
    qreal wrapWidth = -1;
    // Fixed-pitch text is drawn in runs; other fonts a character at a time at the measured
    // positions, so that the caret and the selection meet what is drawn.
    bool fixedPitch = true;
    int lineHeight = 1;
    qreal ascent = 0;

    QElapsedTimer sincePaint;
    QBasicTimer repaintTimer;  // a repaint put off to the end of the frame interval
    // The scroll bar and the scroll position catch up with the text when the repaint is due,
    // not at every change: the bar repaints whenever its range changes, once a visual line.
    bool scrollStale = false;
    bool revealCaret = false;  // and then scroll the caret into view
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
    int firstVisibleLine() const { return bar()->value(); }
    int visibleLines() const {
        return std::max(1, (q->viewport()->height() - kMargin) / lineHeight);
    }
    qreal currentWrapWidth() const { return std::max(1, q->viewport()->width() - 2 * kMargin); }

    void applyFont();
    void scheduleRepaint();
    void settleScroll();
    void syncWidth();
    void relayout();
    void updateScrollBar();
    void ensureCaretVisible();
    void showCaret();
    int caretLine() const;
    qreal xInLine(int line, int pos) const;
    Hit hitInLine(int line, qreal x, bool nearestEdge) const;
    Hit hitAt(QPointF point, bool nearestEdge) const;
    void moveCaret(int pos, bool extend, bool atLineEnd = false, bool keepGoal = false);
    void moveVertically(int lines, bool extend);
    void selectAll();
    void copy() const;
    void paintLine(QPainter& painter, int line, int y, QPalette::ColorGroup group) const;

    int offsetOf(int pos);
    int posAt(int offset) const;
    void forgetOffsetsFrom(int pos);
    void replace(int from, int to, const QByteArray& bytes);
    void tellCaret();
};

// The offset in the shown text of the character start pos.
int TextArea::Impl::offsetOf(int pos) {
    const int settled = layout.charStart(std::max(0, pos - kJoinWindow));
    // Moving back from the memo costs what moving forward does: an append asks a little behind
    // where the last one left the memo, and starting again from 0 each time would make a long
    // capture's appends quadratic.
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

// An edit at pos changes the characters from kJoinWindow bytes before it.
void TextArea::Impl::forgetOffsetsFrom(int pos) {
    if (memoPos + kJoinWindow > pos) {
        memoPos = 0;
        memoOffset = 0;
    }
}

// Replaces [from, to) and tells assistive technology, while one is active, what changed in the
// shown text. An edit changes the characters from kJoinWindow bytes before it to kJoinWindow
// bytes after it at most, so only that stretch is compared.
void TextArea::Impl::replace(int from, int to, const QByteArray& bytes) {
    if (!QAccessible::isActive()) {  // Qt would drop the news
        forgetOffsetsFrom(from);
        layout.replace(from, to, bytes);
        return;
    }
    const int start = layout.charStart(std::max(0, from - kJoinWindow));
    const int offset = offsetOf(start);
    const int oldEnd = layout.charStart(to + kJoinWindow);
    QString before = layout.displayText(start, oldEnd);
    forgetOffsetsFrom(from);
    layout.replace(from, to, bytes);
    const int newEnd = oldEnd + static_cast<int>(bytes.size()) - (to - from);
    QString after = layout.displayText(start, newEnd);
    int same = 0;
    while (same < before.size() && same < after.size() && before[same] == after[same]) {
        ++same;
    }
    int common = 0;
    while (common < before.size() - same && common < after.size() - same &&
           before[before.size() - 1 - common] == after[after.size() - 1 - common]) {
        ++common;
    }
    before = before.mid(same, before.size() - same - common);
    after = after.mid(same, after.size() - same - common);
    if (before.isEmpty() && after.isEmpty()) {
        return;
    }
    if (before.isEmpty()) {
        QAccessibleTextInsertEvent event(q, offset + same, after);
        QAccessible::updateAccessibility(&event);
    } else if (after.isEmpty()) {
        QAccessibleTextRemoveEvent event(q, offset + same, before);
        QAccessible::updateAccessibility(&event);
    } else {
        QAccessibleTextUpdateEvent event(q, offset + same, before, after);
        QAccessible::updateAccessibility(&event);
    }
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
    void setCursorPosition(int position) override { d()->moveCaret(d()->posAt(position), false); }
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
        const qreal x = impl->xInLine(line, pos);
        const qreal next = impl->xInLine(line, impl->layout.nextPosition(pos));
        const QPoint topLeft(kMargin + static_cast<int>(x),
                             kMargin + (line - impl->firstVisibleLine()) * impl->lineHeight);
        return QRect(area()->viewport()->mapToGlobal(topLeft),
                     QSize(std::max(1, static_cast<int>(next - x)), impl->lineHeight));
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
        if (line < impl->firstVisibleLine() ||
            line >= impl->firstVisibleLine() + impl->visibleLines()) {
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

void TextArea::Impl::applyFont() {
    const QFont& font = q->font();
    const QFontMetricsF metrics(font);
    lineHeight = std::max(1, static_cast<int>(std::ceil(metrics.lineSpacing())));
    ascent = metrics.ascent();
    fixedPitch = QFontInfo(font).fixedPitch();
    advances = std::make_shared<AdvanceCache>(font);
    relayout();
}

void TextArea::Impl::scheduleRepaint() {
    if (repaintTimer.isActive()) {
        return;
    }
    const qint64 since = sincePaint.isValid() ? sincePaint.elapsed() : kFrameMs;
    if (since >= kFrameMs) {
        settleScroll();
        q->viewport()->update();
    } else {
        repaintTimer.start(static_cast<int>(kFrameMs - since), q);
    }
}

void TextArea::Impl::settleScroll() {
    if (!scrollStale) {
        return;
    }
    scrollStale = false;
    updateScrollBar();
    if (revealCaret) {
        revealCaret = false;
        ensureCaretVisible();
    }
}

void TextArea::Impl::syncWidth() {
    if (currentWrapWidth() != wrapWidth) {
        relayout();
    }
}

// Lays out everything at the current width and font, keeping the text at the top in view.
void TextArea::Impl::relayout() {
    settleScroll();
    const int top = layout.lineStart(std::min(firstVisibleLine(), layout.lineCount() - 1));
    wrapWidth = currentWrapWidth();
    std::shared_ptr<AdvanceCache> cache = advances;
    layout.setWrap(wrapWidth, [cache](char32_t symbol) { return (*cache)(symbol); });
    updateScrollBar();
    bar()->setValue(layout.lineAt(top));
    scheduleRepaint();
}

void TextArea::Impl::updateScrollBar() {
    const int page = visibleLines();
    bar()->setPageStep(page);
    bar()->setRange(0, std::max(0, layout.lineCount() - page));
}

void TextArea::Impl::ensureCaretVisible() {
    const int line = caretLine();
    if (line < firstVisibleLine()) {
        bar()->setValue(line);
    } else if (line >= firstVisibleLine() + visibleLines()) {
        bar()->setValue(line - visibleLines() + 1);
    }
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

int TextArea::Impl::caretLine() const {
    const int line = layout.lineAt(caret);
    if (caretAtLineEnd && line > 0 && layout.lineWraps(line - 1) &&
        layout.lineStart(line) == caret) {
        return line - 1;
    }
    return line;
}

// The x of the character holding pos, or the end of the line's text past its last character.
qreal TextArea::Impl::xInLine(int line, int pos) const {
    const std::vector<TextCell> cells = layout.cells(line);
    for (const TextCell& cell : cells) {
        if (pos < cell.pos + cell.length) {
            return cell.x;
        }
    }
    return cells.empty() ? 0 : cells.back().x + cells.back().width;
}

// nearestEdge: the character boundary nearest to x (where a click puts the caret); else the
// character under x.
Hit TextArea::Impl::hitInLine(int line, qreal x, bool nearestEdge) const {
    for (const TextCell& cell : layout.cells(line)) {
        if (x < cell.x + (nearestEdge ? cell.width / 2 : cell.width)) {
            return {cell.pos, false};
        }
    }
    return {layout.lineEnd(line), layout.lineWraps(line)};
}

Hit TextArea::Impl::hitAt(QPointF point, bool nearestEdge) const {
    const int row = static_cast<int>(std::floor((point.y() - kMargin) / lineHeight));
    const int line = std::clamp(firstVisibleLine() + row, 0, layout.lineCount() - 1);
    return hitInLine(line, point.x() - kMargin, nearestEdge);
}

void TextArea::Impl::moveCaret(int pos, bool extend, bool atLineEnd, bool keepGoal) {
    caret = pos;
    if (!extend) {
        anchor = pos;
    }
    caretAtLineEnd = atLineEnd;
    if (!keepGoal) {
        goalX = -1;
    }
    scrollStale = true;
    revealCaret = true;
    showCaret();
    tellCaret();
    scheduleRepaint();
}

void TextArea::Impl::moveVertically(int lines, bool extend) {
    const int from = caretLine();
    const int to = std::clamp(from + lines, 0, layout.lineCount() - 1);
    if (goalX < 0) {
        goalX = xInLine(from, caret);
    }
    const Hit hit = hitInLine(to, goalX, true);
    moveCaret(hit.pos, extend, hit.atLineEnd, true);
}

void TextArea::Impl::selectAll() {
    anchor = 0;
    caret = static_cast<int>(layout.text().size());
    caretAtLineEnd = false;
    showCaret();
    tellCaret();
    scheduleRepaint();
}

void TextArea::Impl::copy() const {
    const int from = std::min(anchor, caret);
    const int to = std::max(anchor, caret);
    if (from < to) {
        QApplication::clipboard()->setText(layout.displayText(from, to));
    }
}

void TextArea::Impl::paintLine(QPainter& painter, int line, int y,
                               QPalette::ColorGroup group) const {
    const QPalette& palette = q->palette();
    const int selFrom = std::min(anchor, caret);
    const int selTo = std::max(anchor, caret);
    const std::vector<TextCell> cells = layout.cells(line);
    const auto selected = [&](const TextCell& cell) {
        return cell.pos >= selFrom && cell.pos < selTo;
    };
    const auto alone = [&](const TextCell& cell) {
        return !fixedPitch || cell.symbol >= 0x80 || cell.symbol == '\t' || IsControl(cell.symbol);
    };
    for (size_t i = 0; i < cells.size();) {
        const bool isSelected = selected(cells[i]);
        QString run;
        size_t j = i + 1;
        if (IsControl(cells[i].symbol)) {
            run = CaretNotation(cells[i].symbol);
        } else if (cells[i].symbol != '\t') {
            run = QString::fromUcs4(&cells[i].symbol, 1);
        }
        if (!alone(cells[i])) {
            while (j < cells.size() && !alone(cells[j]) && selected(cells[j]) == isSelected) {
                run.append(QChar(static_cast<char16_t>(cells[j].symbol)));
                ++j;
            }
        }
        const qreal x = kMargin + cells[i].x;
        if (isSelected) {
            const qreal width = cells[j - 1].x + cells[j - 1].width - cells[i].x;
            painter.fillRect(QRectF(x, y, width, lineHeight),
                             palette.brush(group, QPalette::Highlight));
        }
        const QColor ink =
            palette.color(group, isSelected ? QPalette::HighlightedText : QPalette::Text);
        if (IsControl(cells[i].symbol)) {
            // A tinted ground tells caret notation apart from the same two characters as text.
            QColor ground = ink;
            ground.setAlphaF(0.2f);
            painter.fillRect(QRectF(x, y + 1, cells[i].width, lineHeight - 2), ground);
        }
        if (!run.isEmpty()) {
            painter.setPen(ink);
            painter.drawText(QPointF(x, y + ascent), run);
        }
        i = j;
    }
    // A selected line end shows as a selected blank after the line's text.
    const int end = layout.lineEnd(line);
    if (!layout.lineWraps(line) && end < layout.text().size() && selFrom <= end && end < selTo) {
        const qreal x = kMargin + (cells.empty() ? 0 : cells.back().x + cells.back().width);
        painter.fillRect(QRectF(x, y, (*advances)(' '), lineHeight),
                         palette.brush(group, QPalette::Highlight));
    }
}

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
    d->applyFont();
}

TextArea::~TextArea() = default;

void TextArea::setText(const QByteArray& bytes) {
    d->syncWidth();
    d->replace(0, static_cast<int>(text().size()), bytes);
    d->moveCaret(0, false);
}

const QByteArray& TextArea::text() const {
    return d->layout.text();
}

void TextArea::replaceSelection(const QByteArray& bytes) {
    d->syncWidth();
    const int from = selectionStart();
    d->replace(from, selectionEnd(), bytes);
    d->moveCaret(from + static_cast<int>(bytes.size()), false);
}

void TextArea::setSelection(int anchor, int caret) {
    d->syncWidth();
    d->anchor = d->layout.charStart(anchor);
    d->caret = d->layout.charStart(caret == -1 ? static_cast<int>(text().size()) : caret);
    d->caretAtLineEnd = false;
    d->goalX = -1;
    d->showCaret();
    d->tellCaret();
    d->scheduleRepaint();
}

int TextArea::selectionStart() const {
    return std::min(d->anchor, d->caret);
}

int TextArea::selectionEnd() const {
    return std::max(d->anchor, d->caret);
}

int TextArea::visualLineCount() const {
    d->syncWidth();
    return d->layout.lineCount();
}

void TextArea::paintEvent(QPaintEvent* event) {
    d->syncWidth();
    d->settleScroll();
    d->sincePaint.start();
    QPainter painter(viewport());
    painter.setFont(font());
    const QPalette::ColorGroup group = !isEnabled()       ? QPalette::Disabled
                                       : isActiveWindow() ? QPalette::Active
                                                          : QPalette::Inactive;
    const QRect area = event->rect();
    const int first = d->firstVisibleLine();
    const int rowFrom = std::max(0, (area.top() - kMargin) / d->lineHeight);
    const int rowTo =
        std::min(d->layout.lineCount() - 1 - first, (area.bottom() - kMargin) / d->lineHeight);
    for (int row = rowFrom; row <= rowTo; ++row) {
        d->paintLine(painter, first + row, kMargin + row * d->lineHeight, group);
    }
    if (d->caretOn && hasFocus()) {
        const int line = d->caretLine();
        if (line >= first && line <= first + d->visibleLines()) {
            const qreal x = kMargin + d->xInLine(line, d->caret);
            const int y = kMargin + (line - first) * d->lineHeight;
            painter.fillRect(QRectF(x, y, 1, d->lineHeight),
                             palette().color(group, QPalette::Text));
        }
    }
}

void TextArea::resizeEvent(QResizeEvent* event) {
    QAbstractScrollArea::resizeEvent(event);
    d->syncWidth();
    d->updateScrollBar();
}

void TextArea::scrollContentsBy(int, int) {
    d->scheduleRepaint();
}

void TextArea::changeEvent(QEvent* event) {
    QAbstractScrollArea::changeEvent(event);
    switch (event->type()) {
        case QEvent::FontChange:
            d->applyFont();
            break;
        case QEvent::PaletteChange:
        case QEvent::EnabledChange:
        case QEvent::ActivationChange:
        case QEvent::StyleChange:
            d->scheduleRepaint();
            break;
        default:
            break;
    }
}

// Moves and selects; the text cannot be changed from the keyboard. Enter stays here, so that
// a dialog does not take it as its default action; Tab never arrives (QWidget moves the focus
// first); everything else goes on to the parent, Esc included.
void TextArea::keyPressEvent(QKeyEvent* event) {
    d->syncWidth();
    d->settleScroll();
    if (event == QKeySequence::SelectAll) {
        d->selectAll();
        return;
    }
    if (event == QKeySequence::Copy) {
        d->copy();
        return;
    }
    const bool extend = event->modifiers() & Qt::ShiftModifier;
    const bool wholeText = event->modifiers() & Qt::ControlModifier;
    const int size = static_cast<int>(text().size());
    const bool hasSelection = d->anchor != d->caret;
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            break;
        case Qt::Key_Left:
            d->moveCaret(
                !extend && hasSelection ? selectionStart() : d->layout.previousPosition(d->caret),
                extend);
            break;
        case Qt::Key_Right:
            d->moveCaret(!extend && hasSelection
                             ? selectionEnd()
                             : d->layout.nextPosition(d->layout.charStart(d->caret)),
                         extend);
            break;
        case Qt::Key_Up:
            d->moveVertically(-1, extend);
            break;
        case Qt::Key_Down:
            d->moveVertically(1, extend);
            break;
        case Qt::Key_PageUp:
        case Qt::Key_PageDown: {
            const int page =
                event->key() == Qt::Key_PageUp ? -d->visibleLines() : d->visibleLines();
            d->bar()->setValue(d->firstVisibleLine() + page);
            d->moveVertically(page, extend);
            break;
        }
        case Qt::Key_Home:
            d->moveCaret(wholeText ? 0 : d->layout.lineStart(d->caretLine()), extend);
            break;
        case Qt::Key_End:
            if (wholeText) {
                d->moveCaret(size, extend);
            } else {
                const int line = d->caretLine();
                d->moveCaret(d->layout.lineEnd(line), extend, d->layout.lineWraps(line));
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
    d->syncWidth();
    d->settleScroll();
    const Hit hit = d->hitAt(event->position(), true);
    d->moveCaret(hit.pos, event->modifiers() & Qt::ShiftModifier, hit.atLineEnd);
}

void TextArea::mouseMoveEvent(QMouseEvent* event) {
    if (!(event->buttons() & Qt::LeftButton)) {
        return;
    }
    d->settleScroll();
    d->dragPos = event->position();
    const Hit hit = d->hitAt(d->dragPos, true);
    d->moveCaret(hit.pos, true, hit.atLineEnd);
    const bool outside = d->dragPos.y() < 0 || d->dragPos.y() >= viewport()->height();
    if (outside) {
        d->dragTimer.start(kDragScrollMs, this);
    } else {
        d->dragTimer.stop();
    }
}

void TextArea::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    d->syncWidth();
    d->settleScroll();
    const std::pair<int, int> word = d->layout.wordAt(d->hitAt(event->position(), false).pos);
    d->anchor = word.first;
    d->moveCaret(word.second, true);
}

void TextArea::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* copy = menu.addAction(tr("&Copy"), this, [this] { d->copy(); });
    copy->setShortcut(QKeySequence::Copy);
    copy->setEnabled(d->anchor != d->caret);
    QAction* all = menu.addAction(tr("Select &All"), this, [this] { d->selectAll(); });
    all->setShortcut(QKeySequence::SelectAll);
    menu.exec(event->globalPos());
}

void TextArea::focusInEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusInEvent(event);
    d->showCaret();
    d->scheduleRepaint();
}

void TextArea::focusOutEvent(QFocusEvent* event) {
    QAbstractScrollArea::focusOutEvent(event);
    d->blinkTimer.stop();
    d->caretOn = false;
    d->scheduleRepaint();
}

void TextArea::timerEvent(QTimerEvent* event) {
    if (event->timerId() == d->blinkTimer.timerId()) {
        if (d->caretHeld) {
            d->caretHeld = false;
            return;
        }
        d->caretOn = !d->caretOn;
        const int row = d->caretLine() - d->firstVisibleLine();
        const int x = kMargin + static_cast<int>(d->xInLine(d->caretLine(), d->caret));
        viewport()->update(QRect(x - 1, kMargin + row * d->lineHeight, 3, d->lineHeight));
    } else if (event->timerId() == d->repaintTimer.timerId()) {
        d->settleScroll();  // while the timer runs, so that scrolling asks for no repaint
        d->repaintTimer.stop();
        viewport()->update();
    } else if (event->timerId() == d->dragTimer.timerId()) {
        if (!(QApplication::mouseButtons() & Qt::LeftButton)) {
            d->dragTimer.stop();
            return;
        }
        d->settleScroll();
        const Hit hit = d->hitAt(d->dragPos, true);
        d->moveCaret(hit.pos, true, hit.atLineEnd);
    } else {
        QAbstractScrollArea::timerEvent(event);
    }
}
