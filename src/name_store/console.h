// Console messages. Standard output and standard error may share one pipe or
// file, so every message is flushed at once to keep the order the tool wrote.
#pragma once

// A progress line on standard output.
void WriteProgress(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A message on standard error that does not end the run.
void WriteWarning(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A message on standard error, then the process ends with status 1.
[[noreturn]] void FailWith(const char* format, ...) __attribute__((noreturn, format(printf, 1, 2)));
