// The hive's file and its logs on disk; see hive_file.h.
#include "hive_file.h"

#include "store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

constexpr char ConfigDirectory[] = "/Windows/System32/config";

// The entries of one folder spelt `given` ignoring case, as the card's file
// systems match names, noted one listed name at a time.
struct Spelling {
    explicit Spelling(std::string spelt) : given(std::move(spelt)) {}
    std::string given;
    unsigned alike = 0;
    bool exact = false;
    std::string listed;
    void Note(const char* name) {
        if (strcasecmp(name, given.c_str()) == 0) {
            ++alike;
            exact = exact || given == name;
            listed = name;
        }
    }
    // `given` where it is listed or ambiguous, else the one spelling listed.
    const std::string& Chosen() const {
        return exact || alike != 1 ? given : listed;
    }
};

// The entry of `directory` spelt `given` ignoring case: `given` itself where
// it is listed. Two spellings differing only in case are refused: Windows
// would see one of them.
HiveReason SpellingIn(int directory, const std::string& given, const std::string& shown,
                      std::string* listed) {
    Spelling spelling(given);
    const bool read = ForEachEntry(directory, [&spelling](const char* name) { spelling.Note(name); });
    *listed = spelling.Chosen();
    if (!read) {
        return HiveRefusal(HiveFault::PathUnreadable, shown, errno);
    }
    return spelling.alike > 1 ? HiveRefusal(HiveFault::CaseTwinsAt, shown) : HiveReason{};
}

// Opens the folder `name` of `*directory` in its place, following no link.
HiveReason EnterFolder(int* directory, const std::string& name, const std::string& shown, int* error) {
    struct stat info;
    if (fstatat(*directory, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        *error = errno;
        return HiveRefusal(HiveFault::PathFailed, shown, errno);
    }
    if (S_ISLNK(info.st_mode) || !S_ISDIR(info.st_mode)) {
        *error = S_ISLNK(info.st_mode) ? ELOOP : ENOTDIR;
        return HiveRefusal(S_ISLNK(info.st_mode) ? HiveFault::PathIsLink : HiveFault::PathNotFolder, shown,
                           *error);
    }
    const int below = openat(*directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (below < 0) {
        *error = errno;
        return HiveRefusal(HiveFault::PathFailed, shown, errno);
    }
    close(*directory);
    *directory = below;
    return {};
}

// Rewrites the absolute `path` component by component in the spelling its
// directory lists, where the given one is not listed but a spelling that
// differs only in letter case is: on a card's file systems mounted through
// FUSE every spelling is a file of its own, and two runs must still take the
// same lock. A refusal when the card is ambiguous: in the last four
// components (Windows\System32\config\SYSTEM), two entries differing only in
// case, of which Windows would see one (`checked` of them are on this path).
HiveReason ListedSpelling(std::string* path, size_t checked = 4) {
    std::string resolved;
    const size_t components = static_cast<size_t>(std::count(path->begin(), path->end(), '/'));
    size_t index = 0;
    for (size_t at = 1; at <= path->size(); ++index) {
        const size_t end = std::min(path->find('/', at), path->size());
        Spelling spelling(path->substr(at, end - at));
        at = end + 1;
        ListDirectory(resolved.empty() ? "/" : resolved.c_str(),
                      [&spelling](const char* name) { spelling.Note(name); });
        if (spelling.alike > 1 && index + checked >= components) {
            return HiveRefusal(HiveFault::CaseTwins);
        }
        resolved += "/" + spelling.Chosen();
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
HiveReason Locate(const std::string& path, size_t checked, std::string* located, int* error) {
    *located = RealPath(path);
    *error = errno;
    if (located->empty()) {
        char* here = path[0] == '/' ? nullptr : getcwd(nullptr, 0);
        std::string typed = here != nullptr ? std::string(here) + "/" + path : path;
        free(here);
        if (typed[0] == '/' && !ListedSpelling(&typed, checked)) {
            *located = RealPath(typed);
        }
    }
    return located->empty() ? HiveReason{} : ListedSpelling(located, checked);
}

// Walks from the folder open in `file` down the components found on the
// card, each opened in the one above and none through a link; the hive's own
// name, last, as listed.
HiveReason WalkFound(const std::vector<std::string>& below, HiveFile* file) {
    for (size_t i = 0; i < below.size(); ++i) {
        const bool hive = i + 1 == below.size();
        std::string listed;
        const std::string shown = file->shownFolder + below[i];
        HiveReason refused = SpellingIn(file->directory, below[i], shown, &listed);
        if (!refused && !hive) {
            refused = EnterFolder(&file->directory, listed, shown, &file->error);
            file->directoryPath += (file->directoryPath == "/" ? "" : "/") + listed;
            file->shownFolder += listed + "/";
        }
        if (refused) {
            return refused;
        }
        file->fileName = listed;
    }
    return {};
}

// Why the log `names[index]` may not be read, typed before it is opened (a
// device node may act when opened, a FIFO would block, a link may lead off
// the card); empty when it may. `seen` holds the logs typed so far and, last,
// the hive; `seen[index]` gets this one.
HiveReason LogRefusal(const HiveFile& file, const std::string* names, size_t index, std::uint64_t hiveSize,
                      struct stat* seen) {
    const std::string shown = file.shownFolder + names[index];
    struct stat& info = seen[index];
    if (fstatat(file.directory, names[index].c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return HiveRefusal(HiveFault::PathUnreadable, shown, errno);
    }
    if (S_ISLNK(info.st_mode) || !S_ISREG(info.st_mode)) {
        return HiveRefusal(S_ISLNK(info.st_mode) ? HiveFault::LogIsLink : HiveFault::PathNotRegular, shown);
    }
    for (size_t other = 0; other <= HiveLogCount; ++other) {
        if (other != index && seen[other].st_ino == info.st_ino && seen[other].st_dev == info.st_dev) {
            return other == HiveLogCount ? HiveRefusal(HiveFault::LogIsHive, shown)
                                         : HiveRefusal(HiveFault::LogIsOtherLog, shown, 0, names[other]);
        }
    }
    return IsLogTooLarge(static_cast<std::uint64_t>(info.st_size), hiveSize)
               ? HiveRefusal(HiveFault::LogTooLarge, shown)
               : HiveReason{};
}

} // namespace

HiveReason OpenHiveFile(const std::string& path, unsigned found, void (*waiting)(), HiveFile* file) {
    // What the user typed may lead through links; what was found below it is
    // the card's own, and followed through none.
    std::string typed = path;
    std::vector<std::string> below;
    for (size_t slash; below.size() < found && (slash = typed.rfind('/')) != std::string::npos;) {
        below.insert(below.begin(), typed.substr(slash + 1));
        typed.resize(slash == 0 ? 1 : slash);
    }
    std::string located;
    int unlocated = 0;
    if (HiveReason ambiguous = Locate(typed, 4 - below.size(), &located, &unlocated)) {
        return ambiguous;
    }
    if (below.empty() && !located.empty()) {
        const size_t slash = located.rfind('/');
        below.push_back(located.substr(slash + 1));
        located = slash == 0 ? "/" : located.substr(0, slash);
    }
    file->directoryPath = located;
    file->directory =
        located.empty() || below.empty() ? -1 : open(located.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (file->directory < 0) {
        file->error = located.empty() ? (unlocated != 0 ? unlocated : ENOENT) : errno;
        return file->error == ENOTDIR ? HiveRefusal(HiveFault::NotRegularFile, "", file->error)
                                      : HiveRefusal(HiveFault::OpenFailed, "", file->error);
    }
    if (HiveReason refused = WalkFound(below, file)) {
        return refused;
    }
    file->lockFd = LockAt(file->directory, file->fileName.c_str(), false, false, waiting);
    if (file->lockFd < 0) {
        file->error = errno;
        const std::string shown = file->shownFolder + file->fileName;
        return HiveRefusal(file->error == ELOOP                             ? HiveFault::PathIsLink
                           : file->error == EISDIR || file->error == EINVAL ? HiveFault::NotRegularFile
                                                                            : HiveFault::OpenFailed,
                           shown, file->error);
    }
    // Windows reads the logs beside Windows\System32\config\SYSTEM: a hive
    // with another name elsewhere must be named there, or its log would be
    // written beside the wrong one.
    struct stat links;
    const size_t tail = sizeof ConfigDirectory - 1;
    if (fstat(file->lockFd, &links) == 0 && links.st_nlink > 1 &&
        (file->directoryPath.size() < tail ||
         strcasecmp(file->directoryPath.c_str() + file->directoryPath.size() - tail, ConfigDirectory) != 0)) {
        return HiveRefusal(HiveFault::OtherHardLink);
    }
    return {};
}

HiveReason ReadHiveHeader(HiveFile* file, unsigned char* header, bool* dirty) {
    struct stat info;
    size_t got = 0;
    if (fstat(file->lockFd, &info) != 0 || !ReadAllAt(file->lockFd, header, HiveBaseBlockSize, 0, &got)) {
        return HiveRefusal(HiveFault::HiveUnreadable);
    }
    file->fileSize = static_cast<std::uint64_t>(info.st_size);
    return CheckHiveHeader(*file, header, got, dirty);
}

HiveReason ReadHiveLogs(const HiveFile& file, std::uint64_t hiveSize, HiveLogs* logs, bool* any) {
    HiveReason refusal;
    const bool listed = ForEachEntry(file.directory, [&file, logs, &refusal](const char* name) {
        NoteHiveLog(file, name, logs, &refusal);
    });
    if (!listed) {
        return HiveRefusal(HiveFault::DirectoryUnreadable, "", errno);
    }
    struct stat seen[HiveLogCount + 1] = {};
    if (fstat(file.lockFd, &seen[HiveLogCount]) != 0) {
        return HiveRefusal(HiveFault::HiveUnreadableBecause, "", errno);
    }
    *any = false;
    for (size_t i = 0; i < HiveLogCount && !refusal; ++i) {
        logs->views[i] = {nullptr, 0};
        if (logs->names[i].empty()) {
            continue;
        }
        *any = true;
        const std::string shown = file.shownFolder + logs->names[i];
        const struct stat& info = seen[i];
        refusal = LogRefusal(file, logs->names, i, hiveSize, seen);
        if (refusal) {
            continue;
        }
        errno = 0;
        const int fd =
            openat(file.directory, logs->names[i].c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        const auto size = static_cast<std::uint64_t>(info.st_size);
        const HiveReadAt read = [fd](unsigned char* into, size_t want, std::uint64_t offset, size_t* got) {
            return ReadAllAt(fd, into, want, static_cast<off_t>(offset), got);
        };
        // A hole holds no entry: skipped unread.
        const HiveNextData nextData = [fd, size](std::uint64_t offset) {
            const off_t data = lseek(fd, static_cast<off_t>(offset), SEEK_DATA);
            return data >= 0 ? static_cast<std::uint64_t>(data) : errno == ENXIO ? size : offset;
        };
        struct stat opened;
        if (fd < 0 || fstat(fd, &opened) != 0 || opened.st_ino != info.st_ino ||
            opened.st_dev != info.st_dev) {
            refusal = fd < 0 || errno != 0 ? HiveRefusal(HiveFault::PathUnreadable, shown, errno)
                                           : HiveRefusal(HiveFault::LogChanged, shown);
        } else {
            refusal = ReadOpenedLog(i, shown, size, read, nextData, logs);
        }
        if (fd >= 0) {
            close(fd);
        }
    }
    return refusal;
}

HiveReason ReadHiveStart(const HiveFile& file, unsigned char* bytes, size_t size, size_t* got) {
    return ReadAllAt(file.lockFd, bytes, size, 0, got)
               ? HiveReason{}
               : HiveRefusal(HiveFault::HiveUnreadableBecause, "", errno);
}

HiveReason MapHiveFile(HiveFile* file, std::uint32_t bins, HiveImage* image) {
    const size_t size = HiveBaseBlockSize + size_t{bins};
    file->mappedSize = size + HivePageSize;
    file->mapped =
        mmap(nullptr, file->mappedSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (file->mapped == MAP_FAILED) {
        file->mapped = nullptr;
        return HiveRefusal(HiveFault::NoMemory);
    }
    // Untouched pages are read from the file only when looked at, and a
    // sparse or padded tail is never read.
    const size_t fromFile = std::min(size, (static_cast<size_t>(file->fileSize) + HivePageSize - 1) /
                                               HivePageSize * HivePageSize);
    if (fromFile > 0 && mmap(file->mapped, fromFile, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED,
                             file->lockFd, 0) == MAP_FAILED) {
        return HiveRefusal(HiveFault::MapFailed, "", errno);
    }
    image->bytes = static_cast<unsigned char*>(file->mapped);
    image->capacity = file->mappedSize;
    return {};
}

HiveReason OpenHiveForWriting(HiveFile* file, const std::string& log) {
    const std::string locked = "/proc/self/fd/" + std::to_string(file->lockFd);
    file->writeFd = open(locked.c_str(), O_RDWR | O_CLOEXEC);
    HiveFault what = HiveFault::HiveNotWritable;
    if (file->writeFd >= 0) {
        const int fd =
            log.empty() ? -1
                        : openat(file->directory, log.c_str(), O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        what = HiveFault::LogNotWritable;
        if (fd >= 0) {
            close(fd);
        } else if (!log.empty() || faccessat(file->directory, ".", W_OK, AT_EACCESS) != 0) {
            close(file->writeFd);
            file->writeFd = -1;
        }
    }
    if (file->writeFd < 0) {
        file->error = errno;
        return HiveRefusal(what, "", errno);
    }
    return {};
}

bool WriteHiveAt(const HiveFile& file, const unsigned char* bytes, size_t size, std::uint64_t offset) {
    return WriteAllAt(file.writeFd, bytes, size, static_cast<off_t>(offset));
}

bool FlushHive(const HiveFile& file) {
    return fsync(file.writeFd) == 0;
}

std::string HiveFileSystemThatCannotGrow(const HiveFile& file) {
    struct stat info;
    FILE* table = fstat(file.lockFd, &info) == 0 ? fopen("/proc/self/mountinfo", "re") : nullptr;
    if (table == nullptr) {
        return "";
    }
    // Each line: id parent major:minor root point options... - type source ...
    const std::string device = std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev));
    char line[4096];
    std::string type;
    while (type.empty() && fgets(line, sizeof line, table) != nullptr) {
        char id[32];
        char parent[32];
        char numbers[64];
        const char* separator = strstr(line, " - ");
        char kind[64];
        if (separator != nullptr && sscanf(line, "%31s %31s %63s", id, parent, numbers) == 3 &&
            device == numbers && sscanf(separator + 3, "%63s", kind) == 1 &&
            strcmp(kind, "fuse.fusefat") == 0) {
            type = kind;
        }
    }
    fclose(table);
    return type;
}

bool GrowHive(const HiveFile& file, std::uint64_t size, bool* grew) {
    struct stat info;
    if (fstat(file.writeFd, &info) != 0) {
        return false;
    }
    *grew = static_cast<std::uint64_t>(info.st_size) < size;
    return !*grew || ftruncate(file.writeFd, static_cast<off_t>(size)) == 0;
}

bool WriteHiveLog(const HiveFile& file, const std::string& name, bool create,
                  const std::vector<unsigned char>& bytes) {
    struct stat primary;
    if (fstat(file.lockFd, &primary) != 0) {
        return false;
    }
    const int fd = openat(file.directory, name.c_str(),
                          O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT | O_EXCL : 0),
                          primary.st_mode & 0666);
    struct stat log;
    if (fd < 0 || fstat(fd, &log) != 0 || !S_ISREG(log.st_mode) ||
        (log.st_dev == primary.st_dev && log.st_ino == primary.st_ino)) {
        const int saved = fd < 0 ? errno : EINVAL;
        if (fd >= 0) {
            close(fd);
        }
        errno = saved;
        return false;
    }
    const std::vector<unsigned char> written = LogAsWritten(bytes, static_cast<std::uint64_t>(log.st_size));
    bool ok = WriteAllAt(fd, written.data(), written.size(), 0) && fsync(fd) == 0;
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

const HiveFileOps HiveSystemFile = {WriteHiveAt, FlushHive, GrowHive, WriteHiveLog};
