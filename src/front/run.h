#pragma once

#include "console.h"

// How a program runs velmora: the board program shows its banner and checks
// the name's length in bytes of the code page, and prints names as stored;
// the card program may leave the banner out, counts the name its own way
// before, and shows names read from a card through `showName`.
struct RunOptions {
    bool banner = true;
    bool lengthChecked = false;
    NameShower showName = nullptr;
    bool settleBeforeShowing = false; // the closing lines only once the card is written
};

// One run: the banner, then the usage line, the name's message or the
// rename. The exit status; a failure ends the process itself.
int RunVelmora(int argc, char** argv, RunOptions options = {});
