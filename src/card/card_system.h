// What velmora-card asks of the system it runs on: one file per system
// (card_system_posix.cpp on Linux, card_system_win32.cpp for velmora-card.exe),
// each with the program's entry, which hands UTF-8 arguments to CardMain.
#pragma once

#include <cstddef>
#include <cstdint>
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
std::string NothingMounted(const std::string& folder);
std::string WrongPartition();
std::string NextStep(int error, const std::string& hive);
std::string UnmountAndReturn(const std::string& mount);
// Cards for `status` with none named: removable drives that hold a hive
// (Windows); none elsewhere.
std::vector<std::string> RemovableCards();
// Whether `text` is text of the program's code set, and the set's name.
bool IsLocaleText(const char* text, std::string* codeSet);
// The next character of `text`, of `*length` bytes; false when `text` is no
// text of the code set.
bool NextCharacter(const char* text, std::uint32_t* character, size_t* length);
bool IsLetter(std::uint32_t character);
