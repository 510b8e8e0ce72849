// The engine's faults and their words; see hive_fault.h.
#include "hive_fault.h"

namespace {

constexpr HiveFaultRow Faults[] = {
    {HiveFault::None, "", HiveNextStep::None},
    {HiveFault::KeyNodeDamaged, "its key node is damaged", HiveNextStep::Reflash},
    {HiveFault::SubkeyListDamaged, "its subkey list is damaged", HiveNextStep::Reflash},
    {HiveFault::SubkeyNotKey, "its subkey list points at something that is no key", HiveNextStep::Reflash},
    {HiveFault::SubkeyListsTooLong, "its subkey lists are longer than any hive's", HiveNextStep::Reflash},
    {HiveFault::ValueListDamaged, "its value list is damaged", HiveNextStep::Reflash},
    {HiveFault::ValueListNotValue, "its value list points at something that is no value",
     HiveNextStep::Reflash},
    {HiveFault::ValuesAlike, "it holds two values whose names differ only in letter case",
     HiveNextStep::Reflash},
    {HiveFault::DataSizeDamaged, "the value's data size is damaged", HiveNextStep::Reflash},
    {HiveFault::DataOutside,
     "the value's data points outside the hive, at the value itself, or at a free cell",
     HiveNextStep::Reflash},
    {HiveFault::DataPastCell, "the value's data runs past its cell", HiveNextStep::Reflash},
    {HiveFault::KeyOrRecordDamaged, "its key node or the value's record is damaged", HiveNextStep::Reflash},
    {HiveFault::SiblingNotValue, "a value of the key is damaged: its record is no value record",
     HiveNextStep::Reflash},
    {HiveFault::SiblingPastBins,
     "a value of the key is damaged: its data lies past the end of the hive's bins, where the bin a longer "
     "name needs would go",
     HiveNextStep::Reflash},
    {HiveFault::NoRoomForBin,
     "the rename needs a new bin, and the hive has no room for one within 256 MiB of bins",
     HiveNextStep::None},
    {HiveFault::DataCellDamaged, "the value's data cell is damaged", HiveNextStep::Reflash},
    {HiveFault::LogDamaged, "a log beside it is damaged in a way Windows never writes",
     HiveNextStep::BootCleanly},
    {HiveFault::NoChangeApplies, "its logs hold no change that applies to it", HiveNextStep::BootCleanly},
    {HiveFault::BaseBlockShort, "its base block is cut short", HiveNextStep::BootCleanly},
    {HiveFault::LogsEmpty, "its logs are empty", HiveNextStep::BootCleanly},
    {HiveFault::NoValidLogHeader, "no log beside it has a valid header", HiveNextStep::BootCleanly},
    {HiveFault::ImageWrongSize, "its image is not the size the replay needs", HiveNextStep::None},
    {HiveFault::BinsSizeDamaged,
     "its header is damaged: its bins size is no multiple of 4096 bytes up to 256 MiB",
     HiveNextStep::Reflash},
};

const HiveFaultRow& RowOf(HiveFault fault) {
    for (const HiveFaultRow& row : Faults) {
        if (row.fault == fault) {
            return row;
        }
    }
    return Faults[0];
}

} // namespace

const char* HiveFaultText(HiveFault fault) {
    return RowOf(fault).text;
}

HiveNextStep HiveFaultNextStep(HiveFault fault) {
    return RowOf(fault).next;
}
