// On the board the registry and the code-page services are Windows' own.
#pragma once

#include <windows.h>
