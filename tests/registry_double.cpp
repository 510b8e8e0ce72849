#include "registry_double.h"

#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

struct HostKey {
    int keyIndex;
};

namespace {

bool Failing(RegistryCall call, const char* key, const char* name) {
    const RegistryDouble& registry = Registry();
    return registry.failCall == call && strcmp(registry.failKey, key) == 0 &&
           (registry.failValue[0] == '\0' || strcmp(registry.failValue, name) == 0);
}

DoubleValue* Slot(const char* key, const char* name) {
    for (DoubleValue& value : Registry().values) {
        if (value.present && strcmp(value.key, key) == 0 && strcmp(value.name, name) == 0) {
            return &value;
        }
    }
    return nullptr;
}

void Copy(char* target, size_t size, const char* source) {
    if (strlen(source) >= size) {
        abort();
    }
    strcpy(target, source);
}

} // namespace

RegistryDouble& Registry() {
    static RegistryDouble* registry = static_cast<RegistryDouble*>(
        mmap(nullptr, sizeof(RegistryDouble), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (registry == MAP_FAILED) {
        abort();
    }
    return *registry;
}

void ResetRegistry() {
    memset(&Registry(), 0, sizeof(RegistryDouble));
}

void AddKey(const char* path) {
    RegistryDouble& registry = Registry();
    if (registry.keyCount == 4) {
        abort();
    }
    Copy(registry.keys[registry.keyCount++], sizeof registry.keys[0], path);
}

void PutValue(const char* key, const char* name, DWORD type, const void* data, DWORD size) {
    DoubleValue* slot = Slot(key, name);
    for (DoubleValue& value : Registry().values) {
        slot = slot != nullptr ? slot : (value.present ? nullptr : &value);
    }
    if (slot == nullptr || size > sizeof slot->data) {
        abort();
    }
    slot->present = true;
    Copy(slot->key, sizeof slot->key, key);
    Copy(slot->name, sizeof slot->name, name);
    slot->type = type;
    slot->size = size;
    memcpy(slot->data, data, size);
}

void PutName(const char* key, const char* name, const char* text) {
    PutValue(key, name, REG_SZ, text, static_cast<DWORD>(strlen(text) + 1));
}

const DoubleValue* FindValue(const char* key, const char* name) {
    return Slot(key, name);
}

void FailCall(RegistryCall call, const char* key, const char* name) {
    RegistryDouble& registry = Registry();
    registry.failCall = call;
    Copy(registry.failKey, sizeof registry.failKey, key);
    Copy(registry.failValue, sizeof registry.failValue, name);
}

HKEY OpenDoubleKey(const char* path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != 0) {
        abort();
    }
    return key;
}

LONG RegOpenKeyExA(HKEY key, const char* subKey, DWORD options, REGSAM desired, HKEY* result) {
    RegistryDouble& registry = Registry();
    if (key != HKEY_LOCAL_MACHINE || options != 0 || desired != (KEY_QUERY_VALUE | KEY_SET_VALUE) ||
        Failing(RegistryCall::Open, subKey, "")) {
        return ERROR_ACCESS_DENIED;
    }
    for (int i = 0; i < registry.keyCount; ++i) {
        if (strcmp(registry.keys[i], subKey) == 0) {
            *result = new HostKey{i};
            return ERROR_SUCCESS;
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

LONG RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* size) {
    const char* path = Registry().keys[key->keyIndex];
    if (reserved != nullptr || Failing(RegistryCall::Query, path, valueName)) {
        return ERROR_ACCESS_DENIED;
    }
    const DoubleValue* value = Slot(path, valueName);
    if (value == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    *type = value->type;
    if (value->size > *size) {
        *size = value->size;
        return ERROR_MORE_DATA;
    }
    memcpy(data, value->data, value->size);
    *size = value->size;
    return ERROR_SUCCESS;
}

LONG RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD size) {
    const char* path = Registry().keys[key->keyIndex];
    if (reserved != 0 || Failing(RegistryCall::Set, path, valueName)) {
        return ERROR_ACCESS_DENIED;
    }
    PutValue(path, valueName, type, data, size);
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY key) {
    const bool fail = Failing(RegistryCall::Close, Registry().keys[key->keyIndex], "");
    delete key;
    return fail ? ERROR_INVALID_HANDLE : ERROR_SUCCESS;
}
