// Log replay over bytes. New-format logs (the board's own) hold entries of
// whole pages chained by sequence numbers and guarded by two hashes; old-format
// logs (Vista to 8) hold one bitmap of dirty 512-byte pages and the pages.
#include "hive_replay.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t PageUnit = 512;
constexpr std::uint32_t BinUnit = 4096;
constexpr size_t EntryHeaderSize = 40;

// Base block fields.
constexpr size_t PrimarySequence = 4;
constexpr size_t SecondarySequence = 8;
constexpr size_t Timestamp = 12;
constexpr size_t FileType = 28;
constexpr size_t RootCell = 36;
constexpr size_t BinsDataSize = 40;
constexpr size_t Flags = 144;
constexpr size_t Checksum = 508;
constexpr std::uint32_t NewFormatLog = 6;
constexpr std::uint32_t OldFormatLog = 1;

std::uint64_t Le64(const unsigned char* bytes) {
    return HiveLe32(bytes) | static_cast<std::uint64_t>(HiveLe32(bytes + 4)) << 32;
}

std::uint32_t Rotl(std::uint32_t value, int bits) {
    return value << bits | value >> (32 - bits);
}

// Sequence numbers wrap: `a` comes after `b` when it is less than 2^31 ahead.
bool After(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) > 0;
}

struct LogHeader {
    bool usable = false;
    std::uint32_t type = 0;
    std::uint32_t sequence = 0;
};

LogHeader ReadLogHeader(const HiveLogBytes& log) {
    LogHeader header;
    if (log.size < HiveLogHeaderSize || memcmp(log.bytes, "regf", 4) != 0 || !HasValidChecksum(log.bytes) ||
        HiveLe32(log.bytes + PrimarySequence) != HiveLe32(log.bytes + SecondarySequence)) {
        return header;
    }
    header.type = HiveLe32(log.bytes + FileType);
    header.usable = HasKnownVersion(log.bytes, header.type) &&
                    (header.type == NewFormatLog || header.type == OldFormatLog);
    header.sequence = HiveLe32(log.bytes + PrimarySequence);
    return header;
}

struct Entry {
    size_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t flags = 0;
    std::uint32_t sequence = 0;
    std::uint32_t binsDataSize = 0;
};

// The new-format entry at `offset`, if every rule holds: signature, size,
// bins data size, page count, every page inside the bins and the entry, and
// both hashes. Reading the page list and the pages is charged to `budget`:
// a log of overlapping entry headers must not cost quadratic time.
bool EntryAt(const HiveLogBytes& log, size_t offset, std::uint32_t maxBinsDataSize, std::uint64_t* budget,
             Entry* entry) {
    if (offset > log.size || log.size - offset < EntryHeaderSize) {
        return false;
    }
    const unsigned char* bytes = log.bytes + offset;
    const std::uint32_t size = HiveLe32(bytes + 4);
    const std::uint32_t binsDataSize = HiveLe32(bytes + 16);
    const std::uint64_t pages = HiveLe32(bytes + 20);
    if (memcmp(bytes, "HvLE", 4) != 0 || size < PageUnit || size % PageUnit != 0 ||
        size > log.size - offset || binsDataSize < BinUnit || binsDataSize % BinUnit != 0 ||
        binsDataSize > maxBinsDataSize || pages == 0 || EntryHeaderSize + 8 * pages > size ||
        Marvin32(bytes, 32) != Le64(bytes + 32)) {
        return false;
    }
    if (*budget < size) {
        *budget = 0;
        return false;
    }
    *budget -= size;
    std::uint64_t data = EntryHeaderSize + 8 * pages;
    for (std::uint64_t i = 0; i < pages; ++i) {
        const std::uint64_t pageOffset = HiveLe32(bytes + EntryHeaderSize + 8 * i);
        const std::uint64_t pageSize = HiveLe32(bytes + EntryHeaderSize + 8 * i + 4);
        if (pageSize == 0 || pageOffset % PageUnit != 0 || pageSize % PageUnit != 0 ||
            pageOffset + pageSize > binsDataSize || data + pageSize > size) {
            return false;
        }
        data += pageSize;
    }
    if (Marvin32(bytes + EntryHeaderSize, size - EntryHeaderSize) != Le64(bytes + 24)) {
        return false;
    }
    *entry = {offset, size, HiveLe32(bytes + 8), HiveLe32(bytes + 12), binsDataSize};
    return true;
}

// Every entry with valid hashes, in the order they lie in the log: what
// follows a valid entry is looked for right after it, what follows anything
// else at the next 512-byte boundary. False when the log is so contrived that
// checking it would cost more than reading it a few times over: Windows never
// writes such a log.
bool ValidEntries(const HiveLogBytes& log, std::uint32_t maxBinsDataSize, std::vector<Entry>* entries) {
    std::uint64_t budget = 4 * std::uint64_t{log.size} + (1u << 20);
    for (size_t offset = HiveLogHeaderSize; offset < log.size && budget > 0;) {
        Entry entry;
        if (EntryAt(log, offset, maxBinsDataSize, &budget, &entry)) {
            entries->push_back(entry);
            offset += entry.size;
        } else {
            offset += PageUnit;
        }
    }
    return budget > 0;
}

// How many of `entries` Windows applies: those from offset 512 on, back to
// back, numbered from the log's base block's sequence number on.
size_t ChainLength(const std::vector<Entry>& entries, std::uint32_t sequence) {
    size_t offset = HiveLogHeaderSize;
    size_t count = 0;
    while (count < entries.size() && entries[count].offset == offset && entries[count].sequence == sequence) {
        offset += entries[count].size;
        ++sequence;
        ++count;
    }
    return count;
}

const char* PlanNewFormat(const unsigned char* primary, const HiveLogBytes* logs, const LogHeader* headers,
                          size_t count, std::uint32_t maxBinsDataSize, HiveReplay* replay) {
    std::vector<unsigned> order;
    std::vector<std::vector<Entry>> entries(count);
    for (unsigned i = 0; i < count; ++i) {
        if (!ValidEntries(logs[i], maxBinsDataSize, &entries[i])) {
            return "a log beside it is damaged in a way Windows never writes";
        }
        if (headers[i].usable && headers[i].type == NewFormatLog) {
            order.push_back(i);
        }
    }
    // The lower sequence number holds the earlier entries.
    std::stable_sort(order.begin(), order.end(), [headers](unsigned a, unsigned b) {
        return After(headers[b].sequence, headers[a].sequence);
    });
    const bool primaryValid = HasValidChecksum(primary);
    size_t first = order.size();
    if (!primaryValid) {
        // A torn base block: the log with the latest entries, alone.
        first = order.empty() ? 0 : order.size() - 1;
    } else {
        const std::uint32_t secondary = HiveLe32(primary + SecondarySequence);
        for (size_t i = 0; i < order.size() && first == order.size(); ++i) {
            if (!After(secondary, headers[order[i]].sequence)) {
                first = i;
            }
        }
    }
    const Entry* last = nullptr;
    replay->largestBinsDataSize = primaryValid ? HiveLe32(primary + BinsDataSize) : 0;
    for (size_t i = first; i < order.size(); ++i) {
        const unsigned log = order[i];
        if (i != first && (last == nullptr || headers[log].sequence != last->sequence + 1)) {
            break;
        }
        const size_t chain = ChainLength(entries[log], headers[log].sequence);
        for (size_t e = 0; e < chain; ++e) {
            last = &entries[log][e];
            replay->entries.emplace_back(log, last->offset);
            replay->largestBinsDataSize = std::max(replay->largestBinsDataSize, last->binsDataSize);
        }
        replay->logsApplied |= chain > 0 ? 1u << log : 0;
        if (!primaryValid) {
            break;
        }
    }
    if (last == nullptr) {
        return "its logs hold no change that applies to it";
    }
    replay->binsDataSize = last->binsDataSize;
    replay->changes = static_cast<unsigned>(replay->entries.size());
    replay->sequence = last->sequence;
    for (const std::vector<Entry>& inLog : entries) {
        for (const Entry& entry : inLog) {
            replay->sequence = After(entry.sequence, replay->sequence) ? entry.sequence : replay->sequence;
        }
    }
    return nullptr;
}

// An old-format log's dirty-page bitmap: where it is, and where its pages begin.
struct Bitmap {
    const unsigned char* bits = nullptr;
    std::uint32_t pageCount = 0;
    size_t pagesAt = 0;
    std::uint32_t dirty = 0;
};

bool ReadBitmap(const HiveLogBytes& log, Bitmap* bitmap) {
    const std::uint32_t binsDataSize = HiveLe32(log.bytes + BinsDataSize);
    if (binsDataSize < BinUnit || binsDataSize % BinUnit != 0) {
        return false;
    }
    bitmap->pageCount = binsDataSize / PageUnit;
    const size_t bytes = bitmap->pageCount / 8;
    const size_t start = HiveLogHeaderSize + 4;
    if (log.size < start + bytes || memcmp(log.bytes + HiveLogHeaderSize, "DIRT", 4) != 0) {
        return false;
    }
    bitmap->bits = log.bytes + start;
    bitmap->pagesAt = (start + bytes + PageUnit - 1) / PageUnit * PageUnit;
    for (size_t i = 0; i < bytes; ++i) {
        bitmap->dirty += static_cast<std::uint32_t>(__builtin_popcount(bitmap->bits[i]));
    }
    // A log cut short was never finished, and the primary not yet written.
    return bitmap->dirty > 0 && bitmap->pagesAt <= log.size &&
           (log.size - bitmap->pagesAt) / PageUnit >= bitmap->dirty;
}

const char* PlanOldFormat(const unsigned char* primary, size_t size, const HiveLogBytes* logs,
                          const LogHeader* headers, size_t count, std::uint32_t maxBinsDataSize,
                          HiveReplay* replay) {
    // Without a valid base block, the first bin's copy of its timestamp.
    const bool primaryValid = HasValidChecksum(primary);
    if (!primaryValid && size < HiveBaseBlockSize + 28) {
        return "its logs hold no change that applies to it";
    }
    const unsigned char* timestamp = primaryValid ? primary + Timestamp : primary + HiveBaseBlockSize + 20;
    for (unsigned i = 0; i < count; ++i) {
        Bitmap bitmap;
        const HiveLogBytes& log = logs[i];
        if (!headers[i].usable || headers[i].type != OldFormatLog ||
            memcmp(log.bytes + Timestamp, timestamp, 8) != 0 ||
            HiveLe32(log.bytes + BinsDataSize) > maxBinsDataSize || !ReadBitmap(log, &bitmap)) {
            continue;
        }
        replay->oldFormat = true;
        replay->oldFormatLog = i;
        replay->binsDataSize = HiveLe32(log.bytes + BinsDataSize);
        replay->largestBinsDataSize = replay->binsDataSize;
        replay->sequence = headers[i].sequence;
        replay->changes = bitmap.dirty;
        replay->logsApplied = 1u << i;
        return nullptr;
    }
    return "its logs hold no change that applies to it";
}

// The recovered base block: the primary's own, or the log's copy when the
// primary's is torn, with what the replay changed, clean.
void FinishBaseBlock(const HiveReplay& replay, const unsigned char* logBase, std::uint32_t flags,
                     unsigned char* base) {
    if (!HasValidChecksum(base)) {
        memcpy(base, logBase, HiveLogHeaderSize);
        memset(base + HiveLogHeaderSize, 0, HiveBaseBlockSize - HiveLogHeaderSize);
    }
    if (replay.oldFormat) {
        HivePutLe32(base + RootCell, HiveLe32(logBase + RootCell));
    }
    HivePutLe32(base + PrimarySequence, replay.sequence);
    HivePutLe32(base + SecondarySequence, replay.sequence);
    HivePutLe32(base + FileType, 0);
    HivePutLe32(base + BinsDataSize, replay.binsDataSize);
    HivePutLe32(base + Flags, (HiveLe32(base + Flags) & ~1u) | (flags & 1u));
    HiveSetChecksum(base);
}

const char* ApplyOldFormat(HiveReplay* replay, const HiveLogBytes& log, unsigned char* image) {
    Bitmap bitmap;
    ReadBitmap(log, &bitmap);
    const std::uint32_t knownBins =
        HasValidChecksum(image) ? HiveLe32(image + BinsDataSize) : replay->binsDataSize;
    const unsigned char* page = log.bytes + bitmap.pagesAt;
    unsigned applied = 0;
    bool previousDirty = false;
    for (std::uint32_t i = 0; i < bitmap.pageCount; ++i) {
        const bool dirty = (bitmap.bits[i / 8] >> (i % 8) & 1) != 0;
        const std::uint32_t offset = i * PageUnit;
        unsigned char* target = image + HiveBaseBlockSize + offset;
        // A run that begins a bin must begin with that bin's own header.
        const bool beginsBin = dirty && !previousDirty && offset % BinUnit == 0 &&
                               (memcmp(page, "hbin", 4) == 0 || offset >= knownBins ||
                                (memcmp(target, "hbin", 4) == 0 && HiveLe32(target + 4) == offset));
        previousDirty = dirty;
        if (beginsBin) {
            const std::uint32_t binSize = HiveLe32(page + 8);
            if (memcmp(page, "hbin", 4) != 0 || HiveLe32(page + 4) != offset || binSize < BinUnit ||
                binSize % BinUnit != 0 || binSize > replay->binsDataSize - offset) {
                break;
            }
        }
        if (dirty) {
            memcpy(target, page, PageUnit);
            replay->writes.push_back({offset, page, PageUnit});
            page += PageUnit;
            ++applied;
        }
    }
    if (applied == 0) {
        return "its logs hold no change that applies to it";
    }
    replay->changes = applied;
    FinishBaseBlock(*replay, log.bytes, HiveLe32(log.bytes + Flags), image);
    return nullptr;
}

} // namespace

std::uint32_t HiveLe32(const unsigned char* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::uint32_t HiveChecksum(const unsigned char* baseBlock) {
    std::uint32_t sum = 0;
    for (size_t i = 0; i < Checksum; i += 4) {
        sum ^= HiveLe32(baseBlock + i);
    }
    return sum == 0 ? 1 : sum == 0xFFFFFFFF ? 0xFFFFFFFE : sum;
}

void HivePutLe32(unsigned char* bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

void HiveSetChecksum(unsigned char* baseBlock) {
    HivePutLe32(baseBlock + Checksum, HiveChecksum(baseBlock));
}

bool HasValidChecksum(const unsigned char* baseBlock) {
    return HiveChecksum(baseBlock) == HiveLe32(baseBlock + Checksum);
}

bool HasKnownVersion(const unsigned char* baseBlock, std::uint32_t fileType) {
    const std::uint32_t minor = HiveLe32(baseBlock + 24);
    return HiveLe32(baseBlock + 20) == 1 && minor >= 3 && minor <= 6 &&
           HiveLe32(baseBlock + FileType) == fileType && HiveLe32(baseBlock + 32) == 1;
}

bool IsDirtyBaseBlock(const unsigned char* baseBlock) {
    return !HasValidChecksum(baseBlock) ||
           HiveLe32(baseBlock + PrimarySequence) != HiveLe32(baseBlock + SecondarySequence);
}

std::uint64_t Marvin32(const unsigned char* data, size_t size) {
    std::uint32_t lo = 0x7A4E55C5;
    std::uint32_t hi = 0x82EF4D88;
    const auto mix = [&lo, &hi](std::uint32_t word) {
        lo += word;
        hi ^= lo;
        lo = Rotl(lo, 20) + hi;
        hi = Rotl(hi, 9) ^ lo;
        lo = Rotl(lo, 27) + hi;
        hi = Rotl(hi, 19);
    };
    for (; size >= 4; data += 4, size -= 4) {
        mix(HiveLe32(data));
    }
    std::uint32_t tail = 0x80;
    for (size_t i = size; i > 0; --i) {
        tail = tail << 8 | data[i - 1];
    }
    mix(tail);
    mix(0);
    return static_cast<std::uint64_t>(hi) << 32 | lo;
}

const char* PlanHiveReplay(const unsigned char* primary, size_t size, const HiveLogBytes* logs, size_t count,
                           std::uint32_t maxBinsDataSize, HiveReplay* replay) {
    *replay = HiveReplay{};
    if (size < HiveBaseBlockSize || count > 8 * sizeof replay->logsApplied) {
        return "its base block is cut short";
    }
    std::vector<LogHeader> headers(count);
    bool anyBytes = false;
    bool anyNew = false;
    bool anyUsable = false;
    for (size_t i = 0; i < count; ++i) {
        headers[i] = ReadLogHeader(logs[i]);
        anyBytes = anyBytes || logs[i].size > 0;
        anyUsable = anyUsable || headers[i].usable;
        anyNew = anyNew || (headers[i].usable && headers[i].type == NewFormatLog);
    }
    if (!anyBytes) {
        return "its logs are empty";
    }
    if (!anyUsable) {
        return "no log beside it has a valid header";
    }
    const char* reason =
        anyNew ? PlanNewFormat(primary, logs, headers.data(), count, maxBinsDataSize, replay)
               : PlanOldFormat(primary, size, logs, headers.data(), count, maxBinsDataSize, replay);
    if (reason == nullptr && !HasValidChecksum(primary) &&
        replay->largestBinsDataSize < replay->binsDataSize) {
        replay->largestBinsDataSize = replay->binsDataSize;
    }
    return reason;
}

const char* ApplyHiveReplay(HiveReplay* replay, const HiveLogBytes* logs, unsigned char* image, size_t size) {
    if (size != HiveBaseBlockSize + size_t{replay->largestBinsDataSize}) {
        return "its image is not the size the replay needs";
    }
    replay->writes.clear();
    if (replay->oldFormat) {
        return ApplyOldFormat(replay, logs[replay->oldFormatLog], image);
    }
    std::uint32_t flags = 0;
    const unsigned char* logBase = nullptr;
    for (const auto& [log, offset] : replay->entries) {
        // Planned entries were checked whole: signature, sizes, pages, hashes.
        const unsigned char* entry = logs[log].bytes + offset;
        const std::uint32_t pages = HiveLe32(entry + 20);
        const unsigned char* data = entry + EntryHeaderSize + 8 * size_t{pages};
        for (std::uint32_t i = 0; i < pages; ++i) {
            const std::uint32_t pageOffset = HiveLe32(entry + EntryHeaderSize + 8 * size_t{i});
            const std::uint32_t pageSize = HiveLe32(entry + EntryHeaderSize + 8 * size_t{i} + 4);
            memcpy(image + HiveBaseBlockSize + pageOffset, data, pageSize);
            replay->writes.push_back({pageOffset, data, pageSize});
            data += pageSize;
        }
        flags = HiveLe32(entry + 8);
        logBase = logs[log].bytes;
    }
    FinishBaseBlock(*replay, logBase, flags, image);
    return nullptr;
}

bool HighestLogSequence(const HiveLogBytes* logs, size_t count, std::uint32_t maxBinsDataSize,
                        std::uint32_t floor, std::uint32_t* sequence) {
    *sequence = floor;
    for (size_t i = 0; i < count; ++i) {
        const LogHeader header = ReadLogHeader(logs[i]);
        std::vector<Entry> entries;
        if (!ValidEntries(logs[i], maxBinsDataSize, &entries)) {
            return false;
        }
        if (header.usable && After(header.sequence, *sequence)) {
            *sequence = header.sequence;
        }
        for (const Entry& entry : entries) {
            *sequence = After(entry.sequence, *sequence) ? entry.sequence : *sequence;
        }
    }
    return true;
}
