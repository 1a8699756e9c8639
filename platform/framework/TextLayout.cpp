#include "platform/framework/TextLayout.h"

#include <locale.h>
#include <wchar.h>

#include <QChar>
#include <algorithm>

namespace {

constexpr int kTabColumns = 8;
// An edit can change the character that starts up to 3 bytes before it (a UTF-8 character cut
// short) and the CR just before it (which an LF joins).
constexpr int kJoinBytes = 4;

struct Char {
    char32_t code;
    int length;
};

// One UTF-8 character, strictly: overlong forms, surrogates, code points past U+10FFFF and a
// character cut short by the end are bad bytes, each one U+FFFD of its own.
Char Decode(const char* bytes, int size) {
    const auto byte = [bytes](int i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return {lead, 1};
    }
    const Char bad{0xFFFD, 1};
    const int length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || length > size || lead > 0xF4) {
        return bad;
    }
    char32_t code = lead & (0x7F >> length);
    for (int i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return bad;
        }
        code = (code << 6) | (byte(i) & 0x3F);
    }
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kLeast[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return bad;
    }
    return {code, length};
}

bool IsBlank(char32_t code) {
    return code == ' ' || code == '\t';
}

// wcwidth answers for the locale of the calling thread; the text is UTF-8 in any locale.
int WideWidth(char32_t code) {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    if (!utf8) {
        return 1;
    }
    const locale_t former = uselocale(utf8);
    const int width = wcwidth(static_cast<wchar_t>(code));
    uselocale(former);
    return width == 2 ? 2 : 1;  // a combining or unprintable character keeps a cell of its own
}

int CellWidth(char32_t code, int column) {
    if (code == '\t') {
        return kTabColumns - column % kTabColumns;
    }
    if (IsControl(code)) {
        return 2;
    }
    return code < 0x80 ? 1 : WideWidth(code);
}

enum class Kind { Word, Blank, Other };

Kind KindOf(char32_t code) {
    if (IsBlank(code)) {
        return Kind::Blank;
    }
    return code == '_' || QChar::isLetterOrNumber(code) ? Kind::Word : Kind::Other;
}

}  // namespace

bool IsControl(char32_t code) {
    return (code < 0x20 && code != '\t') || code == 0x7F;
}

QString CaretNotation(char32_t code) {
    return QStringLiteral("^") + QLatin1Char(code == 0x7F ? '?' : static_cast<char>(code + 0x40));
}

TextLayout::TextLayout() : m_columns(80) {
    setText(QByteArray());
}

void TextLayout::setColumns(int columns) {
    m_columns = std::max(1, columns);
    setText(QByteArray(m_text));
}

void TextLayout::setText(const QByteArray& bytes) {
    m_text = bytes;
    m_lines.clear();
    startLine(0);
    layOut(0);
}

int TextLayout::replace(int from, int to, const QByteArray& bytes) {
    const int size = static_cast<int>(m_text.size());
    if (from == size && endIsWhole()) {
        m_text.append(bytes);
        const int line = lineCount() - 1;
        layOut(size);
        return line;
    }
    const int line = std::max(0, lineAt(std::max(0, from - kJoinBytes)) - 2);
    m_text.replace(from, to - from, bytes);
    const int start = lineStart(line);
    m_lines.resize(static_cast<size_t>(line));
    startLine(start);
    layOut(start);
    return line;
}

bool TextLayout::lineWraps(int line) const {
    return line + 1 < lineCount() && m_lines[static_cast<size_t>(line)].terminator == 0;
}

int TextLayout::lineAt(int pos) const {
    const auto it =
        std::upper_bound(m_lines.begin(), m_lines.end(), pos,
                         [](int value, const Line& line) { return value < line.start; });
    return std::max(0, static_cast<int>(it - m_lines.begin()) - 1);
}

std::vector<TextCell> TextLayout::cells(int line) const {
    std::vector<TextCell> out;
    const int end = lineEnd(line);
    int column = 0;
    for (int pos = lineStart(line); pos < end;) {
        const Char c = Decode(m_text.constData() + pos, end - pos);
        const int width = CellWidth(c.code, column);
        out.push_back(TextCell{pos, c.length, c.code, column, width});
        column += width;
        pos += c.length;
    }
    return out;
}

int TextLayout::charStart(int pos) const {
    pos = std::clamp(pos, 0, static_cast<int>(m_text.size()));
    const int line = lineAt(pos);
    if (pos >= lineEnd(line)) {
        return lineEnd(line);
    }
    for (int q = lineStart(line);;) {
        const int next = q + Decode(m_text.constData() + q, lineEnd(line) - q).length;
        if (next > pos) {
            return q;
        }
        q = next;
    }
}

int TextLayout::nextPosition(int pos) const {
    const Line& line = m_lines[static_cast<size_t>(lineAt(pos))];
    if (pos >= line.end) {
        return std::min(static_cast<int>(m_text.size()), line.end + line.terminator);
    }
    return pos + Decode(m_text.constData() + pos, line.end - pos).length;
}

int TextLayout::previousPosition(int pos) const {
    if (pos <= 0) {
        return 0;
    }
    const int line = lineAt(pos);
    if (pos == lineStart(line) && m_lines[static_cast<size_t>(line - 1)].terminator > 0) {
        return lineEnd(line - 1);
    }
    return charStart(pos - 1);
}

std::pair<int, int> TextLayout::wordAt(int pos) const {
    const std::vector<TextCell> row = cells(lineAt(pos));
    if (row.empty()) {
        return {pos, pos};
    }
    // At the line's end the character is the one before.
    size_t at = 0;
    while (at + 1 < row.size() && row[at].pos + row[at].length <= pos) {
        ++at;
    }
    size_t first = at;
    size_t last = at + 1;
    while (first > 0 && KindOf(row[first - 1].code) == KindOf(row[at].code)) {
        --first;
    }
    while (last < row.size() && KindOf(row[last].code) == KindOf(row[at].code)) {
        ++last;
    }
    return {row[first].pos, row[last - 1].pos + row[last - 1].length};
}

QString TextLayout::displayText(int from, int to) const {
    from = charStart(from);
    to = charStart(to);
    QString out;
    for (int line = lineAt(from); line < lineCount() && lineStart(line) < to; ++line) {
        for (const TextCell& cell : cells(line)) {
            if (cell.pos >= from && cell.pos < to) {
                const char32_t code = !IsControl(cell.code) ? cell.code
                                      : cell.code == 0x7F   ? U'\u2421'
                                                            : U'\u2400' + cell.code;
                out.append(QString::fromUcs4(&code, 1));
            }
        }
        const Line& l = m_lines[static_cast<size_t>(line)];
        if (l.terminator > 0 && from <= l.end && l.end < to) {
            out.append(QLatin1Char('\n'));
        }
    }
    return out;
}

void TextLayout::startLine(int pos) {
    m_lines.push_back(Line{pos, pos, 0, 0});
    m_blankEnd = -1;
    m_blankColumns = 0;
    m_closed = false;
}

// Lays out the bytes from pos on, which continue the last line as it stands.
void TextLayout::layOut(int pos) {
    const char* bytes = m_text.constData();
    const int size = static_cast<int>(m_text.size());
    while (pos < size) {
        Line& line = m_lines.back();
        if (bytes[pos] == '\r' || bytes[pos] == '\n') {
            line.terminator =
                bytes[pos] == '\r' && pos + 1 < size && bytes[pos + 1] == '\n' ? 2 : 1;
            pos += line.terminator;
            startLine(pos);
            continue;
        }
        const Char c = Decode(bytes + pos, size - pos);
        const int width = CellWidth(c.code, line.columns);
        if (m_closed || (line.columns > 0 && line.columns + width > m_columns)) {
            if (!m_closed && IsBlank(c.code)) {
                line.columns += width;
                pos += c.length;
                line.end = pos;
                m_closed = true;
                continue;
            }
            if (!m_closed && m_blankEnd > line.start) {
                // The characters after the blank move to the next line and are laid out again.
                pos = m_blankEnd;
                line.columns = m_blankColumns;
            }
            line.end = pos;
            startLine(pos);
            continue;
        }
        line.columns += width;
        pos += c.length;
        line.end = pos;
        if (IsBlank(c.code)) {
            m_blankEnd = pos;
            m_blankColumns = line.columns;
        }
    }
}

// Whether bytes appended could change no character already there: the text does not end in a
// CR (an LF would join it) or in bytes that could begin a longer character.
bool TextLayout::endIsWhole() const {
    const int size = static_cast<int>(m_text.size());
    if (size > 0 && m_text.at(size - 1) == '\r') {
        return false;
    }
    for (int i = std::max(0, size - 3); i < size; ++i) {
        if (static_cast<unsigned char>(m_text.at(i)) >= 0x80) {
            return false;
        }
    }
    return true;
}
