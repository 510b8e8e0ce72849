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

constexpr char RootKeyName[] = "SYSTEM";
constexpr char VolatileKeyName[] = "ActiveComputerName";
constexpr char VolatileKeySource[] = "ComputerName";

struct Hive {
    std::string path; // as given, for messages
    HiveUse use;      // as the program asked
    HiveFile file;
    HiveImage image;
    UINT codePage = 0; // the ANSI code page, taken once per run
    bool changed = false;
    // A dirty hive: what the replay wrote, and the recovered base block.
    bool replayed = false;
    HiveReplay replay;
    unsigned char recovered[HiveBaseBlockSize] = {};
    HiveLogs* logs = nullptr;
    std::uint32_t logSequence = 0; // the highest number in the logs
};

Hive hive;
// A hive read, with nothing written, kept open and locked for the next run
// on the same card: it is then neither read nor replayed again.
bool held = false;

// One line of our own before the tool's error, naming the file and the reason.
void Explain(const std::string& reason) {
    TellHive(hive.path, reason);
}

// A fault the cell reader found, with where it arose: the key (and value)
// looked in, and the bin at fault when one was.
HiveReason Where(HiveReason reason, const std::string& key, const char* value = nullptr) {
    reason.text =
        "key " + key + (value != nullptr ? std::string(", value ") + value : "") + ": " + reason.text;
    if (hive.image.damagedBin != HiveNoCell) {
        char bin[96];
        snprintf(bin, sizeof bin, " (the bin holding offset 0x%X of the bins is damaged)",
                 hive.image.damagedBin);
        reason.text += bin;
    }
    return reason;
}

void Release() {
    CloseHiveFile(&hive.file);
    hive.image = HiveImage{};
    delete hive.logs;
    hive.logs = nullptr;
    hive.replayed = false;
    hive.replay = HiveReplay{};
    hive.changed = false;
}

// Brings a dirty hive up to date from its logs in the mapping.
HiveReason Replay() {
    unsigned char start[HiveBaseBlockSize + BinField::HeaderSize];
    size_t got = 0;
    if (HiveReason unread = ReadHiveStart(hive.file, start, sizeof start, &got)) {
        return unread;
    }
    HiveFault fault =
        PlanHiveReplay(start, got, hive.logs->views, HiveLogCount, HiveMaxBinsDataSize, &hive.replay);
    if (fault != HiveFault::None) {
        return HiveRefusal(fault);
    }
    if (HiveReason unmapped = MapHiveFile(&hive.file, hive.replay.largestBinsDataSize, &hive.image)) {
        return unmapped;
    }
    fault = ApplyHiveReplay(&hive.replay, hive.logs->views, hive.image.bytes,
                            HiveBaseBlockSize + size_t{hive.replay.largestBinsDataSize});
    if (fault != HiveFault::None) {
        return HiveRefusal(fault);
    }
    if (!HiveReplayCovers(hive.replay, hive.file.fileSize)) {
        return HiveRefusal(HiveFault::ReplayShort);
    }
    std::copy(hive.image.bytes, hive.image.bytes + HiveBaseBlockSize, hive.recovered);
    hive.replayed = true;
    TellHiveReplay(hive.path, hive.replay, *hive.logs);
    return {};
}

// The logs, replayed into the image when the hive is dirty and in any case
// what a new log entry must be numbered above; a clean hive mapped as it is.
HiveReason ReadLogsAndMap(const unsigned char* header, bool dirty) {
    hive.logs = new (std::nothrow) HiveLogs;
    if (hive.logs == nullptr) {
        return HiveRefusal(HiveFault::NoMemory);
    }
    const std::uint32_t bins =
        HasValidChecksum(header) ? HiveLe32(header + BaseBlockField::BinsDataSize) : HiveMaxBinsDataSize;
    bool any = false;
    HiveReason why = ReadHiveLogs(hive.file, HiveBaseBlockSize + std::uint64_t{bins}, hive.logs, &any);
    if (!why && dirty) {
        why = any ? Replay() : HiveRefusal(HiveFault::NoLogs);
    }
    // Whatever stopped the replay, the way out is the same.
    if (why && dirty) {
        why.text = std::string(HasValidChecksum(header) ? "the board was not shut down cleanly"
                                                        : "its header is damaged (bad checksum)") +
                   ", and " + why.text +
                   ", so its latest state cannot be recovered: boot the board once with this card and shut "
                   "it down cleanly, then try again";
        return why;
    }
    if (!why && !dirty) {
        why = MapHiveFile(&hive.file, bins, &hive.image);
    }
    if (!why && !HighestLogSequence(hive.logs->views, HiveLogCount, HiveMaxBinsDataSize,
                                    HiveLe32(hive.image.bytes + BaseBlockField::PrimarySequence),
                                    &hive.logSequence)) {
        why = HiveRefusal(HiveFault::LogDamaged);
    }
    // Entries past a gap are never replayed, but a later chain could reach
    // them: what is written is numbered above them too.
    for (size_t i = 0; !why && i < HiveLogCount; ++i) {
        if (hive.logs->stale[i] &&
            static_cast<std::int32_t>(hive.logs->staleSequence[i] - hive.logSequence) > 0) {
            hive.logSequence = hive.logs->staleSequence[i];
        }
    }
    return why;
}

// The control set the board boots, from the `Select` key, must be the one the
// names are written to.
HiveReason BootsControlSet001() {
    const std::uint32_t root = HiveRootKey(hive.image);
    if (root == HiveNoCell) {
        return Where(HiveRefusal(HiveFault::KeyNodeDamaged), RootKeyName);
    }
    std::uint32_t select = HiveNoCell;
    if (const HiveFault unread = FindHiveSubkey(hive.image, root, "Select", &select);
        unread != HiveFault::None) {
        return Where(HiveRefusal(unread), RootKeyName);
    }
    if (select == HiveNoCell) {
        return HiveRefusal(HiveFault::NoSelectKey);
    }
    HiveValue current;
    const bool one = FindHiveValue(hive.image, select, "Current", false, &current) == HiveFault::None &&
                     current.record != HiveNoCell && current.type == REG_DWORD && current.size == 4 &&
                     current.data != nullptr && HiveLe32(current.data) == 1;
    return one ? HiveReason{} : HiveRefusal(HiveFault::OtherControlSet);
}

// The log a rename writes its entry to: LOG1, else LOG2, as the card spells
// it; empty when the card has neither, and SYSTEM.LOG1 is to be made.
const std::string& LogToWrite() {
    return !hive.logs->names[0].empty() ? hive.logs->names[0] : hive.logs->names[1];
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
        if (hive.replayed) {
            TellHiveReplay(hive.path, hive.replay, *hive.logs);
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
    if (HiveReason unopened = OpenHiveFile(hive.path, use.found, TellWaiting, &hive.file)) {
        FilledHiveCardState()->openError = hive.file.error;
        return Refuse(unopened);
    }
    unsigned char header[HiveBaseBlockSize];
    bool dirty = false;
    HiveReason why = ReadHiveHeader(&hive.file, header, &dirty);
    if (!why) {
        why = ReadLogsAndMap(header, dirty);
    }
    if (!why) {
        why = BootsControlSet001();
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
    if (HiveReason refused = OpenHiveForWriting(&hive.file, LogToWrite())) {
        FilledHiveCardState()->writeError = hive.file.error;
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
        if (strcasecmp(part.c_str(), RootKeyName) != 0) {
            return ERROR_FILE_NOT_FOUND;
        }
        *key = {HiveRootKey(hive.image), false, part, "", RootKeyName};
        return ERROR_SUCCESS;
    }
    std::uint32_t child = HiveNoCell;
    if (const HiveFault reason = FindHiveSubkey(hive.image, key->node, part.c_str(), &child);
        reason != HiveFault::None) {
        return Told(Where(HiveRefusal(reason), key->path));
    }
    if (child == HiveNoCell) {
        if (strcasecmp(part.c_str(), VolatileKeyName) != 0 ||
            strcasecmp(key->name.c_str(), "ComputerName") != 0 ||
            strcasecmp(key->parentName.c_str(), "Control") != 0 ||
            FindHiveSubkey(hive.image, key->node, VolatileKeySource, &child) != HiveFault::None ||
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
    if (error == ERROR_SUCCESS && forWriting && hive.file.writeFd < 0 &&
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
    if (const HiveFault reason = FindHiveValue(hive.image, key.node, name, unique, value);
        reason != HiveFault::None) {
        return Told(Where(HiveRefusal(reason), key.path, name));
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
        return Told(
            Where(HiveRefusal(HiveFault::ValueTooLong, std::to_string(value.size)), key->path, valueName));
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
    const HiveFault reason = SetHiveValue(&hive.image, key->node, value, type,
                                          reinterpret_cast<const unsigned char*>(stored.data()),
                                          static_cast<std::uint32_t>(stored.size()));
    if (reason != HiveFault::None) {
        return Told(Where(HiveRefusal(reason), key->path, valueName));
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
        HiveBaseBlockSize + std::uint64_t{HiveLe32(hive.image.bytes + BaseBlockField::BinsDataSize)};
    const std::string type = size > hive.file.fileSize ? HiveFileSystemThatCannotGrow(hive.file) : "";
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
                            &hive.file,
                            &hive.image,
                            hive.replayed ? &hive.replay : nullptr,
                            hive.recovered,
                            hive.logSequence,
                            hive.logs != nullptr ? &LogToWrite() : nullptr};
    const HiveReason cannotGrow = hive.changed ? GrowsWhereItCannot() : HiveReason{};
    if (cannotGrow) {
        result = Told(cannotGrow);
    } else if (hive.changed && !hive.use.writeNothing && !CommitHive(commit, &phase)) {
        const int error = errno;
        result = Told(HiveRefusal(HiveFault::WriteFailed, "", error, HiveFailureLeft(phase, hive.replayed)));
    }
    Release();
    return result;
}

} // namespace

const RegistryBackend HiveStore = {Attach, OpenKey, ReadValue, WriteValue, CloseKey, Detach};
