// velmora-card: the PC's program for cards, which names the card as an
// argument (never through the environment, which sudo drops). `status` shows
// what a rename would find on each card without writing; `rename` is
// velmora's own run on the card named, after checks of its own on the name
// and the card that say what to do next.
#include "exit_status.h"
#include "host_api.h"
#include "name_store.h"
#include "run.h"

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <dirent.h>
#include <langinfo.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char Usage[] =
    "usage: velmora-card [OPTION]... status CARD...\n"
    "       velmora-card [OPTION]... rename CARD NEWNAME\n"
    "Shows or renames the computer name of a Galileo board's Windows on its microSD card.\n"
    "CARD is the card's mounted Windows partition, its Windows/System32/config folder or the SYSTEM hive.\n"
    "\n"
    "  -n, --dry-run   rename: make every check, show the old and new names, write nothing\n"
    "  -q, --quiet     rename: leave out the banner\n"
    "      --json      status: one JSON object per card, one line each\n"
    "      --any-name  rename: any name the board's own velmora accepts\n"
    "  -h, --help      show this help\n"
    "      --version   show the version\n"
    "\n"
    "NEWNAME: 1 to 15 letters, digits and hyphens; not all digits; no hyphen first or last.\n"
    "Exit status: 0 done (status: every card can be renamed), 1 failed or refused, 2 usage error.\n";

struct Options {
    bool dryRun = false;
    bool quiet = false;
    bool json = false;
    bool anyName = false;
    std::vector<const char*> operands;
};

int UsageFault(const std::string& what) {
    fprintf(stderr, "velmora-card: %s\nTry 'velmora-card --help'.\n", what.c_str());
    return ExitUsageError;
}

// Text as shown: control characters and backslashes escaped, so that no
// stored name can break a line.
std::string Shown(const char* text) {
    std::string shown;
    for (const char* c = text; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        char escaped[8];
        snprintf(escaped, sizeof escaped, byte == '\\' ? "\\\\" : "\\x%02X", byte);
        shown += byte < 0x20 || byte == 0x7F || byte == '\\' ? escaped : std::string(1, *c);
    }
    return shown;
}

std::string Json(const char* text) {
    std::string quoted = "\"";
    for (const char* c = text; *c != '\0'; ++c) {
        const auto byte = static_cast<unsigned char>(*c);
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\u%04X", byte);
        quoted += byte == '"' || byte == '\\' ? std::string("\\") + *c
                  : byte < 0x20               ? escaped
                                              : std::string(1, *c);
    }
    return quoted + "\"";
}

// Under the C or POSIX locale (cron, a bare ssh session) text is read and
// written as UTF-8, so that every card can be shown and renamed.
void ChooseLocale() {
    locale_t given = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    const bool ascii = given == static_cast<locale_t>(nullptr) ||
                       strcmp(nl_langinfo_l(CODESET, given), "ANSI_X3.4-1968") == 0;
    if (given != static_cast<locale_t>(nullptr)) {
        freelocale(given);
    }
    if (ascii) {
        setenv("LC_ALL", "C.UTF-8", 1);
    }
    setlocale(LC_ALL, "");
}

// The entry of `directory` named `name` ignoring case, as the card's own
// file system matches names; empty when there is none.
std::string EntryIgnoringCase(const std::string& directory, const char* name) {
    DIR* listing = opendir(directory.c_str());
    std::string found;
    while (const dirent* entry = listing != nullptr ? readdir(listing) : nullptr) {
        if (strcasecmp(entry->d_name, name) == 0) {
            found = (directory == "/" ? "" : directory) + "/" + entry->d_name;
            break;
        }
    }
    if (listing != nullptr) {
        closedir(listing);
    }
    return found;
}

// `below` followed from `directory`, each name ignoring case; empty when one is missing.
std::string Below(const std::string& directory, std::initializer_list<const char*> below) {
    std::string path = directory;
    for (const char* name : below) {
        path = path.empty() ? path : EntryIgnoringCase(path, name);
    }
    return path;
}

bool IsEmptyDirectory(const std::string& directory) {
    DIR* listing = opendir(directory.c_str());
    bool empty = listing != nullptr;
    while (const dirent* entry = listing != nullptr ? readdir(listing) : nullptr) {
        empty = empty && (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0);
    }
    if (listing != nullptr) {
        closedir(listing);
    }
    return empty;
}

bool EndsWithIgnoringCase(const std::string& text, const char* tail) {
    const size_t length = strlen(tail);
    return text.size() >= length && strcasecmp(text.c_str() + text.size() - length, tail) == 0;
}

// The SYSTEM hive of CARD: below a mount point, in a config folder, below a
// Windows folder, or the file itself. Empty, with why and what to do, when
// CARD is none of these.
std::string HiveOf(const char* card, std::string* why) {
    std::string path = card;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        *why = errno == ENOENT
                   ? "no such file or folder: name the mount point of the card's Windows partition "
                     "(lsblk -f shows where each partition is mounted)"
                   : strerror(errno);
        return "";
    }
    if (S_ISBLK(info.st_mode)) {
        *why =
            "this is the card's device, not its files: mount it first (sudo mkdir -p /mnt/card; sudo mount " +
            path + " /mnt/card), then name /mnt/card";
        return "";
    }
    if (S_ISREG(info.st_mode)) {
        if (EndsWithIgnoringCase(path, ".LOG") || EndsWithIgnoringCase(path, ".LOG1") ||
            EndsWithIgnoringCase(path, ".LOG2")) {
            *why = "this is one of the hive's logs: name the hive, SYSTEM, beside it (or the card)";
            return "";
        }
        return path;
    }
    if (!S_ISDIR(info.st_mode)) {
        *why = "not a folder or a regular file";
        return "";
    }
    for (const std::string& found :
         {Below(path, {"Windows", "System32", "config", "SYSTEM"}),
          Below(path, {"System32", "config", "SYSTEM"}), Below(path, {"SYSTEM"})}) {
        if (!found.empty()) {
            return found;
        }
    }
    *why =
        IsEmptyDirectory(path)
            ? "the folder is empty: nothing is mounted here (sudo mount /dev/sdX2 " + path +
                  ", the card's Windows partition; lsblk -f lists them)"
            : "no Windows/System32/config/SYSTEM below it: this is likely the wrong partition (the board's "
              "Windows is on the card's partition with a Windows folder; lsblk -f lists them)";
    return "";
}

std::string MountOf(const std::string& hive);

// The next step for a card the system would not let us open or write; empty
// when there is none to tell.
std::string NextStep(int error, const std::string& hive) {
    const std::string mount = MountOf(hive);
    switch (error) {
    case EROFS:
        return "the card is mounted read-only: slide back the adapter's lock switch if it has one, then "
               "remount it read-write (sudo mount -o remount,rw " +
               (mount.empty() ? std::string("MOUNTPOINT") : mount) + ")";
    case EACCES:
    case EPERM:
        return geteuid() != 0 ? "this user may not write the card: run it as root (sudo velmora-card ...)"
               : error == EPERM
                   ? "even root may not write it: clear the file's immutable flag (sudo chattr -i " + hive +
                         ", or the log's beside it) or check how the card is mounted"
                   : "";
    default:
        return "";
    }
}

// The backend's own lines since the last call, on one line.
std::string Said() {
    char buffer[1024];
    TakeHiveMessages(buffer, sizeof buffer);
    for (char* c = buffer; *c != '\0'; ++c) {
        *c = *c == '\n' ? ';' : *c;
    }
    return buffer;
}

// A reason with the next step the card's error calls for.
std::string WithNextStep(const std::string& reason, int error, const std::string& hive) {
    const std::string next = NextStep(error, hive);
    return next.empty() ? reason : reason + ": " + next;
}

// What status found of one card.
struct CardReport {
    std::string card;
    std::string hive;
    std::string refusal; // empty unless refused
    HiveCardState state{};
    char names[NameValueCount][ValueBufferSize + 1] = {};
    bool read[NameValueCount] = {};
    std::string unread;
    bool agree = false;
    bool writable = false;
    std::string notWritable;
};

constexpr const char* ShownValue[NameValueCount] = {"Hostname", "NV Hostname", "ComputerName",
                                                    "ActiveComputerName"};

// Reads one card, and tries the rename's whole plan in memory with the
// longest name: what the rename would refuse is refused here.
void ReadCard(CardReport* report) {
    report->hive = HiveOf(report->card.c_str(), &report->refusal);
    if (report->hive.empty()) {
        return;
    }
    UseSystemHive(report->hive.c_str());
    HKEY keys[KeyCount] = {};
    const LONG opened =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, NameKeys[TcpipKey].path, 0, KEY_QUERY_VALUE, &keys[TcpipKey]);
    const std::string said = Said();
    TakeHiveCardState(&report->state);
    if (opened != ERROR_SUCCESS) {
        report->refusal = WithNextStep(said.empty() ? "its keys cannot be opened" : said,
                                       report->state.openError, report->hive);
        return;
    }
    bool readable = true;
    for (int key = ComputerNameKey; key < KeyCount && readable; ++key) {
        readable = RegOpenKeyExA(HKEY_LOCAL_MACHINE, NameKeys[key].path, 0, KEY_QUERY_VALUE, &keys[key]) ==
                   ERROR_SUCCESS;
    }
    for (const NameValue& value : NameValues) {
        DWORD type = 0;
        DWORD size = ValueBufferSize;
        report->read[value.tag] =
            keys[value.key] != nullptr &&
            RegQueryValueExA(keys[value.key], value.valueName, nullptr, &type,
                             reinterpret_cast<BYTE*>(report->names[value.tag]), &size) == ERROR_SUCCESS &&
            type == REG_SZ;
        report->names[value.tag][report->read[value.tag] ? size : 0] = '\0';
        readable = readable && report->read[value.tag];
    }
    report->unread = Said();
    report->agree = readable && CompareNames(report->names[H1], report->names[H2]) == 0 &&
                    CompareNames(report->names[H1], report->names[C1]) == 0 &&
                    CompareNames(report->names[H1], report->names[C2]) == 0;
    HKEY probes[KeyCount] = {};
    bool writable = true;
    for (int key = 0; key < KeyCount && writable; ++key) {
        writable = RegOpenKeyExA(HKEY_LOCAL_MACHINE, NameKeys[key].path, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                                 &probes[key]) == ERROR_SUCCESS;
    }
    KeepHiveUnwritten(true);
    static constexpr char Longest[] = "XXXXXXXXXXXXXXX";
    static_assert(sizeof Longest == MaxNameLength + 1);
    for (const NameValue& value : NameValues) {
        writable = writable && (!report->agree ||
                                RegSetValueExA(probes[value.key], value.valueName, 0, REG_SZ,
                                               reinterpret_cast<const BYTE*>(Longest), sizeof Longest) == 0);
    }
    for (HKEY key : probes) {
        if (key != nullptr) {
            RegCloseKey(key);
        }
    }
    for (HKEY key : keys) {
        if (key != nullptr) {
            RegCloseKey(key);
        }
    }
    KeepHiveUnwritten(false);
    HiveCardState after{};
    TakeHiveCardState(&after);
    report->writable = writable;
    report->notWritable = writable ? "" : WithNextStep(Said(), after.writeError, report->hive);
    Said();
}

bool Renamable(const CardReport& report) {
    return report.refusal.empty() && report.agree && report.writable;
}

void PrintBlock(const CardReport& report) {
    printf("%s\n", Shown(report.hive.empty() ? report.card.c_str() : report.hive.c_str()).c_str());
    if (!report.refusal.empty()) {
        printf("  state              : refused: %s\n\n", report.refusal.c_str());
        return;
    }
    for (int tag = 0; tag < NameValueCount; ++tag) {
        printf("  %-18s : %s%s\n", ShownValue[tag],
               report.read[tag] ? Shown(report.names[tag]).c_str() : "(cannot be read)",
               tag == C2 ? " (as Windows makes it at boot)" : "");
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
               report.state.oldFormat ? (report.state.replayed == 1 ? "dirty page" : "dirty pages")
                                      : (report.state.replayed == 1 ? "log entry" : "log entries"),
               report.state.logs);
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
        line += (tag == 0 ? "" : ",") + Json(ShownValue[tag]) + ":" +
                (report.read[tag] ? Json(report.names[tag]) : "null");
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

int Status(const Options& options) {
    KeepHiveMessages(true);
    std::vector<CardReport> reports(options.operands.size() - 1);
    bool all = true;
    for (size_t i = 0; i < reports.size(); ++i) {
        // One card failing does not stop the others.
        reports[i].card = options.operands[i + 1];
        ReadCard(&reports[i]);
        options.json ? PrintJson(reports[i]) : PrintBlock(reports[i]);
        fflush(stdout);
        all = Renamable(reports[i]) && all;
    }
    // A classroom's fresh boards are all minwinpc.
    for (size_t i = 0; i < reports.size(); ++i) {
        for (size_t j = i + 1; j < reports.size(); ++j) {
            if (reports[i].agree && reports[j].agree && reports[i].hive != reports[j].hive &&
                CompareNames(reports[i].names[H1], reports[j].names[H1]) == 0) {
                fprintf(stderr, "velmora-card: warning: %s and %s both hold %s\n", reports[i].card.c_str(),
                        reports[j].card.c_str(), Shown(reports[j].names[H1]).c_str());
            }
        }
    }
    return all ? ExitDone : ExitFailed;
}

// The board's own rules, and those of Windows' rename dialog and of DNS host
// names. nullptr, or the rule the name breaks; `beyondAscii` is set for a name
// whose board must have a code page that holds it.
const char* BrokenRule(const char* name, bool anyName, bool* beyondAscii) {
    std::mbstate_t state{};
    size_t bytes = 0;
    bool digitsOnly = true;
    bool allowed = true;
    wchar_t first = 0;
    wchar_t last = 0;
    *beyondAscii = false;
    for (const char* c = name; *c != '\0';) {
        wchar_t wide = 0;
        const size_t length = mbrtowc(&wide, c, strlen(c), &state);
        if (length == static_cast<size_t>(-1) || length == static_cast<size_t>(-2)) {
            return nullptr; // told apart: no text of the locale
        }
        c += length;
        // One byte on the board, or two for a character beyond ASCII in a
        // double-byte code page.
        bytes += wide < 0x80 ? 1 : 2;
        *beyondAscii = *beyondAscii || wide >= 0x80;
        first = first == 0 ? wide : first;
        last = wide;
        digitsOnly = digitsOnly && wide >= L'0' && wide <= L'9';
        allowed = allowed &&
                  (iswalpha(static_cast<wint_t>(wide)) || (wide >= L'0' && wide <= L'9') || wide == L'-');
    }
    if (bytes < MinNameLength || bytes > MaxNameLength) {
        return "a computer name is 1 to 15 bytes as the board counts them (a character beyond ASCII may take "
               "two)";
    }
    if (anyName) {
        return nullptr;
    }
    if (!allowed) {
        return "a computer name holds only letters, digits and hyphens (use --any-name to store any name the "
               "board's own velmora accepts)";
    }
    if (digitsOnly) {
        return "a computer name is not all digits, which Windows refuses (use --any-name to store it anyway)";
    }
    if (first == L'-' || last == L'-') {
        return "a computer name neither starts nor ends with a hyphen, which is no DNS host name (use "
               "--any-name to store it anyway)";
    }
    return nullptr;
}

// The card's mount point, for the line after a rename: the highest folder
// above the hive on the hive's own file system; empty when that is the root.
std::string MountOf(const std::string& hive) {
    struct stat file;
    if (stat(hive.c_str(), &file) != 0) {
        return "";
    }
    std::string top = hive.substr(0, hive.rfind('/'));
    for (;;) {
        const size_t slash = top.rfind('/');
        const std::string up = slash == 0 || slash == std::string::npos ? "/" : top.substr(0, slash);
        struct stat above;
        if (top == "/" || top.empty() || stat(up.c_str(), &above) != 0 || above.st_dev != file.st_dev) {
            return top == "/" ? "" : top;
        }
        top = up;
    }
}

int Rename(const Options& options, char* program) {
    const char* card = options.operands[1];
    char* name = const_cast<char*>(options.operands[2]);
    if (mbstowcs(nullptr, name, 0) == static_cast<size_t>(-1)) {
        fprintf(stderr,
                "velmora-card: the new name is no text of this locale's code set (%s): run it in the locale "
                "it was typed in, or a UTF-8 one (LC_ALL=C.UTF-8)\n",
                nl_langinfo(CODESET));
        return ExitFailed;
    }
    bool beyondAscii = false;
    const char* broken = BrokenRule(name, options.anyName, &beyondAscii);
    if (broken != nullptr) {
        fprintf(stderr, "velmora-card: '%s' is refused: %s\n", Shown(name).c_str(), broken);
        return ExitFailed;
    }
    if (beyondAscii) {
        fprintf(stderr,
                "velmora-card: warning: '%s' goes beyond ASCII: the board shows it only if its code page "
                "holds every character (the image's is usually Windows-1252)\n",
                Shown(name).c_str());
    }
    std::string why;
    const std::string hive = HiveOf(card, &why);
    if (hive.empty()) {
        fprintf(stderr, "velmora-card: %s: %s\n", Shown(card).c_str(), why.c_str());
        return ExitFailed;
    }
    UseSystemHive(hive.c_str());
    // Whether the system lets us write the card, told with the next step;
    // everything else the run itself reports in its own words.
    KeepHiveMessages(true);
    HKEY probe = nullptr;
    const bool writable = RegOpenKeyExA(HKEY_LOCAL_MACHINE, NameKeys[TcpipKey].path, 0,
                                        KEY_QUERY_VALUE | KEY_SET_VALUE, &probe) == ERROR_SUCCESS;
    if (probe != nullptr) {
        RegCloseKey(probe);
    }
    HiveCardState state{};
    TakeHiveCardState(&state);
    const std::string said = Said();
    KeepHiveMessages(false);
    const std::string next = NextStep(state.writeError != 0 ? state.writeError : state.openError, hive);
    if (!writable && !next.empty()) {
        fprintf(stderr, "velmora: %s: %s\nvelmora-card: %s\n", hive.c_str(), said.c_str(), next.c_str());
        return ExitFailed;
    }
    KeepHiveUnwritten(options.dryRun);
    char* run[] = {program, name, nullptr};
    const int status = RunVelmora(2, run, {!options.quiet, !options.anyName});
    if (status == ExitDone && options.dryRun) {
        printf("velmora-card: a dry run: nothing was written to %s\n", hive.c_str());
    } else if (status == ExitDone) {
        const std::string mount = MountOf(hive);
        if (mount.empty()) {
            printf("velmora-card: renamed %s: put it back where the board reads it\n", hive.c_str());
        } else {
            printf("velmora-card: the card is renamed: unmount it (sudo umount %s), then put it back in the "
                   "board\n",
                   mount.c_str());
        }
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    ChooseLocale();
    Options options;
    bool operandsOnly = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (operandsOnly || arg[0] != '-' || arg[1] == '\0') {
            options.operands.push_back(arg);
        } else if (strcmp(arg, "--") == 0) {
            operandsOnly = true;
        } else if (strcmp(arg, "-h") == 0 || strcmp(arg, "--help") == 0) {
            fputs(Usage, stdout);
            return ExitDone;
        } else if (strcmp(arg, "--version") == 0) {
            printf("velmora-card %s\n", VELMORA_VERSION);
            return ExitDone;
        } else if (strcmp(arg, "-n") == 0 || strcmp(arg, "--dry-run") == 0) {
            options.dryRun = true;
        } else if (strcmp(arg, "-q") == 0 || strcmp(arg, "--quiet") == 0) {
            options.quiet = true;
        } else if (strcmp(arg, "--json") == 0) {
            options.json = true;
        } else if (strcmp(arg, "--any-name") == 0) {
            options.anyName = true;
        } else {
            return UsageFault(std::string("unknown option '") + arg + "'");
        }
    }
    const char* command = options.operands.empty() ? "" : options.operands[0];
    if (options.operands.empty()) {
        return UsageFault("no command given: status or rename");
    }
    if (strcmp(command, "status") == 0) {
        return options.operands.size() < 2 ? UsageFault("status needs at least one CARD") : Status(options);
    }
    if (strcmp(command, "rename") == 0) {
        if (options.json) {
            return UsageFault("--json is for status");
        }
        return options.operands.size() != 3 ? UsageFault("rename needs one CARD and one NEWNAME")
                                            : Rename(options, argv[0]);
    }
    return UsageFault(std::string("unknown command '") + command + "': status or rename");
}
