// A value's new data in place, in a cell of its own, or in a bin the rename
// adds at the hive's end; see hive_cell_writer.h.
#include "hive_cell_writer.h"

#include <algorithm>
#include <cstring>

namespace {

void MarkChanged(HiveImage* hive, std::uint32_t offset, std::uint32_t size) {
    for (std::uint32_t page = offset / HivePageSize * HivePageSize; page < offset + size;
         page += HivePageSize) {
        if (std::find(hive->changedPages.begin(), hive->changedPages.end(), page) ==
            hive->changedPages.end()) {
            hive->changedPages.push_back(page);
        }
    }
}

// A bin of `binSize` bytes at the hive's end, holding one free cell.
void AddBin(HiveImage* hive, std::uint32_t binSize) {
    const std::uint32_t bins = HiveBinsDataSize(*hive);
    unsigned char* bin = HiveAt(*hive, bins);
    memset(bin, 0, binSize);
    constexpr unsigned char Signature[] = {'h', 'b', 'i', 'n'};
    memcpy(bin + BinField::Signature, Signature, sizeof Signature);
    HivePutLe32(bin + BinField::Offset, bins);
    HivePutLe32(bin + BinField::Size, binSize);
    // The hive's last written time.
    memcpy(bin + BinField::Timestamp, hive->bytes + BaseBlockField::Timestamp, HiveTimestampSize);
    HivePutLe32(bin + BinField::HeaderSize + CellField::Size, binSize - BinField::HeaderSize);
    HivePutLe32(hive->bytes + BaseBlockField::BinsDataSize, bins + binSize);
    MarkChanged(hive, bins, binSize);
    hive->knownBins.emplace(bins, bins + binSize);
    hive->addedBin = bins;
    hive->addedFree = bins + BinField::HeaderSize;
}

// Takes `need` bytes (a multiple of 8, the size included) from the bin this
// run added, adding it at the hive's end first. HiveNoCell when there is no
// room, or the hive would grow past HiveMaxBinsDataSize.
std::uint32_t Allocate(HiveImage* hive, std::uint32_t need) {
    const std::uint32_t room =
        hive->addedBin == HiveNoCell
            ? 0
            : hive->addedBin + HiveLe32(HiveAt(*hive, hive->addedBin) + BinField::Size) - hive->addedFree;
    if (room < need) {
        const std::uint32_t bins = HiveBinsDataSize(*hive);
        const std::uint32_t binSize =
            (BinField::HeaderSize + need + HivePageSize - 1) / HivePageSize * HivePageSize;
        if (bins % HivePageSize != 0 || bins > HiveMaxBinsDataSize - binSize ||
            hive->capacity - HiveBaseBlockSize - bins < binSize) {
            return HiveNoCell;
        }
        AddBin(hive, binSize);
    }
    const std::uint32_t end = hive->addedBin + HiveLe32(HiveAt(*hive, hive->addedBin) + BinField::Size);
    const std::uint32_t cell = hive->addedFree;
    const std::uint32_t rest = end - cell - need;
    HivePutLe32(HiveAt(*hive, cell) + CellField::Size, 0u - need);
    if (rest > 0) {
        HivePutLe32(HiveAt(*hive, cell + need) + CellField::Size, rest);
    }
    hive->addedFree = cell + need;
    hive->newCells.push_back(cell);
    MarkChanged(hive, cell, need + (rest > 0 ? CellField::Data : 0));
    return cell;
}

// Frees the cell at `cell`, as Windows frees a cell it stops using: its size
// made positive, merged with a free cell right before or after it in its bin.
// False, with nothing changed, when it is no allocated cell of a sound bin.
bool FreeCell(HiveImage* hive, std::uint32_t cell) {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    if (!HiveBinOf(*hive, cell, &start, &end)) {
        return false;
    }
    std::uint32_t first = cell;
    std::uint32_t last = HiveNoCell; // the end of the freed run
    for (std::uint32_t at = start + BinField::HeaderSize, before = HiveNoCell; at < end;) {
        const auto raw = static_cast<std::int32_t>(HiveLe32(HiveAt(*hive, at) + CellField::Size));
        const std::uint32_t size =
            raw < 0 ? 0u - static_cast<std::uint32_t>(raw) : static_cast<std::uint32_t>(raw);
        if (size < CellField::Alignment || size > end - at) {
            return false; // the bin was checked whole when found: never reached
        }
        if (at == cell) {
            if (raw >= 0) {
                return false;
            }
            first = before != HiveNoCell ? before : cell;
            last = cell + size;
        } else if (at == last && raw > 0) {
            last += size;
        } else if (at > cell) {
            break;
        }
        before = raw > 0 && at < cell ? at : HiveNoCell;
        at += size;
    }
    if (last == HiveNoCell) {
        return false;
    }
    HivePutLe32(HiveAt(*hive, first) + CellField::Size, last - first);
    MarkChanged(hive, first, CellField::Data);
    return true;
}

// Once the hive grows, the values of every key a rename writes must keep
// their data inside the bins as they were: a damaged offset past their end
// would, with a bin added there, read as valid data (the new name's).
HiveFault SiblingsInsideBins(const HiveImage& hive) {
    const std::uint32_t bins = hive.addedBin != HiveNoCell ? hive.addedBin : HiveBinsDataSize(hive);
    for (std::uint32_t key : hive.writtenKeys) {
        HiveCell node;
        HiveCell list;
        if (!HiveRecordAt(hive, key, "nk", KeyNodeField::Name, &node) ||
            !HiveCellAt(hive, HiveLe32(node.data + KeyNodeField::ValueList), &list)) {
            return HiveFault::KeyNodeDamaged;
        }
        const std::uint32_t count = HiveLe32(node.data + KeyNodeField::ValueCount);
        for (std::uint32_t i = 0; i < count && i < list.size / sizeof(std::uint32_t); ++i) {
            HiveCell sibling;
            const std::uint32_t record = HiveLe32(list.data + sizeof(std::uint32_t) * i);
            if (!HiveRecordAt(hive, record, "vk", ValueRecordField::Name, &sibling)) {
                return HiveFault::SiblingNotValue;
            }
            // Past the bins only a cell this run took from the bin it added.
            const std::uint32_t data = HiveDataCell(sibling.data);
            if (data != HiveNoCell && data >= bins &&
                std::find(hive.newCells.begin(), hive.newCells.end(), data) == hive.newCells.end()) {
                return HiveFault::SiblingPastBins;
            }
        }
    }
    return HiveFault::None;
}

// Whether the value's own data cell holds `size` bytes and no other value of
// the key points to it: a shared cell is never written over.
bool OwnCellFits(const HiveImage& hive, const HiveCell& node, const HiveCell& list, std::uint32_t record,
                 std::uint32_t cell, std::uint32_t size) {
    HiveCell old;
    bool fits = cell != HiveNoCell && HiveCellAt(hive, cell, &old) && old.allocated && old.size >= size;
    const std::uint32_t count = HiveLe32(node.data + KeyNodeField::ValueCount);
    for (std::uint32_t i = 0; fits && i < count && i < list.size / sizeof(std::uint32_t); ++i) {
        const std::uint32_t other = HiveLe32(list.data + sizeof(std::uint32_t) * i);
        HiveCell neighbour;
        fits = other == record || !HiveRecordAt(hive, other, "vk", ValueRecordField::Name, &neighbour) ||
               HiveDataCell(neighbour.data) != cell;
    }
    return fits;
}

} // namespace

HiveFault SetHiveValue(HiveImage* hive, std::uint32_t key, const HiveValue& value, std::uint32_t type,
                       const unsigned char* data, std::uint32_t size) {
    HiveStartLookup(*hive);
    HiveCell node;
    HiveCell record;
    HiveCell list;
    if (!HiveRecordAt(*hive, key, "nk", KeyNodeField::Name, &node) ||
        !HiveRecordAt(*hive, value.record, "vk", ValueRecordField::Name, &record) ||
        !HiveCellAt(*hive, HiveLe32(node.data + KeyNodeField::ValueList), &list)) {
        return HiveFault::KeyOrRecordDamaged;
    }
    std::uint32_t cell = HiveDataCell(record.data);
    const bool reuse = OwnCellFits(*hive, node, list, value.record, cell, size);
    if (std::find(hive->writtenKeys.begin(), hive->writtenKeys.end(), key) == hive->writtenKeys.end()) {
        hive->writtenKeys.push_back(key);
    }
    const bool allocates = !reuse && size > ValueRecordField::InRecordMax;
    if (const HiveFault damaged =
            allocates || hive->addedBin != HiveNoCell ? SiblingsInsideBins(*hive) : HiveFault::None;
        damaged != HiveFault::None) {
        return damaged;
    }
    // A cell of its own that the value leaves is freed; one it shares with a
    // value beside it is not.
    const bool own = cell != HiveNoCell && OwnCellFits(*hive, node, list, value.record, cell, 0);
    unsigned char* fields = record.data;
    // Data that fits in the record goes there only when the value has no
    // cell of its own: an abandoned cell could never be freed, and a name
    // alternating between short and long would grow the hive at every rename.
    if (size <= ValueRecordField::InRecordMax && !reuse) {
        HivePutLe32(fields + ValueRecordField::DataSize, size | ValueRecordField::DataInRecord);
        HivePutLe32(fields + ValueRecordField::Data, 0);
        memcpy(fields + ValueRecordField::Data, data, size);
    } else {
        if (!reuse) {
            const std::uint32_t need = CellField::Data + std::max(size, HiveRoomyData);
            cell = Allocate(hive,
                            (need + CellField::Alignment - 1) / CellField::Alignment * CellField::Alignment);
            if (cell == HiveNoCell) {
                return HiveFault::NoRoomForBin;
            }
        }
        if (!reuse && own && !FreeCell(hive, HiveDataCell(record.data))) {
            return HiveFault::DataCellDamaged;
        }
        memcpy(HiveAt(*hive, cell) + CellField::Data, data, size);
        MarkChanged(hive, cell, CellField::Data + size);
        HivePutLe32(fields + ValueRecordField::DataSize, size);
        HivePutLe32(fields + ValueRecordField::Data, cell);
    }
    HivePutLe32(fields + ValueRecordField::Type, type);
    MarkChanged(hive, value.record, CellField::Data + ValueRecordField::Name); // its fixed fields
    // Cell pointers stay valid: allocation never moves a cell.
    if (HiveLe32(node.data + KeyNodeField::LargestValueData) < size) {
        HivePutLe32(node.data + KeyNodeField::LargestValueData, size);
        MarkChanged(hive, key, CellField::Data + KeyNodeField::LargestValueData + sizeof(std::uint32_t));
    }
    return HiveFault::None;
}
