// The hive's file and its logs on a Windows PC; see hive_file.h. The same
// steps as the POSIX layer in the same order: the hive is opened with sharing
// that keeps every other writer (and every other run) out until the last key
// is closed; its logs are found ignoring case; its bins are read into memory;
// writes are positioned and FlushFileBuffers stands where fsync does. Paths
// are UTF-8 here and UTF-16 at the system calls.
#include "hive_file.h"
#include "host_api.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <vector>
#include <windows.h>

namespace {

// The system's error as errno, for the card program's next step.
int Errno(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
        return EACCES;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EBUSY;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    default:
        return EIO;
    }
}

// The system's error as errno, errno set to it.
int Failure(DWORD error) {
    errno = Errno(error);
    return errno;
}

// False, with errno set from the system's last error.
bool Failed() {
    Failure(GetLastError());
    return false;
}

HANDLE Handle(std::intptr_t stored) {
    return reinterpret_cast<HANDLE>(stored);
}

bool ReadAt(HANDLE file, unsigned char* bytes, size_t size, std::uint64_t offset, size_t* got) {
    *got = 0;
    while (*got < size) {
        OVERLAPPED at = {};
        const std::uint64_t where = offset + *got;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        DWORD part = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(size - *got, 1u << 30));
        if (!ReadFile(file, bytes + *got, want, &part, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) {
                return true;
            }
            Failure(GetLastError());
            return false;
        }
        if (part == 0) {
            return true;
        }
        *got += part;
    }
    return true;
}

bool WriteAt(HANDLE file, const unsigned char* bytes, size_t size, std::uint64_t offset) {
    for (size_t done = 0; done < size;) {
        OVERLAPPED at = {};
        const std::uint64_t where = offset + done;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        DWORD part = 0;
        const DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        if (!WriteFile(file, bytes + done, want, &part, &at) || part == 0) {
            Failure(GetLastError());
            return false;
        }
        done += part;
    }
    return true;
}

// Opens the hive so that no other run or writer can open it meanwhile; a
// second run waits, and says so once.
HANDLE OpenLocked(const std::wstring& path, bool write, DWORD flags, void (*waiting)()) {
    for (bool told = false;;) {
        const HANDLE file =
            CreateFileW(path.c_str(), GENERIC_READ | (write ? GENERIC_WRITE : 0), FILE_SHARE_READ, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | flags, nullptr);
        if (file != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) {
            return file;
        }
        if (!told && waiting != nullptr) {
            waiting();
        }
        told = true;
        Sleep(100);
    }
}

// The refusal of an opened file that is a link or junction, or no regular
// file; empty when it is one. `info` is filled either way.
HiveReason Unexpected(HANDLE file, const std::string& shown, BY_HANDLE_FILE_INFORMATION* info) {
    if (!GetFileInformationByHandle(file, info)) {
        return HiveRefusal(HiveFault::PathUnreadable, shown, Failure(GetLastError()));
    }
    return (info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0
               ? HiveRefusal(HiveFault::PathIsLinkOrJunction, shown)
           : (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0
               ? HiveRefusal(HiveFault::PathNotRegular, shown)
               : HiveReason{};
}

// Where the system resolved an open file or folder to, every link and
// junction followed; empty when it cannot say. A second guard beside the
// reparse-point checks, for file systems that do not report links as such.
std::wstring FinalPath(HANDLE file) {
    wchar_t buffer[1024];
    const DWORD length =
        GetFinalPathNameByHandleW(file, buffer, 1024, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return length == 0 || length >= 1024 ? std::wstring() : std::wstring(buffer, length);
}

bool SamePath(const std::wstring& a, const std::wstring& b) {
    return !a.empty() && _wcsicmp(a.c_str(), b.c_str()) == 0;
}

// Whether the open file `file` is `name` in the hive's resolved folder, not
// something a link there leads to.
bool InHiveFolder(const HiveFile& hive, HANDLE file, const std::string& name) {
    return hive.resolvedFolder.empty() || SamePath(FinalPath(file), Utf16(hive.resolvedFolder + "\\" + name));
}

// The path the folders found on the card (the last `found` components of
// `full` but the hive's own name) resolve to must be the one the folder named
// by the user resolves to, followed by them: else a link leads elsewhere.
bool FoundPathsFollowNoLink(const std::wstring& full, unsigned found, HANDLE hive) {
    std::wstring root = full;
    for (unsigned i = 0; i < found && root.rfind(L'\\') != std::wstring::npos; ++i) {
        root.resize(root.rfind(L'\\'));
    }
    const std::wstring tail = full.substr(root.size());
    root += root.size() == 2 && root[1] == L':' ? L"\\" : L"";
    const HANDLE folder = CreateFileW(root.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE) {
        return false;
    }
    std::wstring resolved = FinalPath(folder);
    CloseHandle(folder);
    while (!resolved.empty() && resolved.back() == L'\\') {
        resolved.pop_back();
    }
    return SamePath(FinalPath(hive), resolved + tail);
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// The folders of `full` found on the card (the last `found` components, the
// hive's own name last): none may be a reparse point, which could lead off
// the card. Notes them as shown, with a separator, in `shownFolder`.
HiveReason NoReparsePoints(const std::wstring& full, unsigned found, std::string* shownFolder) {
    std::vector<size_t> ends;
    for (size_t at = full.size(); ends.size() < found && at != std::wstring::npos && at > 0;) {
        ends.insert(ends.begin(), at);
        at = full.rfind(L'\\', at - 1);
    }
    for (size_t i = 0; i < ends.size(); ++i) {
        const std::wstring prefix = full.substr(0, ends[i]);
        const size_t start = full.rfind(L'\\', ends[i] - 1) + 1;
        const std::string shown = *shownFolder + Utf8(full.substr(start, ends[i] - start).c_str());
        const DWORD attributes = GetFileAttributesW(prefix.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
            return HiveRefusal(HiveFault::PathIsLinkOrJunction, shown);
        }
        *shownFolder = i + 1 < ends.size() ? shown + "\\" : *shownFolder;
    }
    return {};
}

} // namespace

HiveReason OpenHiveFile(const std::string& path, unsigned found, void (*waiting)(), HiveFile* file) {
    wchar_t full[MAX_PATH];
    wchar_t* name = nullptr;
    const DWORD length = GetFullPathNameW(Utf16(path).c_str(), MAX_PATH, full, &name);
    if (length == 0 || length >= MAX_PATH || name == nullptr) {
        file->error = ENOENT;
        return HiveRefusal(HiveFault::OpenFailed, "", Failure(GetLastError()));
    }
    if (HiveReason refused = NoReparsePoints(full, found, &file->shownFolder)) {
        return refused;
    }
    file->fileName = Utf8(name);
    *name = L'\0';
    file->directoryPath = Utf8(full);
    const std::wstring wide = Utf16(file->directoryPath + file->fileName);
    // A hive found on the card is opened as it lies, a link itself and not
    // what it names; one the user named may be a link of the user's.
    const DWORD flags = found > 0 ? FILE_FLAG_OPEN_REPARSE_POINT : 0;
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        file->error = EISDIR;
        return HiveRefusal(HiveFault::NotRegularFile, "", file->error);
    }
    // Read and write at once where the card allows it: a second open for
    // writing would conflict with the sharing of the first.
    HANDLE handle = OpenLocked(wide, true, flags, waiting);
    if (handle == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_NOT_FOUND &&
        GetLastError() != ERROR_PATH_NOT_FOUND) {
        file->error = Errno(GetLastError());
        handle = OpenLocked(wide, false, flags, waiting);
    } else {
        file->error = 0;
    }
    if (handle == INVALID_HANDLE_VALUE) {
        file->error = Errno(GetLastError());
        return HiveRefusal(HiveFault::OpenFailed, "", file->error);
    }
    file->writeError = file->error;
    file->error = 0;
    file->lockFd = reinterpret_cast<std::intptr_t>(handle);
    BY_HANDLE_FILE_INFORMATION info;
    const std::string shown = file->shownFolder + file->fileName;
    if (HiveReason unexpected = Unexpected(handle, shown, &info)) {
        return unexpected;
    }
    if (found > 0 && !FoundPathsFollowNoLink(Utf16(file->directoryPath + file->fileName), found, handle)) {
        return HiveRefusal(HiveFault::PathThroughLink, shown);
    }
    const std::wstring resolved = FinalPath(handle);
    file->resolvedFolder = Utf8(resolved.substr(0, resolved.rfind(L'\\')).c_str());
    return {};
}

HiveReason ReadHiveHeader(HiveFile* file, unsigned char* header, bool* dirty) {
    LARGE_INTEGER size;
    size_t got = 0;
    if (!GetFileSizeEx(Handle(file->lockFd), &size) ||
        !ReadAt(Handle(file->lockFd), header, HiveBaseBlockSize, 0, &got)) {
        return HiveRefusal(HiveFault::HiveUnreadable);
    }
    file->fileSize = static_cast<std::uint64_t>(size.QuadPart);
    return CheckHiveHeader(*file, header, got, dirty);
}

HiveReason ReadHiveLogs(const HiveFile& file, std::uint64_t hiveSize, HiveLogs* logs, bool* any) {
    HiveReason refusal;
    if (!ListDirectory(file.directoryPath.c_str(), [&file, logs, &refusal](const char* name) {
            NoteHiveLog(file, name, logs, &refusal);
        })) {
        return HiveRefusal(HiveFault::DirectoryUnreadable, "", Failure(GetLastError()));
    }
    BY_HANDLE_FILE_INFORMATION seen[HiveLogCount + 1] = {};
    if (!GetFileInformationByHandle(Handle(file.lockFd), &seen[HiveLogCount])) {
        return HiveRefusal(HiveFault::HiveUnreadableBecause, "", Failure(GetLastError()));
    }
    *any = false;
    for (size_t i = 0; i < HiveLogCount && !refusal; ++i) {
        logs->views[i] = {nullptr, 0};
        if (logs->names[i].empty()) {
            continue;
        }
        *any = true;
        const std::string shown = file.shownFolder + logs->names[i];
        // Opened as it lies: a link or junction is refused, never followed.
        // Writers are shared with so that a log that is the hive (held for
        // writing) opens, and is refused as such rather than as busy.
        const HANDLE log = CreateFileW(Utf16(file.directoryPath + logs->names[i]).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        LARGE_INTEGER size;
        if (log == INVALID_HANDLE_VALUE || !GetFileSizeEx(log, &size)) {
            refusal = HiveRefusal(HiveFault::PathUnreadable, shown, Failure(GetLastError()));
        } else {
            refusal = Unexpected(log, shown, &seen[i]);
        }
        if (!refusal && !InHiveFolder(file, log, logs->names[i])) {
            refusal = HiveRefusal(HiveFault::PathIsLinkOrJunction, shown);
        }
        for (size_t other = 0; other <= HiveLogCount && !refusal; ++other) {
            if (other != i && (other == HiveLogCount || !logs->names[other].empty()) &&
                SameFile(seen[other], seen[i])) {
                refusal = other == HiveLogCount
                              ? HiveRefusal(HiveFault::LogIsHive, shown)
                              : HiveRefusal(HiveFault::LogIsOtherLog, shown, 0, logs->names[other]);
            }
        }
        if (!refusal && IsLogTooLarge(static_cast<std::uint64_t>(size.QuadPart), hiveSize)) {
            refusal = HiveRefusal(HiveFault::LogTooLarge, shown);
        }
        const HiveReadAt read = [log](unsigned char* into, size_t want, std::uint64_t offset, size_t* got) {
            return ReadAt(log, into, want, offset, got);
        };
        if (!refusal) {
            refusal = ReadOpenedLog(
                i, shown, static_cast<std::uint64_t>(size.QuadPart), read,
                [](std::uint64_t offset) { return offset; }, logs);
        }
        if (log != INVALID_HANDLE_VALUE) {
            CloseHandle(log);
        }
    }
    return refusal;
}

HiveReason ReadHiveStart(const HiveFile& file, unsigned char* bytes, size_t size, size_t* got) {
    return ReadAt(Handle(file.lockFd), bytes, size, 0, got)
               ? HiveReason{}
               : HiveRefusal(HiveFault::HiveUnreadableBecause, "", errno);
}

HiveReason MapHiveFile(HiveFile* file, std::uint32_t bins, HiveImage* image) {
    const size_t size = HiveBaseBlockSize + size_t{bins};
    file->mappedSize = size + HivePageSize;
    file->mapped = VirtualAlloc(nullptr, file->mappedSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (file->mapped == nullptr) {
        return HiveRefusal(HiveFault::NoMemory);
    }
    // The bytes the file has; past its end, zeros.
    size_t got = 0;
    const size_t fromFile = static_cast<size_t>(std::min<std::uint64_t>(size, file->fileSize));
    if (!ReadAt(Handle(file->lockFd), static_cast<unsigned char*>(file->mapped), fromFile, 0, &got)) {
        return HiveRefusal(HiveFault::MapFailed, "", errno);
    }
    image->bytes = static_cast<unsigned char*>(file->mapped);
    image->capacity = file->mappedSize;
    return {};
}

HiveReason OpenHiveForWriting(HiveFile* file, const std::string& log) {
    if (file->writeError != 0) {
        file->error = file->writeError;
        errno = file->error;
        return HiveRefusal(HiveFault::HiveNotWritable, "", errno);
    }
    // The log there is opened for writing; where there is none, the folder
    // must let us add one (asked of the folder: nothing is made yet).
    const bool none = log.empty();
    const HANDLE probe = CreateFileW(
        Utf16(none ? file->directoryPath : file->directoryPath + log).c_str(),
        none ? FILE_ADD_FILE : GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING,
        (none ? FILE_FLAG_BACKUP_SEMANTICS : FILE_ATTRIBUTE_NORMAL) | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        file->error = Errno(GetLastError());
        return HiveRefusal(HiveFault::LogNotWritable, "", Failure(GetLastError()));
    }
    CloseHandle(probe);
    file->writeFd = file->lockFd;
    return {};
}

bool WriteHiveAt(const HiveFile& file, const unsigned char* bytes, size_t size, std::uint64_t offset) {
    return WriteAt(Handle(file.writeFd), bytes, size, offset);
}

bool FlushHive(const HiveFile& file) {
    return FlushFileBuffers(Handle(file.writeFd)) || Failed();
}

std::string HiveFileSystemThatCannotGrow(const HiveFile& /*file*/) {
    return "";
}

bool GrowHive(const HiveFile& file, std::uint64_t size, bool* grew) {
    LARGE_INTEGER now;
    if (!GetFileSizeEx(Handle(file.writeFd), &now)) {
        Failure(GetLastError());
        return false;
    }
    *grew = static_cast<std::uint64_t>(now.QuadPart) < size;
    if (!*grew) {
        return true;
    }
    FILE_END_OF_FILE_INFO end = {};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
    return SetFileInformationByHandle(Handle(file.writeFd), FileEndOfFileInfo, &end, sizeof end) || Failed();
}

bool WriteHiveLog(const HiveFile& file, const std::string& name, bool create,
                  const std::vector<unsigned char>& bytes) {
    const HANDLE log = CreateFileW(Utf16(file.directoryPath + name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ, nullptr, create ? CREATE_NEW : OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (log == INVALID_HANDLE_VALUE) {
        Failure(GetLastError());
        return false;
    }
    BY_HANDLE_FILE_INFORMATION hive;
    BY_HANDLE_FILE_INFORMATION info;
    LARGE_INTEGER size;
    if (!GetFileInformationByHandle(Handle(file.lockFd), &hive) || !GetFileSizeEx(log, &size) ||
        Unexpected(log, name, &info) || SameFile(hive, info) || !InHiveFolder(file, log, name)) {
        CloseHandle(log);
        errno = EINVAL;
        return false;
    }
    const std::vector<unsigned char> written = LogAsWritten(bytes, static_cast<std::uint64_t>(size.QuadPart));
    bool ok = WriteAt(log, written.data(), written.size(), 0);
    ok = ok && (FlushFileBuffers(log) || Failed());
    CloseHandle(log);
    // A made log's directory entry is the file system's own to keep: Windows
    // offers no flush of a directory.
    return ok;
}

void CloseHiveFile(HiveFile* file) {
    if (file->mapped != nullptr) {
        VirtualFree(file->mapped, 0, MEM_RELEASE);
    }
    if (file->lockFd != -1) {
        CloseHandle(Handle(file->lockFd));
    }
    *file = HiveFile{};
}

const HiveFileOps HiveSystemFile = {WriteHiveAt, FlushHive, GrowHive, WriteHiveLog};
