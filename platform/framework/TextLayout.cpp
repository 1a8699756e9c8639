#include "platform/framework/TextLayout.h"

#include <locale.h>
#include <wchar.h>

#include <QChar>
#include <algorithm>

namespace {

// An edit can change the character that starts up to 3 bytes before it (a UTF-8 character cut
// short) and the CR just before it (which an LF joins).
constexpr int kJoinBytes = 4;

struct Char {
    char32_t code;
    int length;
};

// One UTF-8 character, strictly: overlong forms, surrogates, code points past U+10FFFF and a
// character cut short are bad bytes, each a U+FFFD of its own.
Char Decode(const char* bytes, int size) {
    const auto byte = [bytes](int i) { return static_cast<unsigned char>(bytes[i]); };
    const int lead = byte(0);
    const int length = lead < 0x80 ? 1 : lead < 0xC0 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    char32_t code = length == 1 ? lead : lead & (0x7F >> length);
    for (int i = 1; i < length && i < size && (byte(i) & 0xC0) == 0x80; ++i) {
        code = (code << 6) | (byte(i) & 0x3F);
        if (i == length - 1 && code >= kLeast[length] && code <= 0x10FFFF &&
            (code < 0xD800 || code > 0xDFFF)) {
            return {code, length};
        }
    }
    return length == 1 ? Char{code, 1} : Char{0xFFFD, 1};
}

bool IsBlank(char32_t code) {
    return code == ' ' || code == '\t';
}

int CellWidth(char32_t code, int column) {
    if (code < 0x80) {
        return code == '\t' ? 8 - column % 8 : IsControl(code) ? 2 : 1;
    }
    // wcwidth answers in the locale of the calling thread; the text is UTF-8 in any locale. A
    // combining or unprintable character keeps a cell of its own.
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    const locale_t former = utf8 ? uselocale(utf8) : nullptr;
    const int width = utf8 ? wcwidth(static_cast<wchar_t>(code)) : 1;
    if (former) {
        uselocale(former);
    }
    return width == 2 ? 2 : 1;
}

// A character of the shown text (a line end as '\n'), and its length there.
QString Shown(char32_t code) {
    const char32_t shown = !IsControl(code) || code == '\n' ? code
                           : code == 0x7F                   ? U'\u2421'
                                                            : U'\u2400' + code;
    return QString::fromUcs4(&shown, 1);
}

int ShownLength(char32_t code) {
    return code > 0xFFFF ? 2 : 1;
}

int KindOf(char32_t code) {
    return IsBlank(code) ? 1 : code == '_' || QChar::isLetterOrNumber(code) ? 2 : 3;
}

}  // namespace

bool IsControl(char32_t code) {
    return (code < 0x20 && code != '\t') || code == 0x7F;
}

QString CaretNotation(char32_t code) {
    return QStringLiteral("^") + QLatin1Char(code == 0x7F ? '?' : static_cast<char>(code + 0x40));
}

void TextLayout::setColumns(int columns) {
    m_columns = std::max(1, columns);
    setText(QByteArray(m_text));
}

bool TextLayout::extends(int pos) const {
    return pos == size() && !m_text.endsWith('\r') &&
           std::all_of(m_text.end() - std::min(size(), 3), m_text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

int TextLayout::replace(int from, int to, const QByteArray& bytes) {
    if (extends(from)) {
        const int last = lineCount() - 1;
        m_text.append(bytes);
        layOut(from);
        return last;
    }
    const int line = std::max(0, lineAt(std::max(0, from - kJoinBytes)) - 2);
    const int start = lineStart(line);
    m_text.replace(from, to - from, bytes);
    m_lines.resize(static_cast<size_t>(line));
    startLine(start);
    layOut(start);
    return line;
}

int TextLayout::lineAt(int pos) const {
    const auto it =
        std::upper_bound(m_lines.begin(), m_lines.end(), pos,
                         [](int value, const Line& line) { return value < line.start; });
    return std::max(0, static_cast<int>(it - m_lines.begin()) - 1);
}

std::vector<TextCell> TextLayout::cells(int line) const {
    const Line& l = at(line);
    std::vector<TextCell> out;
    int column = 0;
    for (int pos = l.start; pos < l.end; pos += out.back().length) {
        const Char c = Decode(m_text.constData() + pos, l.end - pos);
        out.push_back(TextCell{pos, c.length, c.code, column, CellWidth(c.code, column)});
        column += out.back().width;
    }
    if (l.terminator > 0) {
        out.push_back(TextCell{l.end, l.terminator, '\n', column, 0});
    }
    return out;
}

TextCell TextLayout::cellAt(int line, int pos) const {
    for (const TextCell& cell : cells(line)) {
        if (pos < cell.pos + cell.length) {
            return cell;
        }
    }
    return TextCell{pos, 0, 0, lineColumns(line), 0};
}

int TextLayout::charStart(int pos) const {
    pos = std::clamp(pos, 0, size());
    return cellAt(lineAt(pos), pos).pos;
}

std::pair<int, int> TextLayout::wordAt(int pos) const {
    std::vector<TextCell> row = cells(lineAt(pos));
    if (!row.empty() && row.back().code == '\n') {
        row.pop_back();
    }
    if (row.empty()) {
        return {pos, pos};
    }
    size_t first = 0;  // at the line's end, the character before
    while (first + 1 < row.size() && row[first].pos + row[first].length <= pos) {
        ++first;
    }
    size_t last = first + 1;
    const int kind = KindOf(row[first].code);
    while (first > 0 && KindOf(row[first - 1].code) == kind) {
        --first;
    }
    while (last < row.size() && KindOf(row[last].code) == kind) {
        ++last;
    }
    return {row[first].pos, row[last - 1].pos + row[last - 1].length};
}

QString TextLayout::shownText(int from, int to) const {
    from = charStart(from);
    to = charStart(to);
    QString out;
    for (int line = lineAt(from); line < lineCount() && lineStart(line) < to; ++line) {
        for (const TextCell& cell : cells(line)) {
            out += cell.pos >= from && cell.pos < to ? Shown(cell.code) : QString();
        }
    }
    return out;
}

int TextLayout::shownOffset(int pos) const {
    const int line = lineAt(pos);
    int offset = at(line).shown;
    for (const TextCell& cell : cells(line)) {
        offset += cell.pos < pos ? ShownLength(cell.code) : 0;
    }
    return offset;
}

int TextLayout::positionAt(int offset) const {
    const auto it =
        std::upper_bound(m_lines.begin(), m_lines.end(), offset,
                         [](int value, const Line& line) { return value < line.shown; });
    const int line = std::max(0, static_cast<int>(it - m_lines.begin()) - 1);
    int shown = at(line).shown;
    for (const TextCell& cell : cells(line)) {
        if (shown >= offset) {
            return cell.pos;
        }
        shown += ShownLength(cell.code);
    }
    return lineEnd(line);
}

void TextLayout::startLine(int pos) {
    int shown = m_lines.empty() ? 0 : m_lines.back().shown;
    for (const TextCell& cell :
         m_lines.empty() ? std::vector<TextCell>() : cells(lineCount() - 1)) {
        shown += ShownLength(cell.code);
    }
    m_lines.push_back(Line{pos, pos, 0, 0, shown});
    m_blankEnd = -1;
    m_closed = false;
}

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
        const bool fits = line.columns == 0 || line.columns + width <= m_columns;
        if (!m_closed && (fits || IsBlank(c.code))) {
            line.columns += width;
            line.end = pos += c.length;
            m_closed = !fits;
            if (IsBlank(c.code)) {
                m_blankEnd = pos;
                m_blankColumns = line.columns;
            }
            continue;
        }
        if (!m_closed && m_blankEnd > line.start) {
            // The characters after the blank move to the next line and are laid out again.
            pos = line.end = m_blankEnd;
            line.columns = m_blankColumns;
        }
        startLine(pos);
    }
}
