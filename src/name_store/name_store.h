// The computer-name store: where the four name values live, how one is read
// and written, and the procedure that checks and rewrites all four.
#pragma once

#include "platform.h"

constexpr int MinNameLength = 1;
constexpr int MaxNameLength = 15;
constexpr DWORD ValueBufferSize = 200;

enum KeyIndex { TcpipKey, ComputerNameKey, ActiveComputerNameKey, KeyCount };

struct NameKey {
    const char* path;
    const char* openFailure;
    const char* closeFailure;
};

constexpr NameKey NameKeys[KeyCount] = {
    {"SYSTEM\\ControlSet001\\Services\\Tcpip\\Parameters", "Host Name : Registry Open Error.\n",
     "Host Name : Registry Close Error.\n"},
    {"SYSTEM\\ControlSet001\\Control\\ComputerName\\ComputerName", "Computer Name : Registry Open Error.\n",
     "Computer Name 1 : Registry Close Error.\n"},
    {"SYSTEM\\ControlSet001\\Control\\ComputerName\\ActiveComputerName",
     "Computer Name : Registry Open Error.\n", "Computer Name 2 : Registry Close Error.\n"},
};

enum NameValueTag { H1, H2, C1, C2, NameValueCount };

struct NameValue {
    NameValueTag tag;
    KeyIndex key;
    const char* valueName;
    const char* label;     // in the tool's messages
    const char* shortTag;  // in the mismatch line
    const char* shownName; // in a card's status, and its JSON
    const char* shownNote; // after the name in a card's status
};

// Read, compared, written and printed in this order.
constexpr NameValue NameValues[NameValueCount] = {
    {H1, TcpipKey, "Hostname", "Host Name 1", "H1", "Hostname", ""},
    {H2, TcpipKey, "NV Hostname", "Host Name 2", "H2", "NV Hostname", ""},
    {C1, ComputerNameKey, "ComputerName", "Computer Name 1", "C1", "ComputerName", ""},
    {C2, ActiveComputerNameKey, "ComputerName", "Computer Name 2", "C2", "ActiveComputerName",
     " (as Windows makes it at boot)"},
};

// Why a value could not be read.
enum NameReadFailure { NameRead, NameQueryFailed, NameTypeMismatch, NameNoMemory };

// Reads the stored name as QueryNameValue does without ending the run: a heap
// copy in `copy` (the caller frees it), and whether the data fills the whole
// buffer. NameRead, or the failure (`copy` then null).
NameReadFailure ReadNameValue(HKEY key, const char* valueName, char** copy, bool* fillsBuffer);

// Returns a heap copy of the stored name, always NUL-terminated; ends the
// process with status 1 on any failure.
char* QueryNameValue(HKEY key, const char* valueName, const char* label);

// The first value whose name differs from H1's, compared in the table's
// order; NameValueCount when all agree.
int FirstDifferingName(char* const (&names)[NameValueCount]);

// Stores newName as REG_SZ; ends the process with status 1 on failure.
void SetNameValue(HKEY key, const char* valueName, const char* newName, const char* label);

// Zero when both names are the same name ignoring case in the system's ANSI
// code page, non-zero otherwise.
int CompareNames(const char* first, const char* second);

// Whether the name holds a character Windows refuses in every computer name:
// a control character or one of \ / : * ? " < > |, read character by
// character in the system's ANSI code page.
bool HoldsForbiddenCharacter(const char* name);

// Returns only when all four values hold newName and every key is closed.
void RenameComputer(const char* newName);
