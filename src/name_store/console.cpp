#include "console.h"

#include "exit_status.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

static void WriteError(const char* format, va_list args) {
    fflush(stdout);
    vfprintf(stderr, format, args);
    fflush(stderr);
}

static NameShower nameShower = nullptr;

void ShowNamesThrough(NameShower shower) {
    nameShower = shower;
}

const char* ShownName(const char* name, char* shown, size_t size) {
    if (nameShower == nullptr) {
        return name;
    }
    nameShower(name, shown, size);
    return shown;
}

static bool settleFirst = false;

void SettleBeforeShowing(bool settle) {
    settleFirst = settle;
}

bool SettlesBeforeShowing() {
    return settleFirst;
}

void WriteProgress(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stdout, format, args);
    va_end(args);
    fflush(stdout);
}

void WriteWarning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteError(format, args);
    va_end(args);
}

void FailWith(const char* format, ...) {
    va_list args;
    va_start(args, format);
    WriteError(format, args);
    va_end(args);
    exit(ExitFailed);
}
