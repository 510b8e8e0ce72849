// Reading the few keys and values a rename needs from a hive image, and
// rewriting a value's data in place, as Windows lays them out: pure functions
// over bytes that know nothing of files or of the registry calls. Every
// offset, size, count and signature is checked against the bins before use;
// the pages a change touches are recorded so that only they are written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

constexpr std::uint32_t HiveNoCell = 0xFFFFFFFF;

// No SYSTEM hive comes near this many bytes of bins; neither a log nor a
// rename may take a hive past it.
constexpr std::uint32_t HiveMaxBinsDataSize = 256u << 20;
// Room for the longest computer name, 15 UTF-16 units and a terminator: a
// new data cell is made this large, so a hive grows once however names change.
constexpr std::uint32_t HiveRoomyData = 32;

struct HiveImage {
    // The base block, then the bins; `capacity` bytes are addressable, of
    // which 4096 + the base block's bins data size are the hive.
    unsigned char* bytes = nullptr;
    size_t capacity = 0;
    // Bins offsets of the 4096-byte pages changed, in the order first changed.
    std::vector<std::uint32_t> changedPages;
    // The bin this run added, and where its free space starts: the only bin
    // a new cell is ever taken from.
    std::uint32_t addedBin = HiveNoCell;
    std::uint32_t addedFree = 0;
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
// case as Windows does). nullptr and the cell (HiveNoCell when there is no
// such key), or why the hive cannot be read there.
const char* FindHiveSubkey(const HiveImage& hive, std::uint32_t key, const char* name, std::uint32_t* child);

struct HiveValue {
    std::uint32_t record = HiveNoCell; // the vk cell; HiveNoCell when missing
    std::uint32_t type = 0;
    const unsigned char* data = nullptr;
    std::uint32_t size = 0;
};

// The value of the key at `key` named `name`, ignoring case. With `unique`,
// two values whose names differ only in case are refused: which one Windows
// reads is not ours to guess. Data over 16344 bytes (kept in segments) is
// reported with its size and no bytes.
const char* FindHiveValue(const HiveImage& hive, std::uint32_t key, const char* name, bool unique,
                          HiveValue* value);

// Sets the data of `value` (of the key at `key`) to `size` bytes of `type`:
// in its own cell, reused when it fits and no other value of the key shares
// it (4 bytes or fewer included); else inside the record when 4 bytes or
// fewer; else in a new cell of at least HiveRoomyData bytes, in the bin this
// run added at the hive's end. No existing bin is searched for free space:
// only a bin reached by the chain of bin sizes could be trusted for it, and
// that chain is the whole hive. The old cell is never freed: nothing short of
// reading every key could prove that no other value points to it. Updates
// the key's largest data size where it grows.
const char* SetHiveValue(HiveImage* hive, std::uint32_t key, const HiveValue& value, std::uint32_t type,
                         const unsigned char* data, std::uint32_t size);
