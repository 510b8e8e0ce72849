// What velmora-card asks of the system it runs on: one file per system
// (card_system_posix.cpp on Linux, card_system_win32.cpp for velmora-card.exe),
// each with the program's entry, which hands UTF-8 arguments to CardMain.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

int CardMain(int argc, char** argv);

// Where a path leads.
enum class PathKind { Missing, Device, File, Folder, Other };
PathKind KindOf(const std::string& path, int* error);
// The separator paths are joined with.
extern const char PathSeparator;
// The card's mount point (a drive's root on Windows); empty when there is none
// to name.
std::string MountOf(const std::string& hive);
// The words that say what to do next, which differ by system.
std::string NoSuchCard();
std::string MountFirst(const std::string& device);
std::string NoCardFound();
std::string NothingMounted(const std::string& folder);
std::string WrongPartition();
std::string NextStep(int error, const std::string& hive);
std::string UnmountAndReturn(const std::string& mount);
// A card named by its block device, or one partition of it (Linux): the
// partition holding the board's Windows, where it is mounted for the run.
struct CardMount {
    std::string device;
    std::string partition;
    std::string folder; // its mount point
    std::string type;   // its file system, as blkid names it
    std::string uuid;   // its file system's UUID or volume serial, "" when none
    std::string label;  // its volume label, "" when none
    bool ours = false;  // mounted by this run, in a private folder
    // Not root, and the device not ours to open: mounted through the
    // desktop's udisks (which picks the folder), locked by a file of our own.
    bool desktop = false;
    bool elsewhere = false;      // mounted already, by someone else: it stays so
    int lockFd = -1;             // the device, locked for this run
    bool writeProtected = false; // the device refuses writes (a lock switch)
};
// Finds and, where it is not mounted, mounts the card's Windows partition
// (read-only for a look); from then on Ctrl-C and SIGTERM are held. False,
// with why, when the device is no card or holds no single Windows.
bool MountCard(const std::string& device, bool readOnly, CardMount* card, std::string* why);
// MountCard in two steps, for a batch that keeps its reader: the device
// checked, opened and locked (`wait`: for another run to end, else refused);
// then, for each card put in, its Windows partition mounted.
bool OpenCardDevice(const std::string& device, bool wait, CardMount* card, std::string* why);
bool MountOpenedCard(const std::string& device, bool readOnly, CardMount* card, std::string* why);
// Flushes, unmounts what this run mounted and removes its folder. False,
// with why, when the card could not be unmounted cleanly.
bool ReleaseCard(CardMount* card, std::string* why);
// The held signals take effect, once nothing of the card is mounted by us.
void LetSignalsThrough();
// What a batch asks of the system (card_reader_linux.cpp and
// card_reader_win32.cpp). The reader locked for the batch (a second batch on
// it is refused); whether the reader holds a card now; this program run again with `args`, its standard error
// kept (the exit status, or -1); Ctrl-C, SIGTERM and SIGHUP noted rather than fatal; half a second's pause,
// cut short by one; the time (UTC, ISO 8601); whether `path` lies on a file system of the reader's card.
bool LockReader(const std::string& reader, std::string* why);
bool ReaderHoldsCard(const std::string& reader);
int RunAgain(const std::vector<std::string>& args, std::string* errors);
void NoteInterrupts();
bool Interrupted();
void PauseBriefly();
std::string UtcNow();
bool OnReader(const std::string& path, const std::string& reader);
// The card's device closed (and its lock let go) once it is released.
void CloseCardDevice(CardMount* card);
// What to do once a card is done: pull it out (Linux), eject it (Windows).
std::string PullOut(const std::string& reader);
// A file by a UTF-8 path, and its appended lines on the disk.
FILE* OpenFile(const char* path, const char* mode);
bool FlushToDisk(FILE* file);
// Why a write-protected card cannot be renamed, and what to do.
std::string WriteProtected();
// Cards for `status` with none named: the mounted removable drives and
// images that hold a hive; a fixed disk's Windows is told of and left alone.
std::vector<std::string> RemovableCards();
// Whether `text` is text of the program's code set, and the set's name.
bool IsLocaleText(const char* text, std::string* codeSet);
// The next character of `text`, of `*length` bytes; false when `text` is no
// text of the code set.
bool NextCharacter(const char* text, std::uint32_t* character, size_t* length);
bool IsLetter(std::uint32_t character);
