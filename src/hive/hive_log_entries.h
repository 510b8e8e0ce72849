// The entries of a new-format log, read over bytes: the rules an entry must
// keep, every valid one in a log, and how many of them chain. The replay
// plans with them; the file layers measure and scan logs with them.
#pragma once

#include "hive_replay.h"

#include <cstdint>
#include <vector>

// Sequence numbers wrap: `a` comes after `b` when it is less than 2^31 ahead.
bool HiveSequenceAfter(std::uint32_t a, std::uint32_t b);

struct HiveLogHeader {
    bool usable = false;
    std::uint32_t type = 0;
    std::uint32_t sequence = 0;
};
HiveLogHeader ReadHiveLogHeader(const HiveLogBytes& log);

struct HiveLogEntry {
    size_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t flags = 0;
    std::uint32_t sequence = 0;
    std::uint32_t binsDataSize = 0;
};

// The new-format entry at `offset`, if every rule holds: signature, size,
// bins data size, page count, every page inside the bins and the entry, and
// both hashes. Reading the page list and the pages is charged to `budget`:
// a log of overlapping entry headers must not cost quadratic time.
bool HiveLogEntryAt(const HiveLogBytes& log, size_t offset, std::uint32_t maxBinsDataSize,
                    std::uint64_t* budget, HiveLogEntry* entry);

// Every entry with valid hashes, in the order they lie in the log: what
// follows a valid entry is looked for right after it, what follows anything
// else at the next 512-byte boundary. False when the log is so contrived that
// checking it would cost more than reading it a few times over: Windows never
// writes such a log.
bool ValidHiveLogEntries(const HiveLogBytes& log, std::uint32_t maxBinsDataSize,
                         std::vector<HiveLogEntry>* entries);

// How many of `entries` Windows applies: those from offset 512 on, back to
// back, numbered from the log's base block's sequence number on.
size_t HiveChainLength(const std::vector<HiveLogEntry>& entries, std::uint32_t sequence);
