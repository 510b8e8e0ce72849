// What the PC has mounted, and what kind of device serves each mount: read
// from /proc/self/mountinfo and sysfs, so that `status` with no card finds
// the cards a desktop has mounted and never takes the PC's own Windows for
// one; see card_system.h.
#include "card.h"
#include "card_device.h"
#include "card_system.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

std::string SysfsText(const std::string& path) {
    char text[64] = {};
    FILE* file = fopen(path.c_str(), "re");
    if (file == nullptr) {
        return "";
    }
    const bool read = fgets(text, sizeof text, file) != nullptr;
    fclose(file);
    text[strcspn(text, "\n")] = '\0';
    return read ? text : "";
}

} // namespace

std::string DeviceAttribute(const std::string& device, const char* name) {
    struct stat info;
    if (stat(device.c_str(), &info) != 0 || !S_ISBLK(info.st_mode)) {
        return "";
    }
    char path[96];
    snprintf(path, sizeof path, "/sys/dev/block/%u:%u/%s", major(info.st_rdev), minor(info.st_rdev), name);
    return SysfsText(path);
}

std::vector<MountEntry> Mounts() {
    std::vector<MountEntry> mounts;
    FILE* table = fopen("/proc/self/mountinfo", "re");
    if (table == nullptr) {
        return mounts;
    }
    char* line = nullptr;
    size_t size = 0;
    while (getline(&line, &size, table) > 0) {
        MountEntry entry;
        if (ParseMountInfo(line, &entry)) {
            mounts.push_back(entry);
        }
    }
    free(line);
    fclose(table);
    return mounts;
}

DeviceKind KindOfDevice(const std::string& source, std::string* disk) {
    struct stat info;
    if (source.empty() || source[0] != '/' || stat(source.c_str(), &info) != 0) {
        return DeviceKind::Unknown;
    }
    if (S_ISREG(info.st_mode)) {
        return DeviceKind::Image;
    }
    if (!S_ISBLK(info.st_mode)) {
        return DeviceKind::Unknown;
    }
    char link[64];
    snprintf(link, sizeof link, "/sys/dev/block/%u:%u", major(info.st_rdev), minor(info.st_rdev));
    char resolved[PATH_MAX];
    if (realpath(link, resolved) == nullptr) {
        return DeviceKind::Unknown;
    }
    std::string path = resolved;
    // A partition's folder lies in its disk's.
    struct stat partition;
    if (stat((path + "/partition").c_str(), &partition) == 0) {
        path.resize(path.rfind('/'));
    }
    *disk = "/dev/" + path.substr(path.rfind('/') + 1);
    const std::string name = path.substr(path.rfind('/') + 1);
    if (name.compare(0, 4, "loop") == 0) {
        return DeviceKind::Image;
    }
    if (name.compare(0, 2, "sr") == 0 || SysfsText(path + "/device/type") == "5") {
        return DeviceKind::Optical;
    }
    // A card reader is removable media, or hangs off a USB or MMC bus.
    if (SysfsText(path + "/removable") == "1" || path.find("/usb") != std::string::npos ||
        path.find("/mmc") != std::string::npos) {
        return DeviceKind::Removable;
    }
    return DeviceKind::Fixed;
}

const char* DeviceKindText(DeviceKind kind) {
    switch (kind) {
    case DeviceKind::Removable:
        return "removable";
    case DeviceKind::Image:
        return "an image";
    case DeviceKind::Fixed:
        return "a fixed disk";
    case DeviceKind::Optical:
        return "an optical drive";
    case DeviceKind::Unknown:
        break;
    }
    return "a device this PC does not list";
}

namespace {

// A file system a board's card can hold, or a FUSE one that may serve it:
// nothing else is looked into (a network mount could hang the look).
bool CardFileSystemType(const std::string& type) {
    for (const char* card : {"vfat", "msdos", "exfat", "ntfs", "ntfs3", "fuseblk"}) {
        if (type == card) {
            return true;
        }
    }
    return type.compare(0, 5, "fuse.") == 0;
}

} // namespace

std::vector<std::string> RemovableCards() {
    std::vector<std::string> cards;
    for (const MountEntry& mount : Mounts()) {
        if (!CardFileSystemType(mount.type)) {
            continue;
        }
        if (!HoldsWindows(mount.point)) {
            continue;
        }
        std::string disk;
        const DeviceKind kind = KindOfDevice(mount.source, &disk);
        const bool card = kind == DeviceKind::Removable || kind == DeviceKind::Image;
        fprintf(stderr, "velmora-card: %s (%s, %s) holds a Windows: %s\n", Shown(mount.point.c_str()).c_str(),
                Shown(mount.source.c_str()).c_str(), DeviceKindText(kind),
                card ? "looked at as a card"
                     : "not taken for a card, left alone (name it to look at it all the same)");
        if (card) {
            cards.push_back(mount.point);
        }
    }
    return cards;
}
