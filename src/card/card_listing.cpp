// The PC's listings as text, read without I/O: a line of
// /proc/self/mountinfo, and the pairs lsblk -P and blkid -o udev write; see
// card_device.h.
#include "card_device.h"

#include <cstring>

namespace {

// mountinfo writes a space, tab, newline and backslash in a path as \ooo.
std::string Unescaped(const char* field, size_t length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        const char* at = field + i;
        if (at[0] == '\\' && i + 3 < length && at[1] >= '0' && at[1] <= '3' && at[2] >= '0' && at[2] <= '7' &&
            at[3] >= '0' && at[3] <= '7') {
            text += static_cast<char>((at[1] - '0') * 64 + (at[2] - '0') * 8 + (at[3] - '0'));
            i += 3;
        } else {
            text += *at;
        }
    }
    return text;
}

// The space-separated field of `line` numbered `index`, from 0.
bool Field(const char* line, int index, const char** start, size_t* length) {
    const char* at = line;
    for (int i = 0; i < index; ++i) {
        at = strchr(at, ' ');
        if (at == nullptr) {
            return false;
        }
        ++at;
    }
    *start = at;
    *length = strcspn(at, " \n");
    return true;
}

} // namespace

bool ParseMountInfo(const char* line, MountEntry* entry) {
    // ID PARENT MAJ:MIN ROOT POINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER
    const char* start = nullptr;
    size_t length = 0;
    const char* dash = strstr(line, " - ");
    if (dash == nullptr || !Field(line, 4, &start, &length) || start > dash) {
        return false;
    }
    entry->point = Unescaped(start, length);
    if (!Field(dash + 3, 0, &start, &length)) {
        return false;
    }
    entry->type = Unescaped(start, length);
    if (!Field(dash + 3, 1, &start, &length)) {
        return false;
    }
    entry->source = Unescaped(start, length);
    return !entry->point.empty() && entry->point[0] == '/';
}

namespace {

int HexDigit(char c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : -1;
}

} // namespace

void ReadPairs(const char* text, const std::function<void(const std::string&, const std::string&)>& visit) {
    const char* at = text;
    while (*at != '\0') {
        at += strspn(at, " \t\n");
        const size_t keyLength = strcspn(at, "= \t\n");
        if (keyLength == 0 || at[keyLength] != '=') {
            at += keyLength + (at[keyLength] != '\0');
            continue;
        }
        const std::string key(at, keyLength);
        at += keyLength + 1;
        const bool quoted = *at == '"';
        at += quoted;
        std::string value;
        while (*at != '\0' && (quoted ? *at != '"' : strchr(" \t\n", *at) == nullptr)) {
            if (at[0] == '\\' && at[1] == 'x' && HexDigit(at[2]) >= 0 && HexDigit(at[3]) >= 0) {
                value += static_cast<char>(HexDigit(at[2]) * 16 + HexDigit(at[3]));
                at += 4;
            } else {
                value += *at++;
            }
        }
        at += quoted && *at == '"';
        visit(key, value);
    }
}

std::vector<std::string> CardPartitions(const char* lsblkPairs, const std::string& device) {
    std::vector<std::string> partitions;
    std::string line;
    for (const char* at = lsblkPairs; *at != '\0'; at += line.size() + (at[line.size()] != '\0')) {
        line.assign(at, strcspn(at, "\n"));
        std::string name;
        std::string type;
        ReadPairs(line.c_str(), [&](const std::string& key, const std::string& value) {
            name = key == "NAME" ? value : name;
            type = key == "TYPE" ? value : type;
        });
        if (type == "part" && !name.empty()) {
            partitions.push_back(name);
        }
    }
    if (partitions.empty()) {
        partitions.push_back(device);
    }
    return partitions;
}
