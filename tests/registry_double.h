// A programmable in-memory registry for unit tests. It lives in shared memory,
// so a forked child's writes stay visible to the test that forked it, and any
// call can be made to fail.
#pragma once

#include "platform.h"

enum class RegistryCall { None, Open, Query, Set, Close };

struct DoubleValue {
    bool present;
    char key[96];
    char name[32];
    DWORD type;
    DWORD size;
    BYTE data[512];
};

struct RegistryDouble {
    char keys[4][96];
    int keyCount;
    DoubleValue values[8];
    // Calls of this kind on this key (and value, when named) fail.
    RegistryCall failCall;
    char failKey[96];
    char failValue[32];
};

RegistryDouble& Registry();
void ResetRegistry();
void AddKey(const char* path);
void PutValue(const char* key, const char* name, DWORD type, const void* data, DWORD size);
// A REG_SZ value holding text and its NUL.
void PutName(const char* key, const char* name, const char* text);
const DoubleValue* FindValue(const char* key, const char* name);
void FailCall(RegistryCall call, const char* key, const char* name = "");
// An open key on `path`, as the tool would hold it.
HKEY OpenDoubleKey(const char* path);
