// CString over std::string. The bytes are kept as they are.
#include "platform/framework/String.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

CString::CString(LPCSTR text) : m_text(text != nullptr ? text : "") {}

void CString::Format(LPCSTR format, ...) {
    va_list args;
    va_start(args, format);
    va_list retry;
    va_copy(retry, args);
    // Formatted into a new buffer, so the arguments may point into this string itself.
    char small[256];
    const int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0) {
        m_text.clear();  // a conversion the C library refuses (an invalid wide character)
    } else if (static_cast<size_t>(length) < sizeof small) {
        m_text.assign(small, static_cast<size_t>(length));
    } else {
        std::vector<char> large(static_cast<size_t>(length) + 1);
        std::vsnprintf(large.data(), large.size(), format, retry);
        m_text.assign(large.data(), static_cast<size_t>(length));
    }
    va_end(retry);
}

CString& CString::operator+=(LPCSTR text) {
    if (text != nullptr) {
        m_text += text;
    }
    return *this;
}

CString operator+(const CString& a, LPCSTR b) {
    CString result(a);
    result += b;
    return result;
}
