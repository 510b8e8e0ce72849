// velmora-card on Linux: the locale (UTF-8 under C), stat, mount points, and
// what to do next in the words of a Linux shell; see card_system.h.
#include "card.h"
#include "card_system.h"

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <cuchar>
#include <cwchar>
#include <cwctype>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

const char PathSeparator = '/';

namespace {

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

// `text` as one word of a shell, so that a suggested command, pasted, runs
// just itself: as it is when plain, else in single quotes, or as $'...' with
// \xNN escapes where it holds a control character or a byte that is no text.
std::string Quoted(const std::string& text) {
    if (!text.empty() &&
        text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"
                               "_/.,:@%+=-") == std::string::npos) {
        return text;
    }
    const bool controls = ShownInLine(text.c_str()) != text;
    std::string quoted = controls ? "$'" : "'";
    for (char c : controls ? Shown(text.c_str()) : text) {
        quoted += c != '\'' ? std::string(1, c) : controls ? "\\'" : "'\\''";
    }
    return quoted + "'";
}

} // namespace

int main(int argc, char** argv) {
    ChooseLocale();
    return CardMain(argc, argv);
}

PathKind KindOf(const std::string& path, int* error) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        *error = errno;
        return PathKind::Missing;
    }
    return S_ISBLK(info.st_mode)   ? PathKind::Device
           : S_ISREG(info.st_mode) ? PathKind::File
           : S_ISDIR(info.st_mode) ? PathKind::Folder
                                   : PathKind::Other;
}

// The highest folder above the hive on the hive's own file system; empty when
// that is the root.
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

std::string NoSuchCard() {
    return "no such file or folder: name the mount point of the card's Windows partition (lsblk -f shows "
           "where "
           "each partition is mounted)";
}

std::string MountFirst(const std::string& device) {
    return "this is the card's device, not its files: mount it first (sudo mkdir -p /mnt/card; sudo mount " +
           Quoted(device) + " /mnt/card), then name /mnt/card";
}

std::string NoCardFound() {
    return "insert the card and let the desktop mount it, or name its device (sudo velmora-card status "
           "/dev/sdX; "
           "lsblk lists them)";
}

std::string NothingMounted(const std::string& folder) {
    return "the folder is empty: nothing is mounted here (sudo mount /dev/sdX2 " + Quoted(folder) +
           ", the card's Windows partition; lsblk -f lists them)";
}

std::string WrongPartition() {
    return "no Windows/System32/config/SYSTEM below it: this is likely the wrong partition (the board's "
           "Windows is "
           "on the card's partition with a Windows folder; lsblk -f lists them)";
}

std::string NextStep(int error, const std::string& hive) {
    const std::string mount = MountOf(hive);
    switch (error) {
    case EROFS:
        return "the card is mounted read-only: slide back the adapter's lock switch if it has one, then "
               "remount it read-write (sudo mount -o remount,rw " +
               (mount.empty() ? std::string("MOUNTPOINT") : Quoted(mount)) + ")";
    case EACCES:
    case EPERM:
        return geteuid() != 0 ? "this user may not write the card: run it as root (sudo velmora-card ...)"
               : error == EPERM
                   ? "even root may not write it: clear the file's immutable flag (sudo chattr -i " +
                         Quoted(hive) + ", or the log's beside it) or check how the card is mounted"
                   : "";
    default:
        return "";
    }
}

std::string UnmountAndReturn(const std::string& mount) {
    return "unmount it (sudo umount " + Quoted(mount) + "), then put it back in the board";
}

bool IsLocaleText(const char* text, std::string* codeSet) {
    *codeSet = nl_langinfo(CODESET);
    return mbstowcs(nullptr, text, 0) != static_cast<size_t>(-1);
}

bool NextCharacter(const char* text, std::uint32_t* character, size_t* length) {
    std::mbstate_t state{};
    char32_t wide = 0;
    *length = mbrtoc32(&wide, text, strlen(text), &state);
    *character = wide;
    return *length != static_cast<size_t>(-1) && *length != static_cast<size_t>(-2);
}

bool IsLetter(std::uint32_t character) {
    return iswalpha(static_cast<wint_t>(character)) != 0;
}
