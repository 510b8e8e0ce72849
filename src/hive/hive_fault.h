// Every failure of the hive engine, from the rooms over bytes to the file
// layers and the backend: one code each, and one table that gives each its
// words for the reason line (with the next step, where a user has one) and
// the error it becomes at the registry boundary. A room returns a code; a
// file layer a HiveReason, which adds the file it names and the system's
// errno.
#pragma once

#include <cstdint>
#include <string>

enum class HiveFault {
    None,
    // The cell reader: keys, subkey lists, values.
    KeyNodeDamaged,
    SubkeyListDamaged,
    SubkeyNotKey,
    SubkeyListsTooLong,
    ValueListDamaged,
    ValueListNotValue,
    ValuesAlike,
    DataSizeDamaged,
    DataOutside,
    DataPastCell,
    // The cell writer.
    KeyOrRecordDamaged,
    SiblingNotValue,
    SiblingPastBins,
    NoRoomForBin,
    DataCellDamaged,
    // The replay.
    LogDamaged,
    NoChangeApplies,
    BaseBlockShort,
    LogsEmpty,
    NoValidLogHeader,
    ImageWrongSize,
    BinsSizeDamaged,
    // The base block, as the file layers check it.
    NotAHive,
    HeaderShort,
    UnknownVersion,
    FileShort,
    // The file layers: finding, typing and opening the hive, its folders
    // and its logs.
    PathUnreadable,
    PathFailed,
    PathIsLink,
    PathIsLinkOrJunction,
    PathThroughLink,
    PathNotFolder,
    CaseTwinsAt,
    CaseTwins,
    NotRegularFile,
    OpenFailed,
    OtherHardLink,
    HiveUnreadable,
    HiveUnreadableBecause,
    DirectoryUnreadable,
    NoMemory,
    MapFailed,
    LogTwice,
    LogIsLink,
    PathNotRegular,
    LogIsHive,
    LogIsOtherLog,
    LogTooLarge,
    LogChanged,
    LogNeverWritten,
    HiveNotWritable,
    LogNotWritable,
    // The backend: attaching, and the write.
    NoCardNamed,
    NoLogs,
    ReplayShort,
    NoSelectKey,
    OtherControlSet,
    ValueTooLong,
    NameNotInCodeSet,
    CannotGrow,
    WriteFailed, // last: hive_fault.cpp checks its table against it
};

// The LONG the registry calls return for a fault. Where `systemDecides`,
// the errno given decides when it names one (ENOENT, EACCES...), and `error`
// is what any other becomes.
struct HiveRegistryError {
    std::int32_t error;
    bool systemDecides;
};

struct HiveFaultRow {
    HiveFault fault;
    // The words; in them $s is the file or folder the reason names as shown,
    // $o a second one, and $e the system's error in words.
    const char* text;
    HiveRegistryError registry;
};

const HiveFaultRow& HiveFaultRowOf(HiveFault fault);
// The words of a fault that names no file and no error ("" for None).
const char* HiveFaultText(HiveFault fault);

// Why something cannot be done: the fault and what its words name, and the
// reason line they make (which the backend may set in context: the key it
// was met in, the replay it stopped). Empty when it can be done.
struct HiveReason {
    HiveFault fault = HiveFault::None;
    int error = 0; // errno, where the system gave one
    std::string text;
    explicit operator bool() const {
        return fault != HiveFault::None;
    }
};
// The reason for `fault`, its line formatted from the table.
HiveReason HiveRefusal(HiveFault fault, const std::string& subject = std::string(), int error = 0,
                       const std::string& other = std::string());
