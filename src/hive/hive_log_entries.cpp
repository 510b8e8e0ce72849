// New-format log entries over bytes, and what the file layers ask of a log:
// how much of it a replay can use, its highest number, an entry's number;
// see hive_log_entries.h and hive_replay.h.
#include "hive_log_entries.h"

#include <algorithm>
#include <cstring>

bool HiveSequenceAfter(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a - b) > 0;
}

HiveLogHeader ReadHiveLogHeader(const HiveLogBytes& log) {
    HiveLogHeader header;
    if (log.size < HiveLogHeaderSize || memcmp(log.bytes, "regf", 4) != 0 || !HasValidChecksum(log.bytes) ||
        HiveLe32(log.bytes + BaseBlockField::PrimarySequence) !=
            HiveLe32(log.bytes + BaseBlockField::SecondarySequence)) {
        return header;
    }
    header.type = HiveLe32(log.bytes + BaseBlockField::FileType);
    header.usable = HasKnownVersion(log.bytes, header.type) &&
                    (header.type == HiveNewFormatLog || header.type == HiveOldFormatLog);
    header.sequence = HiveLe32(log.bytes + BaseBlockField::PrimarySequence);
    return header;
}

bool HiveLogEntryAt(const HiveLogBytes& log, size_t offset, std::uint32_t maxBinsDataSize,
                    std::uint64_t* budget, HiveLogEntry* entry) {
    if (offset > log.size || log.size - offset < LogEntryField::HeaderSize) {
        return false;
    }
    const unsigned char* bytes = log.bytes + offset;
    const std::uint32_t size = HiveLe32(bytes + LogEntryField::Size);
    const std::uint32_t binsDataSize = HiveLe32(bytes + LogEntryField::BinsDataSize);
    const std::uint64_t pages = HiveLe32(bytes + LogEntryField::PageCount);
    if (memcmp(bytes, "HvLE", 4) != 0 || size < HiveLogUnit || size % HiveLogUnit != 0 ||
        size > log.size - offset || binsDataSize < HivePageSize || binsDataSize % HivePageSize != 0 ||
        binsDataSize > maxBinsDataSize || pages == 0 ||
        LogEntryField::HeaderSize + LogEntryField::Reference * pages > size ||
        Marvin32(bytes, LogEntryField::HeaderHash) != HiveLe64(bytes + LogEntryField::HeaderHash)) {
        return false;
    }
    if (*budget < size) {
        *budget = 0;
        return false;
    }
    *budget -= size;
    std::uint64_t data = LogEntryField::HeaderSize + LogEntryField::Reference * pages;
    for (std::uint64_t i = 0; i < pages; ++i) {
        const std::uint64_t pageOffset =
            HiveLe32(bytes + LogEntryField::HeaderSize + LogEntryField::Reference * i +
                     LogEntryField::ReferenceOffset);
        const std::uint64_t pageSize = HiveLe32(bytes + LogEntryField::HeaderSize +
                                                LogEntryField::Reference * i + LogEntryField::ReferenceSize);
        if (pageSize == 0 || pageOffset % HiveLogUnit != 0 || pageSize % HiveLogUnit != 0 ||
            pageOffset + pageSize > binsDataSize || data + pageSize > size) {
            return false;
        }
        data += pageSize;
    }
    if (Marvin32(bytes + LogEntryField::HeaderSize, size - LogEntryField::HeaderSize) !=
        HiveLe64(bytes + LogEntryField::DataHash)) {
        return false;
    }
    *entry = {offset, size, HiveLe32(bytes + LogEntryField::Flags), HiveLe32(bytes + LogEntryField::Sequence),
              binsDataSize};
    return true;
}

bool ValidHiveLogEntries(const HiveLogBytes& log, std::uint32_t maxBinsDataSize,
                         std::vector<HiveLogEntry>* entries) {
    std::uint64_t budget = 4 * std::uint64_t{log.size} + (1u << 20);
    for (size_t offset = HiveLogHeaderSize; offset < log.size && budget > 0;) {
        HiveLogEntry entry;
        if (HiveLogEntryAt(log, offset, maxBinsDataSize, &budget, &entry)) {
            entries->push_back(entry);
            offset += entry.size;
        } else {
            offset += HiveLogUnit;
        }
    }
    return budget > 0;
}

size_t HiveChainLength(const std::vector<HiveLogEntry>& entries, std::uint32_t sequence) {
    size_t offset = HiveLogHeaderSize;
    size_t count = 0;
    while (count < entries.size() && entries[count].offset == offset && entries[count].sequence == sequence) {
        offset += entries[count].size;
        ++sequence;
        ++count;
    }
    return count;
}

bool HighestLogSequence(const HiveLogBytes* logs, size_t count, std::uint32_t maxBinsDataSize,
                        std::uint32_t floor, std::uint32_t* sequence) {
    *sequence = floor;
    for (size_t i = 0; i < count; ++i) {
        const HiveLogHeader header = ReadHiveLogHeader(logs[i]);
        std::vector<HiveLogEntry> entries;
        if (!ValidHiveLogEntries(logs[i], maxBinsDataSize, &entries)) {
            return false;
        }
        if (header.usable && HiveSequenceAfter(header.sequence, *sequence)) {
            *sequence = header.sequence;
        }
        for (const HiveLogEntry& entry : entries) {
            *sequence = HiveSequenceAfter(entry.sequence, *sequence) ? entry.sequence : *sequence;
        }
    }
    return true;
}

size_t HiveLogUsefulLength(const unsigned char* log, size_t have, size_t size, std::uint32_t maxBinsDataSize,
                           size_t* cursor) {
    if (have < HiveLogHeaderSize) {
        return std::min<size_t>(size, HiveLogHeaderSize);
    }
    const HiveLogHeader header = ReadHiveLogHeader({log, have});
    if (!header.usable) {
        return HiveLogHeaderSize;
    }
    if (header.type == HiveOldFormatLog) {
        const std::uint32_t binsDataSize = HiveLe32(log + BaseBlockField::BinsDataSize);
        if (binsDataSize > maxBinsDataSize) {
            return HiveLogHeaderSize;
        }
        const size_t bitmapEnd = DirtyLogField::Bitmap + size_t{binsDataSize} / HiveLogUnit / 8;
        if (have < bitmapEnd) {
            return std::min(size, bitmapEnd);
        }
        size_t dirty = 0;
        for (size_t i = DirtyLogField::Bitmap; i < bitmapEnd; ++i) {
            dirty += static_cast<size_t>(__builtin_popcount(log[i]));
        }
        return std::min(size,
                        (bitmapEnd + HiveLogUnit - 1) / HiveLogUnit * HiveLogUnit + dirty * HiveLogUnit);
    }
    // New format: entry by entry, each read whole before it is checked.
    size_t offset = std::max<size_t>(*cursor, HiveLogHeaderSize);
    for (;;) {
        if (size - offset < LogEntryField::HeaderSize) {
            return offset;
        }
        if (have < offset + LogEntryField::HeaderSize) {
            return offset + LogEntryField::HeaderSize;
        }
        const std::uint32_t entrySize = HiveLe32(log + offset + LogEntryField::Size);
        if (memcmp(log + offset, "HvLE", 4) != 0 || entrySize < HiveLogUnit || entrySize > size - offset) {
            return offset;
        }
        if (have < offset + entrySize) {
            return offset + entrySize;
        }
        std::uint64_t budget = entrySize;
        HiveLogEntry entry;
        if (!HiveLogEntryAt({log, have}, offset, maxBinsDataSize, &budget, &entry)) {
            return offset;
        }
        offset += entry.size;
        *cursor = offset;
    }
}

bool HiveLogEntrySequence(const unsigned char* bytes, size_t size, std::uint32_t maxBinsDataSize,
                          std::uint32_t* sequence) {
    std::uint64_t budget = size;
    HiveLogEntry entry;
    if (!HiveLogEntryAt({bytes, size}, 0, maxBinsDataSize, &budget, &entry)) {
        return false;
    }
    *sequence = entry.sequence;
    return true;
}
