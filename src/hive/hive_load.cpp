// A hive as a run reads it; see hive_load.h.
#include "hive_load.h"

#include "hive_log_entries.h"
#include "platform.h"

#include <algorithm>
#include <cstdio>
#include <new>

namespace {

// Brings a dirty hive up to date from its logs in the mapping.
HiveReason Replay(HiveLoad* load) {
    unsigned char start[HiveBaseBlockSize + BinField::HeaderSize];
    size_t got = 0;
    if (HiveReason unread = ReadHiveStart(load->file, start, sizeof start, &got)) {
        return unread;
    }
    HiveFault fault =
        PlanHiveReplay(start, got, load->logs->views, HiveLogCount, HiveMaxBinsDataSize, &load->replay);
    if (fault != HiveFault::None) {
        return HiveRefusal(fault);
    }
    if (HiveReason unmapped = MapHiveFile(&load->file, load->replay.largestBinsDataSize, &load->image)) {
        return unmapped;
    }
    fault = ApplyHiveReplay(&load->replay, load->logs->views, load->image.bytes,
                            HiveBaseBlockSize + size_t{load->replay.largestBinsDataSize});
    if (fault != HiveFault::None) {
        return HiveRefusal(fault);
    }
    if (!HiveReplayCovers(load->replay, load->file.fileSize)) {
        return HiveRefusal(HiveFault::ReplayShort);
    }
    std::copy(load->image.bytes, load->image.bytes + HiveBaseBlockSize, load->recovered);
    load->replayed = true;
    return {};
}

// The logs, replayed into the image when the hive is dirty and in any case
// what a new log entry must be numbered above; a clean hive mapped as it is.
HiveReason ReadLogsAndMap(HiveLoad* load, const unsigned char* header, bool dirty) {
    load->logs = new (std::nothrow) HiveLogs;
    if (load->logs == nullptr) {
        return HiveRefusal(HiveFault::NoMemory);
    }
    const std::uint32_t bins =
        HasValidChecksum(header) ? HiveLe32(header + BaseBlockField::BinsDataSize) : HiveMaxBinsDataSize;
    bool any = false;
    HiveReason why = ReadHiveLogs(load->file, HiveBaseBlockSize + std::uint64_t{bins}, load->logs, &any);
    if (!why && dirty) {
        why = any ? Replay(load) : HiveRefusal(HiveFault::NoLogs);
    }
    // Whatever stopped the replay, the way out is the same.
    if (why && dirty) {
        why.text = std::string(HasValidChecksum(header) ? "the board was not shut down cleanly"
                                                        : "its header is damaged (bad checksum)") +
                   ", and " + why.text +
                   ", so its latest state cannot be recovered: boot the board once with this card and shut "
                   "it down cleanly, then try again";
        return why;
    }
    if (!why && !dirty) {
        why = MapHiveFile(&load->file, bins, &load->image);
    }
    if (!why && !HighestLogSequence(load->logs->views, HiveLogCount, HiveMaxBinsDataSize,
                                    HiveLe32(load->image.bytes + BaseBlockField::PrimarySequence),
                                    &load->logSequence)) {
        why = HiveRefusal(HiveFault::LogDamaged);
    }
    // Entries past a gap are never replayed, but a later chain could reach
    // them: what is written is numbered above them too.
    for (size_t i = 0; !why && i < HiveLogCount; ++i) {
        if (load->logs->stale[i] && HiveSequenceAfter(load->logs->staleSequence[i], load->logSequence)) {
            load->logSequence = load->logs->staleSequence[i];
        }
    }
    return why;
}

// The control set the board boots, from the `Select` key, must be the one the
// names are written to.
HiveReason BootsControlSet001(const HiveImage& image) {
    const std::uint32_t root = HiveRootKey(image);
    if (root == HiveNoCell) {
        return HiveReasonAt(HiveRefusal(HiveFault::KeyNodeDamaged), image, HiveRootName);
    }
    std::uint32_t select = HiveNoCell;
    if (const HiveFault unread = FindHiveSubkey(image, root, "Select", &select); unread != HiveFault::None) {
        return HiveReasonAt(HiveRefusal(unread), image, HiveRootName);
    }
    if (select == HiveNoCell) {
        return HiveRefusal(HiveFault::NoSelectKey);
    }
    HiveValue current;
    const bool one = FindHiveValue(image, select, "Current", false, &current) == HiveFault::None &&
                     current.record != HiveNoCell && current.type == REG_DWORD && current.size == 4 &&
                     current.data != nullptr && HiveLe32(current.data) == 1;
    return one ? HiveReason{} : HiveRefusal(HiveFault::OtherControlSet);
}

} // namespace

HiveReason LoadHive(HiveLoad* load) {
    unsigned char header[HiveBaseBlockSize];
    bool dirty = false;
    HiveReason why = ReadHiveHeader(&load->file, header, &dirty);
    if (!why) {
        why = ReadLogsAndMap(load, header, dirty);
    }
    return why ? why : BootsControlSet001(load->image);
}

void UnloadHive(HiveLoad* load) {
    CloseHiveFile(&load->file);
    delete load->logs;
    *load = HiveLoad{};
}

HiveReason HiveReasonAt(HiveReason reason, const HiveImage& image, const std::string& key,
                        const char* value) {
    reason.text =
        "key " + key + (value != nullptr ? std::string(", value ") + value : "") + ": " + reason.text;
    if (image.damagedBin != HiveNoCell) {
        char bin[96];
        snprintf(bin, sizeof bin, " (the bin holding offset 0x%X of the bins is damaged)", image.damagedBin);
        reason.text += bin;
    }
    return reason;
}

const std::string& HiveLogToWrite(const HiveLogs& logs) {
    return !logs.names[0].empty() ? logs.names[0] : logs.names[1];
}
