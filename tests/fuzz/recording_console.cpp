#include "recording_console.h"

#include "console.h"

#include <cstdarg>
#include <cstdio>

RecordedRun Recorded;

namespace {

void Append(std::string& target, const char* format, va_list args) {
    char line[1024];
    vsnprintf(line, sizeof line, format, args);
    target += line;
}

} // namespace

void WriteProgress(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Append(Recorded.out, format, args);
    va_end(args);
}

void WriteWarning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Append(Recorded.err, format, args);
    va_end(args);
}

void FailWith(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Append(Recorded.err, format, args);
    va_end(args);
    Recorded.status = 1;
    std::longjmp(*Recorded.failed, 1);
}
