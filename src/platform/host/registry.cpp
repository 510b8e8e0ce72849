// The host's registry: one directory per key and one file per value under
// ${XDG_STATE_HOME:-$HOME/.local/state}/velmora/registry. A value file is the
// type's name, a line feed, then the data bytes exactly as stored.
#include "platform.h"

#include "name_store.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <new>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

struct HostKey {
    int directory;
};

namespace {

constexpr char RootKeyName[] = "HKEY_LOCAL_MACHINE";
// Temporaries start with this; value names may not, so a sweep never
// removes a value.
constexpr char TempPrefix[] = ".velmora-tmp-";
// Far beyond any name; a larger file is not a value this store wrote.
constexpr size_t MaxValueFileSize = 1 << 20;

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

LONG ErrorFromErrno(LONG otherwise) {
    switch (errno) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return otherwise;
    }
}

std::string StoreRoot() {
    const char* state = getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return std::string(state) + "/velmora/registry";
    }
    const char* home = getenv("HOME");
    if (home == nullptr || home[0] != '/') {
        return "";
    }
    return std::string(home) + "/.local/state/velmora/registry";
}

bool ValidName(const char* name) {
    return name != nullptr && name[0] != '\0' && name[0] != '.' && strchr(name, '/') == nullptr;
}

bool WriteAll(int fd, const void* data, size_t size) {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = write(fd, bytes, size);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        bytes += written;
        size -= static_cast<size_t>(written);
    }
    return true;
}

// Replaces the value file atomically: a temporary in the same directory,
// created exclusively so that no planted link is followed, written, flushed
// to disk and renamed over the old file. A reader sees the old data or the
// new, never a mix; a crash leaves at most a temporary for the next sweep.
LONG ReplaceValueFile(int directory, const char* valueName, DWORD type, const BYTE* data, DWORD size) {
    std::string tempName;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 16; ++attempt) {
        unsigned char random[8];
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            return ERROR_WRITE_FAULT;
        }
        tempName = TempPrefix;
        for (unsigned char byte : random) {
            tempName += "0123456789abcdef"[byte >> 4];
            tempName += "0123456789abcdef"[byte & 15];
        }
        fd = openat(directory, tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno != EEXIST) {
            return ErrorFromErrno(ERROR_WRITE_FAULT);
        }
    }
    if (fd < 0) {
        return ERROR_WRITE_FAULT;
    }
    // Keep the permissions the value had; a link planted in its place lends
    // the temporary nothing.
    struct stat old;
    bool ok = fstatat(directory, valueName, &old, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(old.st_mode) ||
              fchmod(fd, old.st_mode & 07777) == 0;
    const std::string header = TypeLine(type);
    ok = ok && WriteAll(fd, header.data(), header.size()) && WriteAll(fd, data, size) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    ok = ok && renameat(directory, tempName.c_str(), directory, valueName) == 0;
    if (!ok) {
        const int saved = errno;
        unlinkat(directory, tempName.c_str(), 0);
        errno = saved;
        return ErrorFromErrno(ERROR_WRITE_FAULT);
    }
    // The rename itself must reach the disk before the write counts as done.
    return fsync(directory) == 0 ? ERROR_SUCCESS : ERROR_WRITE_FAULT;
}

// Removes temporaries that a process killed mid-write left behind.
void SweepTemporaries(int directory) {
    const int copy = dup(directory);
    DIR* listing = copy < 0 ? nullptr : fdopendir(copy);
    if (listing == nullptr) {
        if (copy >= 0) {
            close(copy);
        }
        return;
    }
    while (const dirent* entry = readdir(listing)) {
        if (strncmp(entry->d_name, TempPrefix, sizeof TempPrefix - 1) == 0) {
            unlinkat(directory, entry->d_name, 0);
        }
    }
    closedir(listing);
}

bool MakeDirectories(const std::string& path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
        if (slash == std::string::npos) {
            return true;
        }
    }
}

int RemoveEntry(const char* path, const struct stat*, int, FTW*) {
    return remove(path);
}

// A fresh store holds the four name values with the host's name, as a freshly
// installed board holds its own. It is built aside and renamed into place, so
// that no run ever sees half a store.
bool SeedStore(const std::string& root) {
    char hostName[256] = {};
    const std::string parent = root.substr(0, root.rfind('/'));
    if (gethostname(hostName, sizeof hostName - 1) != 0 || !MakeDirectories(parent)) {
        return false;
    }
    std::string staging = parent + "/registry.seed-XXXXXX";
    if (mkdtemp(staging.data()) == nullptr) {
        return false;
    }
    bool ok = true;
    for (const NameValue& value : NameValues) {
        std::string directory = staging + "/" + RootKeyName + "/" + NameKeys[value.key].path;
        for (char& c : directory) {
            c = c == '\\' ? '/' : c;
        }
        const int fd =
            MakeDirectories(directory) ? open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC) : -1;
        ok = ok && fd >= 0 &&
             ReplaceValueFile(fd, value.valueName, REG_SZ, reinterpret_cast<const BYTE*>(hostName),
                              static_cast<DWORD>(strlen(hostName) + 1)) == ERROR_SUCCESS;
        if (fd >= 0) {
            close(fd);
        }
    }
    ok = ok && rename(staging.c_str(), root.c_str()) == 0;
    if (!ok) {
        nftw(staging.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
        // Another run may have seeded the store first: that one is as good.
        return access(root.c_str(), F_OK) == 0;
    }
    const int parentFd = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd >= 0) {
        fsync(parentFd);
        close(parentFd);
    }
    return true;
}

int OpenRootKey() {
    const std::string root = StoreRoot();
    if (root.empty()) {
        return -1;
    }
    if (access(root.c_str(), F_OK) != 0 && (errno != ENOENT || !SeedStore(root))) {
        return -1;
    }
    return open((root + "/" + RootKeyName).c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

} // namespace

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM desired, HKEY* result) {
    if (result == nullptr || subKey == nullptr || options != 0 || key == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    int directory = key == HKEY_LOCAL_MACHINE ? OpenRootKey() : dup(key->directory);
    if (directory < 0) {
        return ErrorFromErrno(ERROR_INVALID_HANDLE);
    }
    // Walk the path one key at a time so that no component can climb out of
    // the store or follow a link.
    const char* component = subKey;
    while (*component != '\0') {
        const size_t length = strcspn(component, "\\");
        const std::string name(component, length);
        if (!ValidName(name.c_str())) {
            close(directory);
            return ERROR_FILE_NOT_FOUND;
        }
        const int next = openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const LONG error = ErrorFromErrno(ERROR_FILE_NOT_FOUND);
        close(directory);
        if (next < 0) {
            return error;
        }
        directory = next;
        component += length;
        component += *component == '\\' ? 1 : 0;
    }
    int mode = 0;
    mode |= (desired & KEY_QUERY_VALUE) != 0 ? R_OK | X_OK : 0;
    mode |= (desired & KEY_SET_VALUE) != 0 ? W_OK | X_OK : 0;
    if (mode != 0 && faccessat(directory, ".", mode, AT_EACCESS) != 0) {
        const LONG error = ErrorFromErrno(ERROR_ACCESS_DENIED);
        close(directory);
        return error;
    }
    if ((desired & KEY_SET_VALUE) != 0) {
        SweepTemporaries(directory);
    }
    *result = new (std::nothrow) HostKey{directory};
    if (*result == nullptr) {
        close(directory);
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
}

// Windows' own signature: `reserved` is not const there.
LONG RegQueryValueExA(HKEY key, const char* valueName,
                      // cppcheck-suppress constParameter
                      DWORD* reserved, // NOLINT(readability-non-const-parameter)
                      DWORD* type, BYTE* data, DWORD* size) {
    if (key == nullptr || key == HKEY_LOCAL_MACHINE || !ValidName(valueName) || reserved != nullptr ||
        (data != nullptr && size == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    const int fd = openat(key->directory, valueName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return ErrorFromErrno(ERROR_INVALID_DATA);
    }
    struct stat info;
    std::string content;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    char chunk[4096];
    while (ok) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        content.append(chunk, static_cast<size_t>(got));
        ok = content.size() <= MaxValueFileSize;
    }
    close(fd);
    const size_t lineEnd = content.find('\n');
    DWORD storedType = 0;
    if (!ok || lineEnd == std::string::npos || !ParseTypeLine(content.substr(0, lineEnd), &storedType)) {
        return ERROR_INVALID_DATA;
    }
    const DWORD storedSize = static_cast<DWORD>(content.size() - lineEnd - 1);
    if (type != nullptr) {
        *type = storedType;
    }
    if (data != nullptr && storedSize > *size) {
        *size = storedSize;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr) {
        content.copy(reinterpret_cast<char*>(data), storedSize, lineEnd + 1);
    }
    if (size != nullptr) {
        *size = storedSize;
    }
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size) {
    if (key == nullptr || key == HKEY_LOCAL_MACHINE || !ValidName(valueName) || reserved != 0 ||
        (data == nullptr && size != 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    return ReplaceValueFile(key->directory, valueName, type, data, size);
}

LONG RegCloseKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) {
        return ERROR_SUCCESS;
    }
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    const int result = close(key->directory);
    delete key;
    return result == 0 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}
