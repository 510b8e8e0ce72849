// CompareNames on arbitrary pairs of byte strings in every code page the host
// supports. Each name sits in an allocation that ends at its terminator, so
// AddressSanitizer sees any read past it. Checked: equality is symmetric,
// every mappable name equals itself, and single-byte code pages (and UTF-8,
// which has no lead bytes) agree with a plain reference.
#include "name_store.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

constexpr const char* Locales[] = {"C",          "ja_JP.SJIS",  "zh_CN.GBK", "ko_KR.EUC-KR",
                                   "zh_TW.BIG5", "ko_KR.JOHAB", "C.UTF-8"};

void Check(bool condition) {
    if (!condition) {
        abort();
    }
}

char* Copy(const std::uint8_t* bytes, size_t size) {
    char* name = static_cast<char*>(malloc(size + 1));
    memcpy(name, bytes, size);
    name[size] = '\0';
    return name;
}

int ReferenceCompare(const char* first, const char* second) {
    for (;; ++first, ++second) {
        const int a = (*first >= 'A' && *first <= 'Z') ? *first + 32 : static_cast<unsigned char>(*first);
        const int b = (*second >= 'A' && *second <= 'Z') ? *second + 32 : static_cast<unsigned char>(*second);
        if (a != b || a == 0) {
            return a != b;
        }
    }
}

// Whether the code page can map (upper-case and convert back) every
// double-byte character of the name.
bool Mappable(UINT codePage, const char* name) {
    for (const char* p = name; *p != '\0'; ++p) {
        if (!IsDBCSLeadByteEx(codePage, static_cast<BYTE>(*p)) || p[1] == '\0') {
            continue;
        }
        WCHAR wide = 0;
        WCHAR upper = 0;
        WCHAR back = 0;
        char bytes[2];
        int length = 0;
        if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, p, 2, &wide, 1) != 1 ||
            LCMapStringW(LOCALE_SYSTEM_DEFAULT, LCMAP_UPPERCASE, &wide, 1, &upper, 1) != 1 ||
            (length = WideCharToMultiByte(codePage, 0, &upper, 1, bytes, 2, nullptr, nullptr)) == 0 ||
            MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes, length, &back, 1) != 1 ||
            back != upper) {
            return false;
        }
        ++p;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, size_t size) {
    if (size < 2) {
        return 0;
    }
    setenv("LC_ALL", Locales[input[0] % std::size(Locales)], 1);
    const UINT codePage = GetACP();
    const size_t split = input[1] % (size - 1);
    char* first = Copy(input + 2, split);
    char* second = Copy(input + 2 + split, size - 2 - split);

    const bool same = CompareNames(first, second) == 0;
    Check(same == (CompareNames(second, first) == 0));
    Check(!Mappable(codePage, first) || CompareNames(first, first) == 0);
    if (codePage == 1252 || codePage == CP_UTF8) {
        Check(same == (ReferenceCompare(first, second) == 0));
    }
    free(first);
    free(second);
    return 0;
}
