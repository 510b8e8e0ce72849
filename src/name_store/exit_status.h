// The exit statuses of both programs.
#pragma once

constexpr int ExitDone = 0;       // renamed (or, for velmora-card status, every card can be)
constexpr int ExitFailed = 1;     // any error or refusal; its message is on standard error
constexpr int ExitUsageError = 2; // velmora-card only: the command line is wrong
