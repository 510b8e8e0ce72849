// Reading the few keys and values a rename needs from a hive image, as
// Windows lays them out: pure functions over bytes that know nothing of files
// or of the registry calls. Every offset, size, count and signature is
// checked against the bins before use, and every lookup has a budget no real
// hive reaches.
#pragma once

#include "hive_fault.h"
#include "hive_format.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

constexpr std::uint32_t HiveNoCell = 0xFFFFFFFF;

// No SYSTEM hive comes near this many bytes of bins; neither a log nor a
// rename may take a hive past it.
constexpr std::uint32_t HiveMaxBinsDataSize = 256u << 20;

struct HiveImage {
    // The base block, then the bins; `capacity` bytes are addressable, of
    // which 4096 + the base block's bins data size are the hive.
    unsigned char* bytes = nullptr;
    size_t capacity = 0;
    // Bins offsets of the pages changed, in the order first changed.
    std::vector<std::uint32_t> changedPages;
    // The bin this run added, and where its free space starts: the only bin
    // a new cell is ever taken from.
    std::uint32_t addedBin = HiveNoCell;
    std::uint32_t addedFree = 0;
    std::vector<std::uint32_t> newCells;    // the cells this run took from it
    std::vector<std::uint32_t> writtenKeys; // the keys this run wrote a value of
    // Bins found so far, so that no page is walked twice, and the work the
    // current lookup may still do before the hive is refused as contrived.
    mutable std::map<std::uint32_t, std::uint32_t> knownBins; // start -> end
    mutable std::uint32_t budget = 0;                         // reset by each call below
    // Where the last lookup found no sound bin (a bin's offset, or the offset
    // no bin holds); HiveNoCell when none. Reset by each call below.
    mutable std::uint32_t damagedBin = HiveNoCell;
};

std::uint32_t HiveBinsDataSize(const HiveImage& hive);

// The root key's cell, or HiveNoCell.
std::uint32_t HiveRootKey(const HiveImage& hive);

// The subkey of the key at `key` named `name` (ASCII, compared ignoring
// case as Windows does). HiveFault::None and the cell (HiveNoCell when there
// is no such key), or why the hive cannot be read there.
HiveFault FindHiveSubkey(const HiveImage& hive, std::uint32_t key, const char* name, std::uint32_t* child);

struct HiveValue {
    std::uint32_t record = HiveNoCell; // the vk cell; HiveNoCell when missing
    std::uint32_t type = 0;
    const unsigned char* data = nullptr;
    std::uint32_t size = 0;
};

// The value of the key at `key` named `name`, ignoring case. With `unique`,
// two values whose names differ only in case are refused: which one Windows
// reads is not ours to guess. Data over 16344 bytes (kept in segments) is
// reported with its size and no bytes. HiveFault::None, or why the key cannot
// be read.
HiveFault FindHiveValue(const HiveImage& hive, std::uint32_t key, const char* name, bool unique,
                        HiveValue* value);

// For the cell writer: what a lookup checks a cell by.
struct HiveCell {
    unsigned char* data = nullptr; // after the size
    std::uint32_t size = 0;        // bytes of data
    bool allocated = false;
};

// Starts a lookup: a fresh budget, no damage noted.
void HiveStartLookup(const HiveImage& hive);
unsigned char* HiveAt(const HiveImage& hive, std::uint32_t offset);
// The cell at `offset`, if it lies whole inside a sound bin, past the header.
bool HiveCellAt(const HiveImage& hive, std::uint32_t offset, HiveCell* cell);
// An allocated cell holding at least `least` bytes that starts with `signature`.
bool HiveRecordAt(const HiveImage& hive, std::uint32_t offset, const char* signature, std::uint32_t least,
                  HiveCell* cell);
// The bin holding bins offset `offset` (start and end), found as reading
// finds it; false when it is not sound.
bool HiveBinOf(const HiveImage& hive, std::uint32_t offset, std::uint32_t* start, std::uint32_t* end);
// Where a value record's data cell is, or HiveNoCell for data in the record.
std::uint32_t HiveDataCell(const unsigned char* record);
