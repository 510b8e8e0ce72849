// The floor for the offline benchmark: replacing one file durably and nothing
// else. It reads the whole file, writes it to an exclusively created temporary
// beside it, flushes that, renames it over the file and flushes the directory,
// as a rename of a SYSTEM hive must, without parsing or changing the hive.
//
//   floor_file PATH
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char** argv) {
    if (argc != 2) {
        return 2;
    }
    const char* path = argv[1];
    const int in = open(path, O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (in < 0 || fstat(in, &info) != 0) {
        return 1;
    }
    char* data = static_cast<char*>(malloc(static_cast<size_t>(info.st_size)));
    ssize_t got = 0;
    while (data != nullptr && got < info.st_size) {
        const ssize_t now = read(in, data + got, static_cast<size_t>(info.st_size - got));
        if (now <= 0) {
            return 1;
        }
        got += now;
    }
    close(in);
    char directory[4096];
    char temporary[4200];
    strncpy(directory, path, sizeof directory - 1);
    directory[sizeof directory - 1] = '\0';
    char* slash = strrchr(directory, '/');
    if (slash == nullptr) {
        return 2;
    }
    *slash = '\0';
    strcpy(temporary, directory);
    strcat(temporary, "/.floor-tmp");
    const int out = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    const int dir = open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (out < 0 || dir < 0 || write(out, data, static_cast<size_t>(info.st_size)) != info.st_size ||
        fsync(out) != 0 || close(out) != 0 || rename(temporary, path) != 0 || fsync(dir) != 0) {
        return 1;
    }
    free(data);
    close(dir);
    return 0;
}
