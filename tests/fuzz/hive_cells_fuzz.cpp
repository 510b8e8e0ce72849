// The hive reader and writer on any bytes: the first byte picks the new
// name's length (0 to 63 bytes of UTF-16), the rest is the hive (base block
// and bins). The path to the name values is walked and each found value is
// rewritten in memory, as a rename does. Nothing may be read or written
// outside the image; every page said to be changed lies inside the hive.
#include "hive_cell_writer.h"
#include "hive_replay.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Check(bool condition) {
    if (!condition) {
        abort();
    }
}

// The key at `path` (components separated by '\\') below `key`, or HiveNoCell.
std::uint32_t Walk(const HiveImage& hive, std::uint32_t key, const char* path) {
    char name[64];
    while (*path != '\0' && key != HiveNoCell) {
        const size_t length = strcspn(path, "\\");
        memcpy(name, path, length);
        name[length] = '\0';
        path += length + (path[length] == '\\' ? 1 : 0);
        if (FindHiveSubkey(hive, key, name, &key) != HiveFault::None) {
            return HiveNoCell;
        }
    }
    return key;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, size_t size) {
    if (size < 1 + HiveBaseBlockSize) {
        return 0;
    }
    const std::uint32_t nameSize = input[0] % 64;
    // Exactly the hive plus the one page a new bin may take.
    std::vector<unsigned char> bytes(input + 1, input + size);
    bytes.resize(bytes.size() + 4096);
    HiveImage hive;
    hive.bytes = bytes.data();
    hive.capacity = bytes.size();
    const std::uint32_t root = HiveRootKey(hive);
    std::uint32_t select = HiveNoCell;
    HiveValue current;
    if (root != HiveNoCell && FindHiveSubkey(hive, root, "Select", &select) == HiveFault::None &&
        select != HiveNoCell) {
        FindHiveValue(hive, select, "Current", false, &current);
    }
    const unsigned char name[64] = {'F', 0, 'U', 0, 'Z', 0, 'Z', 0};
    const struct {
        const char* key;
        const char* value;
    } targets[] = {{"ControlSet001\\Services\\Tcpip\\Parameters", "Hostname"},
                   {"ControlSet001\\Services\\Tcpip\\Parameters", "NV Hostname"},
                   {"ControlSet001\\Control\\ComputerName\\ComputerName", "ComputerName"}};
    for (const auto& target : targets) {
        const std::uint32_t key = root == HiveNoCell ? HiveNoCell : Walk(hive, root, target.key);
        HiveValue value;
        if (key == HiveNoCell || FindHiveValue(hive, key, target.value, true, &value) != HiveFault::None ||
            value.record == HiveNoCell) {
            continue;
        }
        // What a query copies must lie in the image.
        Check(value.data == nullptr ||
              (value.data >= bytes.data() && value.data + value.size <= bytes.data() + bytes.size()));
        SetHiveValue(&hive, key, value, 1, name, nameSize);
    }
    for (std::uint32_t page : hive.changedPages) {
        Check(page % 4096 == 0 && page < HiveBinsDataSize(hive));
    }
    return 0;
}
