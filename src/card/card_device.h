// Linux: what the PC has mounted, what kind of device serves a mount, and
// the listings of lsblk and blkid, read by the pure functions of
// card_listing.cpp and the system calls of card_mounts_linux.cpp.
#pragma once

#include <functional>
#include <string>
#include <vector>

// One line of /proc/self/mountinfo.
struct MountEntry {
    std::string point;  // where it is mounted
    std::string type;   // the file system's type
    std::string source; // the device, or what the file system names
};
// False for a line that is not one of mountinfo's.
bool ParseMountInfo(const char* line, MountEntry* entry);
std::vector<MountEntry> Mounts();

enum class DeviceKind { Removable, Image, Fixed, Optical, Unknown };
// What serves a mount: a card reader (removable media, or on a USB or MMC
// bus), an image (a loop device or a file), a fixed disk or an optical drive.
// `disk`: the whole disk a partition belongs to.
DeviceKind KindOfDevice(const std::string& source, std::string* disk);
const char* DeviceKindText(DeviceKind kind);
// The first line of a block device's sysfs attribute `name`
// (/sys/dev/block/MAJ:MIN/NAME), which every user may read; "" when none.
std::string DeviceAttribute(const std::string& device, const char* name);

// Each KEY=value or KEY="value" of `text`, as lsblk -P and blkid -o udev
// write them, \xNN escapes decoded.
void ReadPairs(const char* text, const std::function<void(const std::string&, const std::string&)>& visit);
// The partitions lsblk -P -p -o NAME,TYPE lists for `device`: its
// partitions, or the device itself when it has none (a file system on the
// whole device).
std::vector<std::string> CardPartitions(const char* lsblkPairs, const std::string& device);

// Runs `path` outside the terminal's process group (Ctrl-C never stops a
// mount, an unmount or a rename halfway) with no signal held, its standard
// error (and standard output, when kept; else /dev/null) in `output`. The
// exit status, or -1 (killed, or not run: why in `output`).
int Spawn(const char* path, char* const* argv, char* const* environment, bool keepStdout,
          std::string* output);

// What blkid finds on `partition`, read from the device rather than any
// cache: its file system's type, UUID (or volume serial) and label; each ""
// when there is none.
void ProbePartition(const std::string& partition, std::string* type, std::string* uuid, std::string* label);
