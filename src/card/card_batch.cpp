// velmora-card batch: a classroom's cards through one reader, one after
// another, each given the next name of a list unless it holds one already,
// with a line a card and, on request, an inventory line a card (JSON Lines,
// appended and flushed) from which a later batch resumes; see card.h.
#include "card.h"
#include "exit_status.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

enum class Outcome { Renamed, Kept, Refused };
constexpr const char* OutcomeNames[] = {"renamed", "kept", "refused"};

struct Sitting {
    std::vector<std::string> names;
    std::vector<bool> given;
    std::vector<std::string> renamed; // this sitting's, in order
    int kept = 0;
    int refused = 0;
    FILE* inventory = nullptr;
};

// The value of `"key":"..."` in one of our own inventory lines, unescaped.
bool JsonString(const std::string& line, const char* key, std::string* value) {
    const std::string field = std::string("\"") + key + "\":\"";
    size_t at = line.find(field);
    if (at == std::string::npos) {
        return false;
    }
    value->clear();
    for (at += field.size(); at < line.size() && line[at] != '"'; ++at) {
        if (line[at] == '\\' && at + 1 < line.size()) {
            const char escaped = line[++at];
            if (escaped == 'u' && at + 4 < line.size()) {
                *value += static_cast<char>(strtol(line.substr(at + 1, 4).c_str(), nullptr, 16));
                at += 4;
            } else {
                *value += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped;
            }
        } else {
            *value += line[at];
        }
    }
    return true;
}

int IndexOf(const Sitting& sitting, const std::string& name) {
    for (size_t i = 0; i < sitting.names.size(); ++i) {
        if (CompareNames(sitting.names[i].c_str(), name.c_str()) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

// The names a list file holds: one a line, blank lines and # comments left out.
bool ReadNames(const char* path, std::vector<std::string>* names) {
    FILE* file = OpenFile(path, "r");
    if (file == nullptr) {
        fprintf(stderr, "velmora-card: %s: %s\n", Shown(path).c_str(), strerror(errno));
        return false;
    }
    char line[256];
    while (fgets(line, sizeof line, file) != nullptr) {
        line[strcspn(line, "#\r\n")] = '\0';
        size_t end = strlen(line);
        while (end > 0 && (line[end - 1] == ' ' || line[end - 1] == '\t')) {
            line[--end] = '\0';
        }
        const char* start = line + strspn(line, " \t");
        if (*start != '\0') {
            names->push_back(start);
        }
    }
    fclose(file);
    return true;
}

// The names an earlier sitting's inventory gives, and the file opened to append to.
bool OpenInventory(const char* path, const std::string& reader, Sitting* sitting) {
    if (OnReader(path, reader)) {
        fprintf(stderr, "velmora-card: %s is on the reader's card: keep the inventory on the PC\n",
                Shown(path).c_str());
        return false;
    }
    sitting->inventory = OpenFile(path, "a");
    FILE* earlier = sitting->inventory != nullptr ? OpenFile(path, "r") : nullptr;
    if (earlier == nullptr) {
        fprintf(stderr, "velmora-card: the inventory %s cannot be written: %s\n", Shown(path).c_str(),
                strerror(errno));
        return false;
    }
    std::string line;
    for (int c; (c = fgetc(earlier)) != EOF;) {
        if (c != '\n') {
            line += static_cast<char>(c);
            continue;
        }
        std::string outcome;
        std::string name;
        const int given =
            JsonString(line, "outcome", &outcome) && outcome != "refused" && JsonString(line, "new", &name)
                ? IndexOf(*sitting, name)
                : -1;
        if (given >= 0) {
            sitting->given[static_cast<size_t>(given)] = true;
        }
        line.clear();
    }
    fclose(earlier);
    return true;
}

void Record(Sitting* sitting, const std::string& reader, const CardMount& card, const std::string& old,
            const std::string& name, Outcome outcome, const std::string& reason) {
    if (sitting->inventory == nullptr) {
        return;
    }
    const auto text = [](const std::string& value) { return value.empty() ? "null" : Json(value.c_str()); };
    const std::string line =
        "{\"time\":\"" + UtcNow() + "\",\"card\":" + Json(reader.c_str()) +
        ",\"partition\":" + text(card.partition) + ",\"uuid\":" + text(card.uuid) +
        ",\"label\":" + text(card.label) + ",\"old\":" + text(old) + ",\"new\":" + text(name) +
        ",\"outcome\":\"" + OutcomeNames[static_cast<int>(outcome)] + "\",\"reason\":" + text(reason) + "}\n";
    if (fputs(line.c_str(), sitting->inventory) == EOF || !FlushToDisk(sitting->inventory)) {
        fprintf(stderr, "velmora-card: warning: the inventory could not be written: %s\n", strerror(errno));
    }
}

// Why a rename run on the card mounted at `folder` failed, from what it said
// on standard error: the hive's own reason where it gave one (which says
// what the card holds after a failed write), its folder left out, else the
// last line.
std::string WhyRefused(const std::string& said, const std::string& folder) {
    const std::string hive = "velmora: " + folder;
    std::string reason;
    std::string last;
    for (size_t at = 0; at < said.size();) {
        const size_t end = said.find('\n', at) == std::string::npos ? said.size() : said.find('\n', at);
        const std::string line = said.substr(at, end - at);
        const size_t after = line.find(": ", hive.size());
        if (line.compare(0, hive.size(), hive) == 0 && after != std::string::npos) {
            reason = line.substr(after + 2);
        }
        last = line.empty() ? last : line;
        at = end + 1;
    }
    return reason.empty() ? last : reason;
}

// The line of a card refused, whose name `next` goes to the next card.
std::string RefusedLine(const Sitting& sitting, int next, const std::string& why) {
    return "refused (" + Shown(sitting.names[static_cast<size_t>(next)].c_str()) + " not used): " + why;
}

// One card in the reader: read, then kept, renamed with `next`, or refused.
Outcome OneCard(const CardOptions& options, const std::string& reader, int next, Sitting* sitting,
                CardMount* mount, std::string* line) {
    std::string why;
    if (!OpenCardDevice(reader, true, mount, &why) || !MountOpenedCard(reader, false, mount, &why)) {
        *line = RefusedLine(*sitting, next, why);
        Record(sitting, reader, *mount, "", "", Outcome::Refused, why);
        return Outcome::Refused;
    }
    CardReport report;
    report.card = reader;
    report.mount = *mount;
    ReadCard(&report);
    const std::string old = report.names[H1];
    const int held = report.agree ? IndexOf(*sitting, old) : -1;
    Outcome outcome = Outcome::Refused;
    if (!report.refusal.empty()) {
        why = report.refusal;
    } else if (held >= 0) {
        sitting->given[static_cast<size_t>(held)] = true;
        *line = "already " + Shown(old.c_str()) + ": kept";
        outcome = Outcome::Kept;
    } else {
        const std::string& name = sitting->names[static_cast<size_t>(next)];
        std::vector<std::string> args = {"velmora-card", "-q", "rename", mount->folder, name};
        if (options.anyName) {
            args.insert(args.begin() + 1, "--any-name");
        }
        std::string said;
        if (RunAgain(args, &said) == 0) {
            sitting->given[static_cast<size_t>(next)] = true;
            sitting->renamed.push_back(name);
            *line = Shown(name.c_str()) + ": renamed (was " + Shown(old.c_str()) + ")";
            outcome = Outcome::Renamed;
        } else {
            why = WhyRefused(said, mount->folder);
        }
    }
    if (outcome == Outcome::Refused) {
        *line = RefusedLine(*sitting, next, why);
    }
    Record(sitting, reader, *mount, report.agree ? old : "",
           outcome == Outcome::Renamed ? sitting->names[static_cast<size_t>(next)]
           : held >= 0                 ? old
                                       : "",
           outcome, outcome == Outcome::Refused ? why : "");
    return outcome;
}

int NextName(const Sitting& sitting) {
    for (size_t i = 0; i < sitting.names.size(); ++i) {
        if (!sitting.given[i]) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

void Summary(const Sitting& sitting) {
    const size_t named = sitting.renamed.size();
    std::string line = std::to_string(named) + (named == 1 ? " card named" : " cards named");
    if (named > 0) {
        line += ' ';
        line += Shown(sitting.renamed[0].c_str());
    }
    if (named > 1) {
        line += " \u2026 ";
        line += Shown(sitting.renamed.back().c_str());
    }
    printf("%s, %d kept, %d refused\n", line.c_str(), sitting.kept, sitting.refused);
}

// The names from the command line and the list file, each checked by the
// rename's rules; a name twice is a usage error. ExitDone when all pass.
int CheckNames(const CardOptions& options, Sitting* sitting) {
    sitting->names.assign(options.operands.begin() + 2, options.operands.end());
    if (options.namesFile != nullptr && !ReadNames(options.namesFile, &sitting->names)) {
        return ExitFailed;
    }
    for (size_t i = 0; i < sitting->names.size(); ++i) {
        if (!NameAccepted(sitting->names[i].c_str(), options.anyName)) {
            return ExitFailed;
        }
        // Found first further up: the same name, ignoring case.
        if (IndexOf(*sitting, sitting->names[i]) != static_cast<int>(i)) {
            fprintf(stderr, "velmora-card: '%s' is in the list twice\nTry 'velmora-card --help'.\n",
                    Shown(sitting->names[i].c_str()).c_str());
            return ExitUsageError;
        }
    }
    sitting->given.assign(sitting->names.size(), false);
    return sitting->names.empty() ? ExitUsageError : ExitDone;
}

} // namespace

int Batch(const CardOptions& options) {
    Sitting sitting;
    const std::string reader = options.operands[1];
    if (const int checked = CheckNames(options, &sitting); checked != ExitDone) {
        if (checked == ExitUsageError && sitting.names.empty()) {
            fprintf(stderr, "velmora-card: batch needs a READER and at least one NEWNAME\n"
                            "Try 'velmora-card --help'.\n");
        }
        return checked;
    }
    // A reader checked as a card named by its device is, before any wait.
    CardMount probe;
    std::string why;
    if (OpenCardDevice(reader, false, &probe, &why) && probe.desktop) {
        // It watches the reader itself, for each card put in.
        why = "a batch reads the reader's device: run it as root (sudo velmora-card batch ...)";
        CloseCardDevice(&probe);
    }
    if (!why.empty() || !LockReader(reader, &why)) {
        fprintf(stderr, "velmora-card: %s: %s\n", Shown(reader.c_str()).c_str(), why.c_str());
        return ExitFailed;
    }
    CloseCardDevice(&probe);
    if (options.inventory != nullptr && !OpenInventory(options.inventory, reader, &sitting)) {
        return ExitFailed;
    }
    NoteInterrupts();
    for (int next = NextName(sitting); next >= 0 && !Interrupted(); next = NextName(sitting)) {
        printf("Insert card %d of %zu (%s)\u2026\n", next + 1, sitting.names.size(),
               Shown(sitting.names[static_cast<size_t>(next)].c_str()).c_str());
        fflush(stdout);
        while (!Interrupted() && !ReaderHoldsCard(reader)) {
            PauseBriefly();
        }
        if (Interrupted()) {
            break;
        }
        CardMount mount;
        std::string line;
        const Outcome outcome = OneCard(options, reader, next, &sitting, &mount, &line);
        // A card the desktop mounted stays mounted: it is unmounted before it is pulled.
        const std::string done = mount.elsewhere ? UnmountAndReturn(mount.folder) : PullOut(reader);
        sitting.kept += outcome == Outcome::Kept;
        sitting.refused += outcome == Outcome::Refused;
        std::string unreleased;
        const bool released = ReleaseCard(&mount, &unreleased);
        CloseCardDevice(&mount);
        printf("%s%s%s\n", line.c_str(), released ? " \u2014 " : ": ",
               released ? done.c_str() : unreleased.c_str());
        fflush(stdout);
        LetSignalsThrough();
        while (!Interrupted() && ReaderHoldsCard(reader)) {
            PauseBriefly();
        }
    }
    Summary(sitting);
    return sitting.refused == 0 ? ExitDone : ExitFailed;
}
