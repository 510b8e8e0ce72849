// Finding a card's hive, and the next step when it cannot be found or
// written; see card.h.
#include "card.h"
#include "host_api.h"

#include <cerrno>
#include <cstring>
#include <initializer_list>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The entry of `directory` named `name` ignoring case, as the card's own
// file system matches names; empty when there is none.
std::string EntryIgnoringCase(const std::string& directory, const char* name) {
    std::string found;
    ListDirectory(directory.c_str(), [&](const char* entry) {
        if (found.empty() && strcasecmp(entry, name) == 0) {
            found = (directory == "/" ? "" : directory) + "/" + entry;
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

std::string HiveOf(const char* card, std::string* why) {
    std::string path = card;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        *why = errno == ENOENT
                   ? "no such file or folder: name the mount point of the card's Windows partition "
                     "(lsblk -f shows where each partition is mounted)"
                   : strerror(errno);
        return "";
    }
    if (S_ISBLK(info.st_mode)) {
        *why =
            "this is the card's device, not its files: mount it first (sudo mkdir -p /mnt/card; sudo mount " +
            path + " /mnt/card), then name /mnt/card";
        return "";
    }
    if (S_ISREG(info.st_mode)) {
        if (EndsWithIgnoringCase(path, ".LOG") || EndsWithIgnoringCase(path, ".LOG1") ||
            EndsWithIgnoringCase(path, ".LOG2")) {
            *why = "this is one of the hive's logs: name the hive, SYSTEM, beside it (or the card)";
            return "";
        }
        return path;
    }
    if (!S_ISDIR(info.st_mode)) {
        *why = "not a folder or a regular file";
        return "";
    }
    for (const std::string& found :
         {Below(path, {"Windows", "System32", "config", "SYSTEM"}),
          Below(path, {"System32", "config", "SYSTEM"}), Below(path, {"SYSTEM"})}) {
        if (!found.empty()) {
            return found;
        }
    }
    *why =
        IsEmptyDirectory(path)
            ? "the folder is empty: nothing is mounted here (sudo mount /dev/sdX2 " + path +
                  ", the card's Windows partition; lsblk -f lists them)"
            : "no Windows/System32/config/SYSTEM below it: this is likely the wrong partition (the board's "
              "Windows is on the card's partition with a Windows folder; lsblk -f lists them)";
    return "";
}

std::string MountOf(const std::string& hive) {
    struct stat file;
    if (stat(hive.c_str(), &file) != 0) {
        return "";
    }
    std::string top = hive.substr(0, hive.rfind('/'));
    for (;;) {
        const size_t slash = top.rfind('/');
        const std::string up = slash == 0 || slash == std::string::npos ? "/" : top.substr(0, slash);
        struct stat above;
        if (top == "/" || top.empty() || stat(up.c_str(), &above) != 0 || above.st_dev != file.st_dev) {
            return top == "/" ? "" : top;
        }
        top = up;
    }
}

std::string NextStep(int error, const std::string& hive) {
    const std::string mount = MountOf(hive);
    switch (error) {
    case EROFS:
        return "the card is mounted read-only: slide back the adapter's lock switch if it has one, then "
               "remount it read-write (sudo mount -o remount,rw " +
               (mount.empty() ? std::string("MOUNTPOINT") : mount) + ")";
    case EACCES:
    case EPERM:
        return geteuid() != 0 ? "this user may not write the card: run it as root (sudo velmora-card ...)"
               : error == EPERM
                   ? "even root may not write it: clear the file's immutable flag (sudo chattr -i " + hive +
                         ", or the log's beside it) or check how the card is mounted"
                   : "";
    default:
        return "";
    }
}

std::string Said() {
    char buffer[1024];
    TakeHiveMessages(buffer, sizeof buffer);
    for (char* c = buffer; *c != '\0'; ++c) {
        *c = *c == '\n' ? ';' : *c;
    }
    return buffer;
}
