#include "name_store.h"

namespace {

constexpr UINT DoubleByteCodePages[] = {932, 936, 949, 950, 1361};

// What one step of the walk yields besides a character value.
constexpr int EndOfName = -1;
constexpr int Unmappable = -2;

bool IsDoubleByteCodePage(UINT codePage) {
    for (UINT listed : DoubleByteCodePages) {
        if (listed == codePage) {
            return true;
        }
    }
    CPINFO info;
    return GetCPInfo(codePage, &info) && info.MaxCharSize >= 2;
}

int CompareSingleByte(const char* first, const char* second) {
    for (;; ++first, ++second) {
        unsigned char a = static_cast<unsigned char>(*first);
        unsigned char b = static_cast<unsigned char>(*second);
        a = (a >= 'A' && a <= 'Z') ? static_cast<unsigned char>(a - 'A' + 'a') : a;
        b = (b >= 'A' && b <= 'Z') ? static_cast<unsigned char>(b - 'A' + 'a') : b;
        if (a != b) {
            return 1;
        }
        if (a == '\0') {
            return 0;
        }
    }
}

// Maps the character held in `count` bytes by `mapFlags` and converts the
// result back to the code page. Returns the result's byte count (1 or 2), or 0
// when any step fails or the result does not convert back to the same
// character (a best-fit substitute is no mapping).
int MapCharacter(UINT codePage, const unsigned char* bytes, int count, DWORD mapFlags,
                 unsigned char (&mapped)[2]) {
    const char* source = reinterpret_cast<const char*>(bytes);
    WCHAR wide = 0;
    WCHAR result = 0;
    WCHAR back = 0;
    if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, source, count, &wide, 1) != 1 ||
        LCMapStringW(LOCALE_SYSTEM_DEFAULT, mapFlags, &wide, 1, &result, 1) != 1) {
        return 0;
    }
    char* out = reinterpret_cast<char*>(mapped);
    const int length = WideCharToMultiByte(codePage, 0, &result, 1, out, 2, nullptr, nullptr);
    if (length == 0 || MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, out, length, &back, 1) != 1 ||
        back != result) {
        return 0;
    }
    return length;
}

bool IsUpperCase(UINT codePage, unsigned char byte) {
    const char source = static_cast<char>(byte);
    WCHAR wide = 0;
    WORD type = 0;
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, &source, 1, &wide, 1) == 1 &&
           GetStringTypeW(CT_CTYPE1, &wide, 1, &type) && (type & C1_UPPER) != 0;
}

// Takes one character from *cursor and returns the value it compares as.
int NextCharacter(UINT codePage, const unsigned char*& cursor) {
    const unsigned char* bytes = cursor;
    unsigned char mapped[2];
    if (bytes[0] == '\0') {
        return EndOfName;
    }
    if (IsDBCSLeadByteEx(codePage, bytes[0])) {
        // A lead byte cut off by the terminator ends the name.
        if (bytes[1] == '\0') {
            return EndOfName;
        }
        cursor += 2;
        const int length = MapCharacter(codePage, bytes, 2, LCMAP_UPPERCASE, mapped);
        if (length == 0) {
            return Unmappable;
        }
        return length == 1 ? mapped[0] : (mapped[0] << 8) | mapped[1];
    }
    cursor += 1;
    if (IsUpperCase(codePage, bytes[0]) && MapCharacter(codePage, bytes, 1, LCMAP_LOWERCASE, mapped) == 1) {
        return mapped[0];
    }
    return bytes[0];
}

int CompareDoubleByte(UINT codePage, const char* first, const char* second) {
    const unsigned char* a = reinterpret_cast<const unsigned char*>(first);
    const unsigned char* b = reinterpret_cast<const unsigned char*>(second);
    for (;;) {
        const int left = NextCharacter(codePage, a);
        const int right = NextCharacter(codePage, b);
        if (left == Unmappable || right == Unmappable || left != right) {
            return 1;
        }
        if (left == EndOfName) {
            return 0;
        }
    }
}

} // namespace

int CompareNames(const char* first, const char* second) {
    const UINT codePage = GetACP();
    if (IsDoubleByteCodePage(codePage)) {
        return CompareDoubleByte(codePage, first, second);
    }
    return CompareSingleByte(first, second);
}

bool HoldsForbiddenCharacter(const char* name) {
    constexpr char Forbidden[] = "\\/:*?\"<>|";
    const UINT codePage = GetACP();
    const bool doubleByte = IsDoubleByteCodePage(codePage);
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(name); *c != '\0'; ++c) {
        // A double-byte character's trail byte may be any of these bytes.
        if (doubleByte && IsDBCSLeadByteEx(codePage, *c) && c[1] != '\0') {
            ++c;
            continue;
        }
        if (*c < 0x20 || *c == 0x7F) {
            return true;
        }
        for (const char forbidden : Forbidden) {
            if (forbidden != '\0' && *c == static_cast<unsigned char>(forbidden)) {
                return true;
            }
        }
    }
    return false;
}

int FirstDifferingName(char* const (&names)[NameValueCount]) {
    int tag = H2;
    while (tag < NameValueCount && CompareNames(names[H1], names[tag]) == 0) {
        ++tag;
    }
    return tag;
}
