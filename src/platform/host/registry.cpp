// The host's registry calls. They check their arguments as Windows does and
// hand the work to one backend: the board's SYSTEM hive file when
// VELMORA_SYSTEM_HIVE names one, otherwise the directory store. A whole run
// holds the backend's lock, from the first key opened to the last closed.
#include "store.h"

#include <cstdlib>
#include <new>
#include <string>

struct HostKey {
    StoreKey* key;
};

namespace {

const RegistryBackend* backend = nullptr;
int openKeys = 0;
const char* chosenHive = nullptr;
HiveUse chosenUse;

// A card named by a program's argument, else VELMORA_SYSTEM_HIVE; set but
// empty (a misspelt script) still means a hive, which then refuses: never the
// stand-in in its place.
const char* ChosenSystemHive() {
    return chosenHive != nullptr ? chosenHive : getenv("VELMORA_SYSTEM_HIVE");
}

const RegistryBackend& ChosenBackend() {
    return ChosenSystemHive() != nullptr ? HiveStore : DirectoryStore;
}

// After the last key: the backend makes its writes durable and drops its lock,
// then interrupts held back meanwhile take effect.
LONG Detach() {
    const LONG result = backend->detach();
    backend = nullptr;
    ReleaseInterrupts();
    return result;
}

} // namespace

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM desired, HKEY* result) {
    if (result == nullptr || subKey == nullptr || options != 0 || key == nullptr ||
        (key != HKEY_LOCAL_MACHINE && backend == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    if (backend == nullptr) {
        const RegistryBackend& chosen = ChosenBackend();
        const LONG attached =
            chosen.attach(ChosenSystemHive(), chosenHive != nullptr ? chosenUse : HiveUse{});
        if (attached != ERROR_SUCCESS) {
            return attached;
        }
        backend = &chosen;
    }
    const bool forWriting = (desired & KEY_SET_VALUE) != 0;
    StoreKey* opened = nullptr;
    const LONG error =
        backend->openKey(key == HKEY_LOCAL_MACHINE ? nullptr : key->key, subKey, forWriting, &opened);
    *result = error == ERROR_SUCCESS ? new (std::nothrow) HostKey{opened} : nullptr;
    if (*result != nullptr) {
        ++openKeys;
        return ERROR_SUCCESS;
    }
    if (error == ERROR_SUCCESS) {
        backend->closeKey(opened);
    }
    if (openKeys == 0) {
        // Nothing else is open: a failed open keeps no lock.
        Detach();
    }
    return error == ERROR_SUCCESS ? ERROR_NOT_ENOUGH_MEMORY : error;
}

// Windows' own signature: `reserved` is not const there.
LONG RegQueryValueExA(HKEY key, const char* valueName,
                      // cppcheck-suppress constParameter
                      DWORD* reserved, // NOLINT(readability-non-const-parameter)
                      DWORD* type, BYTE* data, DWORD* size) {
    if (key == nullptr || key == HKEY_LOCAL_MACHINE || backend == nullptr || valueName == nullptr ||
        reserved != nullptr || (data != nullptr && size == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    DWORD storedType = 0;
    std::string content;
    const LONG error = backend->readValue(key->key, valueName, &storedType, &content);
    if (error != ERROR_SUCCESS) {
        return error;
    }
    const DWORD storedSize = static_cast<DWORD>(content.size());
    if (type != nullptr) {
        *type = storedType;
    }
    if (data != nullptr && storedSize > *size) {
        *size = storedSize;
        return ERROR_MORE_DATA;
    }
    if (data != nullptr) {
        content.copy(reinterpret_cast<char*>(data), storedSize);
    }
    if (size != nullptr) {
        *size = storedSize;
    }
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size) {
    if (key == nullptr || key == HKEY_LOCAL_MACHINE || backend == nullptr || valueName == nullptr ||
        reserved != 0 || (data == nullptr && size != 0)) {
        return ERROR_INVALID_PARAMETER;
    }
    // From the first write on, an interrupt waits for the last close: reading
    // the keys may still be interrupted, a rename may not be split.
    HoldInterrupts();
    return backend->writeValue(key->key, valueName, type, data, size);
}

LONG RegCloseKey(HKEY key) {
    if (key == HKEY_LOCAL_MACHINE) {
        return ERROR_SUCCESS;
    }
    if (key == nullptr || backend == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    LONG result = backend->closeKey(key->key);
    delete key;
    if (--openKeys == 0) {
        const LONG detached = Detach();
        result = result == ERROR_SUCCESS ? detached : result;
    }
    return result;
}

void UseSystemHive(const char* path, HiveUse use) {
    chosenHive = path;
    chosenUse = use;
}
