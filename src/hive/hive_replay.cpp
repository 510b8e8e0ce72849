// Log replay over bytes. New-format logs (the board's own) hold entries of
// whole pages chained by sequence numbers and guarded by two hashes; old-format
// logs (Vista to 8) hold one bitmap of dirty 512-byte pages and the pages.
#include "hive_log_entries.h"
#include "hive_replay.h"

#include <algorithm>
#include <cstring>

namespace {

HiveFault PlanNewFormat(const unsigned char* primary, const HiveLogBytes* logs, const HiveLogHeader* headers,
                        size_t count, std::uint32_t maxBinsDataSize, HiveReplay* replay) {
    std::vector<unsigned> order;
    std::vector<std::vector<HiveLogEntry>> entries(count);
    for (unsigned i = 0; i < count; ++i) {
        if (!ValidHiveLogEntries(logs[i], maxBinsDataSize, &entries[i])) {
            return HiveFault::LogDamaged;
        }
        if (headers[i].usable && headers[i].type == HiveNewFormatLog) {
            order.push_back(i);
        }
    }
    // The lower sequence number holds the earlier entries.
    std::stable_sort(order.begin(), order.end(), [headers](unsigned a, unsigned b) {
        return HiveSequenceAfter(headers[b].sequence, headers[a].sequence);
    });
    const bool primaryValid = HasValidChecksum(primary);
    size_t first = order.size();
    if (!primaryValid) {
        // A torn base block: the log with the latest entries, alone.
        first = order.empty() ? 0 : order.size() - 1;
    } else {
        const std::uint32_t secondary = HiveLe32(primary + BaseBlockField::SecondarySequence);
        for (size_t i = 0; i < order.size() && first == order.size(); ++i) {
            if (!HiveSequenceAfter(secondary, headers[order[i]].sequence)) {
                first = i;
            }
        }
    }
    const HiveLogEntry* last = nullptr;
    replay->largestBinsDataSize = primaryValid ? HiveLe32(primary + BaseBlockField::BinsDataSize) : 0;
    for (size_t i = first; i < order.size(); ++i) {
        const unsigned log = order[i];
        if (i != first && (last == nullptr || headers[log].sequence != last->sequence + 1)) {
            break;
        }
        const size_t chain = HiveChainLength(entries[log], headers[log].sequence);
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
        return HiveFault::NoChangeApplies;
    }
    replay->binsDataSize = last->binsDataSize;
    replay->changes = static_cast<unsigned>(replay->entries.size());
    replay->sequence = last->sequence;
    for (const std::vector<HiveLogEntry>& inLog : entries) {
        for (const HiveLogEntry& entry : inLog) {
            replay->sequence =
                HiveSequenceAfter(entry.sequence, replay->sequence) ? entry.sequence : replay->sequence;
        }
    }
    return HiveFault::None;
}

// An old-format log's dirty-page bitmap: where it is, and where its pages begin.
struct Bitmap {
    const unsigned char* bits = nullptr;
    std::uint32_t pageCount = 0;
    size_t pagesAt = 0;
    std::uint32_t dirty = 0;
};

bool ReadBitmap(const HiveLogBytes& log, Bitmap* bitmap) {
    const std::uint32_t binsDataSize = HiveLe32(log.bytes + BaseBlockField::BinsDataSize);
    if (binsDataSize < HivePageSize || binsDataSize % HivePageSize != 0) {
        return false;
    }
    bitmap->pageCount = binsDataSize / HiveLogUnit;
    const size_t bytes = bitmap->pageCount / 8;
    const size_t start = DirtyLogField::Bitmap;
    if (log.size < start + bytes || memcmp(log.bytes + DirtyLogField::Signature, "DIRT", 4) != 0) {
        return false;
    }
    bitmap->bits = log.bytes + start;
    bitmap->pagesAt = (start + bytes + HiveLogUnit - 1) / HiveLogUnit * HiveLogUnit;
    for (size_t i = 0; i < bytes; ++i) {
        bitmap->dirty += static_cast<std::uint32_t>(__builtin_popcount(bitmap->bits[i]));
    }
    // A log cut short was never finished, and the primary not yet written.
    return bitmap->dirty > 0 && bitmap->pagesAt <= log.size &&
           (log.size - bitmap->pagesAt) / HiveLogUnit >= bitmap->dirty;
}

HiveFault PlanOldFormat(const unsigned char* primary, size_t size, const HiveLogBytes* logs,
                        const HiveLogHeader* headers, size_t count, std::uint32_t maxBinsDataSize,
                        HiveReplay* replay) {
    // Without a valid base block, the first bin's copy of its timestamp.
    const bool primaryValid = HasValidChecksum(primary);
    if (!primaryValid && size < HiveBaseBlockSize + BinField::Timestamp + HiveTimestampSize) {
        return HiveFault::NoChangeApplies;
    }
    const unsigned char* timestamp = primaryValid ? primary + BaseBlockField::Timestamp
                                                  : primary + HiveBaseBlockSize + BinField::Timestamp;
    for (unsigned i = 0; i < count; ++i) {
        Bitmap bitmap;
        const HiveLogBytes& log = logs[i];
        if (!headers[i].usable || headers[i].type != HiveOldFormatLog ||
            memcmp(log.bytes + BaseBlockField::Timestamp, timestamp, HiveTimestampSize) != 0 ||
            HiveLe32(log.bytes + BaseBlockField::BinsDataSize) > maxBinsDataSize ||
            !ReadBitmap(log, &bitmap)) {
            continue;
        }
        replay->format = HiveLogFormat::DirtyPages;
        replay->oldFormatLog = i;
        replay->binsDataSize = HiveLe32(log.bytes + BaseBlockField::BinsDataSize);
        replay->largestBinsDataSize = replay->binsDataSize;
        replay->sequence = headers[i].sequence;
        replay->changes = bitmap.dirty;
        replay->logsApplied = 1u << i;
        return HiveFault::None;
    }
    return HiveFault::NoChangeApplies;
}

// The recovered base block: the primary's own, or the log's copy when the
// primary's is torn, with what the replay changed, clean.
void FinishBaseBlock(const HiveReplay& replay, const unsigned char* logBase, std::uint32_t flags,
                     unsigned char* base) {
    if (!HasValidChecksum(base)) {
        memcpy(base, logBase, HiveLogHeaderSize);
        memset(base + HiveLogHeaderSize, 0, HiveBaseBlockSize - HiveLogHeaderSize);
    }
    if (replay.format == HiveLogFormat::DirtyPages) {
        HivePutLe32(base + BaseBlockField::RootCell, HiveLe32(logBase + BaseBlockField::RootCell));
    }
    HivePutLe32(base + BaseBlockField::PrimarySequence, replay.sequence);
    HivePutLe32(base + BaseBlockField::SecondarySequence, replay.sequence);
    HivePutLe32(base + BaseBlockField::FileType, HivePrimaryFile);
    HivePutLe32(base + BaseBlockField::BinsDataSize, replay.binsDataSize);
    HivePutLe32(base + BaseBlockField::Flags, (HiveLe32(base + BaseBlockField::Flags) & ~1u) | (flags & 1u));
    HiveSetChecksum(base);
}

HiveFault ApplyOldFormat(HiveReplay* replay, const HiveLogBytes& log, unsigned char* image) {
    Bitmap bitmap;
    ReadBitmap(log, &bitmap);
    const std::uint32_t knownBins =
        HasValidChecksum(image) ? HiveLe32(image + BaseBlockField::BinsDataSize) : replay->binsDataSize;
    const unsigned char* page = log.bytes + bitmap.pagesAt;
    unsigned applied = 0;
    bool previousDirty = false;
    for (std::uint32_t i = 0; i < bitmap.pageCount; ++i) {
        const bool dirty = (bitmap.bits[i / 8] >> (i % 8) & 1) != 0;
        const std::uint32_t offset = i * HiveLogUnit;
        unsigned char* target = image + HiveBaseBlockSize + offset;
        // A run that begins a bin must begin with that bin's own header.
        const bool beginsBin =
            dirty && !previousDirty && offset % HivePageSize == 0 &&
            (memcmp(page, "hbin", 4) == 0 || offset >= knownBins ||
             (memcmp(target, "hbin", 4) == 0 && HiveLe32(target + BinField::Offset) == offset));
        previousDirty = dirty;
        if (beginsBin) {
            const std::uint32_t binSize = HiveLe32(page + BinField::Size);
            if (memcmp(page, "hbin", 4) != 0 || HiveLe32(page + BinField::Offset) != offset ||
                binSize < HivePageSize || binSize % HivePageSize != 0 ||
                binSize > replay->binsDataSize - offset) {
                break;
            }
        }
        if (dirty) {
            memcpy(target, page, HiveLogUnit);
            replay->writes.push_back({offset, page, HiveLogUnit});
            page += HiveLogUnit;
            ++applied;
        }
    }
    if (applied == 0) {
        return HiveFault::NoChangeApplies;
    }
    replay->changes = applied;
    FinishBaseBlock(*replay, log.bytes, HiveLe32(log.bytes + BaseBlockField::Flags), image);
    return HiveFault::None;
}

} // namespace

const char* HiveReplayUnit(HiveLogFormat format, unsigned count) {
    if (format == HiveLogFormat::DirtyPages) {
        return count == 1 ? "dirty page" : "dirty pages";
    }
    return count == 1 ? "log entry" : "log entries";
}

HiveFault PlanHiveReplay(const unsigned char* primary, size_t size, const HiveLogBytes* logs, size_t count,
                         std::uint32_t maxBinsDataSize, HiveReplay* replay) {
    *replay = HiveReplay{};
    if (size < HiveBaseBlockSize || count > 8 * sizeof replay->logsApplied) {
        return HiveFault::BaseBlockShort;
    }
    std::vector<HiveLogHeader> headers(count);
    bool anyBytes = false;
    bool anyNew = false;
    bool anyUsable = false;
    for (size_t i = 0; i < count; ++i) {
        headers[i] = ReadHiveLogHeader(logs[i]);
        anyBytes = anyBytes || logs[i].size > 0;
        anyUsable = anyUsable || headers[i].usable;
        anyNew = anyNew || (headers[i].usable && headers[i].type == HiveNewFormatLog);
    }
    if (!anyBytes) {
        return HiveFault::LogsEmpty;
    }
    if (!anyUsable) {
        return HiveFault::NoValidLogHeader;
    }
    // A valid header's bins size bounds the image as the logs' do.
    if (HasValidChecksum(primary) && HiveLe32(primary + BaseBlockField::BinsDataSize) > maxBinsDataSize) {
        return HiveFault::BinsSizeDamaged;
    }
    const HiveFault reason =
        anyNew ? PlanNewFormat(primary, logs, headers.data(), count, maxBinsDataSize, replay)
               : PlanOldFormat(primary, size, logs, headers.data(), count, maxBinsDataSize, replay);
    if (reason == HiveFault::None && !HasValidChecksum(primary) &&
        replay->largestBinsDataSize < replay->binsDataSize) {
        replay->largestBinsDataSize = replay->binsDataSize;
    }
    return reason;
}

HiveFault ApplyHiveReplay(HiveReplay* replay, const HiveLogBytes* logs, unsigned char* image, size_t size) {
    if (size != HiveBaseBlockSize + size_t{replay->largestBinsDataSize}) {
        return HiveFault::ImageWrongSize;
    }
    replay->writes.clear();
    if (replay->format == HiveLogFormat::DirtyPages) {
        return ApplyOldFormat(replay, logs[replay->oldFormatLog], image);
    }
    std::uint32_t flags = 0;
    const unsigned char* logBase = nullptr;
    for (const auto& [log, offset] : replay->entries) {
        // Planned entries were checked whole: signature, sizes, pages, hashes.
        const unsigned char* entry = logs[log].bytes + offset;
        const std::uint32_t pages = HiveLe32(entry + LogEntryField::PageCount);
        const unsigned char* data =
            entry + LogEntryField::HeaderSize + LogEntryField::Reference * size_t{pages};
        for (std::uint32_t i = 0; i < pages; ++i) {
            const std::uint32_t pageOffset =
                HiveLe32(entry + LogEntryField::HeaderSize + LogEntryField::Reference * size_t{i} +
                         LogEntryField::ReferenceOffset);
            const std::uint32_t pageSize =
                HiveLe32(entry + LogEntryField::HeaderSize + LogEntryField::Reference * size_t{i} +
                         LogEntryField::ReferenceSize);
            memcpy(image + HiveBaseBlockSize + pageOffset, data, pageSize);
            replay->writes.push_back({pageOffset, data, pageSize});
            data += pageSize;
        }
        flags = HiveLe32(entry + LogEntryField::Flags);
        logBase = logs[log].bytes;
    }
    FinishBaseBlock(*replay, logBase, flags, image);
    return HiveFault::None;
}

bool HiveReplayCovers(const HiveReplay& replay, std::uint64_t fileSize) {
    const std::uint64_t bins = replay.binsDataSize;
    std::uint64_t present =
        fileSize <= HiveBaseBlockSize ? 0 : (fileSize - HiveBaseBlockSize) / HivePageSize * HivePageSize;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
    for (const HivePageWrite& write : replay.writes) {
        runs.emplace_back(write.offset, std::uint64_t{write.offset} + write.size);
    }
    std::sort(runs.begin(), runs.end());
    for (const auto& [start, end] : runs) {
        if (present >= bins || start > present) {
            break;
        }
        present = std::max(present, end);
    }
    return present >= bins;
}
