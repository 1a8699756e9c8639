// TextLayout: the text of a TextArea on a grid of character cells, everything but the painting.
//
// The text is bytes, shown as UTF-8 whatever the locale, as Qt takes local 8-bit text on Unix.
// Line ends (CR LF, a lone LF, a lone CR) end lines; the last line has no line end and may be
// empty, so "a\r\n" has two. Each character takes one cell, two for an East Asian wide character
// (as the C library's wcwidth tells it under UTF-8) and for a control character, which shows in
// caret notation ("^A"); a tab advances to the next multiple of 8 columns; a byte that starts no
// valid character shows as U+FFFD, one cell each. Lines wrap at a column count: after the last
// blank (space or tab) of the line where it has one, else before the cell that does not fit. A
// line holds at least one character, and a blank that does not fit stays at the end of its line.
//
// Cost: an append to a text whose end is whole (no lone CR, no character cut short) lays out only
// the appended bytes, however long the line it extends; any other edit lays out from two lines
// before it to the end (a line's break depends on the cells of the two lines after it at most).
// Positions are byte offsets; finding a line by position is a binary search.
#pragma once

#include <QByteArray>
#include <QString>
#include <utility>
#include <vector>

// A control character other than the tab (0x00-0x1F, 0x7F), drawn in caret notation.
bool IsControl(char32_t code);
// "^@" for the zero byte, "^A" to "^_", "^?" for DEL.
QString CaretNotation(char32_t code);

// One shown character of a line.
struct TextCell {
    int pos;        // byte offset in the text
    int length;     // bytes
    char32_t code;  // the decoded character
    int column;     // its first cell
    int width;      // cells; for a tab, up to the next tab stop
};

class TextLayout {
public:
    TextLayout();

    void setColumns(int columns);  // lays out the whole text again
    void setText(const QByteArray& bytes);
    // Replaces the bytes [from, to) by bytes, 0 <= from <= to <= text().size(); returns the
    // first line that may have changed.
    int replace(int from, int to, const QByteArray& bytes);
    const QByteArray& text() const { return m_text; }

    int lineCount() const { return static_cast<int>(m_lines.size()); }
    int lineStart(int line) const { return m_lines[static_cast<size_t>(line)].start; }
    // Where the line's characters end: the next line's start where it wraps, else its line end.
    int lineEnd(int line) const { return m_lines[static_cast<size_t>(line)].end; }
    bool lineWraps(int line) const;
    int lineColumns(int line) const { return m_lines[static_cast<size_t>(line)].columns; }
    // The line that shows the character at pos: for a pos in a line end, the line it ends; where
    // a line wraps, the later line.
    int lineAt(int pos) const;
    std::vector<TextCell> cells(int line) const;

    // pos clamped to the text and moved to the start of its character (before the CR of a CR LF).
    int charStart(int pos) const;
    // The character starts next to the character start pos; a line end is one step.
    int nextPosition(int pos) const;
    int previousPosition(int pos) const;
    // The run of characters of one kind (letters and digits, blanks, or other) around the
    // character at pos, within its line, as [first, second).
    std::pair<int, int> wordAt(int pos) const;
    // The shown text of [from, to) as the clipboard gets it: control characters as their pictures
    // (U+2400 + code, U+2421 for DEL), each line end as "\n".
    QString displayText(int from, int to) const;

private:
    struct Line {
        int start;
        int end;
        int terminator;  // bytes of the line end: 0 (wrapped, or the last line), 1 or 2
        int columns;     // cells its characters take
    };

    void startLine(int pos);
    void layOut(int pos);
    bool endIsWhole() const;

    QByteArray m_text;
    int m_columns;
    std::vector<Line> m_lines;
    // Of the last line, whose end is still open: where its last blank ends and at which column,
    // and whether a blank that did not fit closed it.
    int m_blankEnd = -1;
    int m_blankColumns = 0;
    bool m_closed = false;
};
