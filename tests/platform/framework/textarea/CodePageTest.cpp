#include "platform/framework/CodePage.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "tests/platform/framework/textarea/ScopedLocale.h"

namespace {

const QString kReplacement(QChar(0xFFFD));

QString Replacements(int n) {
    return kReplacement.repeated(n);
}

}  // namespace

TEST(CodePage, CAndPosixLocalesTakeTextAsUtf8) {
    for (const char* name : {"C", "POSIX"}) {
        ScopedLocale locale(name);
        ASSERT_TRUE(locale.ok());
        EXPECT_GE(CodePageDecoder().maxCharLength(), 4);
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
        const QByteArray utf8("a\xc3\xa9-\xe6\x97\xa5");
        EXPECT_EQ(FromCodePage(utf8 + "\xff"), QString::fromUtf8(utf8) + Replacements(1));
        EXPECT_EQ(ToCodePage(QString::fromUtf8(utf8)), utf8);
    }
}

// Every locale but C and POSIX keeps its own character set: Shift_JIS, whose 0x5C is the yen
// sign, in a locale made for the test (few systems have one ready).
TEST(CodePage, AShiftJisLocaleDecodesShiftJis) {
    char folder[] = "/tmp/kavosen-locale-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string made = std::string(folder) + "/ja_JP.SJIS";
    // localedef warns that Shift_JIS is no superset of ASCII, and says so in its exit status.
    const int status =
        std::system(("localedef --no-warnings=ascii -f SHIFT_JIS -i ja_JP " + made).c_str());
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(access((made + "/LC_CTYPE").c_str(), R_OK), 0) << "localedef: " << status;
    setenv("LOCPATH", folder, 1);
    {
        ScopedLocale locale("ja_JP.SJIS");
        ASSERT_TRUE(locale.ok());
        EXPECT_EQ(CodePageDecoder().maxCharLength(), 2);
        // "ＭＳ ゴシック" and the yen sign.
        const QByteArray sjis("\x82\x6c\x82\x72\x20\x83\x53\x83\x56\x83\x62\x83\x4e\x5c");
        const QString text = FromCodePage(sjis);
        EXPECT_EQ(text,
                  QString::fromUtf8("\xef\xbc\xad\xef\xbc\xb3 "
                                    "\xe3\x82\xb4\xe3\x82\xb7\xe3\x83\x83\xe3\x82\xaf\xc2\xa5"));
        EXPECT_EQ(ToCodePage(text), sjis);
    }
    unsetenv("LOCPATH");
    std::filesystem::remove_all(folder);
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
