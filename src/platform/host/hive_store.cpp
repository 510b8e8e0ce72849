// The board's own SYSTEM hive file as the host's registry, read and written
// through hivex, so that a card can be named before the board first boots.
// HKEY_LOCAL_MACHINE\SYSTEM is the hive's root key. Strings are stored as
// UTF-16LE and converted to and from the ANSI code page, as Windows' ANSI
// registry calls do. Writes change the hive in memory; closing the last key
// replaces the file whole.
#include "store.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <hivex.h>
#include <new>
#include <string>
#include <strings.h>
#include <unistd.h>

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

constexpr size_t BaseBlockSize = 4096;
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
    if (hive.directory >= 0) {
        close(hive.directory);
        hive.directory = -1;
    }
    if (hive.lockFd >= 0) {
        close(hive.lockFd);
        hive.lockFd = -1;
    }
    hive.changed = false;
}

std::uint32_t Le32(const unsigned char* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// The base block's own checks, made before hivex sees the file: hivex opens a
// dirty hive or an unknown minor version without a word.
const char* RefusalOfHeader(int fd) {
    unsigned char header[BaseBlockSize];
    struct stat info;
    if (fstat(fd, &info) != 0) {
        return "cannot be read";
    }
    const ssize_t got = pread(fd, header, sizeof header, 0);
    if (got < 4 || memcmp(header, "regf", 4) != 0) {
        return "not a registry hive";
    }
    if (got != static_cast<ssize_t>(sizeof header)) {
        return "truncated: the hive's header is cut short";
    }
    std::uint32_t sum = 0;
    for (size_t i = 0; i < 0x1FC; i += 4) {
        sum ^= Le32(header + i);
    }
    sum = sum == 0 ? 1 : sum == 0xFFFFFFFF ? 0xFFFFFFFE : sum;
    if (sum != Le32(header + 0x1FC)) {
        return "bad header checksum: not a hive, or a damaged one";
    }
    const std::uint32_t major = Le32(header + 0x14);
    const std::uint32_t minor = Le32(header + 0x18);
    if (major != 1 || minor < 2 || minor > 6 || Le32(header + 0x1C) != 0 || Le32(header + 0x20) != 1) {
        return "unknown hive format version";
    }
    if (static_cast<std::uint64_t>(info.st_size) < BaseBlockSize + std::uint64_t{Le32(header + 0x28)}) {
        return "truncated: the file is shorter than its header says";
    }
    if (Le32(header + 0x04) != Le32(header + 0x08)) {
        return "the board was not shut down cleanly, and Windows would replay the changes in SYSTEM.LOG1 "
               "and SYSTEM.LOG2 over ours: shut the board down cleanly, then try again";
    }
    return nullptr;
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
    const char* refusal = RefusalOfHeader(hive.lockFd);
    if (refusal != nullptr) {
        Explain(refusal);
        Release();
        return ERROR_INVALID_DATA;
    }
    // The file we locked and checked, whatever the path names by now.
    const std::string locked = "/proc/self/fd/" + std::to_string(hive.lockFd);
    hive.handle = hivex_open(locked.c_str(), HIVEX_OPEN_WRITE);
    if (hive.handle == nullptr) {
        Explain(errno == ENOMEM ? "not enough memory" : "not a readable registry hive");
        Release();
        return ERROR_INVALID_DATA;
    }
    if (!BootsControlSet001()) {
        Explain("Select\\Current does not name control set 1, so the board would not boot the names written "
                "to ControlSet001");
        Release();
        return ERROR_INVALID_DATA;
    }
    hive.codePage = GetACP();
    hive.directory = open(hive.directoryPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (hive.directory < 0) {
        const LONG error = ErrorFromErrno(ERROR_ACCESS_DENIED);
        Explain(strerror(errno));
        Release();
        return error;
    }
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

// Writes the changed hive to an exclusively created temporary beside it,
// flushes it, renames it over the hive and flushes the directory: the file
// holds the old hive or the new one, whole, whenever the process dies.
bool WriteOut() {
    struct stat old;
    if (fstat(hive.lockFd, &old) != 0) {
        return false;
    }
    return ReplaceDurably(hive.directory, hive.fileName.c_str(), hive.tempPrefix.c_str(), &old, [](int fd) {
        // hivex writes by path: the temporary's own, whatever its name names.
        const std::string target = "/proc/self/fd/" + std::to_string(fd);
        return hivex_commit(hive.handle, target.c_str(), 0) == 0;
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
