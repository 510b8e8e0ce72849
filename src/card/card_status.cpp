// velmora-card status: each card read as a rename would read it, and the
// rename's whole plan tried in memory; see card.h.
#include "card.h"
#include "exit_status.h"
#include "host_api.h"
#include "name_store.h"

#include <cstdio>
#include <cstdlib>

namespace {

// A reason with the next step the card's error calls for.
std::string WithNextStep(const std::string& reason, int error, const std::string& hive) {
    const std::string next = NextStep(error, hive);
    return next.empty() ? reason : reason + ": " + next;
}

// False when a close failed: the last one checks the plan against the card.
bool CloseAll(const HKEY (&keys)[KeyCount]) {
    bool closed = true;
    for (HKEY key : keys) {
        closed = (key == nullptr || RegCloseKey(key) == ERROR_SUCCESS) && closed;
    }
    return closed;
}

// The four names as a rename reads them, from keys opened for reading.
void ReadNames(const HKEY (&keys)[KeyCount], CardReport* report) {
    char* copies[NameValueCount] = {};
    bool readable = true;
    for (const NameValue& value : NameValues) {
        bool fillsBuffer = false;
        report->read[value.tag] =
            keys[value.key] != nullptr &&
            ReadNameValue(keys[value.key], value.valueName, &copies[value.tag], &fillsBuffer) == NameRead;
        report->names[value.tag] = report->read[value.tag] ? copies[value.tag] : "";
        readable = readable && report->read[value.tag];
    }
    report->unread = ReasonsAt({HiveStage::Read});
    report->agree = readable && FirstDifferingName(copies) == NameValueCount;
    for (char* copy : copies) {
        free(copy);
    }
}

// Opening for writing checks the hive and its log; for names that agree, the
// rename's whole plan follows with the longest name, in memory: room,
// limits, the values' cells. Nothing is written.
bool TryRename(const CardReport& report, HKEY (&probes)[KeyCount]) {
    bool writable = true;
    for (int key = 0; key < KeyCount && writable; ++key) {
        writable = RegOpenKeyExA(HKEY_LOCAL_MACHINE, NameKeys[key].path, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                                 &probes[key]) == ERROR_SUCCESS;
    }
    static constexpr char Longest[] = "XXXXXXXXXXXXXXX";
    static_assert(sizeof Longest == MaxNameLength + 1);
    for (const NameValue& value : NameValues) {
        writable = writable && (!report.agree ||
                                RegSetValueExA(probes[value.key], value.valueName, 0, REG_SZ,
                                               reinterpret_cast<const BYTE*>(Longest), sizeof Longest) == 0);
    }
    return writable;
}

} // namespace

void ReadCard(CardReport* report) {
    unsigned found = 0;
    const bool device = report->mount.lockFd >= 0;
    report->hive =
        HiveOf(device ? report->mount.folder.c_str() : report->card.c_str(), &report->refusal, &found);
    if (report->hive.empty()) {
        return;
    }
    // Shown as the partition's own path: the private folder is gone by then.
    const std::string shown =
        report->mount.ours ? report->mount.partition + ":" + report->hive.substr(report->mount.folder.size())
                           : "";
    HiveUse use;
    use.found = found;
    use.writeNothing = true; // status writes nothing, ever
    use.keepLines = true;
    use.readOnlyLook = report->mount.ours;
    UseSystemHive(report->hive.c_str(), use);
    HKEY keys[KeyCount] = {};
    const LONG opened =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, NameKeys[TcpipKey].path, 0, KEY_QUERY_VALUE, &keys[TcpipKey]);
    const std::string said = ReasonsAt({HiveStage::Open, HiveStage::Read});
    TakeHiveCardState(&report->state);
    if (opened != ERROR_SUCCESS) {
        report->refusal = WithNextStep(said.empty() ? "its keys cannot be opened" : said,
                                       report->state.openError, report->hive);
        return;
    }
    for (int key = ComputerNameKey; key < KeyCount; ++key) {
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, NameKeys[key].path, 0, KEY_QUERY_VALUE, &keys[key]);
    }
    ReadNames(keys, report);
    HKEY probes[KeyCount] = {};
    report->writable = TryRename(*report, probes);
    const bool probesClosed = CloseAll(probes);
    report->writable = CloseAll(keys) && probesClosed && report->writable;
    HiveCardState after{};
    TakeHiveCardState(&after);
    const std::string closing = ReasonsAt({HiveStage::Write});
    report->notWritable = report->writable ? "" : WithNextStep(closing, after.writeError, report->hive);
    if (report->writable && report->mount.writeProtected) {
        report->writable = false;
        report->notWritable = WriteProtected();
    }
    report->hive = shown.empty() ? report->hive : shown;
}

namespace {

bool Renamable(const CardReport& report) {
    return report.refusal.empty() && report.agree && report.writable;
}

void PrintBlock(const CardReport& report) {
    if (report.mount.lockFd >= 0) {
        printf("%s (%s, %s)\n", Shown(report.card.c_str()).c_str(),
               Shown(report.mount.partition.c_str()).c_str(),
               report.mountedForLook ? "mounted read-only for this look"
                                     : Shown(report.mount.folder.c_str()).c_str());
    } else {
        printf("%s\n", Shown(report.hive.empty() ? report.card.c_str() : report.hive.c_str()).c_str());
    }
    if (!report.refusal.empty()) {
        printf("  state              : refused: %s\n\n", report.refusal.c_str());
        return;
    }
    for (int tag = 0; tag < NameValueCount; ++tag) {
        printf("  %-18s : %s%s\n", NameValues[tag].shownName,
               report.read[tag] ? Shown(report.names[tag].c_str()).c_str() : "(cannot be read)",
               NameValues[tag].shownNote);
    }
    printf("  names              : %s%s\n",
           report.agree            ? "agree"
           : report.unread.empty() ? "do not agree: a rename would be refused"
                                   : "cannot be read: ",
           report.agree ? "" : report.unread.c_str());
    if (report.state.replayed == 0) {
        printf("  state              : clean\n");
    } else {
        printf("  state              : dirty: Windows would replay %u %s from %s\n", report.state.replayed,
               report.state.replayedUnit, ShownInLine(report.state.logs).c_str());
    }
    printf("  writable           : %s%s\n\n", report.writable ? "yes" : "no: ", report.notWritable.c_str());
}

void PrintJson(const CardReport& report) {
    std::string line = "{\"card\":" + Json(report.card.c_str()) +
                       ",\"hive\":" + (report.hive.empty() ? "null" : Json(report.hive.c_str()));
    const bool refused = !report.refusal.empty();
    line += std::string(",\"state\":\"") +
            (refused                     ? "refused"
             : report.state.replayed > 0 ? "dirty"
                                         : "clean") +
            "\"";
    line += ",\"replayed\":" + std::to_string(report.state.replayed) +
            ",\"logs\":" + (report.state.replayed > 0 ? Json(report.state.logs) : "null") + ",\"names\":{";
    for (int tag = 0; tag < NameValueCount; ++tag) {
        line += tag == 0 ? "" : ",";
        line += Json(NameValues[tag].shownName);
        line += ":";
        line += report.read[tag] ? Json(report.names[tag].c_str()) : "null";
    }
    const std::string reason = refused                  ? report.refusal
                               : !report.unread.empty() ? report.unread
                                                        : report.notWritable;
    line += std::string("},\"agree\":") + (report.agree ? "true" : "false") +
            ",\"writable\":" + (report.writable ? "true" : "false") +
            ",\"renamable\":" + (Renamable(report) ? "true" : "false") +
            ",\"reason\":" + (reason.empty() ? "null" : Json(reason.c_str())) + "}";
    printf("%s\n", line.c_str());
}

} // namespace

int Status(const CardOptions& options) {
    std::vector<CardReport> reports(options.operands.size() - 1);
    bool all = true;
    for (size_t i = 0; i < reports.size(); ++i) {
        // One card failing does not stop the others.
        CardReport& report = reports[i];
        report.card = options.operands[i + 1];
        int error = 0;
        if (KindOf(report.card, &error) != PathKind::Device ||
            MountCard(report.card, true, &report.mount, &report.refusal)) {
            ReadCard(&report);
        }
        // Nothing of it stays mounted by us once its block is shown.
        report.mountedForLook = report.mount.ours;
        std::string unreleased;
        const bool released = ReleaseCard(&report.mount, &unreleased);
        options.json ? PrintJson(report) : PrintBlock(report);
        fflush(stdout);
        if (!released) {
            fprintf(stderr, "velmora-card: %s: %s\n", Shown(report.card.c_str()).c_str(), unreleased.c_str());
        }
        CloseCardDevice(&report.mount);
        LetSignalsThrough();
        all = Renamable(report) && released && all;
    }
    // A classroom's fresh boards are all minwinpc.
    for (size_t i = 0; i < reports.size(); ++i) {
        for (size_t j = i + 1; j < reports.size(); ++j) {
            if (reports[i].agree && reports[j].agree && reports[i].hive != reports[j].hive &&
                CompareNames(reports[i].names[H1].c_str(), reports[j].names[H1].c_str()) == 0) {
                fprintf(stderr, "velmora-card: warning: %s and %s both hold %s\n",
                        Shown(reports[i].card.c_str()).c_str(), Shown(reports[j].card.c_str()).c_str(),
                        Shown(reports[j].names[H1].c_str()).c_str());
            }
        }
    }
    return all ? ExitDone : ExitFailed;
}
