// Finding a card's hive, and the next step when it cannot be found or
// written; see card.h.
#include "card.h"
#include "card_system.h"
#include "host_api.h"

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <strings.h>

namespace {

// The entry of `directory` named `name` ignoring case, as the card's own
// file system matches names; empty when there is none.
std::string EntryIgnoringCase(const std::string& directory, const char* name) {
    std::string found;
    ListDirectory(directory.c_str(), [&](const char* entry) {
        if (found.empty() && strcasecmp(entry, name) == 0) {
            const bool separated =
                !directory.empty() && (directory.back() == PathSeparator || directory.back() == '/');
            found = directory + (separated ? "" : std::string(1, PathSeparator)) + entry;
        }
    });
    return found;
}

bool IsEmptyDirectory(const std::string& directory) {
    bool empty = true;
    const bool listed = ListDirectory(directory.c_str(), [&empty](const char* entry) {
        empty = empty && (strcmp(entry, ".") == 0 || strcmp(entry, "..") == 0);
    });
    return listed && empty;
}

// `below` followed from `directory`, each name ignoring case; empty when one is missing.
std::string Below(const std::string& directory, std::initializer_list<const char*> below) {
    std::string path = directory;
    for (const char* name : below) {
        path = path.empty() ? path : EntryIgnoringCase(path, name);
    }
    return path;
}

bool EndsWithIgnoringCase(const std::string& text, const char* tail) {
    const size_t length = strlen(tail);
    return text.size() >= length && strcasecmp(text.c_str() + text.size() - length, tail) == 0;
}

} // namespace

std::string HiveOf(const char* card, std::string* why, unsigned* found) {
    std::string path = card;
    while (path.size() > 1 && (path.back() == '/' || path.back() == PathSeparator) &&
           path[path.size() - 2] != ':') {
        path.pop_back();
    }
    int error = 0;
    *found = 0;
    switch (KindOf(path, &error)) {
    case PathKind::Missing:
        *why = error == ENOENT ? NoSuchCard() : strerror(error);
        return "";
    case PathKind::Device:
        *why = MountFirst(path);
        return "";
    case PathKind::Other:
        *why = "not a folder or a regular file";
        return "";
    case PathKind::File:
        if (EndsWithIgnoringCase(path, ".LOG") || EndsWithIgnoringCase(path, ".LOG1") ||
            EndsWithIgnoringCase(path, ".LOG2")) {
            *why = "this is one of the hive's logs: name the hive, SYSTEM, beside it (or the card)";
            return "";
        }
        return path;
    case PathKind::Folder:
        break;
    }
    // A drive named as `E:` is its root.
    path += path.size() == 2 && path[1] == ':' ? std::string(1, PathSeparator) : "";
    for (const std::initializer_list<const char*> below :
         {std::initializer_list<const char*>{"Windows", "System32", "config", "SYSTEM"},
          std::initializer_list<const char*>{"System32", "config", "SYSTEM"},
          std::initializer_list<const char*>{"SYSTEM"}}) {
        std::string hive = Below(path, below);
        if (!hive.empty()) {
            *found = static_cast<unsigned>(below.size());
            return hive;
        }
    }
    *why = IsEmptyDirectory(path) ? NothingMounted(path) : WrongPartition();
    return "";
}

bool HoldsWindows(const std::string& root) {
    std::string why;
    unsigned found = 0;
    return !HiveOf(root.c_str(), &why, &found).empty() && found == 4;
}

std::string ReasonsAt(std::initializer_list<HiveStage> stages) {
    HiveCardState state{};
    TakeHiveCardState(&state);
    std::string reasons;
    for (HiveStage stage : stages) {
        const std::string& given = state.reasons[static_cast<size_t>(stage)];
        reasons += reasons.empty() || given.empty() ? "" : ";";
        reasons += given;
    }
    return reasons;
}
