// The host's code-page stand-in beyond the Windows calls.
#pragma once

#include "platform.h"

// The code page a hive's text is converted through: the locale's code set
// itself, with no guess. GetACP's table where it knows the code set; strict
// ASCII (20127) for the C and POSIX locales; otherwise the code set iconv
// knows by the locale's own name, which conversions then use (or fail).
UINT HiveCodePage();
constexpr UINT CP_ASCII = 20127;
