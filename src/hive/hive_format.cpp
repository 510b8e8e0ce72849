// The byte helpers and base-block rules every part of the engine shares: see
// hive_format.h.
#include "hive_format.h"

namespace {

std::uint32_t Rotl(std::uint32_t value, int bits) {
    return value << bits | value >> (32 - bits);
}

} // namespace

std::uint16_t HiveLe16(const unsigned char* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
}

std::uint32_t HiveLe32(const unsigned char* bytes) {
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

std::uint64_t HiveLe64(const unsigned char* bytes) {
    return HiveLe32(bytes) | static_cast<std::uint64_t>(HiveLe32(bytes + 4)) << 32;
}

void HivePutLe32(unsigned char* bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
    }
}

void HivePutLe64(unsigned char* bytes, std::uint64_t value) {
    HivePutLe32(bytes, static_cast<std::uint32_t>(value));
    HivePutLe32(bytes + 4, static_cast<std::uint32_t>(value >> 32));
}

std::uint32_t HiveChecksum(const unsigned char* baseBlock) {
    std::uint32_t sum = 0;
    for (size_t i = 0; i < BaseBlockField::Checksum; i += 4) {
        sum ^= HiveLe32(baseBlock + i);
    }
    return sum == 0 ? 1 : sum == 0xFFFFFFFF ? 0xFFFFFFFE : sum;
}

void HiveSetChecksum(unsigned char* baseBlock) {
    HivePutLe32(baseBlock + BaseBlockField::Checksum, HiveChecksum(baseBlock));
}

bool HasValidChecksum(const unsigned char* baseBlock) {
    return HiveChecksum(baseBlock) == HiveLe32(baseBlock + BaseBlockField::Checksum);
}

bool HasKnownVersion(const unsigned char* baseBlock, std::uint32_t fileType) {
    const std::uint32_t minor = HiveLe32(baseBlock + BaseBlockField::Minor);
    return HiveLe32(baseBlock + BaseBlockField::Major) == 1 && minor >= 3 && minor <= 6 &&
           HiveLe32(baseBlock + BaseBlockField::FileType) == fileType &&
           HiveLe32(baseBlock + BaseBlockField::Format) == 1;
}

bool IsDirtyBaseBlock(const unsigned char* baseBlock) {
    return !HasValidChecksum(baseBlock) || HiveLe32(baseBlock + BaseBlockField::PrimarySequence) !=
                                               HiveLe32(baseBlock + BaseBlockField::SecondarySequence);
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
