// The terminal table of the listing (quarlo status) and of a fetch's results.
#pragma once

#include "cli/term.h"
#include "repo/repo.h"

// 1 when the record asks something of its user: git could not read it, an
// operation is in progress, conflicts, changes, or its upstream is gone.
int repo_needs_user(const Repo *r);

// 1 when the record holds work that exists only in this working copy:
// uncommitted changes, untracked files, stashes, commits on no
// remote-tracking branch, or no remote at all.
int repo_only_here(const Repo *r);

// The name the table shows for repos[i]: its name, or where another record
// of `repos` has the same name, its path below its root (the whole path when
// that repeats too). Points into the record.
const char *table_name(const Repo *repos, int count, int i);

// Appends the state cell's parts of `r` (what needs the user, ahead and
// behind, stashes, unpushed work and gone branches; "clean" when nothing) to
// `b`, cut to `max` columns (< 0: whole), coloured as `t` says; with
// `only_here` just what exists only in this working copy. Returns the
// columns appended.
int state_cell(Buf *b, const Term *t, const Repo *r, long long now, int max, int only_here = 0);

// Appends the table of records 0..count-1 of `repos` (in the order given)
// and a summary line to `b`; with `only_here` each state cell tells just
// what exists only in that working copy.
void status_table(Buf *b, const Term *t, const Repo *repos, int count, int only_here = 0);
