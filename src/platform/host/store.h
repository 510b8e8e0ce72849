// What the host's registry entry points (registry.cpp) need of a backend, and
// the file helpers the backends share. A backend keeps one store: the
// directory tree under $XDG_STATE_HOME, or a SYSTEM hive file.
#pragma once

#include "code_pages.h"
#include "host_api.h"
#include "platform.h"

#include <functional>
#include <string>
#include <sys/stat.h>

// A backend's own open key: each backend defines its own struct and converts
// with reinterpret_cast; the type itself is never defined.
struct StoreKey;

struct RegistryBackend {
    // Takes the store's exclusive lock (waiting for another run to finish)
    // and readies the store. Called when the first key is opened, with the
    // hive file chosen (for the hive backend; ignored by the directory store).
    // `use`: how a card program uses the hive (host_api.h).
    LONG (*attach)(const char* hive, const HiveUse& use);
    // Opens `subKey` below `parent`, or below HKEY_LOCAL_MACHINE when parent
    // is null. `forWriting`: the key was asked for KEY_SET_VALUE.
    LONG (*openKey)(StoreKey* parent, const char* subKey, bool forWriting, StoreKey** result);
    // The stored type and data bytes as the ANSI registry calls see them.
    LONG (*readValue)(StoreKey* key, const char* valueName, DWORD* type, std::string* data);
    LONG (*writeValue)(StoreKey* key, const char* valueName, DWORD type, const BYTE* data, DWORD size);
    LONG (*closeKey)(StoreKey* key);
    // Called after the last key is closed: makes what was written durable,
    // then drops the lock. A failure here fails that last close.
    LONG (*detach)();
};

extern const RegistryBackend DirectoryStore;
extern const RegistryBackend HiveStore;

// Maps errno to a registry error code.
LONG ErrorFromErrno(LONG otherwise);

bool WriteAll(int fd, const void* data, size_t size);
// The same at `offset`, leaving the descriptor's own offset alone.
bool WriteAllAt(int fd, const void* data, size_t size, off_t offset);

// Reads up to `size` bytes at `offset`, however many reads that takes; how
// many were read (fewer at the file's end) in `got`. False, with errno.
bool ReadAllAt(int fd, void* bytes, size_t size, off_t offset, size_t* got);

// Calls `visit` with each name of a '\'-separated key path, in order, until
// it returns false; false then.
bool ForEachKeyName(const char* path, const std::function<bool(const std::string& name)>& visit);

// Opens `path` (a directory or a regular file) and takes an exclusive flock on
// it, waiting for any holder. A holder may have replaced or removed the path
// while we waited, so the lock counts only once the path still names the
// locked file. Returns the locked descriptor or -1. `waiting`, when given, is
// called before waiting for another holder.
int LockPath(const char* path, bool directory, void (*waiting)() = nullptr);
// The same for `name` in the directory `at`; unless `follow`, a link there is
// not followed (ELOOP) and a regular file is asked for is typed before it is
// opened, so that no device node or FIFO is (EISDIR, EINVAL).
int LockAt(int at, const char* name, bool directory, bool follow, void (*waiting)() = nullptr);

// Replaces `name` in `directory` so that it holds the old content or the new,
// whole, whenever the process dies: `fill` writes the new content to an
// exclusively created `<prefix><random>` beside it (no planted link is
// followed), which then gets the owner, group and mode of `like` (the file it
// replaces; a new file stays 0600), is flushed, renamed over `name`, and the
// directory is flushed. Until then the temporary is at most readable by its
// owner, never more readable than what it replaces. False, with errno, on any
// failure; a failure after the rename leaves the new content in place.
bool ReplaceDurably(int directory, const char* name, const char* prefix, const struct stat* like,
                    const std::function<bool(int fd)>& fill);

// Calls `visit` with the name of every entry of `directory`, from the first,
// whoever else read it. False, with errno, when it cannot be listed.
bool ForEachEntry(int directory, const std::function<void(const char* name)>& visit);

// Removes the `<prefix>*` temporaries that a process killed mid-write left
// behind. Only ever called under the lock that covers them, when no other run
// can be writing one.
void SweepTemporaries(int directory, const char* prefix);

// SIGINT, SIGTERM and SIGHUP are held back from the first key opened for
// writing until the last key is closed, so that none splits a rename; then
// any that arrived takes effect.
void HoldInterrupts();
void ReleaseInterrupts();
