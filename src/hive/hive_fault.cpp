// The engine's faults and their words; see hive_fault.h.
#include "hive_fault.h"

#include "platform.h"

#include <cstddef>
#include <cstring>

namespace {

// The hive, not the system, is at fault.
constexpr HiveRegistryError Data{ERROR_INVALID_DATA, false};
// The system's errno decides, else `otherwise`.
constexpr HiveRegistryError System(std::int32_t otherwise) {
    return {otherwise, true};
}

constexpr HiveFaultRow Faults[] = {
    {HiveFault::None, "", {ERROR_SUCCESS, false}},
    {HiveFault::KeyNodeDamaged, "its key node is damaged", Data},
    {HiveFault::SubkeyListDamaged, "its subkey list is damaged", Data},
    {HiveFault::SubkeyNotKey, "its subkey list points at something that is no key", Data},
    {HiveFault::SubkeyListsTooLong, "its subkey lists are longer than any hive's", Data},
    {HiveFault::ValueListDamaged, "its value list is damaged", Data},
    {HiveFault::ValueListNotValue, "its value list points at something that is no value", Data},
    {HiveFault::ValuesAlike, "it holds two values whose names differ only in letter case", Data},
    {HiveFault::DataSizeDamaged, "the value's data size is damaged", Data},
    {HiveFault::DataOutside,
     "the value's data points outside the hive, at the value itself, or at a free cell", Data},
    {HiveFault::DataPastCell, "the value's data runs past its cell", Data},
    {HiveFault::KeyOrRecordDamaged, "its key node or the value's record is damaged", Data},
    {HiveFault::SiblingNotValue, "a value of the key is damaged: its record is no value record", Data},
    {HiveFault::SiblingPastBins,
     "a value of the key is damaged: its data lies past the end of the hive's bins, where the bin a longer "
     "name needs would go",
     Data},
    {HiveFault::NoRoomForBin,
     "the rename needs a new bin, and the hive has no room for one within 256 MiB of bins", Data},
    {HiveFault::DataCellDamaged, "the value's data cell is damaged", Data},
    {HiveFault::LogDamaged, "a log beside it is damaged in a way Windows never writes", Data},
    {HiveFault::NoChangeApplies, "its logs hold no change that applies to it", Data},
    {HiveFault::BaseBlockShort, "its base block is cut short", Data},
    {HiveFault::LogsEmpty, "its logs are empty", Data},
    {HiveFault::NoValidLogHeader, "no log beside it has a valid header", Data},
    {HiveFault::ImageWrongSize, "its image is not the size the replay needs", Data},
    {HiveFault::BinsSizeDamaged,
     "its header is damaged: its bins size is no multiple of 4096 bytes up to 256 MiB", Data},
    // The base block, as the file layers check it.
    {HiveFault::NotAHive, "not a registry hive", Data},
    {HiveFault::HeaderShort, "truncated: the hive's header is cut short", Data},
    {HiveFault::UnknownVersion, "unknown hive format version", Data},
    {HiveFault::FileShort, "truncated: the file is shorter than its header says", Data},
    // The file layers.
    {HiveFault::PathUnreadable, "$s cannot be read: $e", Data},
    {HiveFault::PathFailed, "$s: $e", System(ERROR_FILE_NOT_FOUND)},
    {HiveFault::PathIsLink, "$s is a symbolic link; a board's card holds none there",
     System(ERROR_FILE_NOT_FOUND)},
    {HiveFault::PathIsLinkOrJunction, "$s is a symbolic link or junction; a board's card holds none there",
     Data},
    {HiveFault::PathThroughLink,
     "$s is reached through a symbolic link or junction; a board's card holds none there", Data},
    {HiveFault::PathNotFolder, "$s is not a folder; a board's card holds none there",
     System(ERROR_FILE_NOT_FOUND)},
    {HiveFault::CaseTwinsAt,
     "two entries on the way to the hive differ only in letter case ($s), and Windows would see one: remove "
     "or "
     "rename the copy that is not the board's",
     Data},
    {HiveFault::CaseTwins,
     "two entries on the way to the hive differ only in letter case, and Windows would see one: remove or "
     "rename the copy that is not the board's",
     Data},
    {HiveFault::NotRegularFile, "not a regular file", System(ERROR_FILE_NOT_FOUND)},
    {HiveFault::OpenFailed, "$e", System(ERROR_FILE_NOT_FOUND)},
    {HiveFault::OtherHardLink,
     "the hive has another hard link, and Windows reads the logs beside the one in Windows/System32/config: "
     "name that one",
     Data},
    {HiveFault::HiveUnreadable, "cannot be read", Data},
    {HiveFault::HiveUnreadableBecause, "cannot be read: $e", Data},
    {HiveFault::DirectoryUnreadable, "its directory cannot be read: $e", Data},
    {HiveFault::NoMemory, "not enough memory", {ERROR_NOT_ENOUGH_MEMORY, false}},
    {HiveFault::MapFailed, "$e", Data},
    {HiveFault::LogTwice, "both $s and $o lie beside it", Data},
    {HiveFault::LogIsLink, "$s is a symbolic link; a board's card holds none there", Data},
    {HiveFault::PathNotRegular, "$s is not a regular file", Data},
    {HiveFault::LogIsHive, "$s is the hive's own file under a second name; a board's card holds none there",
     Data},
    {HiveFault::LogIsOtherLog, "$s is the same file as $o; a board's card holds none there", Data},
    {HiveFault::LogTooLarge, "$s is larger than any log of this hive can be", Data},
    {HiveFault::LogChanged, "$s cannot be read: it changed", Data},
    {HiveFault::LogNeverWritten, "$s is damaged in a way Windows never writes", Data},
    {HiveFault::HiveNotWritable, "the hive cannot be written: $e", System(ERROR_ACCESS_DENIED)},
    {HiveFault::LogNotWritable, "its log cannot be written: $e", System(ERROR_ACCESS_DENIED)},
    // The backend.
    {HiveFault::NoCardNamed,
     "set but empty, so no card is named (sudo drops exported variables: write sudo "
     "VELMORA_SYSTEM_HIVE=/mnt/card/Windows/System32/config/SYSTEM velmora NAME, or use velmora-card)",
     {ERROR_FILE_NOT_FOUND, false}},
    {HiveFault::NoLogs, "it has no logs beside it", Data},
    {HiveFault::ReplayShort,
     "truncated: the file is shorter than its header says, and its logs do not hold the rest", Data},
    {HiveFault::NoSelectKey, "not a SYSTEM hive: it has no Select key", Data},
    {HiveFault::OtherControlSet,
     "Select\\Current does not name control set 1, so the board would not boot the names written to "
     "ControlSet001",
     Data},
    {HiveFault::ValueTooLong, "holds $s bytes, far more than any name", {ERROR_MORE_DATA, false}},
    {HiveFault::NameNotInCodeSet,
     "the new name is not text of this locale's code set: run under a UTF-8 locale", Data},
    {HiveFault::CannotGrow,
     "the new name needs a new bin, and the card's file system ($s) cannot make the hive longer: mount the "
     "card with the kernel's driver (sudo mount -t vfat), then try again; nothing was written",
     {ERROR_WRITE_FAULT, false}},
    {HiveFault::WriteFailed, "writing the hive failed ($e): $o", {ERROR_WRITE_FAULT, false}},
};

constexpr size_t FaultCount = sizeof Faults / sizeof Faults[0];

// A fault added without its row, or out of the enum's order, does not build.
static_assert(FaultCount == static_cast<size_t>(HiveFault::WriteFailed) + 1,
              "one row a fault, WriteFailed last");
constexpr bool InEnumOrder() {
    for (size_t i = 0; i < FaultCount; ++i) {
        if (static_cast<size_t>(Faults[i].fault) != i) {
            return false;
        }
    }
    return true;
}
static_assert(InEnumOrder(), "the rows in the enum's order");

} // namespace

const HiveFaultRow& HiveFaultRowOf(HiveFault fault) {
    const auto index = static_cast<size_t>(fault);
    return Faults[index < FaultCount ? index : 0];
}

const char* HiveFaultText(HiveFault fault) {
    return HiveFaultRowOf(fault).text;
}

HiveReason HiveRefusal(HiveFault fault, const std::string& subject, int error, const std::string& other) {
    HiveReason reason{fault, error, std::string()};
    for (const char* at = HiveFaultRowOf(fault).text; *at != '\0'; ++at) {
        if (*at != '$' || (at[1] != 's' && at[1] != 'o' && at[1] != 'e')) {
            reason.text += *at;
            continue;
        }
        ++at;
        reason.text += *at == 's' ? subject : *at == 'o' ? other : std::string(strerror(error));
    }
    return reason;
}
