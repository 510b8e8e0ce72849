// The hive's file and its logs on disk; see hive_file.h.
#include "hive_file.h"

#include "store.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char ConfigDirectory[] = "/Windows/System32/config";

HiveReason Because(const std::string& text) {
    return HiveReason{text};
}

// Rewrites the absolute `path` component by component in the spelling its
// directory lists, where the given one is not listed but a spelling that
// differs only in letter case is: on a card's file systems mounted through
// FUSE every spelling is a file of its own, and two runs must still take the
// same lock. A refusal when the card is ambiguous: in the last four
// components (Windows\System32\config\SYSTEM), two entries differing only in
// case, of which Windows would see one.
HiveReason ListedSpelling(std::string* path) {
    std::string resolved;
    const size_t components = static_cast<size_t>(std::count(path->begin(), path->end(), '/'));
    size_t index = 0;
    for (size_t at = 1; at <= path->size(); ++index) {
        const size_t end = std::min(path->find('/', at), path->size());
        const std::string given = path->substr(at, end - at);
        at = end + 1;
        std::string listed;
        unsigned alike = 0;
        bool exact = false;
        ListDirectory(resolved.empty() ? "/" : resolved.c_str(), [&](const char* name) {
            if (strcasecmp(name, given.c_str()) == 0) {
                ++alike;
                exact = exact || given == name;
                listed = name;
            }
        });
        if (alike > 1 && index + 4 >= components) {
            return Because(
                "two entries on the way to the hive differ only in letter case, and Windows would see "
                "one: remove or rename the copy that is not the board's");
        }
        resolved += "/" + (exact || alike != 1 ? given : listed);
    }
    *path = resolved;
    return {};
}

std::string RealPath(const std::string& path) {
    char* real = realpath(path.c_str(), nullptr);
    std::string located = real != nullptr ? real : "";
    free(real);
    return located;
}

// Where the hive really is, not through a link to it, spelt as its
// directories list it; on a case-sensitive mount (ntfs-3g) a spelling
// Windows would accept is looked for the same way. Empty when there is none.
HiveReason Locate(const std::string& path, std::string* located, int* error) {
    *located = RealPath(path);
    *error = errno;
    if (located->empty()) {
        char* here = path[0] == '/' ? nullptr : getcwd(nullptr, 0);
        std::string typed = here != nullptr ? std::string(here) + "/" + path : path;
        free(here);
        if (typed[0] == '/' && !ListedSpelling(&typed)) {
            *located = RealPath(typed);
        }
    }
    return located->empty() ? HiveReason{} : ListedSpelling(located);
}

} // namespace

HiveReason OpenHiveFile(const std::string& path, void (*waiting)(), HiveFile* file) {
    std::string located;
    int unlocated = 0;
    if (HiveReason ambiguous = Locate(path, &located, &unlocated)) {
        return ambiguous;
    }
    const size_t slash = located.rfind('/');
    file->directoryPath = slash == 0 ? "/" : located.substr(0, slash);
    file->fileName = located.substr(slash + 1);
    file->lockFd = located.empty() ? -1 : LockPath(located.c_str(), false, waiting);
    if (file->lockFd < 0) {
        file->error = !located.empty() ? errno : unlocated != 0 ? unlocated : ENOENT;
        return Because(file->error == EISDIR || file->error == EINVAL ? "not a regular file"
                                                                      : strerror(file->error));
    }
    // Windows reads the logs beside Windows\System32\config\SYSTEM: a hive
    // with another name elsewhere must be named there, or its log would be
    // written beside the wrong one.
    struct stat links;
    const size_t tail = sizeof ConfigDirectory - 1;
    if (fstat(file->lockFd, &links) == 0 && links.st_nlink > 1 &&
        (file->directoryPath.size() < tail ||
         strcasecmp(file->directoryPath.c_str() + file->directoryPath.size() - tail, ConfigDirectory) != 0)) {
        return Because("the hive has another hard link, and Windows reads the logs beside the one in "
                       "Windows/System32/config: name that one");
    }
    file->directory = open(file->directoryPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (file->directory < 0) {
        file->error = errno;
        return Because(strerror(errno));
    }
    return {};
}

HiveReason ReadHiveHeader(HiveFile* file, unsigned char* header, bool* dirty) {
    struct stat info;
    size_t got = 0;
    if (fstat(file->lockFd, &info) != 0 || !ReadAllAt(file->lockFd, header, HiveBaseBlockSize, 0, &got)) {
        return Because("cannot be read");
    }
    file->fileSize = static_cast<std::uint64_t>(info.st_size);
    return CheckHiveHeader(*file, header, got, dirty);
}

HiveReason ReadHiveLogs(const HiveFile& file, std::uint64_t hiveSize, HiveLogs* logs, bool* any) {
    std::string refusal;
    const bool listed = ForEachEntry(file.directory, [&file, logs, &refusal](const char* name) {
        NoteHiveLog(file, name, logs, &refusal);
    });
    if (!listed) {
        return Because(std::string("its directory cannot be read: ") + strerror(errno));
    }
    *any = false;
    for (size_t i = 0; i < HiveLogCount && refusal.empty(); ++i) {
        logs->views[i] = {nullptr, 0};
        if (logs->names[i].empty()) {
            continue;
        }
        *any = true;
        // Never waits on a FIFO planted in a log's place.
        const int fd = openat(file.directory, logs->names[i].c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        struct stat info;
        size_t got = 0;
        if (fd < 0 || fstat(fd, &info) != 0) {
            refusal = logs->names[i] + " cannot be read: " + strerror(errno);
        } else if (!S_ISREG(info.st_mode)) {
            refusal = logs->names[i] + " is not a regular file";
        } else if (IsLogTooLarge(static_cast<std::uint64_t>(info.st_size), hiveSize)) {
            refusal = logs->names[i] + " is larger than any log of this hive can be";
        } else {
            logs->bytes[i].resize(static_cast<size_t>(info.st_size));
            if (!ReadAllAt(fd, logs->bytes[i].data(), logs->bytes[i].size(), 0, &got)) {
                refusal = logs->names[i] + " cannot be read: " + strerror(errno);
            }
            logs->bytes[i].resize(got);
            logs->views[i] = {logs->bytes[i].data(), got};
        }
        if (fd >= 0) {
            close(fd);
        }
    }
    return Because(refusal);
}

HiveReason ReadHiveStart(const HiveFile& file, unsigned char* bytes, size_t size, size_t* got) {
    return ReadAllAt(file.lockFd, bytes, size, 0, got)
               ? HiveReason{}
               : Because(std::string("cannot be read: ") + strerror(errno));
}

HiveReason MapHiveFile(HiveFile* file, std::uint32_t bins, HiveImage* image) {
    const size_t size = HiveBaseBlockSize + size_t{bins};
    file->mappedSize = size + HivePageSize;
    file->mapped =
        mmap(nullptr, file->mappedSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (file->mapped == MAP_FAILED) {
        file->mapped = nullptr;
        return Because("not enough memory");
    }
    // Untouched pages are read from the file only when looked at, and a
    // sparse or padded tail is never read.
    const size_t fromFile = std::min(size, (static_cast<size_t>(file->fileSize) + HivePageSize - 1) /
                                               HivePageSize * HivePageSize);
    if (fromFile > 0 && mmap(file->mapped, fromFile, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED,
                             file->lockFd, 0) == MAP_FAILED) {
        return Because(strerror(errno));
    }
    image->bytes = static_cast<unsigned char*>(file->mapped);
    image->capacity = file->mappedSize;
    return {};
}

HiveReason OpenHiveForWriting(HiveFile* file, const std::string& log) {
    const std::string locked = "/proc/self/fd/" + std::to_string(file->lockFd);
    file->writeFd = open(locked.c_str(), O_RDWR | O_CLOEXEC);
    const char* what = "the hive cannot be written: ";
    if (file->writeFd >= 0) {
        const int fd =
            log.empty() ? -1 : openat(file->directory, log.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        what = "its log cannot be written: ";
        if (fd >= 0) {
            close(fd);
        } else if (!log.empty() || faccessat(file->directory, ".", W_OK, AT_EACCESS) != 0) {
            close(file->writeFd);
            file->writeFd = -1;
        }
    }
    if (file->writeFd < 0) {
        file->error = errno;
        return Because(what + std::string(strerror(errno)));
    }
    return {};
}

bool WriteHiveAt(const HiveFile& file, const unsigned char* bytes, size_t size, std::uint64_t offset) {
    return WriteAllAt(file.writeFd, bytes, size, static_cast<off_t>(offset));
}

bool FlushHive(const HiveFile& file) {
    return fsync(file.writeFd) == 0;
}

bool GrowHive(const HiveFile& file, std::uint64_t size) {
    struct stat info;
    if (fstat(file.writeFd, &info) != 0) {
        return false;
    }
    return static_cast<std::uint64_t>(info.st_size) >= size ||
           (ftruncate(file.writeFd, static_cast<off_t>(size)) == 0 && fsync(file.writeFd) == 0);
}

bool WriteHiveLog(const HiveFile& file, const std::string& name, bool create,
                  const std::vector<unsigned char>& bytes) {
    struct stat primary;
    const mode_t mode = fstat(file.lockFd, &primary) == 0 ? primary.st_mode & 0666 : 0600;
    const int fd =
        openat(file.directory, name.c_str(),
               O_RDWR | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT | O_EXCL | O_NOFOLLOW : 0), mode);
    if (fd < 0) {
        return false;
    }
    bool ok = WriteAllAt(fd, bytes.data(), bytes.size(), 0) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    return ok && (!create || fsync(file.directory) == 0);
}

void CloseHiveFile(HiveFile* file) {
    if (file->mapped != nullptr) {
        munmap(file->mapped, file->mappedSize);
    }
    for (int fd : {file->writeFd, file->directory, file->lockFd}) {
        if (fd >= 0) {
            close(fd);
        }
    }
    *file = HiveFile{};
}
