// Conversions between the process's code page and Qt's text.
//
// The program's texts are bytes in the code page of the locale (LC_CTYPE's character set, UTF-8
// on most systems); Qt works in Unicode. The C and POSIX locales name ASCII as their character
// set, and text in them is taken as UTF-8, as Qt, file names and most programs take it there:
// ASCII stays as it is, and the text an instrument or a file name brings is not lost. These
// conversions are the only place where bytes become text and back. They follow the locale current
// on the calling thread at the time of the call (the program sets it from the environment at
// start).
#pragma once

#include <locale.h>

#include <QByteArray>
#include <QString>

// Bytes to text. Every byte that does not start a valid character of the code page becomes
// one U+FFFD, so nothing is dropped and nothing fails. An incomplete character at the end is
// such bytes too: one U+FFFD per byte.
QString FromCodePage(const QByteArray& bytes);

// Text to bytes; characters the code page cannot hold become '?'.
QByteArray ToCodePage(const QString& text);

// One character decoded from the code page.
struct CodePageChar {
    char32_t code;  // Unicode code point; U+FFFD for a byte that starts no valid character
    int length;     // bytes it takes, at least 1
};

// Decodes the code page a character at a time, in the locale current on the thread when the
// decoder is made; make one for each piece of work rather than keeping one. Characters decode
// independently of each other: the character sets of locales carry no shift state.
class CodePageDecoder {
public:
    CodePageDecoder();

    // The character at the start of bytes[0, size), size >= 1. It depends on at most
    // maxCharLength() bytes from its start, and on where the bytes end when they end sooner.
    // The zero byte gives code 0.
    CodePageChar decode(const char* bytes, int size) const {
        const int single = m_singleBytes[static_cast<unsigned char>(bytes[0])];
        return single >= 0 ? CodePageChar{static_cast<char32_t>(single), 1}
                           : decodeLonger(bytes, size);
    }

    // The most bytes one character takes (MB_CUR_MAX of the code page).
    int maxCharLength() const { return m_maxCharLength; }

private:
    CodePageChar decodeLonger(const char* bytes, int size) const;

    // Per byte: the character it is alone, or -1 where it begins a longer one. Text is mostly
    // such single bytes, and a table spares the C library's conversion machinery for them.
    const int* m_singleBytes;
    int m_maxCharLength;
    locale_t m_locale;  // the locale whose conversions stand in (UTF-8 for C); null: the thread's
};
