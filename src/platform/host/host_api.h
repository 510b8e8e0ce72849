// What the host's programs may ask of the host platform beyond the Windows
// calls: the stand-in's first-use values, which hive file to work on, and the
// hive backend's findings as data. Host only: the board has none of this.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <string>

// What the stand-in puts in a store it makes on first use: each value a
// REG_SZ holding the host's name. Handed down, before the first registry
// call, by the program that knows where the computer's name lives.
struct SeedValue {
    const char* keyPath; // below HKEY_LOCAL_MACHINE, '\'-separated
    const char* valueName;
};
void SeedStandInWith(const SeedValue* values, int count);

// How a card program's runs use the hive it names.
struct HiveUse {
    // Of the path's last components, how many were found on the card rather
    // than named by the user: no link there is followed.
    unsigned found = 0;
    // Every check made and every change planned, in memory, and nothing
    // written: what the hive would refuse is told as a rename would tell it,
    // and the last close succeeds without touching the card (status, a dry
    // run).
    bool writeNothing = false;
    // With nothing written, the card stays open and locked after the last
    // close, for the next run on it with the same use: that run reads and
    // replays it no second time, and nothing changes it in between.
    bool keepOpen = false;
    // The backend's reasons kept in the card's state (`reasons`) for the
    // program to report its own way, rather than printed.
    bool keepLines = false;
    // With nothing written: the card is mounted read-only for this look, by
    // a program that tells for itself whether its device can be written.
    // Nothing is opened for writing; the rename's plan is still made in
    // memory.
    bool readOnlyLook = false;
};

// The SYSTEM hive file a card program names, which the registry calls then
// work on whatever VELMORA_SYSTEM_HIVE says, and how. Null: chosen by the
// variable.
void UseSystemHive(const char* path, HiveUse use = {});

// How the hive backend's lines show the card's path and what they quote from
// the card (file names): as they are, or through `shown`, handed down by a
// program whose cards are untrusted, so that none reaches the terminal raw.
void ShowHiveTextThrough(std::string (*shown)(const char* text));

// Where in a run the backend gave a reason: attaching the card (its header,
// logs and replay), reading its keys and values, or opening for writing,
// writing and committing.
enum class HiveStage { Open, Read, Write };
constexpr int HiveStageCount = 3;

// What the hive backend found of the card it last worked on, as data for a
// program that reports it its own way. Reset when a run opens its first key.
struct HiveCardState {
    bool read;                // its header, logs and keys could be read
    unsigned replayed;        // log entries (dirty pages, for old logs) replayed; 0 when clean
    const char* replayedUnit; // what `replayed` counts, as "log entries"
    char logs[160];           // the logs replayed, as "SYSTEM.LOG1 and SYSTEM.LOG2"
    int openError;            // errno of a failed open of the hive, else 0
    int writeError;           // errno of a failed open for writing (hive or log), else 0
    // With HiveUse::keepLines, the reasons the backend gave at each stage
    // (shown as ShowHiveTextThrough says), in the order given, joined by ';'.
    std::array<std::string, HiveStageCount> reasons;
};
void TakeHiveCardState(HiveCardState* state);

// Calls `visit` with the name of every entry of the directory at `path`, "."
// and ".." included. False, with errno, when it cannot be listed.
bool ListDirectory(const char* path, const std::function<void(const char* name)>& visit);

#ifdef _WIN32
// velmora-card.exe works in UTF-8 and calls Windows in UTF-16: the two
// conversions, whole strings, for paths and arguments.
std::wstring Utf16(const std::string& text);
std::string Utf8(const wchar_t* text);
#endif
