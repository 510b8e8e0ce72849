// Writing a new-format transaction log, as Windows does before it changes a
// hive in place: a pure function over bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct HiveLogPage {
    std::uint32_t offset;       // bins offset, a multiple of 4096
    const unsigned char* bytes; // the page's 4096 new bytes
};

// A whole log: the first 512 bytes of `baseBlock` as its header (both
// numbers `sequence`, file type 6, its own checksum), then one entry numbered
// `sequence` writing `pages` (in the order given) for a hive of `baseBlock`'s
// bins data size, padded to end on a 4096-byte boundary as Windows' do.
std::vector<unsigned char> BuildHiveLog(const unsigned char* baseBlock, std::uint32_t sequence,
                                        const HiveLogPage* pages, size_t count);
