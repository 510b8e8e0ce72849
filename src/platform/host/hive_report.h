// What the hive backend tells: its reason lines, printed at once or kept for
// a program that reports them its own way, and the card's state as data
// (host_api.h).
#pragma once

#include "hive_file.h"
#include "host_api.h"

#include <string>

// "velmora: <path>: <reason>" on standard error, or kept.
void TellHive(const std::string& path, const std::string& reason);
// Said at once, kept lines or not: the run waits for another, it is not stuck.
void TellHiveWaiting(const std::string& path);
// The line saying which logs were replayed, so the old name shown is known
// to be the board's latest; the same as data in the card's state.
void TellHiveReplay(const std::string& path, const HiveReplay& replay, const HiveLogs& logs);
// The stage the backend's next reasons fall in.
void TellHiveStage(HiveStage stage);
// The state the backend fills as it reads a card.
HiveCardState* FilledHiveCardState();
// Whether TellHive keeps its lines in the card's state rather than printing
// them, as the program's HiveUse asks.
void KeepHiveLines(bool keep);
