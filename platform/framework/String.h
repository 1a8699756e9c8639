// CString: the framework's byte string, just as much of it as the program uses.
//
// Texts are bytes in the process's code page (the locale's character set on Linux); CString
// never converts them. A CString may hold any byte but zero.
#pragma once

#include <string>

#include "platform/WinTypes.h"

class CString {
public:
    CString() = default;
    CString(LPCSTR text);  // NOLINT(google-explicit-constructor): used as the framework's
                           // strings are, from literals

    // printf-style formatting into this string; any length.
    void Format(LPCSTR format, ...) __attribute__((format(printf, 2, 3)));

    BOOL IsEmpty() const { return m_text.empty(); }
    operator LPCSTR() const { return m_text.c_str(); }  // NOLINT(google-explicit-constructor)

    CString& operator+=(LPCSTR text);
    friend CString operator+(const CString& a, LPCSTR b);

private:
    std::string m_text;
};
