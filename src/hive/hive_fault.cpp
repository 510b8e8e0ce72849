// The engine's faults and their words; see hive_fault.h.
#include "hive_fault.h"

#include "platform.h"

#include <cstring>

namespace {

// The hive, not the system, is at fault.
constexpr HiveRegistryError Data{ERROR_INVALID_DATA, false};
// The system's errno decides, else `otherwise`.
constexpr HiveRegistryError System(std::int32_t otherwise) {
    return {otherwise, true};
}

constexpr HiveFaultRow Faults[] = {
    {HiveFault::None, "", {ERROR_SUCCESS, false}, HiveNextStep::None},
    {HiveFault::KeyNodeDamaged, "its key node is damaged", Data, HiveNextStep::Reflash},
    {HiveFault::SubkeyListDamaged, "its subkey list is damaged", Data, HiveNextStep::Reflash},
    {HiveFault::SubkeyNotKey, "its subkey list points at something that is no key", Data,
     HiveNextStep::Reflash},
    {HiveFault::SubkeyListsTooLong, "its subkey lists are longer than any hive's", Data,
     HiveNextStep::Reflash},
    {HiveFault::ValueListDamaged, "its value list is damaged", Data, HiveNextStep::Reflash},
    {HiveFault::ValueListNotValue, "its value list points at something that is no value", Data,
     HiveNextStep::Reflash},
    {HiveFault::ValuesAlike, "it holds two values whose names differ only in letter case", Data,
     HiveNextStep::Reflash},
    {HiveFault::DataSizeDamaged, "the value's data size is damaged", Data, HiveNextStep::Reflash},
    {HiveFault::DataOutside,
     "the value's data points outside the hive, at the value itself, or at a free cell", Data,
     HiveNextStep::Reflash},
    {HiveFault::DataPastCell, "the value's data runs past its cell", Data, HiveNextStep::Reflash},
    {HiveFault::KeyOrRecordDamaged, "its key node or the value's record is damaged", Data,
     HiveNextStep::Reflash},
    {HiveFault::SiblingNotValue, "a value of the key is damaged: its record is no value record", Data,
     HiveNextStep::Reflash},
    {HiveFault::SiblingPastBins,
     "a value of the key is damaged: its data lies past the end of the hive's bins, where the bin a longer "
     "name needs would go",
     Data, HiveNextStep::Reflash},
    {HiveFault::NoRoomForBin,
     "the rename needs a new bin, and the hive has no room for one within 256 MiB of bins", Data,
     HiveNextStep::None},
    {HiveFault::DataCellDamaged, "the value's data cell is damaged", Data, HiveNextStep::Reflash},
    {HiveFault::LogDamaged, "a log beside it is damaged in a way Windows never writes", Data,
     HiveNextStep::BootCleanly},
    {HiveFault::NoChangeApplies, "its logs hold no change that applies to it", Data,
     HiveNextStep::BootCleanly},
    {HiveFault::BaseBlockShort, "its base block is cut short", Data, HiveNextStep::BootCleanly},
    {HiveFault::LogsEmpty, "its logs are empty", Data, HiveNextStep::BootCleanly},
    {HiveFault::NoValidLogHeader, "no log beside it has a valid header", Data, HiveNextStep::BootCleanly},
    {HiveFault::ImageWrongSize, "its image is not the size the replay needs", Data, HiveNextStep::None},
    {HiveFault::BinsSizeDamaged,
     "its header is damaged: its bins size is no multiple of 4096 bytes up to 256 MiB", Data,
     HiveNextStep::Reflash},
    // The base block, as the file layers check it.
    {HiveFault::NotAHive, "not a registry hive", Data, HiveNextStep::None},
    {HiveFault::HeaderShort, "truncated: the hive's header is cut short", Data, HiveNextStep::Reflash},
    {HiveFault::UnknownVersion, "unknown hive format version", Data, HiveNextStep::None},
    {HiveFault::FileShort, "truncated: the file is shorter than its header says", Data,
     HiveNextStep::Reflash},
    // The file layers.
    {HiveFault::PathUnreadable, "$s cannot be read: $e", Data, HiveNextStep::None},
    {HiveFault::PathFailed, "$s: $e", System(ERROR_FILE_NOT_FOUND), HiveNextStep::None},
    {HiveFault::PathIsLink, "$s is a symbolic link; a board's card holds none there",
     System(ERROR_FILE_NOT_FOUND), HiveNextStep::None},
    {HiveFault::PathIsLinkOrJunction, "$s is a symbolic link or junction; a board's card holds none there",
     Data, HiveNextStep::None},
    {HiveFault::PathThroughLink,
     "$s is reached through a symbolic link or junction; a board's card holds none there", Data,
     HiveNextStep::None},
    {HiveFault::PathNotFolder, "$s is not a folder; a board's card holds none there",
     System(ERROR_FILE_NOT_FOUND), HiveNextStep::None},
    {HiveFault::CaseTwinsAt,
     "two entries on the way to the hive differ only in letter case ($s), and Windows would see one: remove "
     "or "
     "rename the copy that is not the board's",
     Data, HiveNextStep::None},
    {HiveFault::CaseTwins,
     "two entries on the way to the hive differ only in letter case, and Windows would see one: remove or "
     "rename the copy that is not the board's",
     Data, HiveNextStep::None},
    {HiveFault::NotRegularFile, "not a regular file", System(ERROR_FILE_NOT_FOUND), HiveNextStep::None},
    {HiveFault::OpenFailed, "$e", System(ERROR_FILE_NOT_FOUND), HiveNextStep::None},
    {HiveFault::OtherHardLink,
     "the hive has another hard link, and Windows reads the logs beside the one in Windows/System32/config: "
     "name that one",
     Data, HiveNextStep::None},
    {HiveFault::HiveUnreadable, "cannot be read", Data, HiveNextStep::None},
    {HiveFault::HiveUnreadableBecause, "cannot be read: $e", Data, HiveNextStep::None},
    {HiveFault::DirectoryUnreadable, "its directory cannot be read: $e", Data, HiveNextStep::None},
    {HiveFault::NoMemory, "not enough memory", {ERROR_NOT_ENOUGH_MEMORY, false}, HiveNextStep::None},
    {HiveFault::MapFailed, "$e", Data, HiveNextStep::None},
    {HiveFault::LogTwice, "both $s and $o lie beside it", Data, HiveNextStep::Reflash},
    {HiveFault::LogIsLink, "$s is a symbolic link; a board's card holds none there", Data,
     HiveNextStep::None},
    {HiveFault::PathNotRegular, "$s is not a regular file", Data, HiveNextStep::None},
    {HiveFault::LogIsHive, "$s is the hive's own file under a second name; a board's card holds none there",
     Data, HiveNextStep::None},
    {HiveFault::LogIsOtherLog, "$s is the same file as $o; a board's card holds none there", Data,
     HiveNextStep::None},
    {HiveFault::LogTooLarge, "$s is larger than any log of this hive can be", Data, HiveNextStep::None},
    {HiveFault::LogChanged, "$s cannot be read: it changed", Data, HiveNextStep::None},
    {HiveFault::LogNeverWritten, "$s is damaged in a way Windows never writes", Data,
     HiveNextStep::BootCleanly},
    {HiveFault::HiveNotWritable, "the hive cannot be written: $e", System(ERROR_ACCESS_DENIED),
     HiveNextStep::None},
    {HiveFault::LogNotWritable, "its log cannot be written: $e", System(ERROR_ACCESS_DENIED),
     HiveNextStep::None},
    // The backend.
    {HiveFault::NoCardNamed,
     "set but empty, so no card is named (sudo drops exported variables: write sudo "
     "VELMORA_SYSTEM_HIVE=/mnt/card/Windows/System32/config/SYSTEM velmora NAME, or use velmora-card)",
     {ERROR_FILE_NOT_FOUND, false},
     HiveNextStep::None},
    {HiveFault::NoLogs, "it has no logs beside it", Data, HiveNextStep::BootCleanly},
    {HiveFault::ReplayShort,
     "truncated: the file is shorter than its header says, and its logs do not hold the rest", Data,
     HiveNextStep::BootCleanly},
    {HiveFault::NoSelectKey, "not a SYSTEM hive: it has no Select key", Data, HiveNextStep::None},
    {HiveFault::OtherControlSet,
     "Select\\Current does not name control set 1, so the board would not boot the names written to "
     "ControlSet001",
     Data, HiveNextStep::None},
    {HiveFault::ValueTooLong,
     "holds $s bytes, far more than any name",
     {ERROR_MORE_DATA, false},
     HiveNextStep::None},
    {HiveFault::NameNotInCodeSet,
     "the new name is not text of this locale's code set: run under a UTF-8 locale", Data,
     HiveNextStep::None},
    {HiveFault::CannotGrow,
     "the new name needs a new bin, and the card's file system ($s) cannot make the hive longer: mount the "
     "card with the kernel's driver (sudo mount -t vfat), then try again; nothing was written",
     {ERROR_WRITE_FAULT, false},
     HiveNextStep::None},
    {HiveFault::WriteFailed,
     "writing the hive failed ($e): $o",
     {ERROR_WRITE_FAULT, false},
     HiveNextStep::None},
};

} // namespace

const HiveFaultRow& HiveFaultRowOf(HiveFault fault) {
    for (const HiveFaultRow& row : Faults) {
        if (row.fault == fault) {
            return row;
        }
    }
    return Faults[0];
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
