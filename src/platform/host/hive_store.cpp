// The board's own SYSTEM hive file as the host's registry, so that a card can
// be named from a PC. HKEY_LOCAL_MACHINE\SYSTEM is the hive's root key.
// Strings are stored as UTF-16LE and converted to and from the ANSI code page,
// as Windows' ANSI registry calls do. A dirty hive is first brought up to date
// from its logs, in memory, as Windows would at boot; a change stays in the
// copy-on-write image until the last key is closed, then is committed as
// Windows commits one (hive_commit.h).
#include "hive_cell_writer.h"
#include "hive_commit.h"
#include "hive_file.h"
#include "hive_load.h"
#include "hive_report.h"
#include "hive_replay.h"
#include "host_api.h"
#include "store.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <strings.h>
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

constexpr char VolatileKeyName[] = "ActiveComputerName";
constexpr char VolatileKeySource[] = "ComputerName";

struct Hive {
    std::string path; // as given, for messages
    HiveUse use;      // as the program asked
    HiveLoad load;
    UINT codePage = 0; // the ANSI code page, taken once per run
    bool changed = false;
};

Hive hive;
// A hive read, with nothing written, kept open and locked for the next run
// on the same card: it is then neither read nor replayed again.
bool held = false;

// One line of our own before the tool's error, naming the file and the reason.
void Explain(const std::string& reason) {
    TellHive(hive.path, reason);
}

void Release() {
    UnloadHive(&hive.load);
    hive.changed = false;
}

void TellWaiting() {
    TellHiveWaiting(hive.path);
}

// `why` told; what the registry calls return for it.
LONG Told(const HiveReason& why) {
    Explain(why.text);
    const HiveRegistryError& registry = HiveFaultRowOf(why.fault).registry;
    errno = why.error;
    return registry.systemDecides && why.error != 0 ? ErrorFromErrno(registry.error) : registry.error;
}

// A refused attach: its reason told, nothing kept.
LONG Refuse(const HiveReason& why) {
    const LONG error = Told(why);
    Release();
    return error;
}

LONG Attach(const char* path, const HiveUse& use) {
    KeepHiveLines(use.keepLines);
    TellHiveStage(HiveStage::Open);
    if (held && path != nullptr && hive.path == path && hive.use.found == use.found &&
        hive.use.writeNothing == use.writeNothing) {
        hive.use = use;
        held = false;
        if (hive.load.replayed) {
            TellHiveReplay(hive.path, hive.load.replay, *hive.load.logs);
        }
        return ERROR_SUCCESS;
    }
    if (held) {
        held = false;
        Release();
    }
    *FilledHiveCardState() = HiveCardState{};
    hive.path = path != nullptr ? path : "";
    hive.use = use;
    if (hive.path.empty()) {
        hive.path = "VELMORA_SYSTEM_HIVE";
        return Told(HiveRefusal(HiveFault::NoCardNamed));
    }
    if (HiveReason unopened = OpenHiveFile(hive.path, use.found, TellWaiting, &hive.load.file)) {
        FilledHiveCardState()->openError = hive.load.file.error;
        return Refuse(unopened);
    }
    const HiveReason why = LoadHive(&hive.load);
    if (hive.load.replayed) {
        TellHiveReplay(hive.path, hive.load.replay, *hive.load.logs);
    }
    if (why) {
        return Refuse(why);
    }
    hive.codePage = HiveCodePage();
    FilledHiveCardState()->read = true;
    return ERROR_SUCCESS;
}

// Opens the hive for writing, and makes sure a log can be written beside it,
// before anything is shown: a read-only card or someone else's hive fails
// here, not after the new name was printed.
LONG PrepareWriting() {
    if (HiveReason refused = OpenHiveForWriting(&hive.load.file, HiveLogToWrite(*hive.load.logs))) {
        FilledHiveCardState()->writeError = hive.load.file.error;
        return Told(refused);
    }
    return ERROR_SUCCESS;
}

// A subkey of `key`'s node; ...\Control\ComputerName\ActiveComputerName
// exists on a running board only, and is presented as the boot would make it.
LONG Descend(HiveKey* key, const std::string& part) {
    if (key->isVolatile || part.empty()) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (key->node == HiveNoCell) {
        // Below HKEY_LOCAL_MACHINE only SYSTEM is here: the hive itself.
        if (strcasecmp(part.c_str(), HiveRootName) != 0) {
            return ERROR_FILE_NOT_FOUND;
        }
        *key = {HiveRootKey(hive.load.image), false, part, "", HiveRootName};
        return ERROR_SUCCESS;
    }
    std::uint32_t child = HiveNoCell;
    if (const HiveFault reason = FindHiveSubkey(hive.load.image, key->node, part.c_str(), &child);
        reason != HiveFault::None) {
        return Told(HiveReasonAt(HiveRefusal(reason), hive.load.image, key->path));
    }
    if (child == HiveNoCell) {
        if (strcasecmp(part.c_str(), VolatileKeyName) != 0 ||
            strcasecmp(key->name.c_str(), "ComputerName") != 0 ||
            strcasecmp(key->parentName.c_str(), "Control") != 0 ||
            FindHiveSubkey(hive.load.image, key->node, VolatileKeySource, &child) != HiveFault::None ||
            child == HiveNoCell) {
            return ERROR_FILE_NOT_FOUND;
        }
        key->isVolatile = true;
    }
    *key = {child, key->isVolatile, part, key->name, key->path + "\\" + part};
    return ERROR_SUCCESS;
}

LONG OpenKey(StoreKey* parentKey, const char* subKey, bool forWriting, StoreKey** result) {
    TellHiveStage(forWriting ? HiveStage::Write : HiveStage::Read);
    const HiveKey* parent = Own(parentKey);
    HiveKey key = parent != nullptr ? *parent : HiveKey{HiveNoCell, false, "", "", ""};
    if (key.isVolatile) {
        return ERROR_FILE_NOT_FOUND;
    }
    LONG error = ERROR_SUCCESS;
    ForEachKeyName(subKey, [&key, &error](const std::string& part) {
        error = Descend(&key, part);
        return error == ERROR_SUCCESS;
    });
    if (error == ERROR_SUCCESS && key.node == HiveNoCell) {
        error = ERROR_FILE_NOT_FOUND;
    }
    if (error == ERROR_SUCCESS && forWriting && hive.load.file.writeFd < 0 &&
        !(hive.use.writeNothing && hive.use.readOnlyLook)) {
        error = PrepareWriting();
    }
    if (error != ERROR_SUCCESS) {
        return error;
    }
    *result = reinterpret_cast<StoreKey*>(new (std::nothrow) HiveKey(key));
    return *result != nullptr ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_MEMORY;
}

// The value named `name` of `key`; ERROR_INVALID_DATA, with the reason
// told, for a damaged key.
LONG FindValue(const HiveKey& key, const char* name, bool unique, HiveValue* value) {
    if (const HiveFault reason = FindHiveValue(hive.load.image, key.node, name, unique, value);
        reason != HiveFault::None) {
        return Told(HiveReasonAt(HiveRefusal(reason), hive.load.image, key.path, name));
    }
    return value->record == HiveNoCell ? ERROR_FILE_NOT_FOUND : ERROR_SUCCESS;
}

bool IsStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// UTF-16LE to the ANSI code page; a character the code page lacks fails the
// query rather than turning into a substitute.
LONG FromUtf16(const unsigned char* bytes, size_t length, std::string* text) {
    if (length % 2 != 0 || length / 2 > 0x7FFFFFFF / 4) {
        return ERROR_INVALID_DATA;
    }
    std::u16string wide(length / 2, u'\0');
    memcpy(wide.data(), bytes, length);
    text->assign(wide.size() * 4, '\0');
    const int converted =
        wide.empty() ? 0
                     : WideCharToMultiByte(hive.codePage, 0, wide.data(), static_cast<int>(wide.size()),
                                           text->data(), static_cast<int>(text->size()), nullptr, nullptr);
    if (!wide.empty() && converted == 0) {
        return ERROR_INVALID_DATA;
    }
    text->resize(static_cast<size_t>(converted));
    return ERROR_SUCCESS;
}

LONG ReadValue(StoreKey* storeKey, const char* valueName, DWORD* type, std::string* data) {
    TellHiveStage(HiveStage::Read);
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
        return Told(HiveReasonAt(HiveRefusal(HiveFault::ValueTooLong, std::to_string(value.size)),
                                 hive.load.image, key->path, valueName));
    }
    // Types are plain numbers: any 32-bit value may be stored.
    *type = value.type;
    if (!IsStringType(*type)) {
        data->assign(reinterpret_cast<const char*>(value.data), value.size);
        return ERROR_SUCCESS;
    }
    return FromUtf16(value.data, value.size, data);
}

LONG WriteValue(StoreKey* storeKey, const char* valueName, DWORD type, const BYTE* data, DWORD size) {
    TellHiveStage(HiveStage::Write);
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
            return Told(HiveRefusal(HiveFault::NameNotInCodeSet));
        }
        stored.assign(reinterpret_cast<const char*>(wide.data()), static_cast<size_t>(converted) * 2);
    }
    // The value keeps its own spelling (`NV HostName`): only its data changes.
    HiveValue value;
    const LONG found = FindValue(*key, valueName, true, &value);
    if (found != ERROR_SUCCESS) {
        return found;
    }
    const HiveFault reason = SetHiveValue(&hive.load.image, key->node, value, type,
                                          reinterpret_cast<const unsigned char*>(stored.data()),
                                          static_cast<std::uint32_t>(stored.size()));
    if (reason != HiveFault::None) {
        return Told(HiveReasonAt(HiveRefusal(reason), hive.load.image, key->path, valueName));
    }
    hive.changed = true;
    return ERROR_SUCCESS;
}

LONG CloseKey(StoreKey* key) {
    delete Own(key);
    return ERROR_SUCCESS;
}

// A rename that needs the file longer, on a file system that cannot make it
// so, is refused before anything is written (and `status` says so).
HiveReason GrowsWhereItCannot() {
    const std::uint64_t size =
        HiveBaseBlockSize + std::uint64_t{HiveLe32(hive.load.image.bytes + BaseBlockField::BinsDataSize)};
    const std::string type =
        size > hive.load.file.fileSize ? HiveFileSystemThatCannotGrow(hive.load.file) : "";
    return type.empty() ? HiveReason{} : HiveRefusal(HiveFault::CannotGrow, type);
}

LONG Detach() {
    TellHiveStage(HiveStage::Write);
    if (!hive.changed && hive.use.keepOpen) {
        held = true;
        return ERROR_SUCCESS;
    }
    LONG result = ERROR_SUCCESS;
    HivePhase phase = HivePhase::Log;
    const HiveCommit commit{&HiveSystemFile,
                            &hive.load.file,
                            &hive.load.image,
                            hive.load.replayed ? &hive.load.replay : nullptr,
                            hive.load.recovered,
                            hive.load.logSequence,
                            hive.load.logs != nullptr ? &HiveLogToWrite(*hive.load.logs) : nullptr};
    const HiveReason cannotGrow = hive.changed ? GrowsWhereItCannot() : HiveReason{};
    if (cannotGrow) {
        result = Told(cannotGrow);
    } else if (hive.changed && !hive.use.writeNothing && !CommitHive(commit, &phase)) {
        const int error = errno;
        result =
            Told(HiveRefusal(HiveFault::WriteFailed, "", error, HiveFailureLeft(phase, hive.load.replayed)));
    }
    Release();
    return result;
}

} // namespace

const RegistryBackend HiveStore = {Attach, OpenKey, ReadValue, WriteValue, CloseKey, Detach};
