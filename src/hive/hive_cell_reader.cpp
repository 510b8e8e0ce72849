// Key nodes (nk), subkey lists (lf, lh, li, and ri above them), value lists
// and value records (vk) as the hive stores them; see hive_cell_reader.h.
#include "hive_cell_reader.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

using Cell = HiveCell;

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

// The whole size of the cell at `offset` (allocated when stored negative),
// if it is a whole number of cells that ends by `end`; else 0.
std::uint32_t SizeOfCell(const HiveImage& hive, std::uint32_t offset, std::uint32_t end, bool* allocated) {
    if (end - offset < CellField::Alignment) {
        return 0;
    }
    const auto raw = static_cast<std::int32_t>(HiveLe32(At(hive, offset) + CellField::Size));
    const std::uint32_t size =
        raw < 0 ? 0u - static_cast<std::uint32_t>(raw) : static_cast<std::uint32_t>(raw);
    *allocated = raw < 0;
    return size < CellField::Alignment || size % CellField::Alignment != 0 || size > end - offset ? 0 : size;
}

// Whether the cells of the bin from `start` to `end` follow one another by
// their sizes from its header to its end, as Windows' load requires: a bin
// whose size claims a following bin's pages fails here, on that bin's header.
bool CellsFill(const HiveImage& hive, std::uint32_t start, std::uint32_t end) {
    for (std::uint32_t cell = start + BinField::HeaderSize; cell != end;) {
        bool allocated = false;
        const std::uint32_t size = Spend(hive, 1) ? SizeOfCell(hive, cell, end, &allocated) : 0;
        if (size == 0) {
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
    for (std::uint32_t page = offset / HivePageSize * HivePageSize;; page -= HivePageSize) {
        if (!Spend(hive, 1)) {
            return false;
        }
        const unsigned char* header = At(hive, page);
        const std::uint32_t size = HiveLe32(header + BinField::Size);
        if (memcmp(header + BinField::Signature, "hbin", 4) == 0 &&
            HiveLe32(header + BinField::Offset) == page) {
            if (size < HivePageSize || size % HivePageSize != 0 || size > bins - page ||
                page + size <= offset || !CellsFill(hive, page, page + size)) {
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
    if (offset % CellField::Alignment != 0 || !BinOf(hive, offset, &start, &end) ||
        offset < start + BinField::HeaderSize) {
        return false;
    }
    bool allocated = false;
    const std::uint32_t size = SizeOfCell(hive, offset, end, &allocated);
    if (size == 0) {
        return false;
    }
    *cell = {At(hive, offset) + CellField::Data, size - CellField::Data, allocated};
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
    if (size != (compressed ? length : sizeof(std::uint16_t) * length)) {
        return false;
    }
    for (size_t i = 0; i < length; ++i) {
        const unsigned unit = compressed ? stored[i] : HiveLe16(stored + sizeof(std::uint16_t) * i);
        const auto want = static_cast<unsigned char>(name[i]);
        if (unit > 0x7F || Upper(static_cast<unsigned char>(unit)) != Upper(want)) {
            return false;
        }
    }
    return true;
}

// Whether the key node at `offset` is named `name`; false and a reason when
// it is no key node.
bool KeyNamed(const HiveImage& hive, std::uint32_t offset, const char* name, HiveFault* reason) {
    Cell key;
    if (!RecordAt(hive, offset, "nk", KeyNodeField::Name, &key) ||
        key.size - KeyNodeField::Name < HiveLe16(key.data + KeyNodeField::NameLength)) {
        *reason = HiveFault::SubkeyNotKey;
        return false;
    }
    return SameName(key.data + KeyNodeField::Name, HiveLe16(key.data + KeyNodeField::NameLength),
                    (HiveLe16(key.data + KeyNodeField::Flags) & KeyNodeField::LatinName) != 0, name);
}

// A name looked for, with what the hints of `lh` and `lf` lists hold for it:
// the hash of its upper-cased characters, and its first four (zero-padded).
struct Wanted {
    const char* name;
    std::uint32_t hash = 0;
    unsigned char first[SubkeyListField::HintSize] = {};
};

Wanted Looking(const char* name) {
    Wanted wanted{name};
    for (size_t i = 0; name[i] != '\0'; ++i) {
        wanted.hash = wanted.hash * 37 + Upper(static_cast<unsigned char>(name[i]));
        if (i < SubkeyListField::HintSize) {
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
    for (size_t i = 0; i < SubkeyListField::HintSize; ++i) {
        if (Upper(hint[i]) != Upper(wanted.first[i])) {
            return false;
        }
    }
    return true;
}

// Looks for `name` in the subkey list at `offset`; an `ri` list holds lists.
HiveFault SearchList(const HiveImage& hive, std::uint32_t offset, const Wanted& name, bool underRi,
                     std::uint32_t* child) {
    Cell list;
    if (!CellAt(hive, offset, &list) || !list.allocated || list.size < SubkeyListField::Elements) {
        return HiveFault::SubkeyListDamaged;
    }
    const std::uint32_t count = HiveLe16(list.data + SubkeyListField::Count);
    const bool pairs = memcmp(list.data + SubkeyListField::Signature, "lf", 2) == 0 ||
                       memcmp(list.data + SubkeyListField::Signature, "lh", 2) == 0;
    const bool single = memcmp(list.data + SubkeyListField::Signature, "li", 2) == 0;
    const bool indirect = !underRi && memcmp(list.data + SubkeyListField::Signature, "ri", 2) == 0;
    const std::uint32_t stride = pairs ? SubkeyListField::HintedElement : SubkeyListField::PlainElement;
    if ((!pairs && !single && !indirect) || (list.size - SubkeyListField::Elements) / stride < count) {
        return HiveFault::SubkeyListDamaged;
    }
    for (std::uint32_t i = 0; i < count && *child == HiveNoCell; ++i) {
        const std::uint32_t element = HiveLe32(list.data + SubkeyListField::Elements + size_t{stride} * i);
        if (indirect) {
            const HiveFault reason = SearchList(hive, element, name, true, child);
            if (reason != HiveFault::None) {
                return reason;
            }
            continue;
        }
        if (!Spend(hive, 1)) {
            return HiveFault::SubkeyListsTooLong;
        }
        if (pairs &&
            !HintMatches(list.data[SubkeyListField::Signature + 1] == 'h',
                         list.data + SubkeyListField::Elements + size_t{stride} * i + SubkeyListField::Hint,
                         name)) {
            continue;
        }
        HiveFault reason = HiveFault::None;
        if (KeyNamed(hive, element, name.name, &reason)) {
            *child = element;
        } else if (reason != HiveFault::None) {
            return reason;
        }
    }
    return HiveFault::None;
}

} // namespace

std::uint32_t HiveBinsDataSize(const HiveImage& hive) {
    const std::uint32_t bins = HiveLe32(hive.bytes + BaseBlockField::BinsDataSize);
    return hive.capacity < HiveBaseBlockSize || bins > hive.capacity - HiveBaseBlockSize ? 0 : bins;
}

std::uint32_t HiveRootKey(const HiveImage& hive) {
    HiveStartLookup(hive);
    Cell root;
    const std::uint32_t offset = HiveLe32(hive.bytes + BaseBlockField::RootCell);
    return RecordAt(hive, offset, "nk", KeyNodeField::Name, &root) ? offset : HiveNoCell;
}

HiveFault FindHiveSubkey(const HiveImage& hive, std::uint32_t key, const char* name, std::uint32_t* child) {
    *child = HiveNoCell;
    HiveStartLookup(hive);
    Cell node;
    if (!RecordAt(hive, key, "nk", KeyNodeField::Name, &node)) {
        return HiveFault::KeyNodeDamaged;
    }
    const std::uint32_t list = HiveLe32(node.data + KeyNodeField::SubkeyList);
    return HiveLe32(node.data + KeyNodeField::SubkeyCount) == 0 || list == HiveNoCell
               ? HiveFault::None
               : SearchList(hive, list, Looking(name), false, child);
}

HiveFault FindHiveValue(const HiveImage& hive, std::uint32_t key, const char* name, bool unique,
                        HiveValue* value) {
    *value = HiveValue{};
    HiveStartLookup(hive);
    Cell node;
    if (!RecordAt(hive, key, "nk", KeyNodeField::Name, &node)) {
        return HiveFault::KeyNodeDamaged;
    }
    const std::uint32_t count = HiveLe32(node.data + KeyNodeField::ValueCount);
    Cell list;
    if (count == 0) {
        return HiveFault::None;
    }
    if (!CellAt(hive, HiveLe32(node.data + KeyNodeField::ValueList), &list) || !list.allocated ||
        list.size / sizeof(std::uint32_t) < count) {
        return HiveFault::ValueListDamaged;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t offset = HiveLe32(list.data + sizeof(std::uint32_t) * i);
        Cell record;
        if (!RecordAt(hive, offset, "vk", ValueRecordField::Name, &record) ||
            record.size - ValueRecordField::Name < HiveLe16(record.data + ValueRecordField::NameLength)) {
            return HiveFault::ValueListNotValue;
        }
        const bool compressed =
            (HiveLe16(record.data + ValueRecordField::Flags) & ValueRecordField::LatinName) != 0;
        if (!SameName(record.data + ValueRecordField::Name,
                      HiveLe16(record.data + ValueRecordField::NameLength), compressed, name)) {
            continue;
        }
        if (value->record != HiveNoCell) {
            if (unique) {
                return HiveFault::ValuesAlike;
            }
            continue;
        }
        *value = {offset, HiveLe32(record.data + ValueRecordField::Type), nullptr, 0};
        const std::uint32_t size = HiveLe32(record.data + ValueRecordField::DataSize);
        const std::uint32_t cell = HiveDataCell(record.data);
        Cell data;
        if ((size & ValueRecordField::DataInRecord) != 0) {
            value->size = size & ~ValueRecordField::DataInRecord;
            value->data = record.data + ValueRecordField::Data;
            if (value->size > ValueRecordField::InRecordMax) {
                return HiveFault::DataSizeDamaged;
            }
        } else if (size != 0 && (cell == offset || !CellAt(hive, cell, &data) || !data.allocated)) {
            return HiveFault::DataOutside;
        } else if (size != 0) {
            value->size = size;
            const bool segmented = size > HiveLargestSingleCell &&
                                   HiveLe32(hive.bytes + BaseBlockField::Minor) >= HiveFirstSegmentedMinor;
            if (!segmented && size > data.size) {
                return HiveFault::DataPastCell;
            }
            value->data = segmented ? nullptr : data.data;
        }
    }
    return HiveFault::None;
}

void HiveStartLookup(const HiveImage& hive) {
    hive.budget = LookupBudget;
    hive.damagedBin = HiveNoCell;
}

unsigned char* HiveAt(const HiveImage& hive, std::uint32_t offset) {
    return At(hive, offset);
}

bool HiveCellAt(const HiveImage& hive, std::uint32_t offset, HiveCell* cell) {
    return CellAt(hive, offset, cell);
}

bool HiveRecordAt(const HiveImage& hive, std::uint32_t offset, const char* signature, std::uint32_t least,
                  HiveCell* cell) {
    return RecordAt(hive, offset, signature, least, cell);
}

bool HiveBinOf(const HiveImage& hive, std::uint32_t offset, std::uint32_t* start, std::uint32_t* end) {
    return BinOf(hive, offset, start, end);
}

std::uint32_t HiveDataCell(const unsigned char* record) {
    const std::uint32_t size = HiveLe32(record + ValueRecordField::DataSize);
    return (size & ValueRecordField::DataInRecord) != 0 || size == 0
               ? HiveNoCell
               : HiveLe32(record + ValueRecordField::Data);
}
