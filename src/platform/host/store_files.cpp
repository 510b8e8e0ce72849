// File work shared by the host's registry backends: the store's lock, durable
// replacement of a file, and holding back interrupts while a rename is under way.
#include "store.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

namespace {

sigset_t Interrupts() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

sigset_t savedMask;
bool holding = false;

// A reader that goes away (`velmora NAME | head -n 3`) must not decide
// whether the rename happens: writes to it fail quietly, the rename goes on,
// and the exit status still tells whether it was done. The board's runtime
// does the same.
__attribute__((constructor)) void IgnoreBrokenPipes() {
    signal(SIGPIPE, SIG_IGN);
}

// Creates `<prefix><random>` in `directory` exclusively, readable by its owner
// at most as far as `like` is, and writable by its owner.
int CreateTemporary(int directory, const char* prefix, const struct stat* like, std::string* name) {
    // Never more readable than the file it replaces, even for a moment.
    const mode_t mode = like != nullptr ? (like->st_mode & 0400) | 0200 : 0600;
    for (int attempt = 0; attempt < 16; ++attempt) {
        unsigned char random[8];
        if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) {
            return -1;
        }
        *name = prefix;
        for (unsigned char byte : random) {
            *name += "0123456789abcdef"[byte >> 4];
            *name += "0123456789abcdef"[byte & 15];
        }
        const int fd =
            openat(directory, name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

// Gives the temporary the owner, group and mode of the file it replaces.
bool KeepOwnerAndMode(int fd, const struct stat& like) {
    struct stat made;
    if (fstat(fd, &made) != 0) {
        return false;
    }
    // A run as root must not take the owner's store away from them. The owner
    // first, so that the group's bits never apply to the wrong group.
    if ((made.st_uid != like.st_uid || made.st_gid != like.st_gid) &&
        fchown(fd, like.st_uid, like.st_gid) != 0) {
        return false;
    }
    // A file system that keeps no Unix mode (FAT32, exFAT, NTFS without a
    // user mapping) gives every file the same one and may refuse fchmod.
    return (made.st_mode & 07777) == (like.st_mode & 07777) || fchmod(fd, like.st_mode & 07777) == 0;
}

} // namespace

namespace {

// Writes all of `size` bytes through `put(bytes, count, done)`, which writes
// at most `count` of them after the `done` already written.
template <typename Put> bool WriteWhole(const void* data, size_t size, Put put) {
    const char* bytes = static_cast<const char*>(data);
    for (size_t done = 0; done < size;) {
        const ssize_t written = put(bytes + done, size - done, done);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        done += static_cast<size_t>(written);
    }
    return true;
}

} // namespace

bool WriteAll(int fd, const void* data, size_t size) {
    return WriteWhole(data, size,
                      [fd](const char* bytes, size_t count, size_t) { return write(fd, bytes, count); });
}

bool WriteAllAt(int fd, const void* data, size_t size, off_t offset) {
    return WriteWhole(data, size, [fd, offset](const char* bytes, size_t count, size_t done) {
        return pwrite(fd, bytes, count, offset + static_cast<off_t>(done));
    });
}

bool ReadAllAt(int fd, void* bytes, size_t size, off_t offset, size_t* got) {
    *got = 0;
    while (*got < size) {
        const ssize_t part = pread(fd, static_cast<unsigned char*>(bytes) + *got, size - *got,
                                   offset + static_cast<off_t>(*got));
        if (part < 0 && errno == EINTR) {
            continue;
        }
        if (part < 0) {
            return false;
        }
        if (part == 0) {
            break;
        }
        *got += static_cast<size_t>(part);
    }
    return true;
}

int LockPath(const char* path, bool directory, void (*waiting)()) {
    return LockAt(AT_FDCWD, path, directory, true, waiting);
}

int LockAt(int at, const char* name, bool directory, bool follow, void (*waiting)()) {
    const int flags =
        O_RDONLY | O_CLOEXEC | O_NONBLOCK | (directory ? O_DIRECTORY : 0) | (follow ? 0 : O_NOFOLLOW);
    const int lookup = follow ? 0 : AT_SYMLINK_NOFOLLOW;
    for (;;) {
        struct stat locked;
        struct stat named;
        // Typed before it is opened: opening a device node can itself act.
        if (!follow && fstatat(at, name, &named, lookup) == 0 && !directory && !S_ISREG(named.st_mode)) {
            errno = S_ISLNK(named.st_mode) ? ELOOP : S_ISDIR(named.st_mode) ? EISDIR : EINVAL;
            return -1;
        }
        const int fd = openat(at, name, flags);
        if (fd < 0) {
            return -1;
        }
        int result = flock(fd, LOCK_EX | LOCK_NB);
        if (result != 0 && errno == EWOULDBLOCK && waiting != nullptr) {
            waiting();
        }
        while (result != 0 && ((result = flock(fd, LOCK_EX)) != 0 && errno == EINTR)) {
        }
        if (result == 0 && fstat(fd, &locked) == 0 && !directory && !S_ISREG(locked.st_mode)) {
            close(fd);
            errno = S_ISDIR(locked.st_mode) ? EISDIR : EINVAL;
            return -1;
        }
        if (result != 0 || fstat(fd, &locked) != 0) {
            const int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
        if (fstatat(at, name, &named, lookup) == 0 && named.st_dev == locked.st_dev &&
            named.st_ino == locked.st_ino) {
            return fd;
        }
        close(fd);
    }
}

bool ReplaceDurably(int directory, const char* name, const char* prefix, const struct stat* like,
                    const std::function<bool(int fd)>& fill) {
    std::string tempName;
    const int fd = CreateTemporary(directory, prefix, like, &tempName);
    if (fd < 0) {
        return false;
    }
    // A new file gets 0600 whatever the umask.
    bool ok =
        fill(fd) && (like != nullptr ? KeepOwnerAndMode(fd, *like) : fchmod(fd, 0600) == 0) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || renameat(directory, tempName.c_str(), directory, name) != 0) {
        const int saved = errno;
        unlinkat(directory, tempName.c_str(), 0);
        errno = saved;
        return false;
    }
    // The rename itself must reach the disk before the write counts as done.
    return fsync(directory) == 0;
}

bool ForEachEntry(int directory, const std::function<void(const char* name)>& visit) {
    const int copy = dup(directory);
    DIR* listing = copy < 0 ? nullptr : fdopendir(copy);
    if (listing == nullptr) {
        if (copy >= 0) {
            close(copy);
        }
        return false;
    }
    // The copy shares its offset with every other copy: start from the top.
    rewinddir(listing);
    while (const dirent* entry = readdir(listing)) {
        visit(entry->d_name);
    }
    closedir(listing);
    return true;
}

bool ListDirectory(const char* path, const std::function<void(const char* name)>& visit) {
    const int directory = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const bool listed = directory >= 0 && ForEachEntry(directory, visit);
    const int saved = errno;
    if (directory >= 0) {
        close(directory);
    }
    errno = saved;
    return listed;
}

void SweepTemporaries(int directory, const char* prefix) {
    ForEachEntry(directory, [directory, prefix](const char* name) {
        if (strncmp(name, prefix, strlen(prefix)) == 0) {
            unlinkat(directory, name, 0);
        }
    });
}

void HoldInterrupts() {
    if (!holding) {
        const sigset_t set = Interrupts();
        holding = sigprocmask(SIG_BLOCK, &set, &savedMask) == 0;
    }
}

void ReleaseInterrupts() {
    if (holding) {
        holding = false;
        sigprocmask(SIG_SETMASK, &savedMask, nullptr);
    }
}
