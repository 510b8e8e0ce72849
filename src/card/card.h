// velmora-card's rooms: finding the card and saying what to do next, the
// rules a new name must keep and how text is shown, and reading cards for
// status. card_main.cpp holds the options, the rename and the entry.
#pragma once

#include "card_system.h"
#include "host_api.h"
#include "name_store.h"

#include <initializer_list>
#include <string>
#include <vector>

struct CardOptions {
    bool dryRun = false;
    bool quiet = false;
    bool json = false;
    bool anyName = false;
    const char* namesFile = nullptr;   // batch: more names, one a line
    const char* inventory = nullptr;   // batch: the JSON Lines file of what each card got
    std::vector<const char*> operands; // the command, then its arguments
};

// card_main.cpp

// The new name's checks, before anything is opened: the locale's code set,
// then the board's or the host-name rules. False, told why, once refused.
bool NameAccepted(const char* name, bool anyName);

// card_batch.cpp

// A classroom's cards through one reader: see the usage.
int Batch(const CardOptions& options);

// card_locate.cpp

// The SYSTEM hive of CARD: below a mount point, below a Windows folder, in a
// config folder, or the file itself. Empty, with why and what to do, when
// CARD is none of these. `found`: how many of the path's last components
// were found on the card (the hive's own folders, never followed as links).
std::string HiveOf(const char* card, std::string* why, unsigned* found);
// Whether the file system mounted at `root` holds Windows/System32/config/SYSTEM.
bool HoldsWindows(const std::string& root);
// The reasons the hive backend gave at `stages` of its last run, on one line.
std::string ReasonsAt(std::initializer_list<HiveStage> stages);

// card_text.cpp

// Text as shown: control characters (C0, DEL, C1), bytes that are no text of
// the code set (and, on Linux, backslashes) escaped as \xNN, so that nothing
// read from a card can break a line or drive the terminal.
std::string Shown(const char* text);
// The same inside a line of our own (a path, a reason): backslashes as they are.
std::string ShownInLine(const char* text);
// A stored name as the rename's own lines show it.
void ShowName(const char* name, char* shown, size_t size);
// Text as a JSON string: controls as \u escapes, a byte that is no text as
// U+FFFD.
std::string Json(const char* text);
// The board's own rules, and those of Windows' rename dialog and of DNS host
// names. nullptr, or the rule the name breaks; `beyondAscii` is set for a name
// whose board must have a code page that holds it.
const char* BrokenRule(const char* name, bool anyName, bool* beyondAscii);

// card_status.cpp

// What status finds of one card: what a rename would find, and whether it
// would be tried.
struct CardReport {
    std::string card;
    CardMount mount; // a card named by its device: where it is mounted for the look
    bool mountedForLook = false;
    std::string hive;
    std::string refusal; // empty unless refused
    HiveCardState state{};
    std::string names[NameValueCount];
    bool read[NameValueCount] = {};
    std::string unread;
    bool agree = false;
    bool writable = false;
    std::string notWritable;
};

// Reads the card named in `report` (or, when `report->mount` holds one, the
// card mounted there), writing nothing.
void ReadCard(CardReport* report);

// Every card named after the command: a block (or a JSON line) each, and a
// warning for cards that share a name. ExitDone when every one can be renamed.
int Status(const CardOptions& options);
