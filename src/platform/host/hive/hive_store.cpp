// The board's own SYSTEM hive file as the host's registry, so that a card can
// be named from a PC. HKEY_LOCAL_MACHINE\SYSTEM is the hive's root key.
// Strings are stored as UTF-16LE and converted to and from the ANSI code page,
// as Windows' ANSI registry calls do. The hive is mapped copy-on-write: only
// the pages on the way to the name values are read, and a change stays in
// memory until the last key is closed. A dirty hive is first brought up to
// date from its logs, in memory, as Windows would at boot. Writing is done as
// Windows does it: the changed pages go to a log entry first, then in place,
// with the header marked dirty around them.
#include "hive_cell_writer.h"
#include "hive_log_writer.h"
#include "hive_replay.h"
#include "store.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <strings.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

struct HiveKey {
    std::uint32_t node;
    // ActiveComputerName, which Windows rebuilds at every boot from the
    // ComputerName key (`node`) and which the file therefore lacks.
    bool isVolatile;
    // The key's own name and its parent's, as asked for: where a missing
    // ActiveComputerName may be presented.
    std::string name;
    std::string parentName;
    std::string path; // from SYSTEM, for messages
};

HiveKey* Own(StoreKey* key) {
    return reinterpret_cast<HiveKey*>(key);
}

constexpr size_t BaseBlockSize = HiveBaseBlockSize;
constexpr size_t PageSize = 4096;
// A log larger than this cannot belong to a hive of that size: refused
// unread rather than read whole.
constexpr std::uint64_t LogSlack = 64u << 20;
constexpr const char* LogSuffixes[] = {".LOG1", ".LOG2", ".LOG"};
constexpr size_t LogCount = sizeof LogSuffixes / sizeof LogSuffixes[0];
constexpr char RootKeyName[] = "SYSTEM";
constexpr char VolatileKeyName[] = "ActiveComputerName";
constexpr char VolatileKeySource[] = "ComputerName";

struct FoundLogs;

struct Hive {
    std::string path; // as given, for messages
    std::string directoryPath;
    std::string fileName;
    int lockFd = -1;  // read-only, locked
    int writeFd = -1; // read-write, from the first key opened for writing
    int directory = -1;
    void* mapped = nullptr;
    size_t mappedSize = 0;
    HiveImage image;
    std::uint64_t fileSize = 0; // as the header was read
    UINT codePage = 0;          // the ANSI code page, taken once per run
    bool changed = false;
    // A dirty hive: what the replay wrote, and the recovered base block.
    bool replayed = false;
    HiveReplay replay;
    unsigned char recovered[BaseBlockSize] = {};
    FoundLogs* logs = nullptr;
    std::uint32_t logSequence = 0; // the highest number in the logs
};

Hive hive;
HiveCardState cardState;
bool keepUnwritten = false;
bool keepMessages = false;
std::string keptMessages;

// One line of our own before the tool's error, naming the file and the reason.
void Explain(const char* reason) {
    if (keepMessages) {
        keptMessages += keptMessages.empty() ? "" : "\n";
        keptMessages += reason;
        return;
    }
    fflush(stdout);
    fprintf(stderr, "velmora: %s: %s\n", hive.path.c_str(), reason);
    fflush(stderr);
}

// A reason the cell reader gave, with where it arose: the key (and value)
// looked in, and the bin at fault when one was.
std::string Where(const char* reason, const std::string& key, const char* value = nullptr) {
    std::string line =
        "key " + key + (value != nullptr ? std::string(", value ") + value : "") + ": " + reason;
    if (hive.image.damagedBin != HiveNoCell) {
        char bin[96];
        snprintf(bin, sizeof bin, " (the bin holding offset 0x%X of the bins is damaged)",
                 hive.image.damagedBin);
        line += bin;
    }
    return line;
}

bool ReadAt(int fd, unsigned char* bytes, size_t size, off_t offset, size_t* got) {
    *got = 0;
    while (*got < size) {
        const ssize_t part = pread(fd, bytes + *got, size - *got, offset + static_cast<off_t>(*got));
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

// The base block's own checks, before any cell is read, and the file's size.
// A dirty one (its checksum wrong or its sequence numbers apart) goes to the
// replay.
const char* RefusalOfHeader(int fd, unsigned char* header, bool* dirty) {
    struct stat info;
    size_t got = 0;
    if (fstat(fd, &info) != 0 || !ReadAt(fd, header, BaseBlockSize, 0, &got)) {
        return "cannot be read";
    }
    hive.fileSize = static_cast<std::uint64_t>(info.st_size);
    if (got < 4 || memcmp(header, "regf", 4) != 0) {
        return "not a registry hive";
    }
    if (got != BaseBlockSize) {
        return "truncated: the hive's header is cut short";
    }
    *dirty = IsDirtyBaseBlock(header);
    if (!HasValidChecksum(header)) {
        return nullptr;
    }
    if (!HasKnownVersion(header, 0)) {
        return "unknown hive format version";
    }
    const std::uint32_t bins = HiveLe32(header + 40);
    if (bins == 0 || bins % PageSize != 0 || bins > HiveMaxBinsDataSize) {
        return "its header is damaged: its bins size is no multiple of 4096 bytes up to 256 MiB";
    }
    // A dirty hive's logs may hold the pages past the file's end: its replay
    // decides.
    if (!*dirty && hive.fileSize < BaseBlockSize + std::uint64_t{bins}) {
        return "truncated: the file is shorter than its header says";
    }
    return nullptr;
}

struct FoundLogs {
    std::string names[LogCount]; // as they are spelled on disk; empty when absent
    std::vector<unsigned char> bytes[LogCount];
    HiveLogBytes views[LogCount];
};

// Finds `<hive>.LOG1`, `.LOG2` and `.LOG` beside the hive, ignoring case as
// the card's own file systems do, and reads them. nullptr, or why not.
std::string ReadLogs(std::uint64_t hiveSize, FoundLogs* logs, bool* any) {
    std::string refusal;
    const bool listed = ForEachEntry(hive.directory, [logs, &refusal](const char* name) {
        for (size_t i = 0; i < LogCount; ++i) {
            if (strcasecmp(name, (hive.fileName + LogSuffixes[i]).c_str()) != 0) {
                continue;
            }
            if (!logs->names[i].empty()) {
                refusal = "both " + logs->names[i] + " and " + name + " lie beside it";
            }
            logs->names[i] = name;
        }
    });
    if (!listed) {
        return std::string("its directory cannot be read: ") + strerror(errno);
    }
    *any = false;
    for (size_t i = 0; i < LogCount && refusal.empty(); ++i) {
        logs->views[i] = {nullptr, 0};
        if (logs->names[i].empty()) {
            continue;
        }
        *any = true;
        // Never waits on a FIFO planted in a log's place.
        const int fd = openat(hive.directory, logs->names[i].c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        struct stat info;
        size_t got = 0;
        if (fd < 0 || fstat(fd, &info) != 0) {
            refusal = logs->names[i] + " cannot be read: " + strerror(errno);
        } else if (!S_ISREG(info.st_mode)) {
            refusal = logs->names[i] + " is not a regular file";
        } else if (static_cast<std::uint64_t>(info.st_size) > LogSlack + 2 * hiveSize) {
            refusal = logs->names[i] + " is larger than any log of this hive can be";
        } else {
            logs->bytes[i].resize(static_cast<size_t>(info.st_size));
            if (!ReadAt(fd, logs->bytes[i].data(), logs->bytes[i].size(), 0, &got)) {
                refusal = logs->names[i] + " cannot be read: " + strerror(errno);
            }
            logs->bytes[i].resize(got);
            logs->views[i] = {logs->bytes[i].data(), got};
        }
        if (fd >= 0) {
            close(fd);
        }
    }
    return refusal;
}

// The line saying which logs were replayed, so the old name shown is known
// to be the board's latest.
void TellReplay(const HiveReplay& replay, const FoundLogs& logs) {
    std::string from;
    unsigned named = 0;
    const unsigned total = static_cast<unsigned>(__builtin_popcount(replay.logsApplied));
    for (size_t i = 0; i < LogCount; ++i) {
        if ((replay.logsApplied >> i & 1) != 0) {
            from += named == 0 ? "" : named + 1 == total ? " and " : ", ";
            from += logs.names[i];
            ++named;
        }
    }
    const char* unit = replay.oldFormat ? (replay.changes == 1 ? " dirty page" : " dirty pages")
                                        : (replay.changes == 1 ? " log entry" : " log entries");
    cardState.replayed = replay.changes;
    cardState.oldFormat = replay.oldFormat;
    snprintf(cardState.logs, sizeof cardState.logs, "%s", from.c_str());
    const std::string line =
        "replayed " + std::to_string(replay.changes) + unit + " from " + from + ", as Windows would at boot";
    Explain(line.c_str());
}

void Release() {
    if (hive.mapped != nullptr) {
        munmap(hive.mapped, hive.mappedSize);
        hive.mapped = nullptr;
    }
    hive.image = HiveImage{};
    delete hive.logs;
    hive.logs = nullptr;
    for (int* fd : {&hive.writeFd, &hive.directory, &hive.lockFd}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
    hive.replayed = false;
    hive.replay = HiveReplay{};
    hive.changed = false;
}

// Maps 4096 + `bins` bytes of the hive copy-on-write, with a page to spare for
// a new bin: untouched pages are read from the file only when looked at, and
// a sparse or padded tail is never read. What lies past the file's end reads
// as zeros.
const char* MapHive(std::uint32_t bins) {
    const size_t size = BaseBlockSize + size_t{bins};
    hive.mappedSize = size + PageSize;
    hive.mapped = mmap(nullptr, hive.mappedSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (hive.mapped == MAP_FAILED) {
        hive.mapped = nullptr;
        return "not enough memory";
    }
    const size_t fromFile =
        std::min(size, (static_cast<size_t>(hive.fileSize) + PageSize - 1) / PageSize * PageSize);
    if (fromFile > 0 && mmap(hive.mapped, fromFile, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED,
                             hive.lockFd, 0) == MAP_FAILED) {
        return strerror(errno);
    }
    hive.image.bytes = static_cast<unsigned char*>(hive.mapped);
    hive.image.capacity = hive.mappedSize;
    return nullptr;
}

// Whether every page of the recovered bins that lies past the file's end
// (a cut growth) was written by the replay, rather than read as zeros.
bool ReplayCoversFileEnd() {
    const std::uint64_t bins = hive.replay.binsDataSize;
    std::uint64_t present =
        hive.fileSize <= BaseBlockSize ? 0 : (hive.fileSize - BaseBlockSize) / PageSize * PageSize;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
    for (const HivePageWrite& write : hive.replay.writes) {
        runs.emplace_back(write.offset, std::uint64_t{write.offset} + write.size);
    }
    std::sort(runs.begin(), runs.end());
    for (const auto& [start, end] : runs) {
        if (present >= bins || start > present) {
            break;
        }
        present = std::max(present, end);
    }
    return present >= bins;
}

// Brings a dirty hive up to date from its logs in the mapping. nullptr, or
// the reason it cannot be done.
std::string Replay() {
    unsigned char start[BaseBlockSize + 32];
    size_t got = 0;
    if (!ReadAt(hive.lockFd, start, sizeof start, 0, &got)) {
        return std::string("cannot be read: ") + strerror(errno);
    }
    const char* reason =
        PlanHiveReplay(start, got, hive.logs->views, LogCount, HiveMaxBinsDataSize, &hive.replay);
    if (reason != nullptr) {
        return reason;
    }
    reason = MapHive(hive.replay.largestBinsDataSize);
    if (reason == nullptr) {
        reason = ApplyHiveReplay(&hive.replay, hive.logs->views, hive.image.bytes,
                                 BaseBlockSize + size_t{hive.replay.largestBinsDataSize});
    }
    if (reason != nullptr) {
        return reason;
    }
    if (!ReplayCoversFileEnd()) {
        return "truncated: the file is shorter than its header says, and its logs do not hold the rest";
    }
    memcpy(hive.recovered, hive.image.bytes, BaseBlockSize);
    hive.replayed = true;
    TellReplay(hive.replay, *hive.logs);
    return "";
}

// The value named `name` of `key`; ERROR_INVALID_DATA, with the reason
// told, for a damaged key.
LONG FindValue(const HiveKey& key, const char* name, bool unique, HiveValue* value) {
    const char* reason = FindHiveValue(hive.image, key.node, name, unique, value);
    if (reason != nullptr) {
        Explain(Where(reason, key.path, name).c_str());
        return ERROR_INVALID_DATA;
    }
    return value->record == HiveNoCell ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

// The control set the board boots, from the `Select` key at `select`, must
// be the one the names are written to.
bool BootsControlSet001(std::uint32_t select) {
    HiveValue current;
    return FindHiveValue(hive.image, select, "Current", false, &current) == nullptr &&
           current.record != HiveNoCell && current.type == REG_DWORD && current.size == 4 &&
           current.data != nullptr && HiveLe32(current.data) == 1;
}

// The log a rename writes its entry to: LOG1, else LOG2, as the card spells
// it; empty when the card has neither, and SYSTEM.LOG1 is to be made.
const std::string& LogToWrite() {
    return !hive.logs->names[0].empty() ? hive.logs->names[0] : hive.logs->names[1];
}

// Rewrites the absolute `path` component by component in the spelling its
// directory lists, where the given one is not listed but a spelling that
// differs only in letter case is: on a card's file systems mounted through
// FUSE every spelling is a file of its own, and two runs must still take the
// same lock. nullptr, or why the card is ambiguous: in the last four
// components (Windows\System32\config\SYSTEM), two entries differing only in
// case, of which Windows would see one.
const char* ListedSpelling(std::string* path) {
    std::string resolved;
    const size_t components = static_cast<size_t>(std::count(path->begin(), path->end(), '/'));
    size_t index = 0;
    for (size_t at = 1; at <= path->size(); ++index) {
        const size_t end = std::min(path->find('/', at), path->size());
        const std::string given = path->substr(at, end - at);
        at = end + 1;
        const int directory =
            open(resolved.empty() ? "/" : resolved.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        std::string listed;
        unsigned alike = 0;
        bool exact = false;
        if (directory >= 0) {
            ForEachEntry(directory, [&](const char* name) {
                if (strcasecmp(name, given.c_str()) == 0) {
                    ++alike;
                    exact = exact || given == name;
                    listed = name;
                }
            });
            close(directory);
        }
        if (alike > 1 && index + 4 >= components) {
            return "two entries on the way to the hive differ only in letter case, and Windows would see "
                   "one: remove or rename the copy that is not the board's";
        }
        resolved += "/" + (exact || alike != 1 ? given : listed);
    }
    *path = resolved;
    return nullptr;
}

// Said at once, kept messages or not: the run is not stuck.
void TellWaiting() {
    fflush(stdout);
    fprintf(stderr, "velmora: %s: another run is using this card: waiting for it to finish\n",
            hive.path.c_str());
    fflush(stderr);
}

LONG Attach() {
    cardState = HiveCardState{};
    const char* path = ChosenSystemHive();
    hive.path = path != nullptr ? path : "";
    if (hive.path.empty()) {
        hive.path = "VELMORA_SYSTEM_HIVE";
        Explain("set but empty, so no card is named (sudo drops exported variables: write sudo "
                "VELMORA_SYSTEM_HIVE=/mnt/card/Windows/System32/config/SYSTEM velmora NAME, or use "
                "velmora-card)");
        return ERROR_FILE_NOT_FOUND;
    }
    // Written where the hive really is, not through a link to it, and spelt
    // as its directories list it.
    // On a case-sensitive mount (ntfs-3g) a spelling Windows would accept is
    // looked for as the directories list it.
    char* real = realpath(hive.path.c_str(), nullptr);
    std::string located = real != nullptr ? real : "";
    free(real);
    char* here = hive.path[0] == '/' || !located.empty() ? nullptr : getcwd(nullptr, 0);
    std::string typed = here != nullptr ? std::string(here) + "/" + hive.path : hive.path;
    free(here);
    if (located.empty() && typed[0] == '/' && ListedSpelling(&typed) == nullptr) {
        real = realpath(typed.c_str(), nullptr);
        located = real != nullptr ? real : "";
        free(real);
    }
    const char* ambiguous = located.empty() ? nullptr : ListedSpelling(&located);
    if (ambiguous != nullptr) {
        Explain(ambiguous);
        Release();
        return ERROR_INVALID_DATA;
    }
    const size_t slash = located.rfind('/');
    hive.directoryPath = slash == 0 ? "/" : located.substr(0, slash);
    hive.fileName = located.substr(slash + 1);
    hive.lockFd = located.empty() ? -1 : LockPath(located.c_str(), false, TellWaiting);
    if (hive.lockFd < 0) {
        cardState.openError = errno;
        const LONG error = ErrorFromErrno(ERROR_FILE_NOT_FOUND);
        Explain(errno == EISDIR || errno == EINVAL ? "not a regular file" : strerror(errno));
        Release();
        return error;
    }
    // Windows reads the logs beside Windows\System32\config\SYSTEM: a hive
    // with another name elsewhere must be named there, or its log would be
    // written beside the wrong one.
    struct stat links;
    constexpr char ConfigDirectory[] = "/Windows/System32/config";
    const size_t tail = sizeof ConfigDirectory - 1;
    if (fstat(hive.lockFd, &links) == 0 && links.st_nlink > 1 &&
        (hive.directoryPath.size() < tail ||
         strcasecmp(hive.directoryPath.c_str() + hive.directoryPath.size() - tail, ConfigDirectory) != 0)) {
        Explain("the hive has another hard link, and Windows reads the logs beside the one in "
                "Windows/System32/config: name that one");
        Release();
        return ERROR_INVALID_DATA;
    }
    hive.directory = open(hive.directoryPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (hive.directory < 0) {
        const LONG error = ErrorFromErrno(ERROR_ACCESS_DENIED);
        Explain(strerror(errno));
        Release();
        return error;
    }
    unsigned char header[BaseBlockSize];
    bool dirty = false;
    const char* refusal = RefusalOfHeader(hive.lockFd, header, &dirty);
    if (refusal != nullptr) {
        Explain(refusal);
        Release();
        return ERROR_INVALID_DATA;
    }
    // The logs: replayed when the hive is dirty, and in any case what a new
    // log entry must be numbered above.
    hive.logs = new (std::nothrow) FoundLogs;
    bool any = false;
    std::string why =
        hive.logs == nullptr
            ? "not enough memory"
            : ReadLogs(HasValidChecksum(header) ? BaseBlockSize + std::uint64_t{HiveLe32(header + 40)}
                                                : BaseBlockSize + std::uint64_t{HiveMaxBinsDataSize},
                       hive.logs, &any);
    if (why.empty() && dirty) {
        why = any ? Replay() : "it has no logs beside it";
    }
    if (!why.empty() && dirty) {
        why =
            std::string(HasValidChecksum(header) ? "the board was not shut down cleanly"
                                                 : "its header is damaged (bad checksum)") +
            ", and " + why +
            ", so its latest state cannot be recovered: boot the board once with this card and shut it down "
            "cleanly, then try again";
    }
    if (why.empty() && !dirty) {
        const char* reason = MapHive(HiveLe32(header + 40));
        why = reason != nullptr ? reason : "";
    }
    if (why.empty() && !HighestLogSequence(hive.logs->views, LogCount, HiveMaxBinsDataSize,
                                           HiveLe32(hive.image.bytes + 4), &hive.logSequence)) {
        why = "a log beside it is damaged in a way Windows never writes";
    }
    if (why.empty() && HiveRootKey(hive.image) == HiveNoCell) {
        why = Where("its key node is damaged", RootKeyName);
    }
    std::uint32_t select = HiveNoCell;
    const char* unread =
        why.empty() ? FindHiveSubkey(hive.image, HiveRootKey(hive.image), "Select", &select) : nullptr;
    if (unread != nullptr) {
        why = Where(unread, RootKeyName);
    } else if (why.empty() && select == HiveNoCell) {
        why = "not a SYSTEM hive: it has no Select key";
    }
    if (why.empty() && !BootsControlSet001(select)) {
        why = "Select\\Current does not name control set 1, so the board would not boot the names written to "
              "ControlSet001";
    }
    if (!why.empty()) {
        Explain(why.c_str());
        Release();
        return ERROR_INVALID_DATA;
    }
    hive.codePage = HiveCodePage();
    cardState.read = true;
    return ERROR_SUCCESS;
}

// Opens the hive for writing, and makes sure a log can be written beside it,
// before anything is shown: a read-only card or someone else's hive fails
// here, not after the new name was printed.
LONG PrepareWriting() {
    const std::string locked = "/proc/self/fd/" + std::to_string(hive.lockFd);
    hive.writeFd = open(locked.c_str(), O_RDWR | O_CLOEXEC);
    const char* what = "the hive cannot be written: ";
    if (hive.writeFd >= 0) {
        const std::string& log = LogToWrite();
        const int fd =
            log.empty() ? -1 : openat(hive.directory, log.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        what = "its log cannot be written: ";
        if (fd >= 0) {
            close(fd);
        } else if (!log.empty() || faccessat(hive.directory, ".", W_OK, AT_EACCESS) != 0) {
            close(hive.writeFd);
            hive.writeFd = -1;
        }
    }
    if (hive.writeFd < 0) {
        cardState.writeError = errno;
        const LONG error = ErrorFromErrno(ERROR_ACCESS_DENIED);
        Explain((what + std::string(strerror(errno))).c_str());
        return error;
    }
    return ERROR_SUCCESS;
}

LONG OpenKey(StoreKey* parentKey, const char* subKey, bool forWriting, StoreKey** result) {
    const HiveKey* parent = Own(parentKey);
    if (parent != nullptr && parent->isVolatile) {
        return ERROR_FILE_NOT_FOUND;
    }
    std::uint32_t node = parent != nullptr ? parent->node : HiveNoCell;
    std::string name = parent != nullptr ? parent->name : "";
    std::string parentName = parent != nullptr ? parent->parentName : "";
    std::string path = parent != nullptr ? parent->path : "";
    bool isVolatile = false;
    for (const char* component = subKey; *component != '\0';) {
        const size_t length = strcspn(component, "\\");
        const std::string part(component, length);
        component += length;
        component += *component == '\\' ? 1 : 0;
        if (isVolatile || part.empty()) {
            return ERROR_FILE_NOT_FOUND;
        }
        if (node == HiveNoCell) {
            // Below HKEY_LOCAL_MACHINE only SYSTEM is here: the hive itself.
            if (strcasecmp(part.c_str(), RootKeyName) != 0) {
                return ERROR_FILE_NOT_FOUND;
            }
            node = HiveRootKey(hive.image);
            name = part;
            path = RootKeyName;
            continue;
        }
        std::uint32_t child = HiveNoCell;
        const char* reason = FindHiveSubkey(hive.image, node, part.c_str(), &child);
        if (reason != nullptr) {
            Explain(Where(reason, path).c_str());
            return ERROR_INVALID_DATA;
        }
        if (child == HiveNoCell) {
            // ...\Control\ComputerName\ActiveComputerName exists on a running
            // board only: present it as the boot would make it.
            if (strcasecmp(part.c_str(), VolatileKeyName) != 0 ||
                strcasecmp(name.c_str(), "ComputerName") != 0 ||
                strcasecmp(parentName.c_str(), "Control") != 0 ||
                FindHiveSubkey(hive.image, node, VolatileKeySource, &child) != nullptr ||
                child == HiveNoCell) {
                return ERROR_FILE_NOT_FOUND;
            }
            isVolatile = true;
        }
        node = child;
        parentName = name;
        name = part;
        path += "\\" + part;
    }
    if (node == HiveNoCell) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (forWriting && hive.writeFd < 0) {
        const LONG error = PrepareWriting();
        if (error != ERROR_SUCCESS) {
            return error;
        }
    }
    *result =
        reinterpret_cast<StoreKey*>(new (std::nothrow) HiveKey{node, isVolatile, name, parentName, path});
    return *result != nullptr ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

LONG ReadValue(StoreKey* storeKey, const char* valueName, DWORD* type, std::string* data) {
    const HiveKey* key = Own(storeKey);
    if (key->isVolatile && strcasecmp(valueName, "ComputerName") != 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    HiveValue value;
    const LONG found = FindValue(*key, valueName, false, &value);
    if (found != ERROR_SUCCESS) {
        return found;
    }
    if (value.data == nullptr && value.size > 0) {
        // Kept in segments: far over any name, and not read.
        const std::string reason = "holds " + std::to_string(value.size) + " bytes, far more than any name";
        Explain(Where(reason.c_str(), key->path, valueName).c_str());
        return ERROR_MORE_DATA;
    }
    // Types are plain numbers: any 32-bit value may be stored.
    *type = value.type;
    const size_t length = value.size;
    if (!IsStringType(*type)) {
        data->assign(reinterpret_cast<const char*>(value.data), length);
        return ERROR_SUCCESS;
    }
    // UTF-16LE to the ANSI code page; a character the code page lacks fails
    // the query rather than turning into a substitute.
    if (length % 2 != 0 || length / 2 > 0x7FFFFFFF / 4) {
        return ERROR_INVALID_DATA;
    }
    std::u16string wide(length / 2, u'\0');
    memcpy(wide.data(), value.data, length);
    data->assign(wide.size() * 4, '\0');
    const int converted =
        wide.empty() ? 0
                     : WideCharToMultiByte(hive.codePage, 0, wide.data(), static_cast<int>(wide.size()),
                                           data->data(), static_cast<int>(data->size()), nullptr, nullptr);
    if (!wide.empty() && converted == 0) {
        return ERROR_INVALID_DATA;
    }
    data->resize(static_cast<size_t>(converted));
    return ERROR_SUCCESS;
}

LONG WriteValue(StoreKey* storeKey, const char* valueName, DWORD type, const BYTE* data, DWORD size) {
    const HiveKey* key = Own(storeKey);
    if (key->isVolatile) {
        // Accepted and not stored: the boot makes this key anew.
        return ERROR_SUCCESS;
    }
    std::string stored(reinterpret_cast<const char*>(data), size);
    if (IsStringType(type) && size > 0) {
        // The name's bytes must be valid in the ANSI code page.
        std::u16string wide(size, u'\0');
        const int converted =
            MultiByteToWideChar(hive.codePage, MB_ERR_INVALID_CHARS, stored.data(), static_cast<int>(size),
                                wide.data(), static_cast<int>(size));
        if (converted == 0) {
            Explain("the new name is not text of this locale's code set: run under a UTF-8 locale");
            return ERROR_INVALID_DATA;
        }
        stored.assign(reinterpret_cast<const char*>(wide.data()), static_cast<size_t>(converted) * 2);
    }
    // The value keeps its own spelling (`NV HostName`): only its data changes.
    HiveValue value;
    const LONG found = FindValue(*key, valueName, true, &value);
    if (found != ERROR_SUCCESS) {
        return found;
    }
    const char* reason = SetHiveValue(&hive.image, key->node, value, type,
                                      reinterpret_cast<const unsigned char*>(stored.data()),
                                      static_cast<std::uint32_t>(stored.size()));
    if (reason != nullptr) {
        Explain(Where(reason, key->path, valueName).c_str());
        return ERROR_INVALID_DATA;
    }
    hive.changed = true;
    return ERROR_SUCCESS;
}

LONG CloseKey(StoreKey* key) {
    delete Own(key);
    return ERROR_SUCCESS;
}

void PutNumbers(unsigned char* baseBlock, std::uint32_t primary, std::uint32_t secondary) {
    HivePutLe32(baseBlock + 4, primary);
    HivePutLe32(baseBlock + 8, secondary);
    HiveSetChecksum(baseBlock);
}

bool WriteAt(int fd, const unsigned char* bytes, size_t size, std::uint64_t offset) {
    return WriteAllAt(fd, bytes, size, static_cast<off_t>(offset));
}

// How far a write got. A failure in each phase leaves the card in one state,
// which the failure's message tells (Outcome).
enum class Phase {
    Recovering,      // a dirty hive's replayed pages, in place, and their flush
    RecoveredHeader, // its recovered header, clean, and its flush
    Log,             // the rename's log entry (its flush, a new log's directory), and the
                     // file grown to the new bins: the header not yet touched
    DirtyHeader,     // the header marked dirty, and its flush
    Pages,           // the changed pages in place, and their flush
    CleanHeader,     // the header clean again, and its flush
};

// What the card holds after a failure in each phase; for Log, on a card that
// was clean and on one that was recovered first.
constexpr struct {
    Phase phase;
    const char* left;
    const char* leftRecovered;
} Outcome[] = {
    {Phase::Recovering, nullptr,
     "the hive is still dirty, its logs as they were: the board's next boot, or the next run, recovers it"},
    {Phase::RecoveredHeader, nullptr,
     "the card holds the old names, but whether its hive is still dirty (its logs as they were) or already "
     "recovered and clean is unknown until the board's next boot, or the next run, which settles it"},
    {Phase::Log, "the hive itself was not touched, and holds the old names",
     "the hive was recovered from its logs and is clean, with the old names; the rename was not written"},
    {Phase::DirtyHeader, nullptr,
     "whether the hive is clean with the old names, or marked dirty with the rename in its log (so that "
     "the board boots renamed), is unknown until the board's next boot, or the next run, which settles it"},
    {Phase::Pages, nullptr,
     "the hive is marked dirty, and its log holds the rename: the board boots renamed, and the next run "
     "completes it"},
    {Phase::CleanHeader, nullptr,
     "the card holds the new names; its hive may still be marked dirty with the rename in its log until "
     "the board's next boot, or the next run, which settles it"},
};

// A dirty hive is first recovered on disk as Windows recovers it at boot:
// the logs' pages replayed onto the primary, which stays dirty (a crash
// meanwhile leaves the logs to replay again), then the recovered header,
// clean. Only then may a log be rewritten.
bool SettleReplay(std::uint32_t sequence, Phase* phase) {
    *phase = Phase::Recovering;
    for (const HivePageWrite& write : hive.replay.writes) {
        if (!WriteAt(hive.writeFd, write.bytes, write.size, BaseBlockSize + std::uint64_t{write.offset})) {
            return false;
        }
    }
    if (fsync(hive.writeFd) != 0) {
        return false;
    }
    *phase = Phase::RecoveredHeader;
    PutNumbers(hive.recovered, sequence, sequence);
    return WriteAt(hive.writeFd, hive.recovered, BaseBlockSize, 0) && fsync(hive.writeFd) == 0;
}

// The log the entry goes to, made when the card has none. Its descriptor, or -1.
int OpenLog(bool* created) {
    const std::string& found = LogToWrite();
    *created = found.empty();
    const std::string name = found.empty() ? hive.fileName + LogSuffixes[0] : found;
    struct stat primary;
    const mode_t mode = fstat(hive.lockFd, &primary) == 0 ? primary.st_mode & 0666 : 0600;
    return openat(hive.directory, name.c_str(),
                  O_RDWR | O_NONBLOCK | O_CLOEXEC | (*created ? O_CREAT | O_EXCL | O_NOFOLLOW : 0), mode);
}

// The changed pages as one log entry, flushed, in the log made when the card
// has none (its directory flushed too).
bool WriteLog(std::uint32_t entry, const std::vector<std::uint32_t>& pages) {
    std::vector<HiveLogPage> images;
    images.reserve(pages.size());
    for (std::uint32_t page : pages) {
        images.push_back({page, hive.image.bytes + BaseBlockSize + page});
    }
    const std::vector<unsigned char> log =
        BuildHiveLog(hive.image.bytes, entry, images.data(), images.size());
    bool created = false;
    const int fd = OpenLog(&created);
    if (fd < 0) {
        return false;
    }
    bool ok = WriteAt(fd, log.data(), log.size(), 0) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    return ok && (!created || fsync(hive.directory) == 0);
}

// A grown hive's file is grown, and flushed, before any header counts the
// new bins: a dirty header over a shorter file could not be replayed.
bool GrowFile() {
    struct stat info;
    const std::uint64_t size = BaseBlockSize + std::uint64_t{HiveLe32(hive.image.bytes + 40)};
    if (fstat(hive.writeFd, &info) != 0) {
        return false;
    }
    return static_cast<std::uint64_t>(info.st_size) >= size ||
           (ftruncate(hive.writeFd, static_cast<off_t>(size)) == 0 && fsync(hive.writeFd) == 0);
}

// Writes the rename as Windows writes a change: (1) the changed pages as one
// log entry, flushed; (2) the file grown to hold new bins, flushed; (3) the
// header marked dirty, flushed, so no page lands before the header says so;
// (4) the pages in place, flushed; (5) the header clean, flushed. Numbered
// above everything in the logs, a crash anywhere leaves the old names or,
// through the entry, the new ones. `phase` tells where a failure fell.
bool WriteInPlace(Phase* phase) {
    std::uint32_t sequence = hive.logSequence;
    if (hive.replayed) {
        if (!SettleReplay(sequence + 1, phase)) {
            return false;
        }
        sequence += 1;
    }
    const std::uint32_t entry = sequence + 1;
    const std::uint32_t clean = entry + 1;
    std::vector<std::uint32_t> pages = hive.image.changedPages;
    std::sort(pages.begin(), pages.end());
    unsigned char* base = hive.image.bytes;
    *phase = Phase::Log;
    if (!WriteLog(entry, pages) || !GrowFile()) {
        return false;
    }
    *phase = Phase::DirtyHeader;
    PutNumbers(base, clean, entry);
    if (!WriteAt(hive.writeFd, base, BaseBlockSize, 0) || fsync(hive.writeFd) != 0) {
        return false;
    }
    *phase = Phase::Pages;
    for (std::uint32_t page : pages) {
        if (!WriteAt(hive.writeFd, base + BaseBlockSize + page, PageSize,
                     BaseBlockSize + std::uint64_t{page})) {
            return false;
        }
    }
    if (fsync(hive.writeFd) != 0) {
        return false;
    }
    *phase = Phase::CleanHeader;
    PutNumbers(base, clean, clean);
    return WriteAt(hive.writeFd, base, BaseBlockSize, 0) && fsync(hive.writeFd) == 0;
}

LONG Detach() {
    LONG result = ERROR_SUCCESS;
    Phase phase = Phase::Log;
    if (hive.changed && !keepUnwritten && !WriteInPlace(&phase)) {
        const int saved = errno;
        const char* left = "";
        for (const auto& outcome : Outcome) {
            if (outcome.phase == phase) {
                left = hive.replayed || outcome.left == nullptr ? outcome.leftRecovered : outcome.left;
            }
        }
        const std::string reason = std::string("writing the hive failed (") + strerror(saved) + "): " + left;
        Explain(reason.c_str());
        result = ERROR_WRITE_FAULT;
    }
    Release();
    return result;
}

} // namespace

const RegistryBackend HiveStore = {Attach, OpenKey, ReadValue, WriteValue, CloseKey, Detach};

void TakeHiveCardState(HiveCardState* state) {
    *state = cardState;
}

void KeepHiveUnwritten(bool unwritten) {
    keepUnwritten = unwritten;
}

void KeepHiveMessages(bool keep) {
    keepMessages = keep;
}

void TakeHiveMessages(char* buffer, size_t size) {
    if (size > 0) {
        const size_t length = std::min(size - 1, keptMessages.size());
        memcpy(buffer, keptMessages.data(), length);
        buffer[length] = '\0';
    }
    keptMessages.clear();
}
