#include "git/refs/refs.h"
#include "git/gitdir/gitdir.h"

int refs_read_table(const GitDirs *, RefTable *) {
    return 0;
}
