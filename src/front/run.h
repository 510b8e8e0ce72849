#pragma once

// One run: the banner, then the usage line, the length message or the
// rename. The exit status; a failure ends the process itself.
int RunVelmora(int argc, char** argv);
