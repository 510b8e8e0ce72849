// How velmora-card shows text, and the rules a new name must keep; see card.h.
#include "card.h"
#include "card_system.h"
#include "name_store.h"

#include <cstdio>
#include <cstring>

namespace {

// Whether a character would drive the terminal: C0, DEL and C1 controls.
bool IsControl(std::uint32_t character) {
    return character < 0x20 || (character >= 0x7F && character <= 0x9F);
}

// `text` with every control character, and every byte that is no text of
// the code set, as \xNN: nothing read from a card reaches the terminal raw.
std::string Escaped(const char* text, bool backslashes) {
    std::string shown;
    for (const char* c = text; *c != '\0';) {
        std::uint32_t character = 0;
        size_t length = 1;
        const bool valid = NextCharacter(c, &character, &length) && length > 0;
        length = valid ? length : 1;
        for (size_t i = 0; i < length; ++i) {
            const auto byte = static_cast<unsigned char>(c[i]);
            char escaped[8];
            snprintf(escaped, sizeof escaped, byte == '\\' ? "\\\\" : "\\x%02X", byte);
            shown += !valid || IsControl(character) || (length == 1 && byte == '\\' && backslashes)
                         ? escaped
                         : std::string(1, c[i]);
        }
        c += length;
    }
    return shown;
}

} // namespace

std::string Shown(const char* text) {
    // Where backslashes separate a path's folders they are shown as they are.
    return Escaped(text, PathSeparator != '\\');
}

std::string ShownInLine(const char* text) {
    return Escaped(text, false);
}

void ShowName(const char* name, char* shown, size_t size) {
    snprintf(shown, size, "%s", Shown(name).c_str());
}

std::string Json(const char* text) {
    std::string quoted = "\"";
    for (const char* c = text; *c != '\0';) {
        std::uint32_t character = 0;
        size_t length = 1;
        const bool valid = NextCharacter(c, &character, &length) && length > 0;
        char escaped[8];
        // JSON is UTF-8: a byte that is no text stands as U+FFFD.
        snprintf(escaped, sizeof escaped, "\\u%04X", valid ? character : 0xFFFD);
        quoted += *c == '"' || *c == '\\'          ? std::string("\\") + *c
                  : !valid || IsControl(character) ? escaped
                                                   : std::string(c, length);
        c += valid ? length : 1;
    }
    return quoted + "\"";
}

const char* BrokenRule(const char* name, bool anyName, bool* beyondAscii) {
    size_t bytes = 0;
    bool digitsOnly = true;
    bool allowed = true;
    std::uint32_t first = 0;
    std::uint32_t last = 0;
    *beyondAscii = false;
    for (const char* c = name; *c != '\0';) {
        std::uint32_t character = 0;
        size_t length = 0;
        if (!NextCharacter(c, &character, &length)) {
            return nullptr; // told apart: no text of the locale
        }
        c += length;
        // One byte on the board, or two for a character beyond ASCII in a
        // double-byte code page.
        bytes += character < 0x80 ? 1 : 2;
        *beyondAscii = *beyondAscii || character >= 0x80;
        first = first == 0 ? character : first;
        last = character;
        const bool digit = character >= '0' && character <= '9';
        digitsOnly = digitsOnly && digit;
        allowed = allowed && (IsLetter(character) || digit || character == '-');
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
    if (first == '-' || last == '-') {
        return "a computer name neither starts nor ends with a hyphen, which is no DNS host name (use "
               "--any-name to store it anyway)";
    }
    return nullptr;
}
