// The log a rename writes before it touches the hive: see hive_log_writer.h.
#include "hive_log_writer.h"

#include "hive_format.h"

#include <cstring>

std::vector<unsigned char> BuildHiveLog(const unsigned char* baseBlock, std::uint32_t sequence,
                                        const HiveLogPage* pages, size_t count) {
    const size_t data = LogEntryField::HeaderSize + (LogEntryField::Reference + HivePageSize) * count;
    // The log ends on a page boundary: its header is 512 bytes.
    const size_t entrySize =
        (HiveLogHeaderSize + data + HivePageSize - 1) / HivePageSize * HivePageSize - HiveLogHeaderSize;
    std::vector<unsigned char> log(HiveLogHeaderSize + entrySize);
    unsigned char* header = log.data();
    memcpy(header, baseBlock, HiveLogHeaderSize);
    HivePutLe32(header + BaseBlockField::PrimarySequence, sequence);
    HivePutLe32(header + BaseBlockField::SecondarySequence, sequence);
    HivePutLe32(header + BaseBlockField::FileType, HiveNewFormatLog);
    HiveSetChecksum(header);
    unsigned char* entry = header + HiveLogHeaderSize;
    constexpr unsigned char Signature[] = {'H', 'v', 'L', 'E'};
    memcpy(entry + LogEntryField::Signature, Signature, sizeof Signature);
    HivePutLe32(entry + LogEntryField::Size, static_cast<std::uint32_t>(entrySize));
    HivePutLe32(entry + LogEntryField::Flags, HiveLe32(baseBlock + BaseBlockField::Flags) & 1);
    HivePutLe32(entry + LogEntryField::Sequence, sequence);
    HivePutLe32(entry + LogEntryField::BinsDataSize, HiveLe32(baseBlock + BaseBlockField::BinsDataSize));
    HivePutLe32(entry + LogEntryField::PageCount, static_cast<std::uint32_t>(count));
    unsigned char* at = entry + LogEntryField::HeaderSize + LogEntryField::Reference * count;
    for (size_t i = 0; i < count; ++i) {
        unsigned char* reference = entry + LogEntryField::HeaderSize + LogEntryField::Reference * i;
        HivePutLe32(reference + LogEntryField::ReferenceOffset, pages[i].offset);
        HivePutLe32(reference + LogEntryField::ReferenceSize, HivePageSize);
        memcpy(at, pages[i].bytes, HivePageSize);
        at += HivePageSize;
    }
    HivePutLe64(entry + LogEntryField::DataHash,
                Marvin32(entry + LogEntryField::HeaderSize, entrySize - LogEntryField::HeaderSize));
    HivePutLe64(entry + LogEntryField::HeaderHash, Marvin32(entry, LogEntryField::HeaderHash));
    return log;
}
