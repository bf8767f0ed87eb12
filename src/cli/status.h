// The terminal table of the listing (quarlo status) and of a fetch's results.
#pragma once

#include "cli/term.h"
#include "repo/repo.h"

// The name the table shows for repos[i]: its name, or where another record
// of `repos` has the same name, its path below its root (the whole path when
// that repeats too). Points into the record.
const char *table_name(const Repo *repos, int count, int i);

// Appends the state cell of `r` (its step, then the facts the step does not
// tell: changes, ahead and behind with the last fetch, stashes, unpushed work
// and gone branches) to `b`, cut to `max` columns (< 0: whole), coloured as
// `t` says; with `only_here` just what exists only in this working copy.
// Returns the columns appended.
int state_cell(Buf *b, const Term *t, const Repo *r, long long now, int max, int only_here = 0);

// Appends the table of records 0..count-1 of `repos` (in the order given)
// and a summary line to `b`; with `only_here` each state cell tells just
// what exists only in that working copy.
void status_table(Buf *b, const Term *t, const Repo *repos, int count, int only_here = 0);
