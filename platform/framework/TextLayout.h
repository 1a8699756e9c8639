// TextLayout: the text of a TextArea on a grid of character cells, everything but the painting.
//
// The bytes are shown as UTF-8 under every locale, as Qt takes local 8-bit text on Unix; a byte
// that starts no valid character shows as U+FFFD, one cell each. CR LF, a lone LF and a lone CR
// end lines. A character takes one cell, two where wcwidth (under UTF-8) says it is wide, and a
// control character two, in caret notation ("^A"); a tab advances to the next multiple of 8.
// Lines wrap at a column count after their last blank (space or tab), else before the cell that
// does not fit; a line holds at least one character, and a blank that does not fit stays on it.
//
// An append to a text whose end is whole (no lone CR, no character cut short) lays out only the
// bytes appended; any other edit lays out from two lines before it on, since a line's break can
// depend on the first cell of the line after the next. Positions are byte offsets.
//
// The shown text is what the clipboard and assistive technology get: control characters as
// their pictures (U+2400 + code, U+2421 for DEL), each line end as "\n".
#pragma once

#include <QByteArray>
#include <QString>
#include <utility>
#include <vector>

bool IsControl(char32_t code);         // 0x00-0x1F but the tab, and 0x7F
QString CaretNotation(char32_t code);  // "^@", "^A" ... "^_", "^?"

// A character's cells; a line end is a cell too, of code '\n' and no width, after the characters.
struct TextCell {
    int pos;     // byte offset
    int length;  // bytes
    char32_t code;
    int column;
    int width;  // cells; for a tab, up to the next tab stop
};

class TextLayout {
public:
    void setColumns(int columns);  // lays out the whole text again
    void setText(const QByteArray& bytes) { replace(0, size(), bytes); }
    // Replaces [from, to) by bytes; returns the first line that may have changed.
    int replace(int from, int to, const QByteArray& bytes);
    // Whether an edit at pos only adds cells after those there: at the end, after a whole
    // character and no CR that an LF would join.
    bool extends(int pos) const;
    const QByteArray& text() const { return m_text; }
    int size() const { return static_cast<int>(m_text.size()); }

    int lineCount() const { return static_cast<int>(m_lines.size()); }
    int lineStart(int line) const { return at(line).start; }
    int lineEnd(int line) const { return at(line).end; }  // before its line end
    int lineColumns(int line) const { return at(line).columns; }
    // The line showing the character at pos (for a pos in a line end, the line it ends).
    int lineAt(int pos) const;
    std::vector<TextCell> cells(int line) const;
    // The cell holding pos in the line; past the line's end, one of no bytes after it.
    TextCell cellAt(int line, int pos) const;
    int columnOf(int line, int pos) const { return cellAt(line, pos).column; }
    // pos clamped and moved to the start of its character (before the CR of a CR LF).
    int charStart(int pos) const;
    int nextPosition(int pos) const {  // a line end is one step
        const TextCell cell = cellAt(lineAt(pos), pos);
        return cell.pos + cell.length;
    }
    // The run of one kind of character (letters and digits, blanks, other) around pos, in its line.
    std::pair<int, int> wordAt(int pos) const;

    QString shownText(int from, int to) const;
    int shownOffset(int pos) const;    // of the character start pos
    int positionAt(int offset) const;  // the first character start at or after a shown offset

private:
    struct Line {
        int start;
        int end;
        int terminator;  // bytes of its line end; 0 where it wraps, and for the last line
        int columns;
        int shown;  // the shown text's length before the line
    };
    const Line& at(int line) const { return m_lines[static_cast<size_t>(line)]; }
    void startLine(int pos);
    void layOut(int pos);  // the bytes from pos on, continuing the last line

    QByteArray m_text;
    int m_columns = 80;
    std::vector<Line> m_lines{Line{0, 0, 0, 0, 0}};
    // Of the last line: where its last blank ends and at which column, and whether a blank that
    // did not fit has closed it.
    int m_blankEnd = -1;
    int m_blankColumns = 0;
    bool m_closed = false;
};
