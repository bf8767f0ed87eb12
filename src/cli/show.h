// The terminal form of one repository's detail (quarlo show).
#pragma once

#include "cli/term.h"

// Appends the detail document `doc` (as action "repo" answers it) as text
// for people: the record, the changed files, the recent commits. Returns 1,
// 0 when `doc` is not such a document.
int show_detail(Buf *b, const Term *t, const char *doc);
