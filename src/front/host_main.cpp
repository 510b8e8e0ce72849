// velmora on Linux, for the tests and the demo: the board's program on the
// host's stand-in registry, which starts out holding the four name values as a
// freshly installed board does (or on the hive VELMORA_SYSTEM_HIVE names).
#include "host_api.h"
#include "name_store.h"
#include "run.h"

int main(int argc, char** argv) {
    static SeedValue firstUseValues[NameValueCount];
    for (const NameValue& value : NameValues) {
        firstUseValues[value.tag] = {NameKeys[value.key].path, value.valueName};
    }
    SeedStandInWith(firstUseValues, NameValueCount);
    return RunVelmora(argc, argv);
}
