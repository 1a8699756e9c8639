// CString's formatting.
#include <gtest/gtest.h>

#include <string>

#include "platform/framework/String.h"

namespace {

TEST(CString, FormatsTextsOfAnyLength) {
    const std::string longText(100000, 'q');
    CString text;
    text.Format("%s|%d bytes.", longText.c_str(), 655360);
    EXPECT_EQ(std::string(text), longText + "|655360 bytes.");

    // Its own text as an argument, short and long.
    CString twice("abc");
    twice.Format("%s%s", static_cast<LPCSTR>(twice), static_cast<LPCSTR>(twice));
    EXPECT_EQ(std::string(twice), "abcabc");
    CString grown(longText.c_str());
    grown.Format("<%s>", static_cast<LPCSTR>(grown));
    EXPECT_EQ(std::string(grown), "<" + longText + ">");
}

}  // namespace
