// The host's stand-in registry starts out holding the four name values, as a
// freshly installed board does. The board's own registry needs no such list.
#include "name_store.h"

const SeedValue FirstUseValues[] = {
    {NameKeys[NameValues[H1].key].path, NameValues[H1].valueName},
    {NameKeys[NameValues[H2].key].path, NameValues[H2].valueName},
    {NameKeys[NameValues[C1].key].path, NameValues[C1].valueName},
    {NameKeys[NameValues[C2].key].path, NameValues[C2].valueName},
};
const int FirstUseValueCount = NameValueCount;
