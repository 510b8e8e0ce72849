// velmora-card.exe on a Windows PC: UTF-16 arguments handed on as UTF-8, the
// console written in UTF-8, drives, and what to do next in a Windows user's
// words; see card_system.h.
#include "card_system.h"
#include "host_api.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <windows.h>

const char PathSeparator = '\\';

namespace {

UINT consoleCodePage = 0;

// The console as the user had it, however the run ends.
void RestoreConsole() {
    SetConsoleOutputCP(consoleCodePage);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    // Any name the console can type reaches the hive as the same Unicode text,
    // and is shown in it.
    consoleCodePage = GetConsoleOutputCP();
    if (consoleCodePage != 0 && SetConsoleOutputCP(CP_UTF8)) {
        atexit(RestoreConsole);
    }
    std::vector<std::string> arguments;
    std::vector<char*> pointers;
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(Utf8(argv[i]));
    }
    for (std::string& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    return CardMain(argc, pointers.data());
}

PathKind KindOf(const std::string& path, int* error) {
    // `E:` is the drive's root, not its current folder.
    const std::string named = path.size() == 2 && path[1] == ':' ? path + "\\" : path;
    const DWORD attributes = GetFileAttributesW(Utf16(named).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        *error = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
        return PathKind::Missing;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Folder : PathKind::File;
}

std::string MountOf(const std::string& hive) {
    return hive.size() >= 2 && hive[1] == ':' ? hive.substr(0, 2) : "";
}

std::string NoSuchCard() {
    return "no such file or folder: name the card's drive (E:, as Explorer shows it), or its Windows folder";
}

std::string MountFirst(const std::string& device) {
    return device + " is no drive's files: name the card's drive (E:)";
}

std::string NoCardFound() {
    return "no removable drive holds a Windows\\System32\\config\\SYSTEM: insert the card, or name its drive "
           "(velmora-card status E:)";
}

// Windows mounts the card's partition itself: a device is never named.
bool MountCard(const std::string& device, bool /*readOnly*/, CardMount* /*card*/, std::string* why) {
    *why = MountFirst(device);
    return false;
}

bool ReleaseCard(CardMount* /*card*/, std::string* /*why*/) {
    return true;
}

void LetSignalsThrough() {}

std::string WriteProtected() {
    return "the card is write-protected: slide back the adapter's lock switch";
}

std::string NothingMounted(const std::string& folder) {
    return "the folder " + folder + " is empty, so nothing is mounted here: name the card's drive (E:)";
}

std::string WrongPartition() {
    return "no Windows\\System32\\config\\SYSTEM below it: this is likely the wrong partition, or not the "
           "board's "
           "card (Disk Management shows the card's partitions)";
}

std::string NextStep(int error, const std::string& /*hive*/) {
    switch (error) {
    case EROFS:
        return "the card is write-protected: slide back the adapter's lock switch, then put the card in "
               "again";
    case EACCES:
        return "this user may not write the card: run it from a console opened as administrator";
    case EBUSY:
        return "another program holds the hive open: close it (Registry Editor's loaded hive, say) and try "
               "again";
    default:
        return "";
    }
}

std::string UnmountAndReturn(const std::string& mount) {
    return "eject it (Explorer: right-click " + mount + ", Eject), then put it back in the board";
}

std::vector<std::string> RemovableCards() {
    std::vector<std::string> cards;
    const DWORD drives = GetLogicalDrives();
    for (int letter = 0; letter < 26; ++letter) {
        const std::string root = std::string(1, static_cast<char>('A' + letter)) + ":\\";
        if ((drives >> letter & 1) == 0 || GetDriveTypeW(Utf16(root).c_str()) != DRIVE_REMOVABLE) {
            continue;
        }
        const DWORD hive = GetFileAttributesW(Utf16(root + "Windows\\System32\\config\\SYSTEM").c_str());
        if (hive != INVALID_FILE_ATTRIBUTES && (hive & FILE_ATTRIBUTE_DIRECTORY) == 0) {
            cards.push_back(root.substr(0, 2));
        }
    }
    return cards;
}

bool IsLocaleText(const char* text, std::string* codeSet) {
    *codeSet = "UTF-8";
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0) != 0;
}

bool NextCharacter(const char* text, std::uint32_t* character, size_t* length) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    *length = bytes[0] < 0x80 ? 1 : bytes[0] < 0xE0 ? 2 : bytes[0] < 0xF0 ? 3 : 4;
    // A sequence cut short by the string's end is no text: nothing past it is read.
    if (strnlen(text, *length) < *length) {
        return false;
    }
    wchar_t wide[2] = {};
    const int units =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, static_cast<int>(*length), wide, 2);
    *character = units == 2 ? 0x10000 + ((wide[0] - 0xD800u) << 10) + (wide[1] - 0xDC00u) : wide[0];
    return units > 0;
}

bool IsLetter(std::uint32_t character) {
    return character < 0x10000 && iswalpha(static_cast<wint_t>(character)) != 0;
}
