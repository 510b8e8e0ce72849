// How velmora-card shows text, and the rules a new name must keep; see card.h.
#include "card.h"
#include "name_store.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>

std::string Shown(const char* text) {
    std::string shown;
    for (const char* c = text; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        char escaped[8];
        snprintf(escaped, sizeof escaped, byte == '\\' ? "\\\\" : "\\x%02X", byte);
        shown += byte < 0x20 || byte == 0x7F || byte == '\\' ? escaped : std::string(1, *c);
    }
    return shown;
}

std::string Json(const char* text) {
    std::string quoted = "\"";
    for (const char* c = text; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\u%04X", byte);
        quoted += byte == '"' || byte == '\\' ? std::string("\\") + *c
                  : byte < 0x20               ? escaped
                                              : std::string(1, *c);
    }
    return quoted + "\"";
}

const char* BrokenRule(const char* name, bool anyName, bool* beyondAscii) {
    std::mbstate_t state{};
    size_t bytes = 0;
    bool digitsOnly = true;
    bool allowed = true;
    wchar_t first = 0;
    wchar_t last = 0;
    *beyondAscii = false;
    for (const char* c = name; *c != '\0';) {
        wchar_t wide = 0;
        const size_t length = mbrtowc(&wide, c, strlen(c), &state);
        if (length == static_cast<size_t>(-1) || length == static_cast<size_t>(-2)) {
            return nullptr; // told apart: no text of the locale
        }
        c += length;
        // One byte on the board, or two for a character beyond ASCII in a
        // double-byte code page.
        bytes += wide < 0x80 ? 1 : 2;
        *beyondAscii = *beyondAscii || wide >= 0x80;
        first = first == 0 ? wide : first;
        last = wide;
        digitsOnly = digitsOnly && wide >= L'0' && wide <= L'9';
        allowed = allowed &&
                  (iswalpha(static_cast<wint_t>(wide)) || (wide >= L'0' && wide <= L'9') || wide == L'-');
    }
    if (bytes < MinNameLength || bytes > MaxNameLength) {
        return "a computer name is 1 to 15 bytes as the board counts them (a character beyond ASCII may take "
               "two)";
    }
    if (anyName) {
        return nullptr;
    }
    if (!allowed) {
        return "a computer name holds only letters, digits and hyphens (use --any-name to store any name the "
               "board's own velmora accepts)";
    }
    if (digitsOnly) {
        return "a computer name is not all digits, which Windows refuses (use --any-name to store it anyway)";
    }
    if (first == L'-' || last == L'-') {
        return "a computer name neither starts nor ends with a hyphen, which is no DNS host name (use "
               "--any-name to store it anyway)";
    }
    return nullptr;
}
