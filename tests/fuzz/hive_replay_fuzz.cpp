// The log replay on any primary header and any two logs. Input: a flags byte,
// the primary's length and LOG1's length (4 bytes each, little-endian), then
// the primary's bytes, LOG1's, and LOG2's (the rest). With flag bit 0, every
// entry-shaped run in the logs gets valid hashes first, so that the checks
// behind them are reached too. Nothing may be read or written out of bounds;
// a recovered image must be clean and exactly as large as it says.
#include "hive_replay.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Check(bool condition) {
    if (!condition) {
        abort();
    }
}

void PutHash(unsigned char* at, std::uint64_t hash) {
    for (int i = 0; i < 8; ++i) {
        at[i] = static_cast<unsigned char>(hash >> (8 * i));
    }
}

void Rehash(std::vector<unsigned char>* log) {
    for (size_t offset = 512; offset + 40 <= log->size(); offset += 512) {
        unsigned char* entry = log->data() + offset;
        const std::uint32_t size = HiveLe32(entry + 4);
        if (memcmp(entry, "HvLE", 4) == 0 && size >= 40 && size <= log->size() - offset) {
            PutHash(entry + 24, Marvin32(entry + 40, size - 40));
            PutHash(entry + 32, Marvin32(entry, 32));
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, size_t size) {
    if (size < 9) {
        return 0;
    }
    const bool rehash = (input[0] & 1) != 0;
    size_t primarySize = HiveLe32(input + 1);
    size_t firstSize = HiveLe32(input + 5);
    input += 9;
    size -= 9;
    primarySize = primarySize < size ? primarySize : size;
    firstSize = firstSize < size - primarySize ? firstSize : size - primarySize;
    const std::vector<unsigned char> primary(input, input + primarySize);
    std::vector<unsigned char> logs[2] = {
        std::vector<unsigned char>(input + primarySize, input + primarySize + firstSize),
        std::vector<unsigned char>(input + primarySize + firstSize, input + size)};
    HiveLogBytes views[3] = {};
    for (int i = 0; i < 2; ++i) {
        if (rehash) {
            Rehash(&logs[i]);
        }
        // Exactly as large as the log: AddressSanitizer sees a read past it.
        views[i] = {logs[i].empty() ? nullptr : logs[i].data(), logs[i].size()};
    }
    HiveReplay replay;
    constexpr std::uint32_t MaxBins = 1u << 20;
    if (primary.size() < HiveBaseBlockSize ||
        PlanHiveReplay(primary.data(), primary.size(), views, 3, MaxBins, &replay) != HiveFault::None) {
        return 0;
    }
    Check(replay.largestBinsDataSize <= MaxBins && replay.binsDataSize <= replay.largestBinsDataSize);
    std::vector<unsigned char> image(HiveBaseBlockSize + size_t{replay.largestBinsDataSize});
    memcpy(image.data(), primary.data(), image.size() < primary.size() ? image.size() : primary.size());
    if (ApplyHiveReplay(&replay, views, image.data(), image.size()) != HiveFault::None) {
        return 0;
    }
    image.resize(HiveBaseBlockSize + size_t{replay.binsDataSize});
    Check(replay.changes > 0);
    Check(image.size() == HiveBaseBlockSize + size_t{HiveLe32(image.data() + 40)});
    Check(!IsDirtyBaseBlock(image.data()) && HiveLe32(image.data() + 4) == replay.sequence);
    return 0;
}
