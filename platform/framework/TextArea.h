// TextArea: the multi-line, read-only text area of the framework layer's CEdit.
//
// Not QPlainTextEdit: a capture appends one dot a kilobyte to one line, and a text document
// re-lays a whole paragraph on every insert. TextArea keeps the bytes it was given on a grid of
// cells of its fixed-pitch font (TextLayout.h), as a terminal does: an append lays out and
// repaints only the cells it adds. Control bytes show in caret notation ("^A") on a tinted
// ground; positions are byte offsets, and one inside a character moves to that character's start.
//
// The user can move the caret, select (mouse, Shift+keys, Ctrl+A), copy (Ctrl+C, the context
// menu; control bytes as their pictures at U+2400) and scroll, but not type. Enter and Return are
// taken (not passed to the dialog). Assistive technology reads the shown text, the caret and the
// selection, and is told of each change. Used on the window's thread only; CEdit carries calls
// from other threads there.
#pragma once

#include <QAbstractScrollArea>
#include <QByteArray>
#include <memory>

class TextArea : public QAbstractScrollArea {
    Q_OBJECT
public:
    explicit TextArea(QWidget* parent = nullptr);
    ~TextArea() override;

    // The whole text; the caret goes to the start and nothing is selected.
    void setText(const QByteArray& bytes);
    const QByteArray& text() const;

    // Replaces the selection (or inserts at the caret) with bytes; the caret ends right after
    // them and the view scrolls to show it. The caret stays there even where the bytes join the
    // bytes after them into one character, so that a character sent in pieces by successive
    // calls arrives whole. Appends that stream in are painted together, a few times a second.
    void replaceSelection(const QByteArray& bytes);

    // Selection as byte offsets: anchor and caret (the caret is where typing would go). -1 as
    // caret means the end of the text. Offsets are clamped to the text.
    void setSelection(int anchor, int caret);
    int selectionStart() const;  // min(anchor, caret)
    int selectionEnd() const;    // max(anchor, caret)

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;  // the scroll bar counts lines
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
    friend class TextAreaAccessible;
    struct Impl;
    std::unique_ptr<Impl> d;
};
