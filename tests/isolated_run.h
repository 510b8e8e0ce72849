// Runs code that may end the process in a forked child and captures what it
// wrote to each stream and how it ended.
#pragma once

#include <functional>
#include <string>

struct RunResult {
    int status; // exit status, or -signal
    std::string out;
    std::string err;
};

RunResult RunIsolated(const std::function<void()>& body);
