#pragma once

// How a program runs velmora: the board program shows its banner and checks
// the name's length in bytes of the code page; the card program may leave
// the banner out and count the name its own way before.
struct RunOptions {
    bool banner = true;
    bool lengthChecked = false;
};

// One run: the banner, then the usage line, the name's message or the
// rename. The exit status; a failure ends the process itself.
int RunVelmora(int argc, char** argv, RunOptions options = {});
