// The registry hive's byte layout, named once: every other file reads and
// writes hive and log bytes through these names. All numbers are
// little-endian; offsets are in bytes.
//
// A hive file is a 4096-byte base block, then its bins. A bins offset (every
// cell pointer, every bin's own offset) counts from the first bin, so file
// offset = 4096 + bins offset.
//
//   Base block ("regf")           offset size  meaning
//     Signature                        0    4  "regf"
//     PrimarySequence                  4    4  raised before a write
//     SecondarySequence                8    4  set equal after it: apart = dirty
//     Timestamp                       12    8  last written (FILETIME)
//     Major, Minor                    20  4+4  format 1.3 to 1.6 are loaded
//     FileType                        28    4  0 hive, 1 old-format log, 6 new-format log
//     Format                          32    4  1: memory-mapped
//     RootCell                        36    4  bins offset of the root key node
//     BinsDataSize                    40    4  bytes of bins, a multiple of 4096
//     Flags                          144    4  bit 0: the hive was being reorganised
//     Checksum                       508    4  XOR of the dwords before it (0 -> 1, ~0 -> ~1)
//   A log's base block is the first 512 bytes of the hive's, its own FileType and checksum.
//
//   Bin header ("hbin"), 32 bytes at a 4096-byte boundary
//     Signature 0 (4) "hbin"; Offset 4 (4) its own bins offset; Size 8 (4) a
//     multiple of 4096; Timestamp 20 (8). Cells follow, filling it.
//
//   Cell: Size 0 (4), signed: negative when allocated, a multiple of 8 that
//   counts itself; its data follows. Cell pointers are bins offsets of the size.
//
//   Key node ("nk"), in a cell's data
//     Signature 0 (2) "nk"; Flags 2 (2), 0x20: the name is Latin-1, else
//     UTF-16; SubkeyCount 20 (4); SubkeyList 28 (4); ValueCount 36 (4);
//     ValueList 40 (4); LargestValueData 64 (4); NameLength 72 (2); Name 76.
//
//   Value record ("vk"), in a cell's data
//     Signature 0 (2) "vk"; NameLength 2 (2); DataSize 4 (4), bit 31: the
//     data (4 bytes at most) is in Data itself; Data 8 (4) its cell, or the
//     bytes; Type 12 (4); Flags 16 (2), 1: the name is Latin-1; Name 20.
//
//   Subkey lists: Signature 0 (2) "lf", "lh", "li" or "ri"; Count 2 (2); then
//   the elements from 4: lf/lh {key node, hint} of 4+4 bytes (lf's hint the
//   name's first four characters, lh's its hash), li {key node}, ri {list}.
//   A value list is ValueCount cell pointers. Data over 16344 bytes (format
//   1.4 on) is a "db" record: Signature 0 (2), Count 2 (2), Segments 4 (4).
//
//   Log entry ("HvLE"), new format, from log offset 512, back to back
//     Signature 0 (4); Size 4 (4) a multiple of 512; Flags 8 (4) the base
//     block's; Sequence 12 (4); BinsDataSize 16 (4); PageCount 20 (4);
//     DataHash 24 (8) Marvin32 of what follows the header; HeaderHash 32 (8)
//     Marvin32 of the first 32 bytes; then PageCount references {Offset 0
//     (4), Size 4 (4)}, then the pages' bytes in that order.
//   Old-format log: at 512 "DIRT", then one bit per 512-byte page of the
//   bins, then (from the next 512-byte boundary) the dirty pages in order.
#pragma once

#include <cstddef>
#include <cstdint>

// The hive's page: its base block, a bin's unit and what a log entry writes.
constexpr std::uint32_t HivePageSize = 4096;
constexpr size_t HiveBaseBlockSize = HivePageSize;
// What a log's base block copies of the primary's, and an old log's unit.
constexpr std::uint32_t HiveLogHeaderSize = 512;
constexpr std::uint32_t HiveLogUnit = 512;

namespace BaseBlockField {
constexpr std::uint32_t Signature = 0;
constexpr std::uint32_t PrimarySequence = 4;
constexpr std::uint32_t SecondarySequence = 8;
constexpr std::uint32_t Timestamp = 12;
constexpr std::uint32_t Major = 20;
constexpr std::uint32_t Minor = 24;
constexpr std::uint32_t FileType = 28;
constexpr std::uint32_t Format = 32;
constexpr std::uint32_t RootCell = 36;
constexpr std::uint32_t BinsDataSize = 40;
constexpr std::uint32_t ClusteringFactor = 44;
constexpr std::uint32_t FileName = 48; // 64 bytes, the hive's own name in UTF-16
constexpr std::uint32_t Flags = 144;
constexpr std::uint32_t Checksum = 508;
} // namespace BaseBlockField

constexpr std::uint32_t HivePrimaryFile = 0;
constexpr std::uint32_t HiveOldFormatLog = 1;
constexpr std::uint32_t HiveNewFormatLog = 6;

namespace BinField {
constexpr std::uint32_t Signature = 0;
constexpr std::uint32_t Offset = 4;
constexpr std::uint32_t Size = 8;
constexpr std::uint32_t Timestamp = 20;
constexpr std::uint32_t HeaderSize = 32;
} // namespace BinField

namespace CellField {
constexpr std::uint32_t Size = 0;
constexpr std::uint32_t Data = 4;
// A cell's size is a multiple of this, and at least this.
constexpr std::uint32_t Alignment = 8;
} // namespace CellField

// A FILETIME, as the base block and each bin header hold one.
constexpr std::uint32_t HiveTimestampSize = 8;

namespace KeyNodeField {
constexpr std::uint32_t Signature = 0;
constexpr std::uint32_t Flags = 2;
constexpr std::uint32_t SubkeyCount = 20;
constexpr std::uint32_t SubkeyList = 28;
constexpr std::uint32_t ValueCount = 36;
constexpr std::uint32_t ValueList = 40;
constexpr std::uint32_t LargestValueData = 64;
constexpr std::uint32_t NameLength = 72;
constexpr std::uint32_t Name = 76;
constexpr std::uint16_t LatinName = 0x20;
} // namespace KeyNodeField

namespace ValueRecordField {
constexpr std::uint32_t Signature = 0;
constexpr std::uint32_t NameLength = 2;
constexpr std::uint32_t DataSize = 4;
constexpr std::uint32_t Data = 8;
constexpr std::uint32_t Type = 12;
constexpr std::uint32_t Flags = 16;
constexpr std::uint32_t Name = 20;
constexpr std::uint32_t DataInRecord = 0x80000000;
constexpr std::uint32_t InRecordMax = 4;
constexpr std::uint16_t LatinName = 1;
} // namespace ValueRecordField

namespace SubkeyListField {
constexpr std::uint32_t Signature = 0;
constexpr std::uint32_t Count = 2;
constexpr std::uint32_t Elements = 4;
constexpr std::uint32_t HintedElement = 8; // lf, lh: {key node, hint}
constexpr std::uint32_t Hint = 4;          // within a hinted element
constexpr std::uint32_t HintSize = 4;      // lf: the name's first four characters
constexpr std::uint32_t PlainElement = 4;  // li, ri
} // namespace SubkeyListField

// Data over this many bytes is kept in segments (a db record), format 1.4 on.
constexpr std::uint32_t HiveLargestSingleCell = 16344;
constexpr std::uint32_t HiveFirstSegmentedMinor = 4;

namespace LogEntryField {
constexpr std::uint32_t Signature = 0;
constexpr std::uint32_t Size = 4;
constexpr std::uint32_t Flags = 8;
constexpr std::uint32_t Sequence = 12;
constexpr std::uint32_t BinsDataSize = 16;
constexpr std::uint32_t PageCount = 20;
constexpr std::uint32_t DataHash = 24;
constexpr std::uint32_t HeaderHash = 32;
constexpr std::uint32_t HeaderSize = 40;
constexpr std::uint32_t Reference = 8; // {Offset, Size} per page
constexpr std::uint32_t ReferenceOffset = 0;
constexpr std::uint32_t ReferenceSize = 4;
} // namespace LogEntryField

namespace DirtyLogField {
constexpr std::uint32_t Signature = HiveLogHeaderSize; // "DIRT"
constexpr std::uint32_t Bitmap = HiveLogHeaderSize + 4;
} // namespace DirtyLogField

std::uint16_t HiveLe16(const unsigned char* bytes);
std::uint32_t HiveLe32(const unsigned char* bytes);
std::uint64_t HiveLe64(const unsigned char* bytes);
void HivePutLe32(unsigned char* bytes, std::uint32_t value);
void HivePutLe64(unsigned char* bytes, std::uint64_t value);

// The base block's checksum as Windows computes it: the XOR of the 127 dwords
// before it, with 0 stored as 1 and 0xFFFFFFFF as 0xFFFFFFFE.
std::uint32_t HiveChecksum(const unsigned char* baseBlock);
bool HasValidChecksum(const unsigned char* baseBlock);
// Stores HiveChecksum in the base block, after its other fields changed.
void HiveSetChecksum(unsigned char* baseBlock);
// Format 1.3 to 1.6 (what Windows loads) of a primary or a log of `fileType`.
bool HasKnownVersion(const unsigned char* baseBlock, std::uint32_t fileType);
// Its checksum is wrong or its two sequence numbers differ: the logs beside
// the hive hold newer state than the primary.
bool IsDirtyBaseBlock(const unsigned char* baseBlock);

// Marvin32 with the seed the log entries use.
std::uint64_t Marvin32(const unsigned char* data, size_t size);
