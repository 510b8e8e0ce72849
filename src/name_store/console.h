// Console messages. Standard output and standard error may share one pipe or
// file, so every message is flushed at once to keep the order the tool wrote.
#pragma once

#include <cstddef>

// How a name read from the store is printed: as stored (the board), or
// through `shower` where a program prints names from untrusted media.
using NameShower = void (*)(const char* name, char* shown, size_t size);
void ShowNamesThrough(NameShower shower);
// `name` as it is printed: itself, or its shown form in `shown`.
const char* ShownName(const char* name, char* shown, size_t size);

// Where a program asks (`settle`), the lines that say a write is done wait
// until it is settled, so that a failure leaves none of them shown.
void SettleBeforeShowing(bool settle);
bool SettlesBeforeShowing();

// A progress line on standard output.
void WriteProgress(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A message on standard error that does not end the run.
void WriteWarning(const char* format, ...) __attribute__((format(printf, 1, 2)));

// A message on standard error, then the process ends with status 1.
[[noreturn]] void FailWith(const char* format, ...) __attribute__((noreturn, format(printf, 1, 2)));
