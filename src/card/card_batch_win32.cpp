// velmora-card.exe has no batch yet: a drive letter's media coming and going
// is not watched. Each card is renamed on its own, then ejected.
#include "card.h"
#include "exit_status.h"

#include <cstdio>

int Batch(const CardOptions& /*options*/) {
    fprintf(stderr, "velmora-card: batch is for Linux PCs for now: rename each card with velmora-card rename "
                    "E: NEWNAME, then eject it\n");
    return ExitFailed;
}
