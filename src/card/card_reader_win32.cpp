// What a batch asks of Windows: the reader is a removable drive (E:), which
// holds a card while its volume can be read; each rename is this program run
// again; Ctrl-C noted rather than fatal; see card_system.h.
#include "card_system.h"
#include "host_api.h"

#include <cstdio>
#include <io.h>
#include <windows.h>

namespace {

volatile LONG interrupted = 0;

BOOL WINAPI Note(DWORD /*event*/) {
    InterlockedExchange(&interrupted, 1);
    return TRUE;
}

std::wstring Root(const std::string& drive) {
    return Utf16(drive.substr(0, 2) + "\\");
}

// An argument as the C runtime splits a command line: quoted, its quotes
// and the backslashes before them escaped.
std::wstring Quoted(const std::wstring& arg) {
    std::wstring quoted = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    return quoted.append(2 * backslashes, L'\\') + L"\"";
}

} // namespace

bool OpenCardDevice(const std::string& device, bool /*wait*/, CardMount* card, std::string* why) {
    if (device.size() != 2 || device[1] != ':' || GetDriveTypeW(Root(device).c_str()) != DRIVE_REMOVABLE) {
        *why = "not a removable drive: name the card reader's drive (E:, as Explorer shows it)";
        return false;
    }
    card->device = device;
    return true;
}

bool MountOpenedCard(const std::string& device, bool /*readOnly*/, CardMount* card, std::string* /*why*/) {
    // Windows mounts the card's partition itself, at the drive.
    card->partition = device;
    card->folder = device;
    card->ours = false;
    wchar_t label[MAX_PATH + 1] = {};
    DWORD serial = 0;
    if (GetVolumeInformationW(Root(device).c_str(), label, MAX_PATH + 1, &serial, nullptr, nullptr, nullptr,
                              0) != 0) {
        char text[16];
        snprintf(text, sizeof text, "%04lX-%04lX", serial >> 16, serial & 0xFFFF);
        card->uuid = text;
        card->label = Utf8(label);
    }
    return true;
}

bool LockReader(const std::string& reader, std::string* why) {
    const std::wstring name = L"Local\\velmora-card-batch-" + Utf16(reader.substr(0, 1));
    // Held until the batch ends.
    const HANDLE lock = CreateMutexW(nullptr, FALSE, name.c_str());
    if (lock == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) {
        *why = "another batch is using this reader";
        return false;
    }
    return true;
}

bool ReaderHoldsCard(const std::string& reader) {
    return GetVolumeInformationW(Root(reader).c_str(), nullptr, 0, nullptr, nullptr, nullptr, nullptr, 0) !=
           0;
}

int RunAgain(const std::vector<std::string>& args, std::string* errors) {
    wchar_t self[MAX_PATH];
    if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) {
        *errors = "this program cannot find itself";
        return -1;
    }
    std::wstring line;
    for (const std::string& arg : args) {
        line += (line.empty() ? L"" : L" ") + Quoted(Utf16(arg));
    }
    SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    const HANDLE nothing =
        CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                    OPEN_EXISTING, 0, nullptr);
    if (!CreatePipe(&readEnd, &writeEnd, &inherited, 0) ||
        !SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0)) {
        *errors = "no pipe to the rename";
        return -1;
    }
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing;
    startup.hStdOutput = nothing;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    // A group of its own: Ctrl-C reaches the batch, never a rename halfway.
    const BOOL started = CreateProcessW(self, line.data(), nullptr, nullptr, TRUE, CREATE_NEW_PROCESS_GROUP,
                                        nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd);
    CloseHandle(nothing);
    errors->clear();
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        errors->append(chunk, got);
    }
    CloseHandle(readEnd);
    if (!started) {
        *errors = "the rename could not be started";
        return -1;
    }
    DWORD status = 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    // Line ends as the Linux program's.
    for (size_t at; (at = errors->find("\r\n")) != std::string::npos;) {
        errors->erase(at, 1);
    }
    return static_cast<int>(status);
}

void NoteInterrupts() {
    SetConsoleCtrlHandler(Note, TRUE);
}

bool Interrupted() {
    return InterlockedCompareExchange(&interrupted, 0, 0) != 0;
}

void PauseBriefly() {
    Sleep(500);
}

std::string UtcNow() {
    SYSTEMTIME now = {};
    GetSystemTime(&now);
    char text[32];
    snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02uZ", now.wYear, now.wMonth, now.wDay, now.wHour,
             now.wMinute, now.wSecond);
    return text;
}

bool OnReader(const std::string& path, const std::string& reader) {
    wchar_t full[MAX_PATH];
    const DWORD length = GetFullPathNameW(Utf16(path).c_str(), MAX_PATH, full, nullptr);
    return length >= 2 && length < MAX_PATH && full[1] == L':' &&
           towupper(full[0]) == towupper(static_cast<wchar_t>(reader[0]));
}

void CloseCardDevice(CardMount* /*card*/) {}

std::string PullOut(const std::string& reader) {
    return "eject it (Explorer: right-click " + reader.substr(0, 2) + ", Eject), then pull the card out";
}

FILE* OpenFile(const char* path, const char* mode) {
    return _wfopen(Utf16(path).c_str(), Utf16(mode).c_str());
}

bool FlushToDisk(FILE* file) {
    return fflush(file) == 0 && _commit(_fileno(file)) == 0;
}
