// The floor for the host benchmark: the file work of a full rename and nothing
// else. It opens the three key directories, reads the four value files and
// replaces each with a flushed temporary renamed over it, as the stand-in
// registry does, without the tool's checks, messages or code-page work.
//
//   floor STORE_ROOT NEWNAME   (STORE_ROOT: .../velmora/registry/HKEY_LOCAL_MACHINE)
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static const char* const Keys[] = {
    "SYSTEM/ControlSet001/Services/Tcpip/Parameters",
    "SYSTEM/ControlSet001/Control/ComputerName/ComputerName",
    "SYSTEM/ControlSet001/Control/ComputerName/ActiveComputerName",
};
static const struct {
    int key;
    const char* name;
} Values[] = {{0, "Hostname"}, {0, "NV Hostname"}, {1, "ComputerName"}, {2, "ComputerName"}};

int main(int argc, char** argv) {
    if (argc != 3) {
        return 2;
    }
    int keys[3];
    for (int k = 0; k < 3; ++k) {
        char path[4096];
        snprintf(path, sizeof path, "%s/%s", argv[1], Keys[k]);
        keys[k] = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (keys[k] < 0) {
            return 1;
        }
    }
    char buffer[512];
    for (const auto& value : Values) {
        const int fd = openat(keys[value.key], value.name, O_RDONLY | O_CLOEXEC);
        if (fd < 0 || read(fd, buffer, sizeof buffer) < 0 || close(fd) != 0) {
            return 1;
        }
    }
    const size_t length = strlen(argv[2]) + 1;
    for (const auto& value : Values) {
        const int dir = keys[value.key];
        const int fd = openat(dir, ".floor-tmp", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 || write(fd, "REG_SZ\n", 7) != 7 || write(fd, argv[2], length) != (ssize_t)length ||
            fsync(fd) != 0 || close(fd) != 0 || renameat(dir, ".floor-tmp", dir, value.name) != 0 ||
            fsync(dir) != 0) {
            return 1;
        }
    }
    for (int key : keys) {
        close(key);
    }
    return 0;
}
