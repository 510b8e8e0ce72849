// Bringing a dirty hive up to date from its transaction logs, as Windows does
// at boot. Pure functions over bytes: they know nothing of files or
// of the registry calls, so they can be tested and fuzzed alone. Every size,
// count and offset in a log is untrusted.
#pragma once

#include "hive_fault.h"
#include "hive_format.h"

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

struct HiveLogBytes {
    const unsigned char* bytes;
    size_t size;
};

// One run of bytes a replay writes: at file offset 4096 + `offset`.
struct HivePageWrite {
    std::uint32_t offset;
    const unsigned char* bytes; // in a log
    std::uint32_t size;
};

// A log's format: entries (HvLE), or, in an old-format log, one base block
// and the dirty pages its bitmap marks.
enum class HiveLogFormat { Entries, DirtyPages };
// What a replay of `format` counts, for `count` of them ("1 log entry").
const char* HiveReplayUnit(HiveLogFormat format, unsigned count);

// What replaying the logs will do, and what it did.
struct HiveReplay {
    HiveLogFormat format = HiveLogFormat::Entries;
    // New format: the entries to apply, in order, as (log, offset in it).
    std::vector<std::pair<unsigned, size_t>> entries;
    unsigned oldFormatLog = 0;
    // The recovered hive's bins data size, and the largest it reaches while
    // the entries are applied: the image must hold 4096 + that many bytes.
    std::uint32_t binsDataSize = 0;
    std::uint32_t largestBinsDataSize = 0;
    // Both sequence numbers of the recovered base block: the highest of the
    // applied entries and of every other entry with valid hashes in any log,
    // so that none of those can be chained in once the hive is clean again.
    std::uint32_t sequence = 0;
    unsigned changes = 0;     // log entries, or an old-format log's dirty pages
    unsigned logsApplied = 0; // bit i: logs[i] contributes
    // What ApplyHiveReplay wrote, in order: replaying these onto the primary
    // file, then writing the recovered base block, is Windows' own recovery.
    std::vector<HivePageWrite> writes;
};

// Decides what Windows would replay. `primary` is the primary file's first
// `size` bytes: the base block, then (when there are any) the first bin's
// header. `logs` are the ones found beside it: LOG1, LOG2 and LOG, an absent
// one empty. HiveFault::None, or the reason nothing can be recovered. No hive
// may grow past `maxBinsDataSize` bytes of bins.
HiveFault PlanHiveReplay(const unsigned char* primary, size_t size, const HiveLogBytes* logs, size_t count,
                         std::uint32_t maxBinsDataSize, HiveReplay* replay);

// Applies the plan to `image`: `size` = 4096 + replay->largestBinsDataSize
// bytes holding the primary file's (zeros where the file ends). Afterwards
// the first 4096 + replay->binsDataSize bytes of `image` are the recovered
// hive, base block included with a fresh checksum, and `replay->changes` says
// how much was applied. HiveFault::None, or the reason nothing could be.
HiveFault ApplyHiveReplay(HiveReplay* replay, const HiveLogBytes* logs, unsigned char* image, size_t size);

// The highest sequence number in the logs: of their base blocks and of every
// entry with valid hashes, chained or not, and `floor`. A new entry numbered
// above it can be chained to nothing already there. False for a log too
// contrived to check.
bool HighestLogSequence(const HiveLogBytes* logs, size_t count, std::uint32_t maxBinsDataSize,
                        std::uint32_t floor, std::uint32_t* sequence);

// How many of a log's first bytes a replay can use, given its first `have`
// of `size` bytes: its base block, then (new format) its entries up to the
// first that is not valid, or (old format) its bitmap and the pages it marks.
// `*cursor` (0 at first) keeps where the entries were checked to between
// calls. Once the result is at most `have`, the log is read: what lies past
// it can never be replayed, so a sparse or padded log costs nothing to skip.
size_t HiveLogUsefulLength(const unsigned char* log, size_t have, size_t size, std::uint32_t maxBinsDataSize,
                           size_t* cursor);

// The sequence number of the new-format entry that `bytes` (`size` of them,
// the entry whole) start with, when it is one with valid hashes. For entries
// a replay never reaches (past a gap), which a new entry and a recovered
// hive must still be numbered above: a later chain could reach them.
bool HiveLogEntrySequence(const unsigned char* bytes, size_t size, std::uint32_t maxBinsDataSize,
                          std::uint32_t* sequence);

// Whether every page of the recovered bins past a file of `fileSize` bytes (a
// cut growth) was written by the applied replay, rather than read as zeros.
bool HiveReplayCovers(const HiveReplay& replay, std::uint64_t fileSize);
