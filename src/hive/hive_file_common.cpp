// What every file layer shares: the base block's checks, and which entries
// beside the hive are its logs; see hive_file.h.
#include "hive_file.h"

#include "hive_log_entries.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <strings.h>

namespace {

// A log larger than this cannot belong to a hive of that size: refused
// unread rather than read whole.
constexpr std::uint64_t LogSlack = 64u << 20;

} // namespace

HiveReason CheckHiveHeader(const HiveFile& file, const unsigned char* header, size_t got, bool* dirty) {
    if (got < 4 || memcmp(header + BaseBlockField::Signature, "regf", 4) != 0) {
        return HiveRefusal(HiveFault::NotAHive);
    }
    if (got != HiveBaseBlockSize) {
        return HiveRefusal(HiveFault::HeaderShort);
    }
    *dirty = IsDirtyBaseBlock(header);
    if (!HasValidChecksum(header)) {
        return {};
    }
    if (!HasKnownVersion(header, HivePrimaryFile)) {
        return HiveRefusal(HiveFault::UnknownVersion);
    }
    const std::uint32_t bins = HiveLe32(header + BaseBlockField::BinsDataSize);
    if (bins == 0 || bins % HivePageSize != 0 || bins > HiveMaxBinsDataSize) {
        return HiveRefusal(HiveFault::BinsSizeDamaged);
    }
    // A dirty hive's logs may hold the pages past the file's end: its replay
    // decides.
    if (!*dirty && file.fileSize < HiveBaseBlockSize + std::uint64_t{bins}) {
        return HiveRefusal(HiveFault::FileShort);
    }
    return {};
}

void NoteHiveLog(const HiveFile& file, const char* entry, HiveLogs* logs, HiveReason* refusal) {
    for (size_t i = 0; i < HiveLogCount; ++i) {
        if (strcasecmp(entry, (file.fileName + HiveLogSuffixes[i]).c_str()) != 0) {
            continue;
        }
        if (!logs->names[i].empty()) {
            *refusal = HiveRefusal(HiveFault::LogTwice, logs->names[i], 0, entry);
        }
        logs->names[i] = entry;
    }
}

bool IsLogTooLarge(std::uint64_t logSize, std::uint64_t hiveSize) {
    return logSize > LogSlack + 2 * hiveSize;
}

std::vector<unsigned char> LogAsWritten(const std::vector<unsigned char>& bytes, std::uint64_t existing) {
    // A stale entry right after ours could be chained to it at boot: a unit
    // of zeros ends the chain there.
    std::vector<unsigned char> written = bytes;
    if (existing > written.size()) {
        written.resize(written.size() +
                       static_cast<size_t>(std::min<std::uint64_t>(HiveLogUnit, existing - written.size())));
    }
    return written;
}

bool ReadUsefulLog(std::uint64_t size, const HiveReadAt& read, std::vector<unsigned char>* bytes) {
    size_t have = 0;
    size_t cursor = 0;
    size_t length = static_cast<size_t>(size);
    for (;;) {
        const size_t want = HiveLogUsefulLength(bytes->data(), have, length, HiveMaxBinsDataSize, &cursor);
        if (want <= have) {
            bytes->resize(want);
            return true;
        }
        bytes->resize(want);
        size_t got = 0;
        if (!read(bytes->data() + have, want - have, have, &got)) {
            return false;
        }
        // A log cut shorter meanwhile ends where it now ends.
        length = got < want - have ? have + got : length;
        have += got;
    }
}

bool FindStaleEntries(std::uint64_t from, std::uint64_t size, const HiveReadAt& read,
                      const HiveNextData& nextData, std::uint32_t* sequence, bool* any) {
    constexpr size_t Window = 1u << 20;
    std::vector<unsigned char> window(Window);
    std::vector<unsigned char> apart;
    // Overlapping entry headers must not cost quadratic time.
    std::uint64_t budget = 4 * size + Window;
    *any = false;
    for (std::uint64_t base = (from + HiveLogUnit - 1) / HiveLogUnit * HiveLogUnit; base < size;) {
        base = std::max(base, nextData(base) / HiveLogUnit * HiveLogUnit);
        size_t got = 0;
        if (base >= size ||
            !read(window.data(), static_cast<size_t>(std::min<std::uint64_t>(Window, size - base)), base,
                  &got)) {
            return base >= size;
        }
        for (size_t at = 0; got > 0 && at + LogEntryField::HeaderSize <= got; at += HiveLogUnit) {
            const std::uint32_t claimed = HiveLe32(window.data() + at + LogEntryField::Size);
            if (memcmp(window.data() + at, "HvLE", 4) != 0 || claimed < HiveLogUnit ||
                claimed > size - base - at) {
                continue;
            }
            if (budget < claimed) {
                return false;
            }
            budget -= claimed;
            const unsigned char* entry = window.data() + at;
            size_t whole = got - at;
            if (whole < claimed) {
                apart.resize(claimed);
                if (!read(apart.data(), claimed, base + at, &whole)) {
                    return false;
                }
                entry = apart.data();
            }
            std::uint32_t number = 0;
            if (whole >= claimed && HiveLogEntrySequence(entry, claimed, HiveMaxBinsDataSize, &number)) {
                *sequence = !*any || HiveSequenceAfter(number, *sequence) ? number : *sequence;
                *any = true;
            }
        }
        if (got == 0) {
            return true;
        }
        base += got / HiveLogUnit * HiveLogUnit > 0 ? got / HiveLogUnit * HiveLogUnit : got;
    }
    return true;
}

HiveReason ReadOpenedLog(size_t i, const std::string& shown, std::uint64_t size, const HiveReadAt& read,
                         const HiveNextData& nextData, HiveLogs* logs) {
    HiveReason refusal;
    if (!ReadUsefulLog(size, read, &logs->bytes[i])) {
        refusal = HiveRefusal(HiveFault::PathUnreadable, shown, errno);
    } else if (errno = 0; !FindStaleEntries(logs->bytes[i].size(), size, read, nextData,
                                            &logs->staleSequence[i], &logs->stale[i])) {
        refusal = errno != 0 ? HiveRefusal(HiveFault::PathUnreadable, shown, errno)
                             : HiveRefusal(HiveFault::LogNeverWritten, shown);
    }
    logs->views[i] = {logs->bytes[i].data(), logs->bytes[i].size()};
    return refusal;
}
