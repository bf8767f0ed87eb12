// Running one git command of a record's query (the repository folder's own
// helper, shared by its query files).
#pragma once

#include "repo/repo.h"

// Runs one git command in the record's working copy. Returns its standard
// output when git ran and exited 0, or with `also_ok` (a further status that
// means "nothing there"); otherwise gives the record its error (from what
// git wrote on standard error) and returns null. `out` is initialised here:
// the caller frees it.
const char *query_run(Repo *r, const char *const *args, Buf *out, int also_ok = 0);
