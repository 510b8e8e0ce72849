// The hive's file and its logs on disk: the only part of the engine that
// makes system calls. Opening finds the hive as its directories spell it and
// locks it; the header is read and checked alone; the logs beside it are found
// ignoring case and read whole; the bins are mapped copy-on-write, so only the
// pages looked at are read. Writing is positioned writes, flushes and growth,
// which hive_commit orders.
#pragma once

#include "hive_cell_reader.h"
#include "hive_replay.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// LOG1, LOG2 and LOG, in the order a replay is given them.
constexpr const char* HiveLogSuffixes[] = {".LOG1", ".LOG2", ".LOG"};
constexpr size_t HiveLogCount = sizeof HiveLogSuffixes / sizeof HiveLogSuffixes[0];

struct HiveLogs {
    std::string names[HiveLogCount]; // as they are spelled on disk; empty when absent
    std::vector<unsigned char> bytes[HiveLogCount];
    HiveLogBytes views[HiveLogCount] = {};
    // The highest number of an entry with valid hashes past what a replay
    // reads (past a gap), and whether there is one.
    std::uint32_t staleSequence[HiveLogCount] = {};
    bool stale[HiveLogCount] = {};
};

// A descriptor on POSIX, a HANDLE on Windows.
#ifdef _WIN32
using HiveHandle = std::intptr_t;
#else
using HiveHandle = int;
#endif

struct HiveFile {
    std::string directoryPath; // Windows: with its trailing separator
    std::string fileName;
    // The folders found on the card below the path the user typed, as
    // "Windows/System32/config/": what a refusal there names. Nothing below
    // what the user typed is followed through a link.
    std::string shownFolder;
    std::string resolvedFolder; // Windows: the hive's folder as the system resolved it
    HiveHandle lockFd = -1;     // read-only, locked (Windows: read-write where it may be)
    HiveHandle writeFd = -1;    // read-write, once opened for writing
    HiveHandle directory = -1;
    int writeError = 0; // Windows: why the hive could be opened for reading only
    void* mapped = nullptr;
    size_t mappedSize = 0;
    std::uint64_t fileSize = 0; // as the header was read
    int error = 0;              // errno of the last failed open, for the card program
};

// Finds the hive at `path` in the spelling its directories list, opens its
// directory and, in it, opens and locks the hive (calling `waiting` before
// waiting for another run). The last `found` components of `path` were found
// on the card, not typed: each is opened in the one above, and a link, device
// node, FIFO or socket there is refused before it is opened. A hive with
// another hard link is accepted only where Windows reads its logs.
HiveReason OpenHiveFile(const std::string& path, unsigned found, void (*waiting)(), HiveFile* file);

// Reads and checks the base block into `header` (4096 bytes), and the file's
// size. A dirty hive (checksum wrong or sequence numbers apart) is no refusal:
// `dirty` says so, and its replay decides.
HiveReason ReadHiveHeader(HiveFile* file, unsigned char* header, bool* dirty);
// The checks of ReadHiveHeader, on the `got` bytes read and the file's size.
HiveReason CheckHiveHeader(const HiveFile& file, const unsigned char* header, size_t got, bool* dirty);

// Finds the logs beside the hive, in the folder it was opened in, and reads
// what a replay can use of them. Refused unopened: a log that is a link or no
// regular file, that is the hive's own file or another log's, or that is
// larger than a log of a hive of `hiveSize` bytes can be. `any`: at least one
// was found.
HiveReason ReadHiveLogs(const HiveFile& file, std::uint64_t hiveSize, HiveLogs* logs, bool* any);
// For the file layers' ReadHiveLogs: notes `entry` of the hive's directory
// when it is one of the logs, ignoring case as the card's file systems do
// (`refusal` when two spellings of one log lie there); and whether a log of
// `logSize` bytes is larger than any of a hive of `hiveSize` bytes can be.
void NoteHiveLog(const HiveFile& file, const char* entry, HiveLogs* logs, HiveReason* refusal);
bool IsLogTooLarge(std::uint64_t logSize, std::uint64_t hiveSize);
// Reads what a replay can use of a log of `size` bytes into `bytes`, through
// `read` (up to `want` bytes at `offset`, the count in `got`; false, with
// errno, on failure): the valid part only, never a sparse tail.
using HiveReadAt = std::function<bool(unsigned char* into, size_t want, std::uint64_t offset, size_t* got)>;
bool ReadUsefulLog(std::uint64_t size, const HiveReadAt& read, std::vector<unsigned char>* bytes);
// Looks through a log of `size` bytes from `from` on for entries with valid
// hashes, in windows through `read`, skipping what `nextData` says is a hole
// (it returns the first offset at or after its argument that may hold data).
// Their highest number in `*sequence`, `*any` when there is one. False, with
// errno, when a read fails or the log is too contrived to check.
using HiveNextData = std::function<std::uint64_t(std::uint64_t offset)>;
bool FindStaleEntries(std::uint64_t from, std::uint64_t size, const HiveReadAt& read,
                      const HiveNextData& nextData, std::uint32_t* sequence, bool* any);
// Log `i`, of `size` bytes and opened by a file layer, read as both layers
// read it: ReadUsefulLog into logs->bytes[i] and its view, then
// FindStaleEntries. The refusal names the log as `shown`.
HiveReason ReadOpenedLog(size_t i, const std::string& shown, std::uint64_t size, const HiveReadAt& read,
                         const HiveNextData& nextData, HiveLogs* logs);

// Up to `size` bytes from the file's start; the count read in `got`.
HiveReason ReadHiveStart(const HiveFile& file, unsigned char* bytes, size_t size, size_t* got);

// Maps 4096 + `bins` bytes of the hive copy-on-write into `image`, with a page
// to spare for a new bin. What lies past the file's end reads as zeros.
HiveReason MapHiveFile(HiveFile* file, std::uint32_t bins, HiveImage* image);

// Opens the hive for writing and checks the log `log` (as spelled; empty when
// one is to be made) can be written or made, before anything is shown.
HiveReason OpenHiveForWriting(HiveFile* file, const std::string& log);

// The commit's writes. Each is false, with errno, on failure.
bool WriteHiveAt(const HiveFile& file, const unsigned char* bytes, size_t size, std::uint64_t offset);
bool FlushHive(const HiveFile& file);
// The file system holding the hive, when it is known to refuse making a file
// longer (fusefat); empty when it may.
std::string HiveFileSystemThatCannotGrow(const HiveFile& file);
// Grows the file to `size` bytes (never shrinks it), unflushed; `grew` says
// whether it did.
bool GrowHive(const HiveFile& file, std::uint64_t size, bool* grew);
// `bytes` as written over a log of `existing` bytes: followed, where the
// log goes on, by a unit of zeros that ends the chain of entries there.
std::vector<unsigned char> LogAsWritten(const std::vector<unsigned char>& bytes, std::uint64_t existing);
// Writes `bytes` as the whole log `name` (made, with the hive's mode, when
// `create`), flushed, and a made log's directory flushed.
bool WriteHiveLog(const HiveFile& file, const std::string& name, bool create,
                  const std::vector<unsigned char>& bytes);

void CloseHiveFile(HiveFile* file);

// The writes a commit makes, as a table, so that a test can stand in for the
// file layer, record every write and flush, and fail any call.
struct HiveFileOps {
    bool (*writeAt)(const HiveFile& file, const unsigned char* bytes, size_t size, std::uint64_t offset);
    bool (*flush)(const HiveFile& file);
    bool (*grow)(const HiveFile& file, std::uint64_t size, bool* grew);
    bool (*writeLog)(const HiveFile& file, const std::string& name, bool create,
                     const std::vector<unsigned char>& bytes);
};
// This system's file layer: the functions above.
extern const HiveFileOps HiveSystemFile;
