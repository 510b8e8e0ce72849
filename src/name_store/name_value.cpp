#include "console.h"
#include "name_store.h"

#include <cstdlib>
#include <cstring>

NameReadFailure ReadNameValue(HKEY key, const char* valueName, char** copy, bool* fillsBuffer) {
    BYTE buffer[ValueBufferSize];
    DWORD size = ValueBufferSize;
    DWORD type = 0;
    *copy = nullptr;
    *fillsBuffer = false;
    // A registry that reports more than the buffer holds must not make us copy
    // past it: that counts as a failed query too.
    if (RegQueryValueExA(key, valueName, nullptr, &type, buffer, &size) != 0 || size > ValueBufferSize) {
        return NameQueryFailed;
    }
    if (type != REG_SZ) {
        return NameTypeMismatch;
    }
    *fillsBuffer = size == ValueBufferSize;
    // Data without a NUL (empty data included) gets one, so that nothing
    // beyond the copy is ever read as part of the name.
    const bool terminated = memchr(buffer, '\0', size) != nullptr;
    *copy = static_cast<char*>(malloc(terminated ? size : size + 1));
    if (*copy == nullptr) {
        return NameNoMemory;
    }
    memcpy(*copy, buffer, size);
    if (!terminated) {
        (*copy)[size] = '\0';
    }
    return NameRead;
}

char* QueryNameValue(HKEY key, const char* valueName, const char* label) {
    char* copy = nullptr;
    bool fillsBuffer = false;
    const NameReadFailure failure = ReadNameValue(key, valueName, &copy, &fillsBuffer);
    if (failure == NameQueryFailed) {
        FailWith("%s : Registry Query Error.\n", label);
    }
    if (failure == NameTypeMismatch) {
        FailWith("%s : Type Mismatch Error.\n", label);
    }
    if (fillsBuffer) {
        WriteWarning("%s : Unsupported Length.\n", label);
    }
    if (failure == NameNoMemory) {
        FailWith("%s : Memory Allocation Error.\n", label);
    }
    return copy;
}

void SetNameValue(HKEY key, const char* valueName, const char* newName, const char* label) {
    const DWORD size = static_cast<DWORD>(strlen(newName) + 1);
    if (RegSetValueExA(key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(newName), size) != 0) {
        FailWith("%s : Set New Value Error.\n", label);
    }
}
