// A card named by its block device: its partitions listed with lsblk, each
// probed with blkid, the one holding the board's Windows used where it is
// mounted or mounted for the run in a private folder, and on every way out
// flushed, unmounted and the folder removed; see card_system.h. A user who
// is not root, and may not open the device, has it mounted and unmounted by
// the desktop's udisks instead, as the desktop would, where udisks runs.
//
// Order, so that a card can be pulled once the last line is shown:
//   lock the device (a second run waits) -> hold Ctrl-C and SIGTERM ->
//   mount -> run -> syncfs -> umount -> flush the device -> rmdir ->
//   last line -> let the held signals through.
#include "card.h"
#include "card_device.h"
#include "card_system.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <spawn.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>
#include <initializer_list>
#include <vector>

namespace {

// A card's file systems, the types mount(8) is asked for in turn (the
// kernel's driver, then the FUSE helper), and the package that serves them.
struct CardFileSystem {
    const char* blkidType;
    const char* mountTypes[2];
    const char* package;
};
constexpr CardFileSystem CardFileSystems[] = {
    {"vfat", {"vfat", nullptr}, "a kernel with the vfat module"},
    {"exfat", {"exfat", "exfat-fuse"}, "exfat-fuse"},
    {"ntfs", {"ntfs", "ntfs3"}, "ntfs-3g"},
};

// Only the system's own programs, by absolute path: sudo's caller chooses
// neither PATH nor what it finds.
std::string SystemProgram(const char* name) {
    for (const char* folder : {"/usr/sbin/", "/usr/bin/", "/sbin/", "/bin/"}) {
        std::string path = std::string(folder) + name;
        if (access(path.c_str(), X_OK) == 0) {
            return path;
        }
    }
    return "";
}

// Runs a system program with a plain environment; see Spawn.
int RunProgram(std::initializer_list<const char*> args, std::string* output) {
    const std::string path = SystemProgram(*args.begin());
    if (path.empty()) {
        *output = std::string(*args.begin()) + " is not installed";
        return -1;
    }
    std::vector<char*> argv;
    for (const char* arg : args) {
        argv.push_back(const_cast<char*>(arg));
    }
    argv.push_back(nullptr);
    char* environment[] = {const_cast<char*>("PATH=/usr/sbin:/usr/bin:/sbin:/bin"),
                           const_cast<char*>("LC_ALL=C"), nullptr};
    return Spawn(path.c_str(), argv.data(), environment, true, output);
}

// The last line of a program's words, for a reason.
std::string LastLine(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    const size_t newline = text.rfind('\n');
    return ShownInLine((newline == std::string::npos ? text : text.substr(newline + 1)).c_str());
}

const CardFileSystem* CardFileSystemOf(const std::string& type) {
    for (const CardFileSystem& system : CardFileSystems) {
        if (type == system.blkidType) {
            return &system;
        }
    }
    return nullptr;
}

// Where `partition` is mounted already, or "".
std::string MountedAt(const std::string& partition) {
    struct stat device;
    if (stat(partition.c_str(), &device) != 0) {
        return "";
    }
    for (const MountEntry& mount : Mounts()) {
        struct stat source;
        if (stat(mount.source.c_str(), &source) == 0 && S_ISBLK(source.st_mode) &&
            source.st_rdev == device.st_rdev) {
            return mount.point;
        }
    }
    return "";
}

// A card's file system runs nothing and holds no device: mounted so by
// mount(8) and by udisks alike.
const char* MountOptions(bool readOnly) {
    return readOnly ? "nosuid,nodev,noexec,ro" : "nosuid,nodev,noexec";
}

bool MountAt(const std::string& partition, const CardFileSystem& system, const std::string& folder,
             bool readOnly, std::string* why) {
    const char* options = MountOptions(readOnly);
    std::string said;
    for (const char* type : system.mountTypes) {
        if (type != nullptr &&
            RunProgram({"mount", "-t", type, "-o", options, partition.c_str(), folder.c_str()}, &said) == 0) {
            return true;
        }
    }
    *why = said.find("unknown filesystem type") != std::string::npos
               ? std::string("this PC cannot mount its ") + system.blkidType + " file system: install " +
                     system.package + " (sudo apt install " + system.package + ")"
               : "mount failed: " + LastLine(said);
    return false;
}

// udisks mounts what this user may mount (the desktop's rules decide), in
// a folder of its choosing under /media.
bool MountThroughDesktop(const std::string& partition, bool readOnly, CardMount* found, std::string* why) {
    std::string said;
    if (RunProgram({"udisksctl", "mount", "--no-user-interaction", "-b", partition.c_str(), "-o",
                    MountOptions(readOnly)},
                   &said) != 0) {
        // "Error mounting DEVICE: GDBus.Error:NAME: words": the words.
        const std::string last = LastLine(said);
        const size_t words = last.rfind(": ");
        *why = "udisks did not mount it for this user (" +
               (words == std::string::npos ? last : last.substr(words + 2)) + "): run it with sudo";
        return false;
    }
    found->folder = MountedAt(partition);
    found->ours = true;
    if (found->folder.empty()) {
        *why = "udisks mounted it, but it is not among the mounts";
        return false;
    }
    return true;
}

bool Unmount(const CardMount& card, std::string* why) {
    std::string said;
    if (card.desktop) {
        if (RunProgram({"udisksctl", "unmount", "--no-user-interaction", "-b", card.partition.c_str()},
                       &said) == 0) {
            return true;
        }
        *why = "it could not be unmounted (" + LastLine(said) + "): close what uses " +
               ShownInLine(card.folder.c_str()) + ", then unmount it (udisksctl unmount -b " +
               ShownInLine(card.partition.c_str()) + ")";
        return false;
    }
    const std::string& folder = card.folder;
    if (RunProgram({"umount", folder.c_str()}, &said) == 0) {
        return true;
    }
    // Nothing stays mounted: a busy mount is detached, and said so.
    RunProgram({"umount", "-l", folder.c_str()}, &said);
    *why = "it could not be unmounted cleanly, and was detached: wait a moment before pulling it out";
    return false;
}

// What was looked at, for a refusal: the partition, then in parentheses its
// file system and what it holds.
void Looked(std::string* list, const std::string& partition, const std::string& type, const char* holds) {
    *list += list->empty() ? "" : ", ";
    *list += ShownInLine(partition.c_str());
    *list += " (";
    *list += ShownInLine(type.c_str());
    *list += holds;
}

// Takes `partition` back out of our use: unmounted when we mounted it.
void PutBack(CardMount* found) {
    std::string ignored;
    ReleaseCard(found, &ignored);
}

// Mounts `found` in a private folder of its own, made for it (root's only),
// or through udisks.
bool MountPrivately(const CardFileSystem& system, bool readOnly, CardMount* found, std::string* why) {
    if (found->desktop) {
        return MountThroughDesktop(found->partition, readOnly, found, why);
    }
    char folder[] = "/run/velmora-card.XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        *why = std::string("no folder to mount it in: ") + strerror(errno);
        return false;
    }
    if (!MountAt(found->partition, system, folder, readOnly, why)) {
        rmdir(folder);
        return false;
    }
    found->folder = folder;
    found->ours = true;
    return true;
}

// The partitions of `device` that hold a file system of a card, each probed
// and, when not mounted, mounted read-only to look for the hive. The one
// holding it stays mounted, read-only until the run needs more.
bool FindWindows(const std::string& device, bool readOnly, CardMount* card, std::string* why) {
    std::string listed;
    if (RunProgram({"lsblk", "-P", "-p", "-o", "NAME,TYPE", device.c_str()}, &listed) != 0) {
        *why = "lsblk cannot list its partitions: " + LastLine(listed);
        return false;
    }
    std::string looked;
    int holding = 0;
    for (const std::string& partition : CardPartitions(listed.c_str(), device)) {
        CardMount found = *card; // the device's lock and state
        found.device = device;
        found.partition = partition;
        found.folder = MountedAt(partition);
        found.type = found.uuid = found.label = "";
        ProbePartition(partition, &found.type, &found.uuid, &found.label);
        const std::string& type = found.type;
        const CardFileSystem* system = CardFileSystemOf(type);
        found.ours = false;
        if (system == nullptr || (found.folder.empty() && geteuid() != 0 && !found.desktop)) {
            Looked(&looked, partition, type.empty() ? "no file system" : type,
                   system != nullptr ? ", not mounted, and only root can mount it: run it with sudo)" : ")");
            continue;
        }
        found.elsewhere = !found.folder.empty();
        std::string unmounted;
        if (found.folder.empty() && !MountPrivately(*system, true, &found, &unmounted)) {
            // Said with what was looked at: another partition may hold the Windows.
            Looked(&looked, partition, type, (", cannot be mounted: " + unmounted + ")").c_str());
            continue;
        }
        const bool windows = HoldsWindows(found.folder);
        Looked(&looked, partition, type, windows ? ", holds a Windows)" : ", no Windows)");
        if (windows && ++holding == 1) {
            *card = found;
        } else {
            PutBack(&found);
        }
    }
    if (holding != 1) {
        *why = std::string(holding == 0 ? "no partition of it holds a Windows/System32/config/SYSTEM"
                                        : "more than one partition of it holds a Windows") +
               ": looked at " + (looked.empty() ? std::string("nothing") : looked);
        PutBack(card);
        return false;
    }
    if (!card->ours || readOnly) {
        return true;
    }
    // Mounted for the look: mounted again for writing.
    return ReleaseCard(card, why) && MountPrivately(*CardFileSystemOf(card->type), false, card, why);
}

// Whether udisks can mount cards for this user: udisksctl is installed and
// its daemon answers.
bool DesktopMounts() {
    std::string ignored;
    return RunProgram({"udisksctl", "status"}, &ignored) == 0;
}

// One run a card for a user who may not open the device: a lock file of
// this user's, named by the device's numbers (-1 when there is none).
int DesktopLock(const std::string& device) {
    struct stat info;
    if (stat(device.c_str(), &info) != 0) {
        return -1;
    }
    char path[80];
    snprintf(path, sizeof path, "/run/lock/velmora-card.%u-%u.%u", major(info.st_rdev), minor(info.st_rdev),
             static_cast<unsigned>(geteuid()));
    // Another user may have put anything there first: only a file of ours.
    const int lock = open(path, O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (lock >= 0 && (fstat(lock, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid())) {
        close(lock);
        errno = EACCES;
        return -1;
    }
    return lock;
}

// Waits (a few seconds at most) for the partitions of a card just put in to
// appear, where udev runs, before they are listed.
void SettleDevices() {
    std::string ignored;
    RunProgram({"udevadm", "settle", "--timeout=5"}, &ignored);
}

sigset_t HeldSignals() {
    sigset_t held;
    sigemptyset(&held);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        sigaddset(&held, signal);
    }
    return held;
}

} // namespace

void ProbePartition(const std::string& partition, std::string* type, std::string* uuid, std::string* label) {
    // The device itself read by blkid; for a user who may not read it, what
    // udev read of it, where udev runs (as it does wherever udisks does). The
    // same three facts, under each one's own keys.
    const bool readable = access(partition.c_str(), R_OK) == 0;
    const char* const keys[3] = {readable ? "ID_FS_TYPE" : "FSTYPE", readable ? "ID_FS_UUID" : "UUID",
                                 readable ? "ID_FS_LABEL_ENC" : "LABEL"};
    std::string output;
    if ((readable ? RunProgram({"blkid", "-p", "-o", "udev", partition.c_str()}, &output)
                  : RunProgram({"lsblk", "-P", "-d", "-o", "FSTYPE,UUID,LABEL", partition.c_str()},
                               &output)) != 0) {
        return;
    }
    ReadPairs(output.c_str(), [&](const std::string& key, const std::string& value) {
        *type = key == keys[0] ? value : *type;
        *uuid = key == keys[1] ? value : *uuid;
        *label = key == keys[2] ? value : *label;
    });
}

int Spawn(const char* path, char* const* argv, char* const* environment, bool keepStdout,
          std::string* output) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        *output = strerror(errno);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (keepStdout) {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);
    pid_t child = -1;
    const int spawned = posix_spawn(&child, path, &actions, &attributes, argv, environment);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipeFds[1]);
    output->clear();
    char chunk[4096];
    for (ssize_t got; (got = read(pipeFds[0], chunk, sizeof chunk)) != 0;) {
        if (got > 0 && output->size() < (1u << 20)) {
            output->append(chunk, static_cast<size_t>(got));
        } else if (got < 0 && errno != EINTR) {
            break;
        }
    }
    close(pipeFds[0]);
    int status = 0;
    if (spawned != 0) {
        *output = strerror(spawned);
        return -1;
    }
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool OpenCardDevice(const std::string& device, bool wait, CardMount* card, std::string* why) {
    std::string disk;
    const DeviceKind kind = KindOfDevice(device, &disk);
    if (kind != DeviceKind::Removable && kind != DeviceKind::Image) {
        *why =
            std::string("this is ") + DeviceKindText(kind) + ", not a card in a reader: nothing was mounted";
        return false;
    }
    // Without waiting for media: a reader with no card opens so.
    card->lockFd = open(device.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int error = errno;
    if (card->lockFd < 0 && error == EACCES && geteuid() != 0 && DesktopMounts()) {
        card->desktop = true;
        card->lockFd = DesktopLock(device);
        error = errno;
    }
    if (card->lockFd < 0) {
        *why = std::string(card->desktop ? "its lock file cannot be taken: " : "it cannot be opened: ") +
               strerror(error) + (error == EACCES ? ": run it as root (sudo velmora-card ...)" : "");
        return false;
    }
    // One run a card: the next waits here, where Ctrl-C still stops it.
    if (flock(card->lockFd, LOCK_EX | LOCK_NB) != 0) {
        if (!wait) {
            *why = "another batch or run is using it";
            close(card->lockFd);
            card->lockFd = -1;
            return false;
        }
        fprintf(stderr, "velmora-card: another run is using %s: waiting for it\n",
                Shown(device.c_str()).c_str());
        flock(card->lockFd, LOCK_EX);
    }
    return true;
}

bool MountOpenedCard(const std::string& device, bool readOnly, CardMount* card, std::string* why) {
    // An adapter's lock switch: mount(8) would fall back to read-only.
    int readOnlyDevice = 0;
    card->writeProtected = card->desktop
                               ? DeviceAttribute(device, "ro") == "1"
                               : ioctl(card->lockFd, BLKROGET, &readOnlyDevice) == 0 && readOnlyDevice != 0;
    if (card->writeProtected && !readOnly) {
        *why = WriteProtected();
        return false;
    }
    const sigset_t held = HeldSignals();
    sigprocmask(SIG_BLOCK, &held, nullptr);
    why->clear();
    SettleDevices();
    return FindWindows(device, readOnly, card, why);
}

bool MountCard(const std::string& device, bool readOnly, CardMount* card, std::string* why) {
    if (!OpenCardDevice(device, true, card, why)) {
        return false;
    }
    if (!MountOpenedCard(device, readOnly, card, why)) {
        close(card->lockFd);
        card->lockFd = -1;
        return false;
    }
    return true;
}

bool ReleaseCard(CardMount* card, std::string* why) {
    if (!card->ours) {
        return true;
    }
    const int folder = open(card->folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        syncfs(folder);
        close(folder);
    }
    bool released = Unmount(*card, why);
    // A FUSE helper writes through the device's own cache; the kernel
    // flushes it at the helper's last close too, which is all a user who may
    // not open the device can count on.
    const int device = open(card->partition.c_str(), O_RDONLY | O_CLOEXEC);
    released = (device >= 0 ? fsync(device) == 0 : card->desktop && errno == EACCES) && released;
    if (device >= 0) {
        close(device);
    }
    if (!card->desktop) {
        rmdir(card->folder.c_str()); // udisks removes its own
    }
    card->ours = false;
    return released;
}

std::string WriteProtected() {
    return "the card is write-protected: slide back the adapter's lock switch, then put it in again";
}

void LetSignalsThrough() {
    // A held Ctrl-C ends the program here: what it said is said first.
    fflush(stdout);
    const sigset_t held = HeldSignals();
    sigprocmask(SIG_UNBLOCK, &held, nullptr);
}
