// The host's default registry: one directory per key and one file per value
// under ${XDG_STATE_HOME:-$HOME/.local/state}/velmora/registry. A value file is
// the type's name, a line feed, then the data bytes exactly as stored.
#include "store.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct DirectoryKey {
    int directory;
};

DirectoryKey* Own(StoreKey* key) {
    return reinterpret_cast<DirectoryKey*>(key);
}

constexpr char RootKeyName[] = "HKEY_LOCAL_MACHINE";
constexpr char SeedPrefix[] = "registry.seed-";
// Temporaries start with this; value names may not, so a sweep never
// removes a value.
constexpr char TempPrefix[] = ".velmora-tmp-";
// Far beyond any name; a larger file is not a value this store wrote.
constexpr size_t MaxValueFileSize = 1 << 20;
// Every directory the store makes, its own and the missing parents under
// $XDG_STATE_HOME, is private, as the XDG base-directory convention asks.
constexpr mode_t DirectoryMode = 0700;

struct TypeName {
    DWORD type;
    const char* name;
};

constexpr TypeName TypeNames[] = {
    {0, "REG_NONE"},
    {1, "REG_SZ"},
    {2, "REG_EXPAND_SZ"},
    {3, "REG_BINARY"},
    {4, "REG_DWORD"},
    {5, "REG_DWORD_BIG_ENDIAN"},
    {6, "REG_LINK"},
    {7, "REG_MULTI_SZ"},
    {8, "REG_RESOURCE_LIST"},
    {9, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {10, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {11, "REG_QWORD"},
};

// The lock on the `velmora` directory and the open root key, held from the
// first key's opening until the last key's closing.
int lockFd = -1;
int rootFd = -1;

std::string TypeLine(DWORD type) {
    for (const TypeName& entry : TypeNames) {
        if (entry.type == type) {
            return std::string(entry.name) + "\n";
        }
    }
    return std::to_string(type) + "\n";
}

bool ParseTypeLine(const std::string& line, DWORD* type) {
    for (const TypeName& entry : TypeNames) {
        if (line == entry.name) {
            *type = entry.type;
            return true;
        }
    }
    if (line.empty() || line.size() > 10 || line.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const unsigned long long value = std::stoull(line);
    if (value > 0xFFFFFFFFull) {
        return false;
    }
    *type = static_cast<DWORD>(value);
    return true;
}

// ${XDG_STATE_HOME:-$HOME/.local/state}/velmora, or "" when neither is usable.
std::string StoreBase() {
    const char* state = getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return std::string(state) + "/velmora";
    }
    const char* home = getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        return "";
    }
    return std::string(home) + "/.local/state/velmora";
}

bool ValidName(const char* name) {
    return name != nullptr && name[0] != '\0' && name[0] != '.' && strchr(name, '/') == nullptr;
}

// Makes one directory with exactly DirectoryMode, whatever the umask.
bool MakeDirectory(const char* path, bool* made) {
    if (mkdir(path, DirectoryMode) != 0) {
        return errno == EEXIST;
    }
    if (made != nullptr) {
        *made = true;
    }
    return chmod(path, DirectoryMode) == 0;
}

// Makes `path` and its missing parents; `made` tells whether the last one was new.
bool MakeDirectories(const std::string& path, bool* made) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (!MakeDirectory(prefix.c_str(), slash == std::string::npos ? made : nullptr)) {
            return false;
        }
        if (slash == std::string::npos) {
            return true;
        }
    }
}

// Replaces the value file atomically, with the old file's owner and mode. A
// reader sees the old data or the new, never a mix; a crash leaves at most a
// temporary for the next sweep.
LONG ReplaceValueFile(int directory, const char* valueName, DWORD type, const BYTE* data, DWORD size) {
    struct stat old;
    // A link or anything else planted in a value's place lends nothing.
    const bool replacing =
        fstatat(directory, valueName, &old, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(old.st_mode);
    const std::string header = TypeLine(type);
    const bool replaced =
        ReplaceDurably(directory, valueName, TempPrefix, replacing ? &old : nullptr, [&](int fd) {
            return WriteAll(fd, header.data(), header.size()) && WriteAll(fd, data, size);
        });
    return replaced ? ERROR_SUCCESS : ErrorFromErrno(ERROR_WRITE_FAULT);
}

int RemoveEntry(const char* path, const struct stat*, int, FTW*) {
    return remove(path);
}

// Removes what a first-use seeding killed midway left beside the store. Only
// under the lock, when no seeding can be under way.
void SweepSeedDirectories(const std::string& base) {
    DIR* listing = opendir(base.c_str());
    if (listing == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(listing)) {
        if (strncmp(entry->d_name, SeedPrefix, sizeof SeedPrefix - 1) == 0) {
            nftw((base + "/" + entry->d_name).c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
        }
    }
    closedir(listing);
}

// A fresh store holds the first-use values with the host's name, as a freshly
// installed board holds its own. It is built aside and renamed into place, so
// that no run ever sees half a store.
// Handed down by the program (SeedStandInWith).
const SeedValue* seeds = nullptr;
int seedCount = 0;

bool SeedStore(const std::string& base, const std::string& root) {
    char hostName[256] = {};
    if (gethostname(hostName, sizeof hostName - 1) != 0) {
        return false;
    }
    std::string staging = base + "/" + SeedPrefix + "XXXXXX";
    if (mkdtemp(staging.data()) == nullptr) {
        return false;
    }
    bool ok = chmod(staging.c_str(), DirectoryMode) == 0;
    for (int i = 0; ok && i < seedCount; ++i) {
        std::string directory = staging + "/" + RootKeyName + "/" + seeds[i].keyPath;
        for (char& c : directory) {
            c = c == '\\' ? '/' : c;
        }
        const int fd = MakeDirectories(directory, nullptr)
                           ? open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                           : -1;
        ok = fd >= 0 &&
             ReplaceValueFile(fd, seeds[i].valueName, REG_SZ, reinterpret_cast<const BYTE*>(hostName),
                              static_cast<DWORD>(strlen(hostName) + 1)) == ERROR_SUCCESS;
        if (fd >= 0) {
            close(fd);
        }
    }
    ok = ok && rename(staging.c_str(), root.c_str()) == 0 && fsync(lockFd) == 0;
    if (!ok) {
        nftw(staging.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
    }
    return ok;
}

void Unlock() {
    if (rootFd >= 0) {
        close(rootFd);
        rootFd = -1;
    }
    if (lockFd >= 0) {
        close(lockFd);
        lockFd = -1;
    }
}

LONG Attach(const char* /*hive*/, const HiveUse& /*use*/) {
    const std::string base = StoreBase();
    bool madeBase = false;
    if (base.empty() || !MakeDirectories(base, &madeBase)) {
        return ErrorFromErrno(ERROR_FILE_NOT_FOUND);
    }
    lockFd = LockPath(base.c_str(), true);
    if (lockFd < 0) {
        return ErrorFromErrno(ERROR_ACCESS_DENIED);
    }
    SweepSeedDirectories(base);
    const std::string root = base + "/registry";
    if (access(root.c_str(), F_OK) != 0) {
        if (errno != ENOENT || !SeedStore(base, root)) {
            // Leave no empty `velmora` directory behind; one that holds
            // anything stays.
            if (madeBase) {
                rmdir(base.c_str());
            }
            Unlock();
            return ERROR_FILE_NOT_FOUND;
        }
    }
    rootFd = open((root + "/" + RootKeyName).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (rootFd < 0) {
        const LONG error = ErrorFromErrno(ERROR_FILE_NOT_FOUND);
        Unlock();
        return error;
    }
    return ERROR_SUCCESS;
}

// The key directory `subKey` names below `directory` (which it takes over),
// walked one key at a time so that no component can climb out of the store
// or follow a link; -1, with the error, when there is none.
int WalkKeys(int directory, const char* subKey, LONG* error) {
    struct Walk {
        int directory;
        LONG error;
    } walk{directory, ERROR_SUCCESS};
    ForEachKeyName(subKey, [&walk](const std::string& name) {
        const bool valid = ValidName(name.c_str());
        const int next =
            valid ? openat(walk.directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                  : -1;
        walk.error = valid ? ErrorFromErrno(ERROR_FILE_NOT_FOUND) : ERROR_FILE_NOT_FOUND;
        close(walk.directory);
        walk.directory = next;
        return next >= 0;
    });
    *error = walk.error;
    return walk.directory;
}

LONG OpenKey(StoreKey* parent, const char* subKey, bool forWriting, StoreKey** result) {
    LONG walked = ERROR_SUCCESS;
    const int start = dup(parent == nullptr ? rootFd : Own(parent)->directory);
    if (start < 0) {
        return ErrorFromErrno(ERROR_INVALID_HANDLE);
    }
    const int directory = WalkKeys(start, subKey, &walked);
    if (directory < 0) {
        return walked;
    }
    // Reading needs read and search permission, writing write and search.
    const int mode = forWriting ? R_OK | W_OK | X_OK : R_OK | X_OK;
    if (faccessat(directory, ".", mode, AT_EACCESS) != 0) {
        const LONG error = ErrorFromErrno(ERROR_ACCESS_DENIED);
        close(directory);
        return error;
    }
    if (forWriting) {
        SweepTemporaries(directory, TempPrefix);
    }
    *result = reinterpret_cast<StoreKey*>(new (std::nothrow) DirectoryKey{directory});
    if (*result == nullptr) {
        close(directory);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
}

LONG ReadValue(StoreKey* key, const char* valueName, DWORD* type, std::string* data) {
    if (!ValidName(valueName)) {
        return ERROR_INVALID_PARAMETER;
    }
    // Only a regular file is a value. Anything else (a FIFO, a socket, a
    // device, a directory, a link) is refused before it is opened, and the
    // open itself never waits, should one be planted in between.
    struct stat info;
    if (fstatat(Own(key)->directory, valueName, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return ErrorFromErrno(ERROR_INVALID_DATA);
    }
    if (!S_ISREG(info.st_mode)) {
        return ERROR_INVALID_DATA;
    }
    const int fd = openat(Own(key)->directory, valueName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return ErrorFromErrno(ERROR_INVALID_DATA);
    }
    // The whole file, of the size it had when opened (a value is replaced,
    // never rewritten, so that cannot change), up to the largest value file.
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size <= off_t{MaxValueFileSize};
    std::string content(ok ? static_cast<size_t>(info.st_size) + 1 : 0, '\0');
    size_t got = 0;
    ok = ok && ReadAllAt(fd, content.data(), content.size(), 0, &got) && got < content.size();
    content.resize(got);
    close(fd);
    const size_t lineEnd = content.find('\n');
    if (!ok || lineEnd == std::string::npos || !ParseTypeLine(content.substr(0, lineEnd), type)) {
        return ERROR_INVALID_DATA;
    }
    *data = content.substr(lineEnd + 1);
    return ERROR_SUCCESS;
}

LONG WriteValue(StoreKey* key, const char* valueName, DWORD type, const BYTE* data, DWORD size) {
    if (!ValidName(valueName)) {
        return ERROR_INVALID_PARAMETER;
    }
    return ReplaceValueFile(Own(key)->directory, valueName, type, data, size);
}

LONG CloseKey(StoreKey* key) {
    const int result = close(Own(key)->directory);
    delete Own(key);
    return result == 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

// Every value was flushed as it was written; only the lock is left to drop.
LONG Detach() {
    Unlock();
    return ERROR_SUCCESS;
}

} // namespace

const RegistryBackend DirectoryStore = {Attach, OpenKey, ReadValue, WriteValue, CloseKey, Detach};

void SeedStandInWith(const SeedValue* values, int count) {
    seeds = values;
    seedCount = count;
}
