// The log a rename writes before it touches the hive: see hive_log_writer.h.
#include "hive_log_writer.h"

#include "hive_replay.h"

#include <cstring>

namespace {

constexpr size_t PageSize = 4096;
constexpr size_t EntryHeaderSize = 40;

void Put64(unsigned char* bytes, std::uint64_t value) {
    HivePutLe32(bytes, static_cast<std::uint32_t>(value));
    HivePutLe32(bytes + 4, static_cast<std::uint32_t>(value >> 32));
}

} // namespace

std::vector<unsigned char> BuildHiveLog(const unsigned char* baseBlock, std::uint32_t sequence,
                                        const HiveLogPage* pages, size_t count) {
    const size_t data = EntryHeaderSize + 8 * count + PageSize * count;
    // The log ends on a 4096-byte boundary: its header is 512 bytes.
    const size_t entrySize =
        (HiveLogHeaderSize + data + PageSize - 1) / PageSize * PageSize - HiveLogHeaderSize;
    std::vector<unsigned char> log(HiveLogHeaderSize + entrySize);
    unsigned char* header = log.data();
    memcpy(header, baseBlock, HiveLogHeaderSize);
    HivePutLe32(header + 4, sequence);
    HivePutLe32(header + 8, sequence);
    HivePutLe32(header + 28, 6);
    HiveSetChecksum(header);
    unsigned char* entry = header + HiveLogHeaderSize;
    constexpr unsigned char Signature[] = {'H', 'v', 'L', 'E'};
    memcpy(entry, Signature, sizeof Signature);
    HivePutLe32(entry + 4, static_cast<std::uint32_t>(entrySize));
    HivePutLe32(entry + 8, HiveLe32(baseBlock + 144) & 1);
    HivePutLe32(entry + 12, sequence);
    HivePutLe32(entry + 16, HiveLe32(baseBlock + 40));
    HivePutLe32(entry + 20, static_cast<std::uint32_t>(count));
    unsigned char* at = entry + EntryHeaderSize + 8 * count;
    for (size_t i = 0; i < count; ++i) {
        HivePutLe32(entry + EntryHeaderSize + 8 * i, pages[i].offset);
        HivePutLe32(entry + EntryHeaderSize + 8 * i + 4, PageSize);
        memcpy(at, pages[i].bytes, PageSize);
        at += PageSize;
    }
    Put64(entry + 24, Marvin32(entry + EntryHeaderSize, entrySize - EntryHeaderSize));
    Put64(entry + 32, Marvin32(entry, 32));
    return log;
}
