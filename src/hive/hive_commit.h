// Committing a rename to the card as Windows commits a change, in this order
// (each step flushed before the next begins):
//
//   0. a dirty hive is first recovered as Windows recovers it at boot: the
//      replayed pages in place (the hive stays dirty, so a crash leaves the
//      logs to replay again), then the recovered header, clean;
//   1. the changed pages as one new-format log entry, numbered above
//      everything in the logs (in SYSTEM.LOG1, made when the card has none,
//      its directory flushed too);
//   2. the file grown to hold a new bin, so no header ever counts bins the
//      file lacks;
//   3. the header marked dirty (its sequence numbers apart), so no page lands
//      before the header says so;
//   4. the changed pages in place;
//   5. the header clean again.
//
// A crash or a power cut anywhere leaves the old names or, through the log,
// the new ones. Each step is a phase; a failure in it leaves the card in one
// state, which HiveFailureLeft tells.
#pragma once

#include "hive_file.h"

#include <cstdint>

enum class HivePhase {
    Recovering,      // 0: the replayed pages in place
    RecoveredHeader, // 0: the recovered header, clean
    Log,             // 1: the header not yet touched
    Growing,         // 2: the file not yet grown
    Grown,           // 2: the file grown, its growth not yet flushed
    DirtyHeader,     // 3
    Pages,           // 4
    CleanHeader,     // 5
};

struct HiveCommit {
    const HiveFileOps* ops; // HiveSystemFile, or a test's stand-in
    HiveFile* file;
    HiveImage* image;               // the renamed image, its changed pages listed
    const HiveReplay* replay;       // a dirty hive's replay, else null
    const unsigned char* recovered; // its recovered base block (4096 bytes)
    std::uint32_t logSequence;      // the highest number in the logs
    const std::string* log;         // the log to write, as spelled; empty: make LOG1
};

// Carries out the steps. False, with errno, and the phase the failure fell in.
bool CommitHive(const HiveCommit& commit, HivePhase* phase);

// What the card holds after a failure in `phase`, on a card that was clean or
// (`recovered`) one whose replay was written first.
const char* HiveFailureLeft(HivePhase phase, bool recovered);
