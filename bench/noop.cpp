// The floor for the Wine benchmark: a PE program that only calls ExitProcess.
#include <windows.h>

extern "C" void __cdecl NoopStart() {
    ExitProcess(0);
}
