// TextArea: the multi-line, read-only text area of the framework layer's CEdit.
//
// Why not QPlainTextEdit: a capture appends one dot a kilobyte to one line, and a text
// document re-lays a whole paragraph on every insert, so appending to a long line gets slower
// with every call. TextArea keeps the text as the bytes it was given and lays out only what
// an insertion changed (for an append, the last visual line), and paints only visible lines.
//
// Text model: bytes in the process's code page (CodePage.h). CR LF, a lone LF and a lone CR
// each end a line; a tab advances to the next multiple of 8 columns; other control bytes
// (0x01-0x1F, 0x7F) show as their control-picture symbols (U+2401...); bytes that are not
// valid text show as U+FFFD, one each. Lines wrap at the widget's width, after the last blank
// where the line has one, else before the character that does not fit (TextLayout.h). Positions
// are byte offsets into the text; a position inside a character moves to that character's start.
//
// Read-only: the user can move the caret, select (mouse, Shift+keys, Ctrl+A), copy (Ctrl+C, the
// context menu) and scroll, but not type. Enter and Return are taken (not passed to the dialog).
//
// Like every widget it is used on the window's thread only; CEdit carries calls from other
// threads there. The one exception is its inbox (below), through which any thread replaces the
// selection without waiting for the window's thread.
#pragma once

#include <QAbstractScrollArea>
#include <QByteArray>
#include <memory>
#include <mutex>

class TextArea;

// Replacements of a text area's selection handed in from any thread, for a worker that reports
// progress a character at a time: a blocking call to the window's thread costs tens of
// microseconds each, far more than the append it carries.
//
// A replacement handed in is part of the text area from then on. The area takes in what waits
// here, in the order it was handed in, before it does anything else: before it handles any
// event (painting, input, timers) and at the start of every one of its operations, reads
// included. So whoever looks at the area after ReplaceSelection has returned, the caller among
// them and whatever thread it asks through, finds the replacement carried out, in call order
// with every other operation. Left alone, the area takes it in within a frame interval and
// repaints. Replacing the selection and then inserting at the caret that leaves is the same as
// replacing it with both texts at once, so what waits is kept as one text.
class TextAreaInbox {
public:
    // False once the area is gone: nothing was handed in then.
    bool ReplaceSelection(const QByteArray& bytes);

private:
    friend class TextArea;
    explicit TextAreaInbox(TextArea* area) : m_area(area) {}

    std::mutex m_mutex;
    TextArea* m_area;        // null once the area is being destroyed
    bool m_waiting = false;  // a replacement waits in m_bytes (which may be empty)
    QByteArray m_bytes;
    bool m_wakeQueued = false;  // the area will look here again without being asked
};

class TextArea : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit TextArea(QWidget* parent = nullptr);
    ~TextArea() override;

    // The whole text; the caret goes to the start and nothing is selected.
    void setText(const QByteArray& bytes);
    const QByteArray& text() const;

    // Replaces the selection (or inserts at the caret) with bytes; the caret ends right after
    // them and the view scrolls to show it when it next repaints. The caret stays there even where
    // the bytes join the bytes after them into one character, so that a character sent in pieces by
    // successive calls arrives whole.
    void replaceSelection(const QByteArray& bytes);

    // Selection as byte offsets: anchor and caret (the caret is where typing would go). -1 as
    // caret means the end of the text. Offsets are clamped to the text.
    void setSelection(int anchor, int caret);
    int selectionStart() const;  // min(anchor, caret)
    int selectionEnd() const;    // max(anchor, caret)

    // The visual lines of the current layout (for tests and scrolling).
    int visualLineCount() const;

    // The area's inbox, for other threads; it outlives the area, and refuses everything once
    // the area is gone.
    std::shared_ptr<TextAreaInbox> inbox() const;

protected:
    bool event(QEvent* event) override;
    bool viewportEvent(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;  // the scroll bar counts visual lines
    void changeEvent(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void timerEvent(QTimerEvent* event) override;

private:
    friend class TextAreaInbox;
    // Takes in what waits in the inbox; the first step of every event and operation.
    void takeInbox() const;
    // The inbox's wake-up, a queued call whose event has taken in what waited: looks again
    // every frame interval until a frame brings nothing, so that a worker appending flat out
    // wakes the window's thread at most once a frame.
    void wakeForInbox();

    struct Impl;
    std::unique_ptr<Impl> d;
    std::shared_ptr<TextAreaInbox> m_inbox;
};
