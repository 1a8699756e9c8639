// TextLayout: the text of a TextArea and its lines, everything but the painting.
//
// The text is bytes in the process's code page (CodePage.h). Line ends (CR LF, a lone LF, a
// lone CR) split it into paragraphs; the last paragraph has no line end and may be empty, so
// "a\r\n" has two. Each paragraph is wrapped into visual lines no wider than the wrap width:
// after the last blank (space or tab) of the line where it has one, else before the character
// that does not fit; a line always holds at least one character, and a blank that does not
// fit stays at the end of its line. Tabs advance to the next multiple of 8 space widths from
// the start of the visual line.
//
// Cost: replace() re-splits only the paragraphs around the edit and keeps the visual lines of
// the first of them whose breaks are settled by bytes before the edit. Appending at the end
// of the text therefore re-wraps only the last visual line (or the last two, when the edit
// comes within one character length of the last break), whatever the length of the paragraph.
// Finding a line by number or by position is a binary search.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <functional>
#include <utility>
#include <vector>

class CodePageDecoder;

// A control character other than the tab (0x00-0x1F, 0x7F): drawn by the text area itself in
// caret notation, so that it stays legible in any font.
bool IsControl(char32_t code);
// Its caret notation: "^@" for the zero byte, "^A" to "^_", "^?" for DEL.
QString CaretNotation(char32_t code);

// What stands for a decoded character in the shown text handed on (the clipboard, assistive
// technology): control characters as their control pictures (U+2400 + code, U+2421 for DEL);
// everything else, the tab included, as itself. Bytes that are not valid text decode as
// U+FFFD already.
char32_t DisplaySymbol(char32_t code);

// One shown character of a visual line.
struct TextCell {
    int pos;          // byte offset in the text
    int length;       // bytes
    char32_t symbol;  // the decoded character
    qreal x;          // left edge, from the start of the line
    qreal width;      // advance; for a tab, up to the next tab stop
};

class TextLayout {
public:
    // The advance of a decoded character other than '\t'.
    using Advance = std::function<qreal(char32_t symbol)>;

    // Starts empty, every symbol 1 wide and no width limit.
    TextLayout();

    // A new wrap width or new advances: lays out the whole text again.
    void setWrap(qreal width, Advance advance);

    void setText(const QByteArray& bytes);
    // Replaces the bytes [from, to) by bytes; 0 <= from <= to <= text().size().
    void replace(int from, int to, const QByteArray& bytes);
    const QByteArray& text() const { return m_text; }

    int lineCount() const { return m_firstLine.back(); }
    int lineStart(int line) const;
    // Where the line's characters end: the next line's start when the line wraps, else where
    // its line end begins (or the text ends).
    int lineEnd(int line) const;
    bool lineWraps(int line) const;  // the next line continues its paragraph
    // The line that shows the character at pos (for a pos inside a line end, the line it
    // ends; for a pos where a line wraps, the later line).
    int lineAt(int pos) const;
    std::vector<TextCell> cells(int line) const;

    // pos clamped to the text and moved to the start of the character it lies in; a pos
    // between CR and LF moves before the CR.
    int charStart(int pos) const;
    // The character starts next to a character start pos; a line end counts as one step.
    int nextPosition(int pos) const;
    int previousPosition(int pos) const;
    // The run of characters of one kind (letters and digits, blanks, or other) around the
    // character at pos, within its paragraph, as [first, second).
    std::pair<int, int> wordAt(int pos) const;
    // The shown text of [from, to): symbols as shown, tabs as '\t', each line end as "\n".
    QString displayText(int from, int to) const;

private:
    struct Line {
        int start;      // from the paragraph's start
        int settledBy;  // this and the earlier breaks depend only on bytes before here
    };
    struct Paragraph {
        int start;       // byte offset in the text
        int length;      // bytes before the line end
        int terminator;  // bytes of the line end: 0 (last paragraph), 1 or 2
        std::vector<Line> lines;
        int contentEnd() const { return start + length; }
        int end() const { return start + length + terminator; }
    };
    struct Break {
        int next;       // start of the next line; the paragraph's end when the rest fits
        int settledBy;  // end of the bytes the break depends on
    };

    int paragraphAt(int pos) const;
    int paragraphOfLine(int line) const;
    std::vector<Paragraph> split(int start, int scanFrom, int end, bool last) const;
    void wrapFrom(Paragraph& para, size_t line) const;
    Break breakLine(const CodePageDecoder& decoder, int pos, int end) const;
    qreal advanceAt(char32_t symbol, qreal x) const;
    void recountFrom(size_t paragraph);

    QByteArray m_text;
    qreal m_width;
    Advance m_advance;
    std::vector<Paragraph> m_paras;
    // m_firstLine[i]: visual lines before paragraph i; the last entry is the total.
    std::vector<int> m_firstLine;
};
