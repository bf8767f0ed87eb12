// git fetch --prune in many repositories at once, for `quarlo fetch`.
#pragma once

#include "base/sizes.h"
#include "cli/term.h"
#include "repo/repo.h"

// One repository to fetch and what the fetch did.
struct FetchJob {
    Repo before;          // identity set by the caller; status too unless `query_before`
    Repo after;           // the status after the fetch
    int query_before;     // the worker queries `before` first
    int only_with_remote; // skip a repository that has no remote
    int skipped;          // it has no remote: not fetched
    int failed;           // the fetch (or the query after it) failed: `why` says how
    char why[ERROR_TEXT_SIZE];
};

// Fetches jobs 0..count-1 with at most `parallel` fetches at once. With
// `progress`, a line on standard error (a terminal) tells done / total and
// the failures so far while they run.
void fetch_jobs(FetchJob *jobs, int count, int parallel, int progress);

// 1 when the fetch changed what the table shows of the repository (branch,
// ahead, behind).
int fetch_moved(const FetchJob *j);

// Appends the table of the results: every job with `all_rows`, else those
// that failed or moved; then a summary line. Returns the number that failed.
int fetch_table(Buf *b, const Term *t, const FetchJob *jobs, int count, int all_rows);
