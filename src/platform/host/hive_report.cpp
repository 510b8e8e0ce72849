// The hive backend's lines and the card's state; see hive_report.h.
#include "hive_report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

HiveCardState cardState;
std::string (*shownText)(const char*) = nullptr;

std::string ShownText(const std::string& text) {
    if (shownText == nullptr) {
        return text;
    }
    const char* raw = text.c_str();
    return shownText(raw);
}
bool keepLines = false;
HiveStage currentStage = HiveStage::Open;

} // namespace

void ShowHiveTextThrough(std::string (*shown)(const char* text)) {
    shownText = shown;
}

void TellHive(const std::string& path, const std::string& reason) {
    if (keepLines) {
        std::string& kept = cardState.reasons[static_cast<size_t>(currentStage)];
        kept += kept.empty() ? "" : ";";
        kept += ShownText(reason);
        return;
    }
    fflush(stdout);
    fprintf(stderr, "velmora: %s: %s\n", ShownText(path).c_str(), ShownText(reason).c_str());
    fflush(stderr);
}

void TellHiveWaiting(const std::string& path) {
    fflush(stdout);
    fprintf(stderr, "velmora: %s: another run is using this card: waiting for it to finish\n",
            ShownText(path).c_str());
    fflush(stderr);
}

void TellHiveReplay(const std::string& path, const HiveReplay& replay, const HiveLogs& logs) {
    std::string from;
    unsigned named = 0;
    const unsigned total = static_cast<unsigned>(__builtin_popcount(replay.logsApplied));
    for (size_t i = 0; i < HiveLogCount; ++i) {
        if ((replay.logsApplied >> i & 1) != 0) {
            from += named == 0 ? "" : named + 1 == total ? " and " : ", ";
            from += logs.names[i];
            ++named;
        }
    }
    HiveCardState* state = &cardState;
    state->replayed = replay.changes;
    state->replayedUnit = HiveReplayUnit(replay.format, replay.changes);
    snprintf(state->logs, sizeof state->logs, "%s", from.c_str());
    TellHive(path, "replayed " + std::to_string(replay.changes) + " " + state->replayedUnit + " from " +
                       from + ", as Windows would at boot");
}

void TellHiveStage(HiveStage stage) {
    currentStage = stage;
}

HiveCardState* FilledHiveCardState() {
    return &cardState;
}

void TakeHiveCardState(HiveCardState* state) {
    *state = cardState;
}

void KeepHiveLines(bool keep) {
    keepLines = keep;
}
