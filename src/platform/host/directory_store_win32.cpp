// velmora-card.exe always names a hive: the stand-in directory store, for the
// Linux tests and demo, has no place on a Windows PC and refuses.
#include "store.h"

namespace {

LONG Attach(const char* /*hive*/, const HiveUse& /*use*/) {
    return ERROR_FILE_NOT_FOUND;
}

LONG OpenKey(StoreKey* /*parent*/, const char* /*subKey*/, bool /*forWriting*/, StoreKey** /*result*/) {
    return ERROR_FILE_NOT_FOUND;
}

LONG ReadValue(StoreKey* /*key*/, const char* /*valueName*/, DWORD* /*type*/, std::string* /*data*/) {
    return ERROR_FILE_NOT_FOUND;
}

LONG WriteValue(StoreKey* /*key*/, const char* /*valueName*/, DWORD /*type*/, const BYTE* /*data*/,
                DWORD /*size*/) {
    return ERROR_FILE_NOT_FOUND;
}

LONG CloseKey(StoreKey* /*key*/) {
    return ERROR_SUCCESS;
}

LONG Detach() {
    return ERROR_SUCCESS;
}

} // namespace

const RegistryBackend DirectoryStore = {Attach, OpenKey, ReadValue, WriteValue, CloseKey, Detach};

void SeedStandInWith(const SeedValue* /*values*/, int /*count*/) {}
