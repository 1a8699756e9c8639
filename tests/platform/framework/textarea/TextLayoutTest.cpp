#include "platform/framework/TextLayout.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tests/platform/framework/textarea/ScopedLocale.h"

namespace {

// Every symbol one column wide: widths count characters.
TextLayout Columns(int columns, const QByteArray& text) {
    TextLayout layout;
    layout.setWrap(columns, [](char32_t) { return 1.0; });
    layout.setText(text);
    return layout;
}

std::vector<QByteArray> Lines(const TextLayout& layout) {
    std::vector<QByteArray> out;
    for (int i = 0; i < layout.lineCount(); ++i) {
        const int start = layout.lineStart(i);
        out.push_back(layout.text().mid(start, layout.lineEnd(i) - start));
    }
    return out;
}

std::vector<char32_t> Symbols(const TextLayout& layout, int line) {
    std::vector<char32_t> out;
    for (const TextCell& cell : layout.cells(line)) {
        out.push_back(cell.symbol);
    }
    return out;
}

using Bytes = std::vector<QByteArray>;

class TextLayoutUtf8 : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_locale.ok()); }
    ScopedLocale m_locale{"C.UTF-8"};
};

}  // namespace

TEST(TextLayout, EachKindOfLineEndEndsOneLine) {
    EXPECT_EQ(Lines(Columns(80, "a\r\nb\nc\rd")), (Bytes{"a", "b", "c", "d"}));
    EXPECT_EQ(Lines(Columns(80, "a\r\n")), (Bytes{"a", ""}));
    EXPECT_EQ(Lines(Columns(80, "\r\r\n\n")), (Bytes{"", "", "", ""}));
    EXPECT_EQ(Lines(Columns(80, "")), (Bytes{""}));
    EXPECT_EQ(Lines(Columns(80, "\n\r")), (Bytes{"", "", ""}));
}

TEST(TextLayout, EditsJoinAndSplitCrLf) {
    TextLayout layout = Columns(80, "a\r");
    layout.replace(2, 2, "\n");  // the CR that ended the text becomes a CR LF
    EXPECT_EQ(Lines(layout), (Bytes{"a", ""}));
    layout.replace(2, 2, "x");  // between CR and LF: a lone CR, then a line ended by the LF
    EXPECT_EQ(Lines(layout), (Bytes{"a", "x", ""}));
    layout.replace(2, 3, "");  // the CR LF again
    EXPECT_EQ(Lines(layout), (Bytes{"a", ""}));
    layout.replace(1, 2, "");  // a lone LF is left
    EXPECT_EQ(Lines(layout), (Bytes{"a", ""}));
    EXPECT_EQ(layout.text(), "a\n");
}

TEST(TextLayout, RunOfDotsWrapsIntoCeilOfLengthOverColumns) {
    for (const int n : {1, 79, 80, 81, 160, 161, 1000, 100000}) {
        const TextLayout layout = Columns(80, QByteArray(n, '.'));
        EXPECT_EQ(layout.lineCount(), (n + 79) / 80) << n;
    }
    TextLayout appended = Columns(80, "");
    for (int n = 1; n <= 2000; ++n) {
        appended.replace(n - 1, n - 1, ".");
        ASSERT_EQ(appended.lineCount(), (n + 79) / 80) << n;
    }
    EXPECT_EQ(appended.lineStart(24), 24 * 80);
}

TEST(TextLayout, WrapsAfterTheLastBlankElseAnywhere) {
    EXPECT_EQ(Lines(Columns(5, "aaa bbb ccc")), (Bytes{"aaa ", "bbb ", "ccc"}));
    EXPECT_EQ(Lines(Columns(4, "abcdefgh ij")), (Bytes{"abcd", "efgh ", "ij"}));
    // A blank that does not fit stays at the end of its line.
    EXPECT_EQ(Lines(Columns(4, "abcd efgh")), (Bytes{"abcd ", "efgh"}));
    // A tab is a blank too.
    EXPECT_EQ(Lines(Columns(10, "ab\tcdefghij")), (Bytes{"ab\t", "cdefghij"}));
    // Narrower than one character: still one character a line.
    EXPECT_EQ(Lines(Columns(0, "abc")), (Bytes{"a", "b", "c"}));
}

TEST(TextLayout, TabsAdvanceToTheNextMultipleOfEightColumns) {
    const TextLayout layout = Columns(80, "a\tb\t\tc1234567\td");
    std::vector<qreal> xs;
    for (const TextCell& cell : layout.cells(0)) {
        xs.push_back(cell.x);
    }
    const std::vector<qreal> expected{0, 1, 8, 9, 16, 24, 25, 26, 27, 28, 29, 30, 31, 32, 40};
    EXPECT_EQ(xs, expected);
    // Stops count from the start of each visual line.
    const TextLayout wrapped = Columns(12, "aaaaaaaaaa bb\tc");
    ASSERT_EQ(Lines(wrapped), (Bytes{"aaaaaaaaaa ", "bb\tc"}));
    EXPECT_EQ(wrapped.cells(1)[3].x, 8);
}

TEST_F(TextLayoutUtf8, CellsDecodeCharactersAndShowBadBytesOneEach) {
    const TextLayout layout = Columns(80, QByteArray("\x01\xe3\x81\x82\x80\x7f\0z", 8));
    EXPECT_EQ(Symbols(layout, 0), (std::vector<char32_t>{1, U'\u3042', U'\uFFFD', 0x7F, 0, U'z'}));
    // Handed on as control pictures, drawn in caret notation.
    EXPECT_EQ(DisplaySymbol(0x1F), U'\u241F');
    EXPECT_EQ(DisplaySymbol(0x7F), U'\u2421');
    EXPECT_EQ(DisplaySymbol('\t'), U'\t');
    EXPECT_EQ(CaretNotation(0) + CaretNotation(0x1B) + CaretNotation(0x7F), "^@^[^?");
    const std::vector<TextCell> cells = layout.cells(0);
    EXPECT_EQ(cells[1].pos, 1);
    EXPECT_EQ(cells[1].length, 3);
    EXPECT_EQ(cells[2].pos, 4);
    EXPECT_EQ(cells[2].length, 1);
}

TEST_F(TextLayoutUtf8, PositionsMoveToCharacterStarts) {
    const TextLayout layout = Columns(80,
                                      "a\xe3\x81\x82"
                                      "b\r\nc");
    EXPECT_EQ(layout.charStart(-3), 0);
    EXPECT_EQ(layout.charStart(2), 1);
    EXPECT_EQ(layout.charStart(3), 1);
    EXPECT_EQ(layout.charStart(4), 4);
    EXPECT_EQ(layout.charStart(6), 5);  // between CR and LF: before the CR
    EXPECT_EQ(layout.charStart(100), 8);

    EXPECT_EQ(layout.nextPosition(1), 4);
    EXPECT_EQ(layout.nextPosition(5), 7);  // over the whole CR LF
    EXPECT_EQ(layout.nextPosition(8), 8);
    EXPECT_EQ(layout.previousPosition(7), 5);
    EXPECT_EQ(layout.previousPosition(4), 1);
    EXPECT_EQ(layout.previousPosition(0), 0);

    EXPECT_EQ(layout.lineAt(6), 0);  // inside the line end: the line it ends
    EXPECT_EQ(layout.lineAt(7), 1);
}

TEST_F(TextLayoutUtf8, WordsAndShownText) {
    const TextLayout words = Columns(80, "foo  bar...\xc3\xa9t\xc3\xa9\r\nx");
    EXPECT_EQ(words.wordAt(1), std::make_pair(0, 3));
    EXPECT_EQ(words.wordAt(3), std::make_pair(3, 5));
    EXPECT_EQ(words.wordAt(9), std::make_pair(8, 11));
    EXPECT_EQ(words.wordAt(12), std::make_pair(11, 16));  // letters beyond ASCII
    EXPECT_EQ(words.wordAt(16), std::make_pair(11, 16));  // at the line's end
    EXPECT_EQ(words.wordAt(18), std::make_pair(18, 19));

    const TextLayout shown = Columns(80, "a\tb\r\nc\x01\xff\rd\ne");
    EXPECT_EQ(shown.displayText(0, static_cast<int>(shown.text().size())),
              QString::fromUtf8("a\tb\nc\xe2\x90\x81\xef\xbf\xbd\nd\ne"));
    EXPECT_EQ(shown.displayText(2, 6), QString::fromUtf8("b\nc"));
    EXPECT_EQ(shown.displayText(4, 1), QString());
}

// The incremental layout must give exactly what laying out the same text afresh gives, for
// any edit: line ends made and broken, characters completed or cut in pieces, blanks moving
// breaks back and forth.
TEST(TextLayout, IncrementalLayoutEqualsAFreshOne) {
    const std::vector<QByteArray> pieces{
        "a",    "bc",           " ",        "\t",   "\r",   "\n",    "\r\n", "\xe3", "\x81",
        "\x82", "\xe3\x81\x82", "\xc3\xa9", "\x01", "\xff", "wxyz ", "...."};
    // Wide symbols and a fractional one, so that widths do not line up with columns.
    const auto advance = [](char32_t s) { return s < 0x80 ? 1.0 : s == 0xFFFD ? 1.5 : 2.0; };
    for (const char* name : {"C", "C.UTF-8"}) {
        ScopedLocale locale(name);
        ASSERT_TRUE(locale.ok()) << name;
        for (const qreal width : {3.0, 7.0, 12.5}) {
            SCOPED_TRACE(testing::Message() << name << ", width " << width);
            std::mt19937 random(20240531);
            const auto pick = [&](int n) {
                return std::uniform_int_distribution<int>(0, n)(random);
            };
            TextLayout layout;
            layout.setWrap(width, advance);
            // Every third edit appends, the case that keeps most of the old layout.
            for (int step = 0; step < 2000; ++step) {
                const int size = static_cast<int>(layout.text().size());
                const int from = step % 3 == 0 ? size : pick(size);
                const int to = std::min(size, from + (pick(3) == 0 ? pick(5) : 0));
                const QByteArray bytes = pick(8) == 0 ? QByteArray() : pieces[pick(15)];
                layout.replace(from, to, bytes);

                TextLayout fresh;
                fresh.setWrap(width, advance);
                fresh.setText(layout.text());
                ASSERT_EQ(layout.lineCount(), fresh.lineCount()) << "step " << step;
                for (int i = 0; i < fresh.lineCount(); ++i) {
                    ASSERT_EQ(layout.lineStart(i), fresh.lineStart(i)) << "step " << step;
                    ASSERT_EQ(layout.lineEnd(i), fresh.lineEnd(i)) << "step " << step;
                }
            }
        }
    }
}

// Appending measures only the end of the paragraph, however long it is.
TEST(TextLayout, AppendingMeasuresOnlyTheLastLines) {
    int measured = 0;
    TextLayout layout;
    layout.setWrap(80, [&measured](char32_t) {
        ++measured;
        return 1.0;
    });
    layout.setText(QByteArray(100000, '.'));
    for (int i = 0; i < 100; ++i) {
        measured = 0;
        layout.replace(static_cast<int>(layout.text().size()),
                       static_cast<int>(layout.text().size()), ".");
        EXPECT_LE(measured, 2 * 81);
    }
    EXPECT_EQ(layout.lineCount(), (100100 + 79) / 80);
}
