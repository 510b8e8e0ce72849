// velmora on Linux, for the tests and the demo: the board's program on the
// host's stand-in registry, which starts out holding the four name values as a
// freshly installed board does (or on the hive VELMORA_SYSTEM_HIVE names).
#include "host_api.h"
#include "name_store.h"
#include "run.h"

namespace {

constexpr SeedValue FirstUseValues[] = {
    {NameKeys[NameValues[H1].key].path, NameValues[H1].valueName},
    {NameKeys[NameValues[H2].key].path, NameValues[H2].valueName},
    {NameKeys[NameValues[C1].key].path, NameValues[C1].valueName},
    {NameKeys[NameValues[C2].key].path, NameValues[C2].valueName},
};

} // namespace

int main(int argc, char** argv) {
    SeedStandInWith(FirstUseValues, NameValueCount);
    return RunVelmora(argc, argv);
}
