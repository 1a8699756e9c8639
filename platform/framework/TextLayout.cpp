#include "platform/framework/TextLayout.h"

#include <QChar>
#include <algorithm>
#include <climits>
#include <cmath>
#include <iterator>
#include <limits>

#include "platform/framework/CodePage.h"

namespace {

constexpr int kTabColumns = 8;

bool IsBlank(char32_t symbol) {
    return symbol == ' ' || symbol == '\t';
}

enum class Kind { Word, Blank, Other };

Kind KindOf(char32_t symbol) {
    if (IsBlank(symbol)) {
        return Kind::Blank;
    }
    if (symbol == '_' || QChar::isLetterOrNumber(symbol)) {
        return Kind::Word;
    }
    return Kind::Other;
}

void AppendSymbol(QString& out, char32_t symbol) {
    if (QChar::requiresSurrogates(symbol)) {
        out.append(QChar(QChar::highSurrogate(symbol)));
        out.append(QChar(QChar::lowSurrogate(symbol)));
    } else {
        out.append(QChar(static_cast<char16_t>(symbol)));
    }
}

}  // namespace

bool IsControl(char32_t code) {
    return (code < 0x20 && code != '\t') || code == 0x7F;
}

QString CaretNotation(char32_t code) {
    const char letter = code == 0x7F ? '?' : static_cast<char>(code + 0x40);
    return QStringLiteral("^") + QLatin1Char(letter);
}

char32_t DisplaySymbol(char32_t code) {
    if (!IsControl(code)) {
        return code;
    }
    return code == 0x7F ? 0x2421 : 0x2400 + code;
}

TextLayout::TextLayout()
    : m_width(std::numeric_limits<qreal>::infinity()), m_advance([](char32_t) { return 1.0; }) {
    setText(QByteArray());
}

void TextLayout::setWrap(qreal width, Advance advance) {
    m_width = width;
    m_advance = std::move(advance);
    for (Paragraph& para : m_paras) {
        para.lines.assign(1, Line{0, 0});
        wrapFrom(para, 0);
    }
    recountFrom(0);
}

void TextLayout::setText(const QByteArray& bytes) {
    m_text = bytes;
    m_paras = split(0, 0, static_cast<int>(m_text.size()), true);
    for (Paragraph& para : m_paras) {
        wrapFrom(para, 0);
    }
    m_firstLine.assign(1, 0);
    recountFrom(0);
}

// The edit can change the paragraphs from the one holding `from` (or the one before, when a
// lone CR ends just before `from` and could become the CR of a CR LF) to the one holding `to`.
// That stretch is split again: its start stays a paragraph start, and its end stays one
// because the line end that closed it is still there. Bytes before `from` hold no line ends
// of the first paragraph, so the scan begins at `from` at the latest.
void TextLayout::replace(int from, int to, const QByteArray& bytes) {
    Q_ASSERT(0 <= from && from <= to && to <= m_text.size());
    const bool afterCr = from > 0 && m_text.at(from - 1) == '\r';
    const size_t first = static_cast<size_t>(paragraphAt(afterCr ? from - 1 : from));
    const size_t last = static_cast<size_t>(paragraphAt(to));
    const int regionStart = m_paras[first].start;
    const int scanFrom = std::min(from, m_paras[first].contentEnd());
    const int delta = static_cast<int>(bytes.size()) - (to - from);
    const int regionEnd = m_paras[last].end() + delta;
    std::vector<Line> kept = std::move(m_paras[first].lines);

    if (from == m_text.size()) {
        m_text.append(bytes);  // the common case: grows in place
    } else {
        m_text.replace(from, to - from, bytes);
    }

    std::vector<Paragraph> fresh =
        split(regionStart, scanFrom, regionEnd, last + 1 == m_paras.size());
    // The first paragraph still starts at regionStart, so its breaks that depend only on bytes
    // before the edit stand; the first line after them is laid out again from its start.
    size_t keep = kept.size() - 1;
    while (keep > 0 && kept[keep - 1].settledBy > from - regionStart) {
        --keep;
    }
    kept.resize(keep + 1);
    fresh.front().lines = std::move(kept);
    wrapFrom(fresh.front(), keep);
    for (size_t i = 1; i < fresh.size(); ++i) {
        wrapFrom(fresh[i], 0);
    }

    for (size_t i = last + 1; i < m_paras.size(); ++i) {
        m_paras[i].start += delta;
    }
    const auto at = m_paras.begin() + static_cast<std::ptrdiff_t>(first);
    m_paras.erase(at, at + static_cast<std::ptrdiff_t>(last - first + 1));
    m_paras.insert(m_paras.begin() + static_cast<std::ptrdiff_t>(first),
                   std::make_move_iterator(fresh.begin()), std::make_move_iterator(fresh.end()));
    recountFrom(first);
}

int TextLayout::lineStart(int line) const {
    const int p = paragraphOfLine(line);
    const Paragraph& para = m_paras[static_cast<size_t>(p)];
    return para.start + para.lines[static_cast<size_t>(line - m_firstLine[p])].start;
}

int TextLayout::lineEnd(int line) const {
    const int p = paragraphOfLine(line);
    const Paragraph& para = m_paras[static_cast<size_t>(p)];
    const size_t k = static_cast<size_t>(line - m_firstLine[p]);
    return k + 1 < para.lines.size() ? para.start + para.lines[k + 1].start : para.contentEnd();
}

bool TextLayout::lineWraps(int line) const {
    const int p = paragraphOfLine(line);
    return static_cast<size_t>(line - m_firstLine[p] + 1) <
           m_paras[static_cast<size_t>(p)].lines.size();
}

int TextLayout::lineAt(int pos) const {
    const int p = paragraphAt(pos);
    const Paragraph& para = m_paras[static_cast<size_t>(p)];
    const int rel = std::min(pos, para.contentEnd()) - para.start;
    const auto it = std::upper_bound(para.lines.begin(), para.lines.end(), rel,
                                     [](int value, const Line& l) { return value < l.start; });
    return m_firstLine[p] + static_cast<int>(it - para.lines.begin()) - 1;
}

std::vector<TextCell> TextLayout::cells(int line) const {
    const CodePageDecoder decoder;
    const Paragraph& para = m_paras[static_cast<size_t>(paragraphOfLine(line))];
    const char* bytes = m_text.constData();
    const int end = lineEnd(line);
    std::vector<TextCell> out;
    qreal x = 0;
    for (int pos = lineStart(line); pos < end;) {
        const CodePageChar c = decoder.decode(bytes + pos, para.contentEnd() - pos);
        const qreal width = advanceAt(c.code, x);
        out.push_back(TextCell{pos, c.length, c.code, x, width});
        x += width;
        pos += c.length;
    }
    return out;
}

int TextLayout::charStart(int pos) const {
    pos = std::clamp(pos, 0, static_cast<int>(m_text.size()));
    const int p = paragraphAt(pos);
    const Paragraph& para = m_paras[static_cast<size_t>(p)];
    if (pos >= para.contentEnd()) {
        return para.contentEnd();
    }
    const CodePageDecoder decoder;
    const char* bytes = m_text.constData();
    for (int q = lineStart(lineAt(pos));;) {
        const int length = decoder.decode(bytes + q, para.contentEnd() - q).length;
        if (q + length > pos) {
            return q;
        }
        q += length;
    }
}

int TextLayout::nextPosition(int pos) const {
    if (pos >= m_text.size()) {
        return static_cast<int>(m_text.size());
    }
    const Paragraph& para = m_paras[static_cast<size_t>(paragraphAt(pos))];
    if (pos >= para.contentEnd()) {
        return para.end();
    }
    return pos + CodePageDecoder().decode(m_text.constData() + pos, para.contentEnd() - pos).length;
}

int TextLayout::previousPosition(int pos) const {
    if (pos <= 0) {
        return 0;
    }
    const int p = paragraphAt(pos);
    if (pos == m_paras[static_cast<size_t>(p)].start) {
        return m_paras[static_cast<size_t>(p - 1)].contentEnd();
    }
    return charStart(pos - 1);
}

std::pair<int, int> TextLayout::wordAt(int pos) const {
    pos = charStart(pos);
    const Paragraph& para = m_paras[static_cast<size_t>(paragraphAt(pos))];
    if (para.length == 0) {
        return {pos, pos};
    }
    const CodePageDecoder decoder;
    std::vector<int> starts;
    std::vector<Kind> kinds;
    const char* bytes = m_text.constData();
    for (int q = para.start; q < para.contentEnd();) {
        const CodePageChar c = decoder.decode(bytes + q, para.contentEnd() - q);
        starts.push_back(q);
        kinds.push_back(KindOf(c.code));
        q += c.length;
    }
    starts.push_back(para.contentEnd());
    // At the paragraph's end the character is the one before.
    size_t at =
        static_cast<size_t>(std::lower_bound(starts.begin(), starts.end(), pos) - starts.begin());
    at = std::min(at, kinds.size() - 1);
    size_t first = at;
    size_t last = at + 1;
    while (first > 0 && kinds[first - 1] == kinds[at]) {
        --first;
    }
    while (last < kinds.size() && kinds[last] == kinds[at]) {
        ++last;
    }
    return {starts[first], starts[last]};
}

QString TextLayout::displayText(int from, int to) const {
    from = charStart(from);
    to = charStart(to);
    const CodePageDecoder decoder;
    QString out;
    const char* bytes = m_text.constData();
    for (size_t p = static_cast<size_t>(paragraphAt(from));
         p < m_paras.size() && m_paras[p].start < to; ++p) {
        const Paragraph& para = m_paras[p];
        const int stop = std::min(to, para.contentEnd());
        for (int q = std::max(from, para.start); q < stop;) {
            const CodePageChar c = decoder.decode(bytes + q, para.contentEnd() - q);
            AppendSymbol(out, DisplaySymbol(c.code));
            q += c.length;
        }
        if (to > para.contentEnd() && para.terminator > 0) {
            out.append(QLatin1Char('\n'));
        }
    }
    return out;
}

int TextLayout::paragraphAt(int pos) const {
    const auto it = std::upper_bound(m_paras.begin(), m_paras.end(), pos,
                                     [](int value, const Paragraph& p) { return value < p.start; });
    return static_cast<int>(it - m_paras.begin()) - 1;
}

int TextLayout::paragraphOfLine(int line) const {
    return static_cast<int>(std::upper_bound(m_firstLine.begin(), m_firstLine.end(), line) -
                            m_firstLine.begin()) -
           1;
}

// Paragraphs of the bytes [start, end), where [start, scanFrom) holds no line end. end is just
// after a line end, or the text's end when the bytes hold the last paragraph (last).
std::vector<TextLayout::Paragraph> TextLayout::split(int start, int scanFrom, int end,
                                                     bool last) const {
    std::vector<Paragraph> out;
    const char* bytes = m_text.constData();
    int paraStart = start;
    for (int p = scanFrom; p < end;) {
        const char c = bytes[p];
        if (c != '\n' && c != '\r') {
            ++p;
            continue;
        }
        const int terminator = (c == '\r' && p + 1 < end && bytes[p + 1] == '\n') ? 2 : 1;
        out.push_back(Paragraph{paraStart, p - paraStart, terminator, {Line{0, 0}}});
        p += terminator;
        paraStart = p;
    }
    if (last) {
        out.push_back(Paragraph{paraStart, end - paraStart, 0, {Line{0, 0}}});
    }
    return out;
}

// Lays out para from the start of its visual line `line` (kept, like the lines before it).
void TextLayout::wrapFrom(Paragraph& para, size_t line) const {
    const CodePageDecoder decoder;
    para.lines.resize(line + 1);
    int settled = line > 0 ? para.lines[line - 1].settledBy : 0;
    const int end = para.contentEnd();
    for (int pos = para.start + para.lines[line].start;;) {
        const Break b = breakLine(decoder, pos, end);
        if (b.next >= end) {
            // The last line depends on everything up to the paragraph's end.
            para.lines.back().settledBy = INT_MAX;
            return;
        }
        settled = std::max(settled, b.settledBy - para.start);
        para.lines.back().settledBy = settled;
        para.lines.push_back(Line{b.next - para.start, 0});
        pos = b.next;
    }
}

// Where the visual line starting at pos ends. The decision reads the characters up to the
// first one that does not fit, each of them depending on at most maxCharLength() bytes; and a
// break makes a new line only if a byte follows it.
TextLayout::Break TextLayout::breakLine(const CodePageDecoder& decoder, int pos, int end) const {
    const char* bytes = m_text.constData();
    const int window = decoder.maxCharLength();
    qreal x = 0;
    int afterBlank = -1;
    for (int p = pos; p < end;) {
        const CodePageChar c = decoder.decode(bytes + p, end - p);
        const qreal width = advanceAt(c.code, x);
        const bool blank = IsBlank(c.code);
        if (p > pos && x + width > m_width) {
            if (blank) {
                return {p + c.length, std::max(p + window, p + c.length + 1)};
            }
            return {afterBlank > pos ? afterBlank : p, p + window};
        }
        x += width;
        if (blank) {
            afterBlank = p + c.length;
        }
        p += c.length;
    }
    return {end, end};
}

qreal TextLayout::advanceAt(char32_t symbol, qreal x) const {
    if (symbol != '\t') {
        return m_advance(symbol);
    }
    const qreal stop = kTabColumns * m_advance(' ');
    if (!(stop > 0)) {
        return 0;
    }
    return (std::floor(x / stop) + 1) * stop - x;
}

void TextLayout::recountFrom(size_t paragraph) {
    m_firstLine.resize(m_paras.size() + 1);
    for (size_t i = paragraph; i < m_paras.size(); ++i) {
        m_firstLine[i + 1] = m_firstLine[i] + static_cast<int>(m_paras[i].lines.size());
    }
}
