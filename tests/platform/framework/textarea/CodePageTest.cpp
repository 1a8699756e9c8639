#include "platform/framework/CodePage.h"

#include <gtest/gtest.h>

#include "tests/platform/framework/textarea/ScopedLocale.h"

namespace {

const QString kReplacement(QChar(0xFFFD));

QString Replacements(int n) {
    return kReplacement.repeated(n);
}

}  // namespace

TEST(CodePage, CLocaleIsAsciiAndEveryOtherByteIsOneReplacement) {
    ScopedLocale locale("C");
    ASSERT_TRUE(locale.ok());
    EXPECT_EQ(CodePageDecoder().maxCharLength(), 1);

    QByteArray ascii;
    for (int b = 1; b < 0x80; ++b) {
        ascii.append(static_cast<char>(b));
    }
    const QString text = FromCodePage(ascii);
    ASSERT_EQ(text.size(), 0x7F);
    for (int i = 0; i < text.size(); ++i) {
        EXPECT_EQ(text[i].unicode(), i + 1);
    }
    EXPECT_EQ(ToCodePage(text), ascii);

    EXPECT_EQ(FromCodePage("\x80\xff"
                           "a\xc3\xa9"),
              Replacements(2) + "a" + Replacements(2));
    EXPECT_EQ(ToCodePage(QString::fromUtf8("\xc3\xa9-\xe6\x97\xa5")), "?-?");
}

TEST(CodePage, Utf8LocaleDecodesCharactersAndReplacesEachBadByte) {
    ScopedLocale locale("C.UTF-8");
    ASSERT_TRUE(locale.ok());
    EXPECT_GE(CodePageDecoder().maxCharLength(), 4);

    const QByteArray valid("a\xc3\xa9\xe3\x81\x82\xf0\x9f\x98\x80");
    const QString text = FromCodePage(valid);
    EXPECT_EQ(text, QString::fromUtf8(valid));
    EXPECT_EQ(ToCodePage(text), valid);

    // A lone continuation byte, an overlong form, an encoded surrogate, a code point beyond
    // U+10FFFF and an old five-byte form: one U+FFFD per byte, the text after them intact.
    EXPECT_EQ(FromCodePage("\x80z"), Replacements(1) + "z");
    EXPECT_EQ(FromCodePage("\xc0\xaf"), Replacements(2));
    EXPECT_EQ(FromCodePage("\xed\xa0\x80"), Replacements(3));
    EXPECT_EQ(FromCodePage("\xf4\x90\x80\x80"), Replacements(4));
    EXPECT_EQ(FromCodePage("\xf8\x88\x80\x80\x80!"), Replacements(5) + "!");
    // A lead byte followed by no continuation, and a character cut off at the end.
    EXPECT_EQ(FromCodePage("\xe3"
                           "A"),
              Replacements(1) + "A");
    EXPECT_EQ(FromCodePage("x\xe3\x81"), "x" + Replacements(2));
}

TEST(CodePage, DecodeCharGivesLengthsAndKeepsToItsBytes) {
    ScopedLocale locale("C.UTF-8");
    ASSERT_TRUE(locale.ok());
    const CodePageDecoder decoder;
    const char* hiragana = "\xe3\x81\x82";
    const CodePageChar whole = decoder.decode(hiragana, 3);
    EXPECT_EQ(whole.code, U'\u3042');
    EXPECT_EQ(whole.length, 3);
    // Fewer bytes than the character needs: the first byte alone is bad.
    const CodePageChar cut = decoder.decode(hiragana, 2);
    EXPECT_EQ(cut.code, U'\uFFFD');
    EXPECT_EQ(cut.length, 1);
    const CodePageChar zero = decoder.decode("\0a", 2);
    EXPECT_EQ(zero.code, U'\0');
    EXPECT_EQ(zero.length, 1);
    // A zero byte inside the text is kept, not taken as its end.
    EXPECT_EQ(FromCodePage(QByteArray("a\0b", 3)), QString::fromUtf16(u"a\0b", 3));
}
