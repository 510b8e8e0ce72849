// velmora-card: the host's program for cards, which names the card as an
// argument (never through the environment, which sudo drops). `status` shows
// what a rename would find on each card without writing; `rename` is
// velmora's own run on the card named.
#include "name_store.h"
#include "run.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <strings.h>
#include <sys/stat.h>

namespace {

constexpr char Usage[] = "usage: velmora-card status CARD...\n"
                         "       velmora-card rename CARD NEWNAME\n"
                         "CARD is the card's mount point or its Windows/System32/config/SYSTEM file.\n";

// The entry of `directory` named `name` ignoring case, as the card's own
// file system matches names; empty when there is none.
std::string EntryIgnoringCase(const std::string& directory, const char* name) {
    DIR* listing = opendir(directory.c_str());
    std::string found;
    while (const dirent* entry = listing != nullptr ? readdir(listing) : nullptr) {
        if (strcasecmp(entry->d_name, name) == 0) {
            found = directory + "/" + entry->d_name;
            break;
        }
    }
    if (listing != nullptr) {
        closedir(listing);
    }
    return found;
}

// The SYSTEM hive of CARD: the file itself, or the one below a mount point.
// Where there is none, the path it would have, so that the open says so.
std::string HiveOf(const char* card) {
    struct stat info;
    if (stat(card, &info) != 0 || !S_ISDIR(info.st_mode)) {
        return card;
    }
    std::string path = card;
    for (const char* component : {"Windows", "System32", "config", "SYSTEM"}) {
        const std::string next = EntryIgnoringCase(path, component);
        if (next.empty()) {
            path.append("/").append(component);
        } else {
            path = next;
        }
    }
    return path;
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

// One card's block. True when a rename would be accepted.
bool ShowStatus(const char* card) {
    const std::string path = HiveOf(card);
    printf("%s\n", path.c_str());
    UseSystemHive(path.c_str());
    HKEY keys[KeyCount] = {};
    // Read-only first: whether the hive can be used at all.
    const LONG opened =
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, NameKeys[TcpipKey].path, 0, KEY_QUERY_VALUE, &keys[0]);
    const std::string state = Said();
    if (opened != ERROR_SUCCESS) {
        printf("  state              : refused: %s\n\n",
               state.empty() ? "its keys cannot be opened" : state.c_str());
        return false;
    }
    bool renamable = true;
    for (int key = ComputerNameKey; key < KeyCount && renamable; ++key) {
        renamable = RegOpenKeyExA(HKEY_LOCAL_MACHINE, NameKeys[key].path, 0, KEY_QUERY_VALUE, &keys[key]) ==
                    ERROR_SUCCESS;
    }
    char names[NameValueCount][ValueBufferSize + 1] = {};
    constexpr const char* Shown[NameValueCount] = {"Hostname", "NV Hostname", "ComputerName",
                                                   "ActiveComputerName"};
    for (const NameValue& value : NameValues) {
        DWORD type = 0;
        DWORD size = ValueBufferSize;
        const bool read =
            keys[value.key] != nullptr &&
            RegQueryValueExA(keys[value.key], value.valueName, nullptr, &type,
                             reinterpret_cast<BYTE*>(names[value.tag]), &size) == ERROR_SUCCESS &&
            type == REG_SZ;
        names[value.tag][read ? size : 0] = '\0';
        printf("  %-18s : %s%s\n", Shown[value.tag], read ? names[value.tag] : "(cannot be read)",
               value.tag == C2 ? " (as Windows makes it at boot)" : "");
        renamable = renamable && read;
    }
    const bool agree = renamable && CompareNames(names[H1], names[H2]) == 0 &&
                       CompareNames(names[H1], names[C1]) == 0 && CompareNames(names[H1], names[C2]) == 0;
    const std::string unread = Said();
    printf("  names              : %s%s\n",
           agree            ? "agree"
           : unread.empty() ? "do not agree: a rename would be refused"
                            : "cannot be read: ",
           agree ? "" : unread.c_str());
    std::string replayed = state.rfind("replayed ", 0) == 0 ? state.substr(9) : "";
    const size_t tail = replayed.find(", as Windows would at boot");
    if (tail != std::string::npos) {
        replayed.resize(tail);
    }
    printf("  state              : %s%s\n", replayed.empty() ? "clean" : "dirty: Windows would replay ",
           replayed.c_str());
    // Writable: what opening for writing checks, the hive and its log.
    // and, for names that agree, the rename's whole plan with the longest
    // name, in memory: room, limits, the values' cells.
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
        writable = writable && (!agree || RegSetValueExA(probes[value.key], value.valueName, 0, REG_SZ,
                                                         reinterpret_cast<const BYTE*>(Longest),
                                                         sizeof Longest) == ERROR_SUCCESS);
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
    const std::string why = Said();
    printf("  writable           : %s%s\n\n", writable ? "yes" : "no: ", writable ? "" : why.c_str());
    return agree && writable;
}

} // namespace

int main(int argc, char** argv) {
    const char* command = argc > 1 ? argv[1] : "";
    if (strcmp(command, "-h") == 0 || strcmp(command, "--help") == 0) {
        fputs(Usage, stdout);
        return 0;
    }
    if (strcmp(command, "--version") == 0 && argc == 2) {
        printf("velmora-card %s\n", VELMORA_VERSION);
        return 0;
    }
    if (strcmp(command, "status") == 0 && argc >= 3) {
        KeepHiveMessages(true);
        bool all = true;
        for (int i = 2; i < argc; ++i) {
            // One card failing does not stop the others.
            all = ShowStatus(argv[i]) && all;
            fflush(stdout);
        }
        return all ? 0 : 1;
    }
    if (strcmp(command, "rename") == 0 && argc == 4) {
        const std::string hive = HiveOf(argv[2]);
        UseSystemHive(hive.c_str());
        char* run[] = {argv[0], argv[3], nullptr};
        return RunVelmora(2, run);
    }
    fputs(Usage, stdout);
    return 2;
}
