// The terminal form of one repository's detail (quarlo show).
#pragma once

#include "cli/term.h"

struct Detail;

// Appends the detail `d` as text for people: the record, the changed files,
// the recent commits, the local branches.
void show_detail(Buf *b, const Term *t, const Detail *d);
