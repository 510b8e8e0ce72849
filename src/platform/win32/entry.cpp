// The board's console entry point. mingw's own start-up code and printf are
// built for i686 and hold CMOV, which the board's Pentium-class CPU cannot
// run, so the program starts here instead: msvcrt has already set up the
// standard streams (text mode) and the ANSI code page when it loaded, and
// splits the command line for us.
#include <cstdlib>
#include <windows.h>

int main(int argc, char** argv);

extern "C" {

// msvcrt's start-up record; only the new-handler mode is in it.
struct StartupInfo {
    // cppcheck-suppress unusedStructMember
    int newMode; // read by msvcrt
};

int __cdecl __getmainargs(int* argc, char*** argv, char*** environment, int expandWildcards,
                          StartupInfo* info);

// Ctrl-C and Ctrl-Break must not end a run between two of the four writes,
// which would leave the names split. A run takes milliseconds, so they are
// ignored for all of it; closing the console or shutting down still ends it.
static BOOL WINAPI IgnoreInterrupt(DWORD event) {
    return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
}

// stdin, stdout and stderr expand to calls of __acrt_iob_func through its
// import pointer. mingw's own version of it is prebuilt i686 code that brings
// a data and an unwind section along; msvcrt's stream table is all it takes.
static FILE* __cdecl StandardStream(unsigned index) {
    return &_iob[index];
}
extern FILE* (*const ImportedStandardStream)(unsigned) __asm__("__imp____acrt_iob_func");
FILE* (*const ImportedStandardStream)(unsigned) = StandardStream;

// GCC calls this first thing in main on Windows targets to run static
// constructors; the program has none.
void __main() {}

void __cdecl VelmoraStart() {
    int argc = 0;
    char** argv = nullptr;
    char** environment = nullptr;
    StartupInfo info = {0};
    SetConsoleCtrlHandler(IgnoreInterrupt, TRUE);
    if (__getmainargs(&argc, &argv, &environment, 0, &info) < 0) {
        ExitProcess(1);
    }
    exit(main(argc, argv));
}
}
