// The host's stand-in for the part of the Windows API the tool calls: the
// registry (advapi32) and the code-page services (kernel32), spelled as
// Windows spells them so that the tool's logic builds unchanged on both.
#pragma once

#include <cstddef>
#include <cstdint>

using BOOL = int;
using BYTE = unsigned char;
using WORD = unsigned short;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using UINT = unsigned int;
using LCID = DWORD;
using REGSAM = DWORD;
using WCHAR = char16_t;
using HKEY = struct HostKey*;

constexpr LONG ERROR_SUCCESS = 0;
constexpr LONG ERROR_FILE_NOT_FOUND = 2;
constexpr LONG ERROR_ACCESS_DENIED = 5;
constexpr LONG ERROR_INVALID_HANDLE = 6;
constexpr LONG ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LONG ERROR_INVALID_DATA = 13;
constexpr LONG ERROR_WRITE_FAULT = 29;
constexpr LONG ERROR_INVALID_PARAMETER = 87;
constexpr LONG ERROR_MORE_DATA = 234;

inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000002u));

constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM desired, HKEY* result);
LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data, DWORD* size);
LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size);
LONG RegCloseKey(HKEY key);

constexpr int MAX_LEADBYTES = 12;
constexpr int MAX_DEFAULTCHAR = 2;

struct CPINFO {
    UINT MaxCharSize;
    BYTE DefaultChar[MAX_DEFAULTCHAR];
    BYTE LeadByte[MAX_LEADBYTES];
};

constexpr UINT CP_UTF8 = 65001;
constexpr DWORD MB_ERR_INVALID_CHARS = 0x08;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
constexpr DWORD LCMAP_LOWERCASE = 0x0100;
constexpr DWORD LCMAP_UPPERCASE = 0x0200;
constexpr DWORD CT_CTYPE1 = 0x0001;
constexpr WORD C1_UPPER = 0x0001;
constexpr WORD C1_LOWER = 0x0002;

UINT GetACP();
BOOL GetCPInfo(UINT codePage, CPINFO* info);
BOOL IsDBCSLeadByteEx(UINT codePage, BYTE byte);
int MultiByteToWideChar(UINT codePage, DWORD flags, const char* source, int sourceSize, WCHAR* wide,
                        int wideSize);
int WideCharToMultiByte(UINT codePage, DWORD flags, const WCHAR* wide, int wideSize, char* out, int outSize,
                        const char* defaultChar, BOOL* usedDefaultChar);
int LCMapStringW(LCID locale, DWORD flags, const WCHAR* source, int sourceSize, WCHAR* out, int outSize);
BOOL GetStringTypeW(DWORD infoType, const WCHAR* source, int sourceSize, WORD* types);
