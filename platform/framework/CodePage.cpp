// The code page is the C library's multibyte character set of LC_CTYPE, so the conversions use
// mbrtowc and wcrtomb. Qt's own "system" codec is not an option: Qt 6 takes UTF-8 on every
// Unix system whatever the locale says.
#include "platform/framework/CodePage.h"

#include <langinfo.h>

#include <QList>
#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

// glibc's wchar_t holds a Unicode code point in every locale.
static_assert(sizeof(wchar_t) == 4, "wchar_t must hold a Unicode code point");

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// glibc's UTF-8 decoder still accepts the old five- and six-byte forms and code points above
// U+10FFFF; those are no text.
bool IsUnicodeScalar(wchar_t wc) {
    const auto c = static_cast<unsigned long>(wc);
    return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

// The locale whose conversions serve for the current one: C.UTF-8 where the current locale's
// character set is ASCII, which only the C and POSIX locales name; null for the current locale
// itself.
locale_t StandIn() {
    if (std::strcmp(nl_langinfo(CODESET), "ANSI_X3.4-1968") != 0) {
        return nullptr;
    }
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    return utf8;
}

// The conversions of the C library follow the thread's locale: this puts the stand-in there
// while it lives.
class UseLocale {
public:
    explicit UseLocale(locale_t locale) : m_old(locale ? uselocale(locale) : nullptr) {}
    ~UseLocale() {
        if (m_old) {
            uselocale(m_old);
        }
    }
    UseLocale(const UseLocale&) = delete;
    UseLocale& operator=(const UseLocale&) = delete;

private:
    locale_t m_old;
};

CodePageChar DecodeWithLibrary(const char* bytes, size_t size) {
    std::mbstate_t state{};
    wchar_t wc = 0;
    const size_t used = std::mbrtowc(&wc, bytes, std::min<size_t>(size, MB_CUR_MAX), &state);
    if (used == 0) {
        return {0, 1};
    }
    // (size_t)-1: not a character; (size_t)-2: the bytes end inside one.
    if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2) ||
        !IsUnicodeScalar(wc)) {
        return {kReplacement, 1};
    }
    return {static_cast<char32_t>(wc), static_cast<int>(used)};
}

struct CodeSetTable {
    std::string codeset;
    locale_t locale;
    int maxCharLength;
    std::array<int, 256> singleBytes;
};

// The table of the current locale's character set, made once per character set and thread.
// The conversion is a property of the character set, so its name is the key.
const CodeSetTable& CurrentTable() {
    thread_local std::vector<std::unique_ptr<CodeSetTable>> tables;
    const char* codeset = nl_langinfo(CODESET);
    for (const std::unique_ptr<CodeSetTable>& table : tables) {
        if (table->codeset == codeset) {
            return *table;
        }
    }
    auto table = std::make_unique<CodeSetTable>();
    table->codeset = codeset;
    table->locale = StandIn();
    const UseLocale use(table->locale);
    table->maxCharLength = static_cast<int>(MB_CUR_MAX);
    for (int b = 0; b < 256; ++b) {
        const char byte = static_cast<char>(b);
        std::mbstate_t state{};
        wchar_t wc = 0;
        // -2: the byte begins a longer character; -1: it is none, whatever follows.
        if (std::mbrtowc(&wc, &byte, 1, &state) == static_cast<size_t>(-2)) {
            table->singleBytes[static_cast<size_t>(b)] = -1;
        } else {
            table->singleBytes[static_cast<size_t>(b)] =
                static_cast<int>(DecodeWithLibrary(&byte, 1).code);
        }
    }
    tables.push_back(std::move(table));
    return *tables.back();
}

}  // namespace

CodePageDecoder::CodePageDecoder() {
    const CodeSetTable& table = CurrentTable();
    m_singleBytes = table.singleBytes.data();
    m_maxCharLength = table.maxCharLength;
    m_locale = table.locale;
}

CodePageChar CodePageDecoder::decodeLonger(const char* bytes, int size) const {
    const UseLocale use(m_locale);
    return DecodeWithLibrary(bytes, static_cast<size_t>(size));
}

QString FromCodePage(const QByteArray& bytes) {
    std::u32string codes;
    codes.reserve(static_cast<size_t>(bytes.size()));
    const CodePageDecoder decoder;
    const char* p = bytes.constData();
    int left = static_cast<int>(bytes.size());
    while (left > 0) {
        const CodePageChar c = decoder.decode(p, left);
        codes.push_back(c.code);
        p += c.length;
        left -= c.length;
    }
    return QString::fromUcs4(codes.data(), static_cast<qsizetype>(codes.size()));
}

QByteArray ToCodePage(const QString& text) {
    QByteArray out;
    out.reserve(text.size());
    char buffer[MB_LEN_MAX];
    const UseLocale use(StandIn());
    for (const uint code : text.toUcs4()) {
        std::mbstate_t state{};
        const size_t n = std::wcrtomb(buffer, static_cast<wchar_t>(code), &state);
        if (n == static_cast<size_t>(-1)) {
            out.append('?');
        } else {
            out.append(buffer, static_cast<qsizetype>(n));
        }
    }
    return out;
}
