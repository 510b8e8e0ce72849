// The file helpers velmora-card.exe needs from the host's layer, on Windows:
// listing a folder, and holding Ctrl-C and Ctrl-Break back while a rename is
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

bool ListDirectory(const char* path, const std::function<void(const char* name)>& visit) {
    wchar_t wide[MAX_PATH];
    if (MultiByteToWideChar(CP_UTF8, 0, (std::string(path) + "\\*").c_str(), -1, wide, MAX_PATH) == 0) {
        return false;
    }
    WIN32_FIND_DATAW found;
    const HANDLE listing = FindFirstFileW(wide, &found);
    if (listing == INVALID_HANDLE_VALUE) {
        return false;
    }
    do {
        char name[4 * MAX_PATH];
        if (WideCharToMultiByte(CP_UTF8, 0, found.cFileName, -1, name, sizeof name, nullptr, nullptr) > 0) {
            visit(name);
        }
    } while (FindNextFileW(listing, &found));
    FindClose(listing);
    return true;
}
