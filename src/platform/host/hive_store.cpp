// The board's own SYSTEM hive file as the host's registry, read and written
// through hivex, so that a card can be named from a PC. HKEY_LOCAL_MACHINE\SYSTEM
// is the hive's root key. Strings are stored as UTF-16LE and converted to and
// from the ANSI code page, as Windows' ANSI registry calls do. A dirty hive is
// first brought up to date from its logs, in memory, as Windows would at
// boot. Writes change the hive in memory; closing the last key replaces the
// file whole, clean.
#include "hive_replay.h"
#include "store.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <hivex.h>
#include <new>
#include <string>
#include <strings.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <unistd.h>
#include <vector>

namespace {

struct HiveKey {
    hive_node_h node;
    // ActiveComputerName, which Windows rebuilds at every boot from the
    // ComputerName key (`node`) and which the file therefore lacks.
    bool isVolatile;
};

HiveKey* Own(StoreKey* key) {
    return reinterpret_cast<HiveKey*>(key);
}

constexpr size_t BaseBlockSize = HiveBaseBlockSize;
// No SYSTEM hive comes near this; a log claiming more is not believed.
constexpr std::uint32_t MaxBinsDataSize = 256u << 20;
// A log larger than this cannot belong to a hive of that size: refused
// unread rather than read whole.
constexpr std::uint64_t LogSlack = 64u << 20;
constexpr const char* LogSuffixes[] = {".LOG1", ".LOG2", ".LOG"};
constexpr size_t LogCount = sizeof LogSuffixes / sizeof LogSuffixes[0];
// hivex rewrites every value of a key it sets a value in, and writes a value
// above this size as one cell where newer Windows versions expect a list of
// segments; a key holding such a value is left alone.
constexpr size_t LargestRewritableValue = 16344;
constexpr char RootKeyName[] = "SYSTEM";
constexpr char VolatileKeyName[] = "ActiveComputerName";
constexpr char VolatileKeySource[] = "ComputerName";

struct Hive {
    std::string path; // as given, for messages
    std::string directoryPath;
    std::string fileName;
    int lockFd = -1;
    int directory = -1;
    hive_h* handle = nullptr;
    // The recovered or checksum-adjusted image hivex reads, when not the file.
    int image = -1;
    // A written hive's sequence numbers must come after this one: above
    // every entry a replay could otherwise chain in.
    std::uint32_t sequenceFloor = 0;
    bool replayed = false;
    std::string tempPrefix;
    UINT codePage = 0; // the ANSI code page, taken once per run
    bool changed = false;
};

Hive hive;

// One line of our own before the tool's error, naming the file and the reason.
void Explain(const char* reason) {
    fflush(stdout);
    fprintf(stderr, "velmora: %s: %s\n", hive.path.c_str(), reason);
    fflush(stderr);
}

void Release() {
    if (hive.handle != nullptr) {
        hivex_close(hive.handle);
        hive.handle = nullptr;
    }
    if (hive.image >= 0) {
        close(hive.image);
        hive.image = -1;
    }
    if (hive.directory >= 0) {
        close(hive.directory);
        hive.directory = -1;
    }
    hive.replayed = false;
    if (hive.lockFd >= 0) {
        close(hive.lockFd);
        hive.lockFd = -1;
    }
    hive.changed = false;
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

// The base block's own checks, made before hivex sees the file: hivex opens a
// dirty hive or an unknown minor version without a word. A dirty one (its
// checksum wrong or its sequence numbers apart) goes to the replay.
const char* RefusalOfHeader(int fd, unsigned char* header, bool* dirty) {
    struct stat info;
    size_t got = 0;
    if (fstat(fd, &info) != 0 || !ReadAt(fd, header, BaseBlockSize, 0, &got)) {
        return "cannot be read";
    }
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
    if (static_cast<std::uint64_t>(info.st_size) < BaseBlockSize + std::uint64_t{HiveLe32(header + 40)}) {
        return "truncated: the file is shorter than its header says";
    }
    return nullptr;
}

// hivex checks the plain XOR of the base block, without Windows' rule that
// stores 0 as 1 and 0xFFFFFFFF as 0xFFFFFFFE: hand it what it checks.
void ChecksumForHivex(unsigned char* header) {
    std::uint32_t sum = 0;
    for (size_t i = 0; i < 508; i += 4) {
        sum ^= HiveLe32(header + i);
    }
    for (int i = 0; i < 4; ++i) {
        header[508 + i] = static_cast<unsigned char>(sum >> (8 * i));
    }
}

// Copies the hive's first `size` bytes (zeros past the file's end) into an
// in-memory file, the image hivex will read: nothing lands beside the hive
// before the final replacement. The kernel copies; no page passes through us.
const char* CopyToImage(size_t size) {
    hive.image = memfd_create("velmora-hive", MFD_CLOEXEC);
    if (hive.image < 0 || ftruncate(hive.image, static_cast<off_t>(size)) != 0) {
        return errno == ENOMEM || errno == ENOSPC ? "not enough memory" : strerror(errno);
    }
    off_t offset = 0;
    while (static_cast<size_t>(offset) < size) {
        const ssize_t copied = sendfile(hive.image, hive.lockFd, &offset, size - static_cast<size_t>(offset));
        if (copied < 0 && errno == EINTR) {
            continue;
        }
        if (copied < 0) {
            return errno == ENOMEM || errno == ENOSPC ? "not enough memory" : strerror(errno);
        }
        if (copied == 0) {
            break;
        }
    }
    return lseek(hive.image, 0, SEEK_SET) == 0 ? nullptr : strerror(errno);
}

// Opens the image, `size` bytes of it, with hivex.
const char* OpenImage(size_t size) {
    if (ftruncate(hive.image, static_cast<off_t>(size)) != 0) {
        return strerror(errno);
    }
    const std::string path = "/proc/self/fd/" + std::to_string(hive.image);
    hive.handle = hivex_open(path.c_str(), HIVEX_OPEN_WRITE);
    return hive.handle == nullptr ? (errno == ENOMEM ? "not enough memory" : "not a readable registry hive")
                                  : nullptr;
}

struct FoundLogs {
    std::string names[LogCount]; // as they are spelled on disk; empty when absent
    std::vector<unsigned char> bytes[LogCount];
    HiveLogBytes views[LogCount];
};

// Finds `<hive>.LOG1`, `.LOG2` and `.LOG` beside the hive, ignoring case as
// the card's own file systems do, and reads them. nullptr, or why not.
std::string ReadLogs(std::uint64_t hiveSize, FoundLogs* logs, bool* any) {
    const int copy = dup(hive.directory);
    DIR* listing = copy < 0 ? nullptr : fdopendir(copy);
    if (listing == nullptr) {
        if (copy >= 0) {
            close(copy);
        }
        return std::string("its directory cannot be read: ") + strerror(errno);
    }
    // The copy shares its offset with every other copy: start from the top.
    rewinddir(listing);
    std::string refusal;
    while (const dirent* entry = readdir(listing)) {
        for (size_t i = 0; i < LogCount; ++i) {
            if (strcasecmp(entry->d_name, (hive.fileName + LogSuffixes[i]).c_str()) != 0) {
                continue;
            }
            if (!logs->names[i].empty()) {
                refusal = "both " + logs->names[i] + " and " + entry->d_name + " lie beside it";
            }
            logs->names[i] = entry->d_name;
        }
    }
    closedir(listing);
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
    const std::string line = "replayed " + std::to_string(replay.changes) +
                             (replay.oldFormat ? " dirty pages" : " log entries") + " from " + from +
                             ", as Windows would at boot";
    Explain(line.c_str());
}

// Brings a dirty hive up to date from its logs, in memory, and opens that.
// nullptr, or the reason it cannot be done.
std::string OpenReplayed(const unsigned char* header) {
    struct stat info;
    if (fstat(hive.lockFd, &info) != 0) {
        return std::string("cannot be read: ") + strerror(errno);
    }
    const std::uint64_t hiveSize = HasValidChecksum(header)
                                       ? BaseBlockSize + std::uint64_t{HiveLe32(header + 40)}
                                       : BaseBlockSize + std::uint64_t{MaxBinsDataSize};
    FoundLogs logs;
    bool any = false;
    std::string refusal = ReadLogs(hiveSize, &logs, &any);
    if (!refusal.empty()) {
        return refusal;
    }
    if (!any) {
        return "it has no logs beside it";
    }
    unsigned char start[BaseBlockSize + 32];
    size_t got = 0;
    if (!ReadAt(hive.lockFd, start, sizeof start, 0, &got)) {
        return std::string("cannot be read: ") + strerror(errno);
    }
    HiveReplay replay;
    const char* reason = PlanHiveReplay(start, got, logs.views, LogCount, MaxBinsDataSize, &replay);
    if (reason != nullptr) {
        return reason;
    }
    if (replay.largestBinsDataSize > MaxBinsDataSize) {
        return "it is larger than any SYSTEM hive";
    }
    const size_t size = BaseBlockSize + size_t{replay.largestBinsDataSize};
    reason = CopyToImage(size);
    if (reason != nullptr) {
        return reason;
    }
    void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, hive.image, 0);
    if (mapped == MAP_FAILED) {
        return errno == ENOMEM ? "not enough memory" : strerror(errno);
    }
    unsigned char* image = static_cast<unsigned char*>(mapped);
    reason = ApplyHiveReplay(&replay, logs.views, image, size);
    if (reason == nullptr) {
        ChecksumForHivex(image);
    }
    munmap(mapped, size);
    if (reason != nullptr) {
        return reason;
    }
    hive.sequenceFloor = replay.sequence;
    hive.replayed = true;
    TellReplay(replay, logs);
    for (std::vector<unsigned char>& bytes : logs.bytes) {
        std::vector<unsigned char>().swap(bytes);
    }
    reason = OpenImage(BaseBlockSize + size_t{replay.binsDataSize});
    return reason != nullptr ? reason : "";
}

// A clean hive whose checksum Windows stores by its 0 → 1 rule: hivex would
// refuse the file itself, so it reads an adjusted copy.
const char* OpenWithWindowsChecksum(unsigned char* header) {
    const size_t size = BaseBlockSize + size_t{HiveLe32(header + 40)};
    const char* reason = CopyToImage(size);
    if (reason != nullptr) {
        return reason;
    }
    ChecksumForHivex(header);
    if (pwrite(hive.image, header, BaseBlockSize, 0) != static_cast<ssize_t>(BaseBlockSize)) {
        return strerror(errno);
    }
    return OpenImage(size);
}

// The control set the board boots must be the one the names are written to.
bool BootsControlSet001() {
    const hive_node_h select = hivex_node_get_child(hive.handle, hivex_root(hive.handle), "Select");
    const hive_value_h current = select == 0 ? 0 : hivex_node_get_value(hive.handle, select, "Current");
    hive_type type;
    size_t length = 0;
    return current != 0 && hivex_value_type(hive.handle, current, &type, &length) == 0 &&
           type == hive_t_REG_DWORD && length == 4 && hivex_value_dword(hive.handle, current) == 1;
}

LONG Attach() {
    const char* path = getenv("VELMORA_SYSTEM_HIVE");
    hive.path = path != nullptr ? path : "";
    // The replacement goes where the hive really is, not over a link to it.
    char* real = realpath(hive.path.c_str(), nullptr);
    const std::string located = real != nullptr ? real : "";
    free(real);
    const size_t slash = located.rfind('/');
    hive.directoryPath = slash == 0 ? "/" : located.substr(0, slash);
    hive.fileName = located.substr(slash + 1);
    hive.tempPrefix = "." + hive.fileName + ".velmora-tmp-";
    hive.lockFd = located.empty() ? -1 : LockPath(located.c_str(), false);
    if (hive.lockFd < 0) {
        const LONG error = ErrorFromErrno(ERROR_FILE_NOT_FOUND);
        Explain(errno == EISDIR || errno == EINVAL ? "not a regular file" : strerror(errno));
        Release();
        return error;
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
    hive.sequenceFloor = HiveLe32(header + 4);
    if (dirty) {
        const std::string why = OpenReplayed(header);
        if (!why.empty()) {
            const std::string reason =
                std::string(HasValidChecksum(header) ? "the board was not shut down cleanly"
                                                     : "its header is damaged (bad checksum)") +
                ", and " + why +
                ", so its latest state cannot be recovered: boot the board once with this card and shut it "
                "down cleanly, then try again";
            Explain(reason.c_str());
            Release();
            return ERROR_INVALID_DATA;
        }
    } else if (HiveLe32(header + 508) == 1 || HiveLe32(header + 508) == 0xFFFFFFFE) {
        const char* why = OpenWithWindowsChecksum(header);
        if (why != nullptr) {
            Explain(why);
            Release();
            return ERROR_INVALID_DATA;
        }
    } else {
        // The file we locked and checked, whatever the path names by now.
        const std::string locked = "/proc/self/fd/" + std::to_string(hive.lockFd);
        hive.handle = hivex_open(locked.c_str(), HIVEX_OPEN_WRITE);
        if (hive.handle == nullptr) {
            Explain(errno == ENOMEM ? "not enough memory" : "not a readable registry hive");
            Release();
            return ERROR_INVALID_DATA;
        }
    }
    if (!BootsControlSet001()) {
        Explain("Select\\Current does not name control set 1, so the board would not boot the names written "
                "to ControlSet001");
        Release();
        return ERROR_INVALID_DATA;
    }
    hive.codePage = GetACP();
    return ERROR_SUCCESS;
}

hive_node_h ChildNamed(hive_node_h node, const std::string& name) {
    // hivex matches names ignoring case, as Windows does.
    return hivex_node_get_child(hive.handle, node, name.c_str());
}

bool HasNameIgnoringCase(hive_node_h node, const char* name) {
    char* own = hivex_node_name(hive.handle, node);
    const bool same = own != nullptr && strcasecmp(own, name) == 0;
    free(own);
    return same;
}

// A key that would be rewritten must not hold a value hivex would write in
// a layout the board may not read.
bool HoldsOversizedValue(hive_node_h node) {
    hive_value_h* values = hivex_node_values(hive.handle, node);
    if (values == nullptr) {
        return true;
    }
    bool oversized = false;
    for (size_t i = 0; values[i] != 0 && !oversized; ++i) {
        hive_type type;
        size_t length = 0;
        oversized =
            hivex_value_type(hive.handle, values[i], &type, &length) != 0 || length > LargestRewritableValue;
    }
    free(values);
    return oversized;
}

LONG OpenKey(StoreKey* parentKey, const char* subKey, bool forWriting, StoreKey** result) {
    const HiveKey* parent = Own(parentKey);
    if (parent != nullptr && parent->isVolatile) {
        return ERROR_FILE_NOT_FOUND;
    }
    hive_node_h node = parent != nullptr ? parent->node : 0;
    bool isVolatile = false;
    for (const char* component = subKey; *component != '\0';) {
        const size_t length = strcspn(component, "\\");
        const std::string name(component, length);
        component += length;
        component += *component == '\\' ? 1 : 0;
        if (isVolatile || name.empty()) {
            return ERROR_FILE_NOT_FOUND;
        }
        if (node == 0) {
            // Below HKEY_LOCAL_MACHINE only SYSTEM is here: the hive itself.
            if (strcasecmp(name.c_str(), RootKeyName) != 0) {
                return ERROR_FILE_NOT_FOUND;
            }
            node = hivex_root(hive.handle);
            continue;
        }
        const hive_node_h child = ChildNamed(node, name);
        if (child != 0) {
            node = child;
            continue;
        }
        // ...\Control\ComputerName\ActiveComputerName exists on a running
        // board only: present it as the boot would make it.
        const hive_node_h source = ChildNamed(node, VolatileKeySource);
        const hive_node_h grandparent = hivex_node_parent(hive.handle, node);
        if (strcasecmp(name.c_str(), VolatileKeyName) != 0 || source == 0 ||
            !HasNameIgnoringCase(node, "ComputerName") || grandparent == 0 ||
            !HasNameIgnoringCase(grandparent, "Control")) {
            return ERROR_FILE_NOT_FOUND;
        }
        node = source;
        isVolatile = true;
    }
    if (node == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (forWriting && !isVolatile && HoldsOversizedValue(node)) {
        char* name = hivex_node_name(hive.handle, node);
        const std::string reason = std::string("the key ") + (name != nullptr ? name : "?") +
                                   " holds a value over 16344 bytes, which rewriting it would store in a "
                                   "layout newer Windows versions do not expect";
        free(name);
        Explain(reason.c_str());
        return ERROR_INVALID_DATA;
    }
    *result = reinterpret_cast<StoreKey*>(new (std::nothrow) HiveKey{node, isVolatile});
    return *result != nullptr ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

// The value named `name` ignoring case, or 0.
hive_value_h FindValue(hive_node_h node, const char* name, std::string* storedName) {
    hive_value_h* values = hivex_node_values(hive.handle, node);
    hive_value_h found = 0;
    for (size_t i = 0; values != nullptr && values[i] != 0 && found == 0; ++i) {
        char* key = hivex_value_key(hive.handle, values[i]);
        if (key != nullptr && strcasecmp(key, name) == 0) {
            found = values[i];
            if (storedName != nullptr) {
                *storedName = key;
            }
        }
        free(key);
    }
    free(values);
    return found;
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

LONG ReadValue(StoreKey* storeKey, const char* valueName, DWORD* type, std::string* data) {
    const HiveKey* key = Own(storeKey);
    if (key->isVolatile && strcasecmp(valueName, "ComputerName") != 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    const hive_value_h value = FindValue(key->node, valueName, nullptr);
    if (value == 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    hive_type storedType;
    size_t length = 0;
    char* raw = hivex_value_value(hive.handle, value, &storedType, &length);
    if (raw == nullptr) {
        return ERROR_INVALID_DATA;
    }
    *type = static_cast<DWORD>(storedType);
    if (!IsStringType(*type)) {
        data->assign(raw, length);
        free(raw);
        return ERROR_SUCCESS;
    }
    // UTF-16LE to the ANSI code page; a character the code page lacks fails
    // the query rather than turning into a substitute.
    if (length % 2 != 0 || length / 2 > 0x7FFFFFFF / 4) {
        free(raw);
        return ERROR_INVALID_DATA;
    }
    std::u16string wide(length / 2, u'\0');
    memcpy(wide.data(), raw, length);
    free(raw);
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
            return ERROR_INVALID_DATA;
        }
        stored.assign(reinterpret_cast<const char*>(wide.data()), static_cast<size_t>(converted) * 2);
    }
    if (stored.size() > LargestRewritableValue) {
        return ERROR_INVALID_PARAMETER;
    }
    // A hive may spell the name its own way (`NV HostName`); it keeps it.
    std::string name = valueName;
    FindValue(key->node, valueName, &name);
    hive_set_value value = {name.data(), static_cast<hive_type>(type), stored.size(), stored.data()};
    if (hivex_node_set_value(hive.handle, key->node, &value, 0) != 0) {
        return ErrorFromErrno(ERROR_WRITE_FAULT);
    }
    hive.changed = true;
    return ERROR_SUCCESS;
}

LONG CloseKey(StoreKey* key) {
    delete Own(key);
    return ERROR_SUCCESS;
}

// What hivex wrote, made what Windows expects of a clean hive: both sequence
// numbers equal and past every entry the logs could chain in, and the
// checksum by Windows' rule, which hivex does not follow.
bool SettleHeader(int fd) {
    unsigned char header[HiveLogHeaderSize];
    size_t got = 0;
    if (!ReadAt(fd, header, sizeof header, 0, &got) || got != sizeof header) {
        return false;
    }
    std::uint32_t sequence = HiveLe32(header + 4);
    if (static_cast<std::int32_t>(sequence - hive.sequenceFloor) <= 0) {
        sequence = hive.sequenceFloor + 1;
    }
    for (size_t field : {size_t{4}, size_t{8}}) {
        for (int i = 0; i < 4; ++i) {
            header[field + i] = static_cast<unsigned char>(sequence >> (8 * i));
        }
    }
    const std::uint32_t sum = HiveChecksum(header);
    for (int i = 0; i < 4; ++i) {
        header[508 + i] = static_cast<unsigned char>(sum >> (8 * i));
    }
    return pwrite(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
}

// Writes the changed hive to an exclusively created temporary beside it,
// flushes it, renames it over the hive and flushes the directory: the file
// holds the old hive or the new one, whole, whenever the process dies. The
// logs are never touched: a clean primary makes Windows ignore them.
bool WriteOut() {
    struct stat old;
    if (fstat(hive.lockFd, &old) != 0) {
        return false;
    }
    return ReplaceDurably(hive.directory, hive.fileName.c_str(), hive.tempPrefix.c_str(), &old, [](int fd) {
        // hivex writes by path: the temporary's own, whatever its name names.
        const std::string target = "/proc/self/fd/" + std::to_string(fd);
        return hivex_commit(hive.handle, target.c_str(), 0) == 0 && SettleHeader(fd);
    });
}

LONG Detach() {
    LONG result = ERROR_SUCCESS;
    if (hive.changed) {
        // Temporaries a killed run left beside this hive; ours is made after.
        SweepTemporaries(hive.directory, hive.tempPrefix.c_str());
        if (!WriteOut()) {
            const std::string reason = std::string("writing the hive failed: ") + strerror(errno);
            Explain(reason.c_str());
            result = ERROR_WRITE_FAULT;
        }
    }
    Release();
    return result;
}

} // namespace

const RegistryBackend HiveStore = {Attach, OpenKey, ReadValue, WriteValue, CloseKey, Detach};
