// A hive as a run reads it, before any key is opened: its header checked,
// its logs read, a dirty hive replayed into the copy-on-write image as
// Windows would at boot (a clean one mapped as it is), the number a next log
// entry must be given, and the control set the board boots. What a commit
// needs of it is kept here too.
#pragma once

#include "hive_file.h"

#include <cstdint>
#include <string>

constexpr char HiveRootName[] = "SYSTEM"; // the root key's name, in messages

struct HiveLoad {
    HiveFile file; // opened and locked by OpenHiveFile
    HiveImage image;
    HiveLogs* logs = nullptr;
    // A dirty hive: what the replay wrote, and the recovered base block.
    bool replayed = false;
    HiveReplay replay;
    unsigned char recovered[HiveBaseBlockSize] = {};
    std::uint32_t logSequence = 0; // the highest number in the logs
};

// Reads the hive opened in `load->file`. A refusal of a dirty hive says it
// cannot be recovered and what to do; `load->replayed` says whether a replay
// was made, refused or not.
HiveReason LoadHive(HiveLoad* load);
// Closes the file and lets everything go.
void UnloadHive(HiveLoad* load);

// `reason` in the key (and value) it arose in, with the bin at fault where
// the image knows one.
HiveReason HiveReasonAt(HiveReason reason, const HiveImage& image, const std::string& key,
                        const char* value = nullptr);

// The log a commit writes its entry to: LOG1, else LOG2, as the card spells
// it; empty when the card has neither, and SYSTEM.LOG1 is to be made.
const std::string& HiveLogToWrite(const HiveLogs& logs);
