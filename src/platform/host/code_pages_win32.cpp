// The code-page services for velmora-card.exe: the program works in UTF-8
// (its arguments come as UTF-16 and are converted once), so its ANSI code
// page is 65001 whatever the PC's own is; conversions and case mapping are
// Windows' own, called under their system names.
#include "code_pages.h"

#include <cstring>

namespace system_calls {
// kernel32's own declarations, in its types (windows.h would redefine ours).
extern "C" {
__declspec(dllimport) int __stdcall MultiByteToWideChar(unsigned codePage, unsigned long flags,
                                                        const char* source, int sourceSize, wchar_t* wide,
                                                        int wideSize);
__declspec(dllimport) int __stdcall WideCharToMultiByte(unsigned codePage, unsigned long flags,
                                                        const wchar_t* wide, int wideSize, char* out,
                                                        int outSize, const char* defaultChar,
                                                        int* usedDefaultChar);
__declspec(dllimport) int __stdcall LCMapStringW(unsigned long locale, unsigned long flags,
                                                 const wchar_t* source, int sourceSize, wchar_t* out,
                                                 int outSize);
__declspec(dllimport) int __stdcall GetStringTypeW(unsigned long infoType, const wchar_t* source,
                                                   int sourceSize, unsigned short* types);
}
} // namespace system_calls

static_assert(sizeof(wchar_t) == sizeof(WCHAR));

UINT GetACP() {
    return CP_UTF8;
}

UINT HiveCodePage() {
    return CP_UTF8;
}

BOOL GetCPInfo(UINT codePage, CPINFO* info) {
    if (codePage != CP_UTF8 || info == nullptr) {
        return 0;
    }
    memset(info, 0, sizeof *info);
    info->MaxCharSize = 4;
    info->DefaultChar[0] = '?';
    return 1;
}

BOOL IsDBCSLeadByteEx(UINT /*codePage*/, BYTE /*byte*/) {
    return 0; // UTF-8 has no lead bytes in Windows' sense
}

int MultiByteToWideChar(UINT codePage, DWORD flags, const char* source, int sourceSize, WCHAR* wide,
                        int wideSize) {
    return system_calls::MultiByteToWideChar(codePage, flags, source, sourceSize,
                                             reinterpret_cast<wchar_t*>(wide), wideSize);
}

int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideSize, char* out, int outSize,
                        const char* defaultChar, BOOL* usedDefaultChar) {
    // UTF-8 takes neither a default character nor its flag.
    return system_calls::WideCharToMultiByte(
        codePage, flags, reinterpret_cast<const wchar_t*>(wide), wideSize, out, outSize,
        codePage == CP_UTF8 ? nullptr : defaultChar, codePage == CP_UTF8 ? nullptr : usedDefaultChar);
}

int LCMapStringW(LCID locale, DWORD flags, const WCHAR* source, int sourceSize, WCHAR* out, int outSize) {
    return system_calls::LCMapStringW(locale, flags, reinterpret_cast<const wchar_t*>(source), sourceSize,
                                      reinterpret_cast<wchar_t*>(out), outSize);
}

BOOL GetStringTypeW(DWORD infoType, const WCHAR* source, int sourceSize, WORD* types) {
    return system_calls::GetStringTypeW(infoType, reinterpret_cast<const wchar_t*>(source), sourceSize,
                                        types);
}
