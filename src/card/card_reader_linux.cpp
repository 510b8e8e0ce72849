// What a batch asks of Linux: whether the reader holds a card, the card's
// partition identity, this program run again for each rename, interrupts
// noted rather than fatal, and the time; see card_system.h.
#include "card.h"
#include "card_device.h"
#include "card_system.h"

#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t interrupted = 0;

void Note(int /*signal*/) {
    interrupted = 1;
}

} // namespace

bool LockReader(const std::string& reader, std::string* why) {
    struct stat device;
    if (stat(reader.c_str(), &device) != 0 || !S_ISBLK(device.st_mode)) {
        *why = "not a card reader's device";
        return false;
    }
    // Not the device itself: a loop device held open could not be detached,
    // and a reader held open is no different to the kernel.
    char path[64];
    snprintf(path, sizeof path, "/run/lock/velmora-card-batch.%u-%u", major(device.st_rdev),
             minor(device.st_rdev));
    const int lock = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (lock < 0 || flock(lock, LOCK_EX | LOCK_NB) != 0) {
        *why = lock < 0 ? std::string("its batch lock cannot be taken: ") + strerror(errno) +
                              (errno == EACCES ? ": run it as root (sudo velmora-card ...)" : "")
                        : "another batch is using this reader";
        return false;
    }
    return true; // held until the batch ends
}

bool ReaderHoldsCard(const std::string& reader) {
    // Opened anew each time: a reader notices a new card when opened, and one
    // with none refuses a blocking open (ENOMEDIUM).
    const int fd = open(reader.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::uint64_t size = 0;
    const bool holds = ioctl(fd, BLKGETSIZE64, &size) == 0 && size > 0;
    close(fd);
    return holds;
}

int RunAgain(const std::vector<std::string>& args, std::string* errors) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (const std::string& arg : args) {
        argv.push_back(const_cast<char*>(arg.c_str()));
    }
    argv.push_back(nullptr);
    return Spawn("/proc/self/exe", argv.data(), environ, false, errors);
}

void NoteInterrupts() {
    struct sigaction action = {};
    action.sa_handler = Note;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

bool Interrupted() {
    return interrupted != 0;
}

void PauseBriefly() {
    const timespec half = {0, 500000000};
    nanosleep(&half, nullptr);
}

std::string UtcNow() {
    const time_t now = time(nullptr);
    struct tm utc = {};
    char text[32] = "";
    gmtime_r(&now, &utc);
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

bool OnReader(const std::string& path, const std::string& reader) {
    struct stat file;
    std::string readerDisk;
    // A file not made yet will lie on its folder's file system.
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if ((stat(path.c_str(), &file) != 0 && stat(folder.c_str(), &file) != 0) ||
        KindOfDevice(reader, &readerDisk) == DeviceKind::Unknown) {
        return false;
    }
    for (const MountEntry& mount : Mounts()) {
        std::string disk;
        struct stat point;
        if (KindOfDevice(mount.source, &disk) != DeviceKind::Unknown && disk == readerDisk &&
            stat(mount.point.c_str(), &point) == 0 && point.st_dev == file.st_dev) {
            return true;
        }
    }
    return false;
}

void CloseCardDevice(CardMount* card) {
    if (card->lockFd >= 0) {
        close(card->lockFd);
        card->lockFd = -1;
    }
}

std::string PullOut(const std::string& /*reader*/) {
    return "pull the card out";
}

FILE* OpenFile(const char* path, const char* mode) {
    return fopen(path, (std::string(mode) + "e").c_str());
}

bool FlushToDisk(FILE* file) {
    return fflush(file) == 0 && fsync(fileno(file)) == 0;
}
