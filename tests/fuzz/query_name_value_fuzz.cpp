// QueryNameValue on any stored value: any type, 0 to 300 bytes, any contents.
// The copy must be terminated within its allocation (AddressSanitizer sees
// any read beyond it) and the messages and status must be the documented ones.
#include "name_store.h"
#include "recording_console.h"
#include "registry_double.h"

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* Tcpip = NameKeys[TcpipKey].path;
constexpr size_t MaxData = 300;

void Check(bool condition) {
    if (!condition) {
        abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, size_t size) {
    if (size < 5) {
        return 0;
    }
    // Odd first bytes store REG_SZ, so that most inputs reach the copy.
    DWORD type = REG_SZ;
    if ((input[0] & 1) == 0) {
        memcpy(&type, input + 1, sizeof type);
    }
    const bool failQuery = input[0] == 0x80;
    const BYTE* data = input + 5;
    const DWORD dataSize = static_cast<DWORD>(std::min(size - 5, MaxData));

    ResetRegistry();
    AddKey(Tcpip);
    PutValue(Tcpip, "Hostname", type, data, dataSize);
    if (failQuery) {
        FailCall(RegistryCall::Query, Tcpip, "Hostname");
    }
    HKEY key = OpenDoubleKey(Tcpip);

    std::jmp_buf failed;
    Recorded = RecordedRun{};
    Recorded.failed = &failed;
    char* copy = nullptr;
    if (setjmp(failed) == 0) {
        copy = QueryNameValue(key, "Hostname", "Host Name 1");
    }
    RegCloseKey(key);

    Check(Recorded.out.empty());
    if (failQuery || dataSize > ValueBufferSize) {
        Check(Recorded.status == 1 && Recorded.err == "Host Name 1 : Registry Query Error.\n" &&
              copy == nullptr);
        return 0;
    }
    if (type != REG_SZ) {
        Check(Recorded.status == 1 && Recorded.err == "Host Name 1 : Type Mismatch Error.\n" &&
              copy == nullptr);
        return 0;
    }
    Check(Recorded.status == 0 && copy != nullptr);
    Check(Recorded.err == (dataSize == ValueBufferSize ? "Host Name 1 : Unsupported Length.\n" : ""));
    // The name is the stored bytes up to the first NUL, or all of them.
    const void* nul = memchr(data, 0, dataSize);
    const size_t expected =
        nul != nullptr ? static_cast<size_t>(static_cast<const BYTE*>(nul) - data) : dataSize;
    Check(strlen(copy) == expected && memcmp(copy, data, expected) == 0);
    free(copy);
    return 0;
}
