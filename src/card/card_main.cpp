// velmora-card: the PC's program for cards, which names the card as an
// argument (never through the environment, which sudo drops). `status` shows
// what a rename would find on each card without writing; `rename` is
// velmora's own run on the card named, after checks of its own on the name
// and the card that say what to do next.
#include "card.h"
#include "exit_status.h"
#include "host_api.h"
#include "name_store.h"
#include "run.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char Usage[] =
    "usage: velmora-card [OPTION]... status [CARD]...\n"
    "       velmora-card [OPTION]... rename CARD NEWNAME\n"
    "       velmora-card [OPTION]... batch READER NEWNAME...\n"
    "Shows or renames the computer name of a Galileo board's Windows on its microSD card.\n"
    "CARD is the card's device (/dev/sdb) or drive (E:), its mounted Windows partition, its\n"
    "Windows/System32/config folder or the SYSTEM hive; status with no CARD looks at the mounted cards.\n"
    "READER is a card reader's device (/dev/sdb) or drive (E:): batch names each card put in with the next\n"
    "NEWNAME.\n"
    "\n"
    "  -n, --dry-run         rename: make every check, show the old and new names, write nothing\n"
    "  -q, --quiet           rename: leave out the banner\n"
    "      --json            status: one JSON object per card, one line each\n"
    "      --any-name        rename, batch: any name the board's own velmora accepts\n"
    "      --names FILE      batch: more names, one a line (# comments)\n"
    "      --inventory FILE  batch: append a JSON line a card; a batch resumes from it\n"
    "  -h, --help            show this help\n"
    "      --version         show the version\n"
    "\n"
    "NEWNAME: 1 to 15 letters, digits and hyphens; not all digits; no hyphen first or last.\n"
    "Exit status: 0 done (status: every card can be renamed), 1 failed or refused, 2 usage error.\n";

int UsageFault(const std::string& what) {
    fprintf(stderr, "velmora-card: %s\nTry 'velmora-card --help'.\n", what.c_str());
    return ExitUsageError;
}

} // namespace

bool NameAccepted(const char* name, bool anyName) {
    std::string codeSet;
    if (!IsLocaleText(name, &codeSet)) {
        fprintf(stderr,
                "velmora-card: the new name is no text of this locale's code set (%s): run it in the locale "
                "it was typed in, or a UTF-8 one (LC_ALL=C.UTF-8)\n",
                codeSet.c_str());
        return false;
    }
    bool beyondAscii = false;
    const char* broken = BrokenRule(name, anyName, &beyondAscii);
    if (broken != nullptr) {
        fprintf(stderr, "velmora-card: '%s' is refused: %s\n", Shown(name).c_str(), broken);
        return false;
    }
    if (beyondAscii) {
        fprintf(stderr,
                "velmora-card: warning: '%s' goes beyond ASCII: the board shows it only if its code page "
                "holds every character (the image's is usually Windows-1252)\n",
                Shown(name).c_str());
    }
    return true;
}

namespace {

// Whether the system lets us write the card, told with the next step when it
// does not; everything else the run itself reports in its own words.
bool WritableOrTold(const std::string& hive, HiveUse use) {
    // The run that follows takes the card as this look left it.
    use.keepOpen = true;
    use.keepLines = true;
    UseSystemHive(hive.c_str(), use);
    HKEY probe = nullptr;
    const bool writable = RegOpenKeyExA(HKEY_LOCAL_MACHINE, NameKeys[TcpipKey].path, 0,
                                        KEY_QUERY_VALUE | KEY_SET_VALUE, &probe) == ERROR_SUCCESS;
    if (probe != nullptr) {
        RegCloseKey(probe);
    }
    HiveCardState state{};
    TakeHiveCardState(&state);
    const std::string said = ReasonsAt({HiveStage::Open, HiveStage::Read, HiveStage::Write});
    const std::string next = NextStep(state.writeError != 0 ? state.writeError : state.openError, hive);
    if (!writable && !next.empty()) {
        fprintf(stderr, "velmora: %s: %s\nvelmora-card: %s\n", ShownInLine(hive.c_str()).c_str(),
                said.c_str(), next.c_str());
        return false;
    }
    return true;
}

// The rename of the card at `card` (a path); `ourMount`: mounted by this run.
int RenameAt(const CardOptions& options, char* program, const char* card, bool ourMount) {
    char* name = const_cast<char*>(options.operands[2]);
    std::string why;
    unsigned found = 0;
    const std::string hive = HiveOf(card, &why, &found);
    if (hive.empty()) {
        fprintf(stderr, "velmora-card: %s: %s\n", Shown(card).c_str(), why.c_str());
        return ExitFailed;
    }
    HiveUse use;
    use.found = found;
    use.writeNothing = options.dryRun;
    // A dry run looks at a card mounted read-only for it.
    use.readOnlyLook = ourMount && options.dryRun;
    if (!WritableOrTold(hive, use)) {
        return ExitFailed;
    }
    UseSystemHive(hive.c_str(), use);
    char* run[] = {program, name, nullptr};
    const int status = RunVelmora(2, run, {!options.quiet, !options.anyName, ShowName, true});
    const std::string mount = MountOf(hive);
    if (status == ExitDone && options.dryRun && ourMount) {
        printf("velmora-card: a dry run: nothing was written to the card\n");
    } else if (status == ExitDone && options.dryRun) {
        printf("velmora-card: a dry run: nothing was written to %s\n", ShownInLine(hive.c_str()).c_str());
    } else if (status == ExitDone && ourMount) {
        printf("velmora-card: the card is renamed\n");
    } else if (status == ExitDone && mount.empty()) {
        printf("velmora-card: renamed %s: put it back where the board reads it\n",
               ShownInLine(hive.c_str()).c_str());
    } else if (status == ExitDone) {
        printf("velmora-card: the card is renamed: %s\n", UnmountAndReturn(mount).c_str());
    }
    return status;
}

// The rename of a card named by its device: mounted for the run where it is
// not mounted already, and on every way out flushed and unmounted.
int RenameDevice(const CardOptions& options, char* program) {
    const char* device = options.operands[1];
    CardMount mount;
    std::string why;
    if (!MountCard(device, options.dryRun, &mount, &why)) {
        fprintf(stderr, "velmora-card: %s: %s\n", Shown(device).c_str(), why.c_str());
        LetSignalsThrough();
        return ExitFailed;
    }
    const int status = RenameAt(options, program, mount.folder.c_str(), mount.ours);
    const bool ours = mount.ours;
    const bool released = ReleaseCard(&mount, &why);
    CloseCardDevice(&mount);
    if (!released) {
        fprintf(stderr, "velmora-card: %s: %s\n", Shown(mount.partition.c_str()).c_str(), why.c_str());
    } else if (ours) {
        printf("velmora-card: %s is unmounted: pull the card out now\n",
               Shown(mount.partition.c_str()).c_str());
    }
    LetSignalsThrough();
    return released ? status : ExitFailed;
}

int Rename(const CardOptions& options, char* program) {
    if (!NameAccepted(options.operands[2], options.anyName)) {
        return ExitFailed;
    }
    int error = 0;
    if (KindOf(options.operands[1], &error) == PathKind::Device) {
        return RenameDevice(options, program);
    }
    return RenameAt(options, program, options.operands[1], false);
}
// One option; ExitDone or ExitUsageError when it ends the run there, -1
// when the run goes on. Short options may be bundled (-nq).
int TakeOption(const char* arg, CardOptions* options) {
    if (arg[1] != '-' && arg[2] != '\0') {
        for (const char* c = arg + 1; *c != '\0'; ++c) {
            const char one[] = {'-', *c, '\0'};
            const int taken = TakeOption(one, options);
            if (taken != -1) {
                return taken;
            }
        }
        return -1;
    }
    if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
        fputs(Usage, stdout);
        return ExitDone;
    }
    if (strcmp(arg, "--version") == 0) {
        printf("velmora-card %s\n", VELMORA_VERSION);
        return ExitDone;
    }
    bool* flag = strcmp(arg, "-n") == 0 || strcmp(arg, "--dry-run") == 0 ? &options->dryRun
                 : strcmp(arg, "-q") == 0 || strcmp(arg, "--quiet") == 0 ? &options->quiet
                 : strcmp(arg, "--json") == 0                            ? &options->json
                 : strcmp(arg, "--any-name") == 0                        ? &options->anyName
                                                                         : nullptr;
    if (flag == nullptr) {
        return UsageFault(std::string("unknown option '") + arg + "'");
    }
    *flag = true;
    return -1;
}

} // namespace

int CardMain(int argc, char** argv) {
    // Nothing a card names (its path, its files, its names) reaches the
    // terminal raw.
    ShowHiveTextThrough(ShownInLine);
    CardOptions options;
    bool operandsOnly = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (operandsOnly || arg[0] != '-' || arg[1] == '\0') {
            options.operands.push_back(arg);
        } else if (strcmp(arg, "--") == 0) {
            operandsOnly = true;
        } else if (strcmp(arg, "--names") == 0 || strcmp(arg, "--inventory") == 0) {
            if (i + 1 == argc) {
                return UsageFault(std::string(arg) + " needs a FILE");
            }
            (arg[2] == 'n' ? options.namesFile : options.inventory) = argv[++i];
        } else if (const int ended = TakeOption(arg, &options); ended != -1) {
            return ended;
        }
    }
    const char* command = options.operands.empty() ? "" : options.operands[0];
    if (options.operands.empty()) {
        return UsageFault("no command given: status, rename or batch");
    }
    if (strcmp(command, "status") == 0 && options.operands.size() < 2) {
        // Where the system can tell, the cards in the PC's readers.
        static std::vector<std::string> found = RemovableCards();
        for (const std::string& card : found) {
            options.operands.push_back(card.c_str());
        }
    }
    if (strcmp(command, "status") == 0) {
        if (options.operands.size() < 2) {
            fprintf(stderr, "velmora-card: no card found: %s\n", NoCardFound().c_str());
            return ExitFailed;
        }
        return Status(options);
    }
    if (strcmp(command, "rename") == 0) {
        if (options.json) {
            return UsageFault("--json is for status");
        }
        return options.operands.size() != 3 ? UsageFault("rename needs one CARD and one NEWNAME")
                                            : Rename(options, argv[0]);
    }
    if (strcmp(command, "batch") == 0) {
        if (options.json || options.dryRun) {
            return UsageFault(options.json ? "--json is for status" : "--dry-run is for rename");
        }
        return options.operands.size() < 2 ? UsageFault("batch needs a READER and at least one NEWNAME")
                                           : Batch(options);
    }
    return UsageFault(std::string("unknown command '") + command + "': status, rename or batch");
}
