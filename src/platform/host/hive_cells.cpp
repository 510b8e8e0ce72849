// Key nodes (nk), subkey lists (lf, lh, li, and ri above them), value lists
// and value records (vk) as the hive stores them; see hive_cells.h.
#include "hive_cells.h"

#include "hive_replay.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

constexpr std::uint32_t Page = 4096;
constexpr std::uint32_t BinHeaderSize = 32;
constexpr std::uint32_t InlineData = 0x80000000;
// Above this, hives of format 1.4 and later keep data in segments.
constexpr std::uint32_t LargestSingleCell = 16344;

std::uint16_t Le16(const unsigned char* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

// A cell: its data (after the 4-byte size) and how many bytes that holds.
struct Cell {
    unsigned char* data = nullptr;
    std::uint32_t size = 0;
    bool allocated = false;
};

unsigned char* At(const HiveImage& hive, std::uint32_t offset) {
    return hive.bytes + HiveBaseBlockSize + offset;
}

// List entries compared and pages walked back in one lookup: far more than
// any real hive needs, far less than a contrived one could demand.
constexpr std::uint32_t LookupBudget = 1u << 20;

// Takes `cost` from the lookup's budget; false once a hive has made the
// lookup do more than any real hive could.
bool Spend(const HiveImage& hive, std::uint32_t cost) {
    if (hive.budget < cost) {
        hive.budget = 0;
        return false;
    }
    hive.budget -= cost;
    return true;
}

// Whether the cells of the bin from `start` to `end` follow one another by
// their sizes from its header to its end, as Windows' load requires: a bin
// whose size claims a following bin's pages fails here, on that bin's header.
bool CellsFill(const HiveImage& hive, std::uint32_t start, std::uint32_t end) {
    for (std::uint32_t cell = start + BinHeaderSize; cell != end;) {
        if (end - cell < 8 || !Spend(hive, 1)) {
            return false;
        }
        const auto raw = static_cast<std::int32_t>(HiveLe32(At(hive, cell)));
        const std::uint32_t size =
            raw < 0 ? 0u - static_cast<std::uint32_t>(raw) : static_cast<std::uint32_t>(raw);
        if (size < 8 || size % 8 != 0 || size > end - cell) {
            return false;
        }
        cell += size;
    }
    return true;
}

// The bin holding bins offset `offset`: its start and end. Bins start at
// 4096-byte boundaries with a header naming their own offset; the header is
// looked for backwards from the page, so a blob holding such bytes could be
// taken for one. Good for reading, where the cell's own checks follow, never
// for choosing where to write. Each bin found is remembered, once its cells
// are seen to fill it; a bin that fails is noted in `damagedBin`.
bool BinOf(const HiveImage& hive, std::uint32_t offset, std::uint32_t* start, std::uint32_t* end) {
    const std::uint32_t bins = HiveBinsDataSize(hive);
    if (offset >= bins) {
        hive.damagedBin = offset;
        return false;
    }
    const auto known = hive.knownBins.upper_bound(offset);
    if (known != hive.knownBins.begin() && offset < std::prev(known)->second) {
        *start = std::prev(known)->first;
        *end = std::prev(known)->second;
        return true;
    }
    for (std::uint32_t page = offset / Page * Page;; page -= Page) {
        if (!Spend(hive, 1)) {
            return false;
        }
        const unsigned char* header = At(hive, page);
        const std::uint32_t size = HiveLe32(header + 8);
        if (memcmp(header, "hbin", 4) == 0 && HiveLe32(header + 4) == page) {
            if (size < Page || size % Page != 0 || size > bins - page || page + size <= offset ||
                !CellsFill(hive, page, page + size)) {
                hive.damagedBin = page;
                return false;
            }
            *start = page;
            *end = page + size;
            hive.knownBins.emplace(page, page + size);
            return true;
        }
        if (page == 0) {
            hive.damagedBin = offset;
            return false;
        }
    }
}

// The cell at `offset`, if it lies whole inside its bin, past the header.
bool CellAt(const HiveImage& hive, std::uint32_t offset, Cell* cell) {
    std::uint32_t start = 0;
    std::uint32_t end = 0;
    if (offset % 8 != 0 || !BinOf(hive, offset, &start, &end) || offset < start + BinHeaderSize ||
        end - offset < 8) {
        return false;
    }
    const auto raw = static_cast<std::int32_t>(HiveLe32(At(hive, offset)));
    const std::uint32_t size =
        raw < 0 ? 0u - static_cast<std::uint32_t>(raw) : static_cast<std::uint32_t>(raw);
    if (size < 8 || size % 8 != 0 || size > end - offset) {
        return false;
    }
    *cell = {At(hive, offset) + 4, size - 4, raw < 0};
    return true;
}

// An allocated cell holding at least `least` bytes that starts with `signature`.
bool RecordAt(const HiveImage& hive, std::uint32_t offset, const char* signature, std::uint32_t least,
              Cell* cell) {
    return CellAt(hive, offset, cell) && cell->allocated && cell->size >= least &&
           memcmp(cell->data, signature, 2) == 0;
}

unsigned Upper(unsigned char c) {
    return c >= 'a' && c <= 'z' ? c - 32u : unsigned{c};
}

// Windows compares names upper-cased; the names looked for are ASCII, so a
// stored character matches only its ASCII letter in either case.
bool SameName(const unsigned char* stored, std::uint32_t size, bool compressed, const char* name) {
    const size_t length = strlen(name);
    if (size != (compressed ? length : 2 * length)) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        const unsigned unit = compressed ? stored[i] : Le16(stored + 2 * i);
        const auto want = static_cast<unsigned char>(name[i]);
        if (unit > 0x7F || Upper(static_cast<unsigned char>(unit)) != Upper(want)) {
            return false;
        }
    }
    return true;
}

// Whether the key node at `offset` is named `name`; false and a reason when
// it is no key node.
bool KeyNamed(const HiveImage& hive, std::uint32_t offset, const char* name, const char** reason) {
    Cell key;
    if (!RecordAt(hive, offset, "nk", 76, &key) || key.size - 76 < Le16(key.data + 72)) {
        *reason = "its subkey list points at something that is no key";
        return false;
    }
    return SameName(key.data + 76, Le16(key.data + 72), (Le16(key.data + 2) & 0x20) != 0, name);
}

// A name looked for, with what the hints of `lh` and `lf` lists hold for it:
// the hash of its upper-cased characters, and its first four (zero-padded).
struct Wanted {
    const char* name;
    std::uint32_t hash = 0;
    unsigned char first[4] = {};
};

Wanted Looking(const char* name) {
    Wanted wanted{name};
    for (size_t i = 0; name[i] != '\0'; ++i) {
        wanted.hash = wanted.hash * 37 + Upper(static_cast<unsigned char>(name[i]));
        if (i < 4) {
            wanted.first[i] = static_cast<unsigned char>(name[i]);
        }
    }
    return wanted;
}

// Whether the hint of an `lh` or `lf` list element admits the name: names are
// compared only where it does, as Windows does.
bool HintMatches(bool hashed, const unsigned char* hint, const Wanted& wanted) {
    if (hashed) {
        return HiveLe32(hint) == wanted.hash;
    }
    for (size_t i = 0; i < 4; ++i) {
        if (Upper(hint[i]) != Upper(wanted.first[i])) {
            return false;
        }
    }
    return true;
}

// Looks for `name` in the subkey list at `offset`; an `ri` list holds lists.
const char* SearchList(const HiveImage& hive, std::uint32_t offset, const Wanted& name, bool underRi,
                       std::uint32_t* child) {
    Cell list;
    if (!CellAt(hive, offset, &list) || !list.allocated || list.size < 4) {
        return "its subkey list is damaged";
    }
    const std::uint32_t count = Le16(list.data + 2);
    const bool pairs = memcmp(list.data, "lf", 2) == 0 || memcmp(list.data, "lh", 2) == 0;
    const bool single = memcmp(list.data, "li", 2) == 0;
    const bool indirect = !underRi && memcmp(list.data, "ri", 2) == 0;
    const std::uint32_t stride = pairs ? 8 : 4;
    if ((!pairs && !single && !indirect) || (list.size - 4) / stride < count) {
        return "its subkey list is damaged";
    }
    for (std::uint32_t i = 0; i < count && *child == HiveNoCell; ++i) {
        const std::uint32_t element = HiveLe32(list.data + 4 + size_t{stride} * i);
        if (indirect) {
            const char* reason = SearchList(hive, element, name, true, child);
            if (reason != nullptr) {
                return reason;
            }
            continue;
        }
        if (!Spend(hive, 1)) {
            return "its subkey lists are longer than any hive's";
        }
        if (pairs && !HintMatches(list.data[1] == 'h', list.data + 8 + size_t{stride} * i, name)) {
            continue;
        }
        const char* reason = nullptr;
        if (KeyNamed(hive, element, name.name, &reason)) {
            *child = element;
        } else if (reason != nullptr) {
            return reason;
        }
    }
    return nullptr;
}

void MarkChanged(HiveImage* hive, std::uint32_t offset, std::uint32_t size) {
    for (std::uint32_t page = offset / Page * Page; page < offset + size; page += Page) {
        bool known = false;
        for (std::uint32_t changed : hive->changedPages) {
            known = known || changed == page;
        }
        if (!known) {
            hive->changedPages.push_back(page);
        }
    }
}

// Where a value's data cell is, or HiveNoCell for data in the record.
std::uint32_t DataCell(const unsigned char* record) {
    const std::uint32_t size = HiveLe32(record + 4);
    return (size & InlineData) != 0 || size == 0 ? HiveNoCell : HiveLe32(record + 8);
}

// Takes `need` bytes (a multiple of 8, the size included) from the bin this
// run added, adding it at the hive's end first. HiveNoCell when there is no
// room, or the hive would grow past HiveMaxBinsDataSize.
std::uint32_t Allocate(HiveImage* hive, std::uint32_t need) {
    if (hive->addedBin != HiveNoCell) {
        const std::uint32_t end = hive->addedBin + HiveLe32(At(*hive, hive->addedBin) + 8);
        if (end - hive->addedFree >= need) {
            const std::uint32_t cell = hive->addedFree;
            const std::uint32_t rest = end - cell - need;
            HivePutLe32(At(*hive, cell), 0u - need);
            if (rest > 0) {
                HivePutLe32(At(*hive, cell + need), rest);
            }
            hive->addedFree = cell + need;
            MarkChanged(hive, cell, need + (rest > 0 ? 4 : 0));
            return cell;
        }
    }
    const std::uint32_t bins = HiveBinsDataSize(*hive);
    const std::uint32_t binSize = (BinHeaderSize + need + Page - 1) / Page * Page;
    if (bins % Page != 0 || bins > HiveMaxBinsDataSize - binSize ||
        hive->capacity - HiveBaseBlockSize - bins < binSize) {
        return HiveNoCell;
    }
    unsigned char* bin = At(*hive, bins);
    memset(bin, 0, binSize);
    constexpr unsigned char Signature[] = {'h', 'b', 'i', 'n'};
    memcpy(bin, Signature, sizeof Signature);
    HivePutLe32(bin + 4, bins);
    HivePutLe32(bin + 8, binSize);
    memcpy(bin + 20, hive->bytes + 12, 8); // the hive's last written time
    HivePutLe32(bin + BinHeaderSize, binSize - BinHeaderSize);
    HivePutLe32(hive->bytes + 40, bins + binSize);
    MarkChanged(hive, bins, binSize);
    hive->knownBins.emplace(bins, bins + binSize);
    hive->addedBin = bins;
    hive->addedFree = bins + BinHeaderSize;
    return Allocate(hive, need);
}

} // namespace

std::uint32_t HiveBinsDataSize(const HiveImage& hive) {
    const std::uint32_t bins = HiveLe32(hive.bytes + 40);
    return hive.capacity < HiveBaseBlockSize || bins > hive.capacity - HiveBaseBlockSize ? 0 : bins;
}

std::uint32_t HiveRootKey(const HiveImage& hive) {
    hive.budget = LookupBudget;
    hive.damagedBin = HiveNoCell;
    Cell root;
    const std::uint32_t offset = HiveLe32(hive.bytes + 36);
    return RecordAt(hive, offset, "nk", 76, &root) ? offset : HiveNoCell;
}

const char* FindHiveSubkey(const HiveImage& hive, std::uint32_t key, const char* name, std::uint32_t* child) {
    *child = HiveNoCell;
    hive.budget = LookupBudget;
    hive.damagedBin = HiveNoCell;
    Cell node;
    if (!RecordAt(hive, key, "nk", 76, &node)) {
        return "its key node is damaged";
    }
    const std::uint32_t list = HiveLe32(node.data + 28);
    return HiveLe32(node.data + 20) == 0 || list == HiveNoCell
               ? nullptr
               : SearchList(hive, list, Looking(name), false, child);
}

const char* FindHiveValue(const HiveImage& hive, std::uint32_t key, const char* name, bool unique,
                          HiveValue* value) {
    *value = HiveValue{};
    hive.budget = LookupBudget;
    hive.damagedBin = HiveNoCell;
    Cell node;
    if (!RecordAt(hive, key, "nk", 76, &node)) {
        return "its key node is damaged";
    }
    const std::uint32_t count = HiveLe32(node.data + 36);
    Cell list;
    if (count == 0) {
        return nullptr;
    }
    if (!CellAt(hive, HiveLe32(node.data + 40), &list) || !list.allocated || list.size / 4 < count) {
        return "its value list is damaged";
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t offset = HiveLe32(list.data + 4 * size_t{i});
        Cell record;
        if (!RecordAt(hive, offset, "vk", 20, &record) || record.size - 20 < Le16(record.data + 2)) {
            return "its value list points at something that is no value";
        }
        const bool compressed = (Le16(record.data + 16) & 1) != 0;
        if (!SameName(record.data + 20, Le16(record.data + 2), compressed, name)) {
            continue;
        }
        if (value->record != HiveNoCell) {
            if (unique) {
                return "it holds two values whose names differ only in letter case";
            }
            continue;
        }
        *value = {offset, HiveLe32(record.data + 12), nullptr, 0};
        const std::uint32_t size = HiveLe32(record.data + 4);
        const std::uint32_t cell = DataCell(record.data);
        Cell data;
        if ((size & InlineData) != 0) {
            value->size = size & ~InlineData;
            value->data = record.data + 8;
            if (value->size > 4) {
                return "the value's data size is damaged";
            }
        } else if (size != 0 && (cell == offset || !CellAt(hive, cell, &data) || !data.allocated)) {
            return "the value's data points outside the hive, at the value itself, or at a free cell";
        } else if (size != 0) {
            value->size = size;
            const bool segmented = size > LargestSingleCell && HiveLe32(hive.bytes + 24) >= 4;
            if (!segmented && size > data.size) {
                return "the value's data runs past its cell";
            }
            value->data = segmented ? nullptr : data.data;
        }
    }
    return nullptr;
}

const char* SetHiveValue(HiveImage* hive, std::uint32_t key, const HiveValue& value, std::uint32_t type,
                         const unsigned char* data, std::uint32_t size) {
    hive->budget = LookupBudget;
    hive->damagedBin = HiveNoCell;
    Cell node;
    Cell record;
    Cell list;
    if (!RecordAt(*hive, key, "nk", 76, &node) || !RecordAt(*hive, value.record, "vk", 20, &record) ||
        !CellAt(*hive, HiveLe32(node.data + 40), &list)) {
        return "its key node or the value's record is damaged";
    }
    std::uint32_t cell = DataCell(record.data);
    Cell old;
    bool reuse = cell != HiveNoCell && CellAt(*hive, cell, &old) && old.allocated && old.size >= size;
    // A cell another value of the key also points to is never written over.
    const std::uint32_t count = HiveLe32(node.data + 36);
    for (std::uint32_t i = 0; reuse && i < count && i < list.size / 4; ++i) {
        const std::uint32_t other = HiveLe32(list.data + 4 * size_t{i});
        Cell neighbour;
        reuse = other == value.record || !RecordAt(*hive, other, "vk", 20, &neighbour) ||
                DataCell(neighbour.data) != cell;
    }
    unsigned char* recordBytes = record.data;
    // Data that fits in the record goes there only when the value has no
    // cell of its own: an abandoned cell could never be freed, and a name
    // alternating between short and long would grow the hive at every rename.
    if (size <= 4 && !reuse) {
        HivePutLe32(recordBytes + 4, size | InlineData);
        HivePutLe32(recordBytes + 8, 0);
        memcpy(recordBytes + 8, data, size);
    } else {
        if (!reuse) {
            cell = Allocate(hive, (4 + std::max(size, HiveRoomyData) + 7) / 8 * 8);
            if (cell == HiveNoCell) {
                return "the rename needs a new bin, and the hive has no room for one within 256 MiB of bins";
            }
        }
        memcpy(At(*hive, cell) + 4, data, size);
        MarkChanged(hive, cell, 4 + size);
        HivePutLe32(recordBytes + 4, size);
        HivePutLe32(recordBytes + 8, cell);
    }
    HivePutLe32(recordBytes + 12, type);
    MarkChanged(hive, value.record, 24);
    // Cell pointers stay valid: allocation never moves a cell.
    if (HiveLe32(node.data + 64) < size) {
        HivePutLe32(node.data + 64, size);
        MarkChanged(hive, key, 4 + 68);
    }
    return nullptr;
}
