// The file helpers velmora-card.exe needs from the host's layer, on Windows:
// listing a folder, UTF-8 and UTF-16, and holding Ctrl-C and Ctrl-Break back while a rename is
// written, as a console control handler does on the board.
#include "host_api.h"

#include <string>
#include <windows.h>

void HoldInterrupts();
void ReleaseInterrupts();

namespace {

volatile LONG arrived = 0;

BOOL WINAPI Hold(DWORD /*event*/) {
    InterlockedExchange(&arrived, 1);
    return TRUE;
}

bool holding = false;

} // namespace

void HoldInterrupts() {
    holding = holding || SetConsoleCtrlHandler(Hold, TRUE);
}

void ReleaseInterrupts() {
    if (holding) {
        SetConsoleCtrlHandler(Hold, FALSE);
        holding = false;
        if (arrived != 0) {
            ExitProcess(STATUS_CONTROL_C_EXIT); // what the interrupt would have done
        }
    }
}

std::wstring Utf16(const std::string& text) {
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(size > 0 ? static_cast<size_t>(size) : 1, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), size);
    wide.resize(wide.size() - 1);
    return wide;
}

std::string Utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(size > 0 ? static_cast<size_t>(size) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), size, nullptr, nullptr);
    narrow.resize(narrow.size() - 1);
    return narrow;
}

bool ListDirectory(const char* path, const std::function<void(const char* name)>& visit) {
    std::string pattern = path;
    pattern += pattern.empty() || (pattern.back() != '\\' && pattern.back() != '/') ? "\\*" : "*";
    WIN32_FIND_DATAW found;
    const HANDLE listing = FindFirstFileW(Utf16(pattern).c_str(), &found);
    if (listing == INVALID_HANDLE_VALUE) {
        return false;
    }
    do {
        visit(Utf8(found.cFileName).c_str());
    } while (FindNextFileW(listing, &found));
    FindClose(listing);
    return true;
}
