// What the engine's pure rooms can find wrong in a hive or its logs: one code
// each, and one table that gives each its words for the reason line and the
// next step it calls for. At the registry boundary every one of them is
// ERROR_INVALID_DATA: the hive, not the system, is at fault.
#pragma once

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
};

// What a user can do about it.
enum class HiveNextStep {
    Reflash,     // the hive is damaged: reflash the card, or let the board's Windows repair it
    BootCleanly, // the logs cannot be replayed: boot the board once with the card, shut it down cleanly
    None,        // a limit of ours, or a fault of the program
};

struct HiveFaultRow {
    HiveFault fault;
    const char* text;
    HiveNextStep next;
};

// The words of `fault` ("" for None).
const char* HiveFaultText(HiveFault fault);
HiveNextStep HiveFaultNextStep(HiveFault fault);
