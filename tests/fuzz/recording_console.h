// Console functions for fuzzing: messages are recorded and a failure jumps
// back to the harness instead of ending the process.
#pragma once

#include <csetjmp>
#include <string>

struct RecordedRun {
    std::string out;
    std::string err;
    int status = 0;
    std::jmp_buf* failed = nullptr;
};

extern RecordedRun Recorded;
