// Code-page services for the host: the "system ANSI code page" is the code set
// of the locale the environment names; conversions go through iconv and case
// mapping through the C library's wide-character functions.
#include "code_pages.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <iterator>
#include <langinfo.h>
#include <locale.h>
#include <string>
#include <wctype.h>

namespace {

struct CodePage {
    UINT id;
    const char* iconvName;
    UINT maxCharSize;
    BYTE leadBytes[MAX_LEADBYTES]; // pairs of inclusive ranges, ended by 0
};

// Lead-byte ranges as Windows reports them for these code pages.
constexpr CodePage CodePages[] = {
    {932, "CP932", 2, {0x81, 0x9F, 0xE0, 0xFC}},
    {936, "CP936", 2, {0x81, 0xFE}},
    {949, "CP949", 2, {0x81, 0xFE}},
    {950, "CP950", 2, {0x81, 0xFE}},
    {1361, "JOHAB", 2, {0x84, 0xD3, 0xD8, 0xDE, 0xE0, 0xF9}},
    {CP_UTF8, "UTF-8", 4, {}},
    {1252, "CP1252", 1, {}},
};

constexpr UINT FallbackCodePage = 1252;
// A code page of no table: the locale's own code set, by iconv's name for it.
constexpr UINT LocaleCodeSet = 0xFFFF;

struct CodeSetName {
    const char* name; // upper case, without '-' and '_'
    UINT codePage;
};

constexpr CodeSetName CodeSetNames[] = {
    {"SHIFTJIS", 932}, {"SJIS", 932},  {"CP932", 932}, {"WINDOWS31J", 932}, {"GBK", 936},
    {"GB2312", 936},   {"EUCCN", 936}, {"CP936", 936}, {"EUCKR", 949},      {"CP949", 949},
    {"UHC", 949},      {"BIG5", 950},  {"CP950", 950}, {"JOHAB", 1361},     {"UTF8", CP_UTF8},
};

const CodePage* FindCodePage(UINT id) {
    for (const CodePage& page : CodePages) {
        if (page.id == id) {
            return &page;
        }
    }
    return nullptr;
}

// The code set named by the environment, as setlocale(LC_CTYPE, "") would see
// it, without touching the process's own locale.
std::string EnvironmentCodeSet() {
    locale_t locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (locale != static_cast<locale_t>(nullptr)) {
        std::string codeSet = nl_langinfo_l(CODESET, locale);
        freelocale(locale);
        return codeSet;
    }
    // The locale is not installed: its name still says the code set.
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = getenv(variable);
        if (value != nullptr && *value != '\0') {
            const char* dot = strchr(value, '.');
            if (dot == nullptr) {
                return "";
            }
            return std::string(dot + 1, strcspn(dot + 1, "@"));
        }
    }
    return "";
}

iconv_t Converter(UINT codePage, bool toWide) {
    struct Cached {
        UINT codePage;
        bool toWide;
        iconv_t converter;
    };
    static Cached cache[2 * (std::size(CodePages) + 2)];
    static size_t used = 0;
    for (size_t i = 0; i < used; ++i) {
        if (cache[i].codePage == codePage && cache[i].toWide == toWide) {
            return cache[i].converter;
        }
    }
    const CodePage* page = FindCodePage(codePage);
    static const std::string localeCodeSet = EnvironmentCodeSet();
    const char* name = page != nullptr                                       ? page->iconvName
                       : codePage == CP_ASCII                                ? "ASCII"
                       : codePage == LocaleCodeSet && !localeCodeSet.empty() ? localeCodeSet.c_str()
                                                                             : nullptr;
    if (name == nullptr) {
        return reinterpret_cast<iconv_t>(-1);
    }
    iconv_t converter = toWide ? iconv_open("UTF-16LE", name) : iconv_open(name, "UTF-16LE");
    if (converter != reinterpret_cast<iconv_t>(-1) && used < std::size(cache)) {
        cache[used++] = {codePage, toWide, converter};
    }
    return converter;
}

// Converts all of `in` into `out`; returns the bytes written or -1.
long Convert(iconv_t converter, const char* in, size_t inSize, char* out, size_t outSize) {
    if (converter == reinterpret_cast<iconv_t>(-1)) {
        return -1;
    }
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    char* source = const_cast<char*>(in);
    char* target = out;
    size_t targetLeft = outSize;
    if (iconv(converter, &source, &inSize, &target, &targetLeft) == static_cast<size_t>(-1) ||
        iconv(converter, nullptr, nullptr, &target, &targetLeft) == static_cast<size_t>(-1)) {
        return -1;
    }
    return static_cast<long>(outSize - targetLeft);
}

locale_t UnicodeLocale() {
    static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
    return locale;
}

// The environment's code set, upper case, without '-' and '_'.
std::string PlainCodeSet() {
    std::string codeSet;
    for (char c : EnvironmentCodeSet()) {
        if (c != '-' && c != '_') {
            codeSet += static_cast<char>(toupper(static_cast<unsigned char>(c)));
        }
    }
    return codeSet;
}

UINT KnownCodePage(const std::string& codeSet) {
    for (const CodeSetName& entry : CodeSetNames) {
        if (codeSet == entry.name) {
            return entry.codePage;
        }
    }
    return 0;
}

} // namespace

UINT GetACP() {
    const UINT known = KnownCodePage(PlainCodeSet());
    return known != 0 ? known : FallbackCodePage;
}

UINT HiveCodePage() {
    const std::string codeSet = PlainCodeSet();
    const UINT known = KnownCodePage(codeSet);
    if (known != 0) {
        return known;
    }
    // The C and POSIX locales' code set is ASCII, not Windows-1252.
    return codeSet.empty() || codeSet == "ANSIX3.41968" || codeSet == "ASCII" || codeSet == "USASCII"
               ? CP_ASCII
               : LocaleCodeSet;
}

BOOL GetCPInfo(UINT codePage, CPINFO* info) {
    const CodePage* page = FindCodePage(codePage);
    if (page == nullptr || info == nullptr) {
        return 0;
    }
    info->MaxCharSize = page->maxCharSize;
    info->DefaultChar[0] = '?';
    info->DefaultChar[1] = 0;
    memcpy(info->LeadByte, page->leadBytes, sizeof info->LeadByte);
    return 1;
}

BOOL IsDBCSLeadByteEx(UINT codePage, BYTE byte) {
    const CodePage* page = FindCodePage(codePage);
    if (page == nullptr) {
        return 0;
    }
    for (int i = 0; i + 1 < MAX_LEADBYTES && page->leadBytes[i] != 0; i += 2) {
        if (byte >= page->leadBytes[i] && byte <= page->leadBytes[i + 1]) {
            return 1;
        }
    }
    return 0;
}

// Only strict conversion: invalid input fails whether or not
// MB_ERR_INVALID_CHARS is given, where Windows would substitute.
int MultiByteToWideChar(UINT codePage, DWORD, const char* source, int sourceSize, WCHAR* wide, int wideSize) {
    if (source == nullptr || sourceSize < 0 || wide == nullptr || wideSize <= 0) {
        return 0;
    }
    const long written =
        Convert(Converter(codePage, true), source, static_cast<size_t>(sourceSize),
                reinterpret_cast<char*>(wide), static_cast<size_t>(wideSize) * sizeof(WCHAR));
    return written < 0 ? 0 : static_cast<int>(written / static_cast<long>(sizeof(WCHAR)));
}

// Characters the code page lacks fail the call rather than turning into the
// default character.
int WideCharToMultiByte(UINT codePage, DWORD, const WCHAR* wide, int wideSize, char* out, int outSize,
                        const char*, BOOL* usedDefaultChar) {
    if (usedDefaultChar != nullptr) {
        *usedDefaultChar = 0;
    }
    if (wide == nullptr || wideSize < 0 || out == nullptr || outSize <= 0) {
        return 0;
    }
    const long written =
        Convert(Converter(codePage, false), reinterpret_cast<const char*>(wide),
                static_cast<size_t>(wideSize) * sizeof(WCHAR), out, static_cast<size_t>(outSize));
    return written < 0 ? 0 : static_cast<int>(written);
}

int LCMapStringW(LCID, DWORD flags, const WCHAR* source, int sourceSize, WCHAR* out, int outSize) {
    const bool upper = (flags & LCMAP_UPPERCASE) != 0;
    if (source == nullptr || out == nullptr || sourceSize < 0 || outSize < sourceSize ||
        upper == ((flags & LCMAP_LOWERCASE) != 0) || UnicodeLocale() == static_cast<locale_t>(nullptr)) {
        return 0;
    }
    for (int i = 0; i < sourceSize; ++i) {
        const wint_t c = source[i];
        const wint_t mapped = upper ? towupper_l(c, UnicodeLocale()) : towlower_l(c, UnicodeLocale());
        // A mapping that leaves the 16-bit range (none does today) keeps the character.
        out[i] = mapped <= 0xFFFF ? static_cast<WCHAR>(mapped) : source[i];
    }
    return sourceSize;
}

BOOL GetStringTypeW(DWORD infoType, const WCHAR* source, int sourceSize, WORD* types) {
    if (infoType != CT_CTYPE1 || source == nullptr || types == nullptr || sourceSize < 0 ||
        UnicodeLocale() == static_cast<locale_t>(nullptr)) {
        return 0;
    }
    for (int i = 0; i < sourceSize; ++i) {
        types[i] = 0;
        if (iswupper_l(source[i], UnicodeLocale())) {
            types[i] |= C1_UPPER;
        }
        if (iswlower_l(source[i], UnicodeLocale())) {
            types[i] |= C1_LOWER;
        }
    }
    return 1;
}
