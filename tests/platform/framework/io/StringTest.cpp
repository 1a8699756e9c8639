// CString's formatting and its loading of string-table entries.
#include <gtest/gtest.h>

#include <clocale>
#include <string>

#include "platform/framework/String.h"
#include "res/resource.h"

namespace {

TEST(CString, FormatsTextsOfAnyLength) {
    const std::string longText(100000, 'q');
    CString text;
    text.Format("%s|%d bytes.", longText.c_str(), 655360);
    EXPECT_EQ(text.GetLength(), 100000 + 14);
    EXPECT_EQ(std::string(text), longText + "|655360 bytes.");

    // Its own text as an argument, short and long.
    CString twice("abc");
    twice.Format("%s%s", static_cast<LPCSTR>(twice), static_cast<LPCSTR>(twice));
    EXPECT_TRUE(twice == "abcabc");
    CString grown(longText.c_str());
    grown.Format("<%s>", static_cast<LPCSTR>(grown));
    EXPECT_EQ(std::string(grown), "<" + longText + ">");
}

// The code page is LC_CTYPE's character set; this restores the one the test began with.
class CodePageFor {
public:
    explicit CodePageFor(const char* locale) : m_saved(std::setlocale(LC_CTYPE, nullptr)) {
        m_ok = std::setlocale(LC_CTYPE, locale) != nullptr;
    }
    ~CodePageFor() { std::setlocale(LC_CTYPE, m_saved.c_str()); }
    bool ok() const { return m_ok; }

private:
    std::string m_saved;
    bool m_ok;
};

TEST(CString, LoadsTheStringTableInTheCodePageAndEmptiesOnAnUnknownId) {
    CString text("old");
    {
        CodePageFor utf8("C.UTF-8");
        ASSERT_TRUE(utf8.ok());
        ASSERT_TRUE(text.LoadString(IDP_SOCKETS_INIT_FAILED));
        EXPECT_TRUE(text == "Windows ｿｹｯﾄの初期化に失敗しました。");
    }
    {
        CodePageFor ascii("C");  // none of the 16 Japanese characters has bytes there
        ASSERT_TRUE(text.LoadString(IDP_SOCKETS_INIT_FAILED));
        EXPECT_EQ(std::string(text), "Windows " + std::string(16, '?'));
    }
    EXPECT_FALSE(text.LoadString(IDD_CAPTURE_DIALOG));  // a dialog's id, no string's
    EXPECT_TRUE(text.IsEmpty());
}

}  // namespace
