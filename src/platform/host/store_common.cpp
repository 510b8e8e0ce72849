// The store helpers that make no system call, for every build of the host's
// registry (Linux, and velmora-card.exe on Windows).
#include "store.h"

#include <cerrno>
#include <cstring>

LONG ErrorFromErrno(LONG otherwise) {
    switch (errno) {
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return otherwise;
    }
}

bool ForEachKeyName(const char* path, const std::function<bool(const std::string& name)>& visit) {
    for (const char* component = path; *component != '\0';) {
        const size_t length = strcspn(component, "\\");
        if (!visit(std::string(component, length))) {
            return false;
        }
        component += length;
        component += *component == '\\' ? 1 : 0;
    }
    return true;
}
