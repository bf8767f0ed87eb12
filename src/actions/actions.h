// The three JSON actions.
#pragma once

#include "repo/repo.h"
#include "roots/roots.h"
#include "text/buf.h"

#include <cstddef>
#include <string>
#include <vector>

// Number of status queries the listing runs at once (QUARLO_JOBS).
int listing_jobs();

// One listing: the roots with what their walks found (exists, count,
// truncated, depth_limited) and the table of repositories found below them,
// in the listing's order.
struct Listing {
    Roots roots;
    std::vector<Repo> repos;
    int table_capped = 0; // the table is full: repositories may have been left out
};

// The ceilings of a listing: repositories in its table, folders its walk
// enters below one root. The program's own are REPO_MAX and WALK_DIRS_MAX;
// tests lower them to reach them with small trees.
struct ListingLimits {
    int repos = REPO_MAX;
    int dirs_per_root = WALK_DIRS_MAX;
};

// action "repos": every repository below every root, with a summary.
void action_repos();
// The listing's work: discovers every repository below `roots` into `out`
// (the roots copied, with what each walk found), queries them (listing_jobs
// at once) and sorts them in the listing's order.
void listing_collect(const Roots *roots, Listing *out, ListingLimits limits = ListingLimits{});
// The first step of listing_collect alone: enters every repository found
// below `roots` into `out` (path, name and root), in discovery order, without
// running git.
void listing_discover(const Roots *roots, Listing *out, ListingLimits limits = ListingLimits{});
// Appends the document of the listing `l` to `b`, as action "repos" answers
// it; the caller checks buf_ok.
void listing_document(const Listing *l, Buf *b);
// action "repo": one allowlisted repository in depth.
void action_repo(const char *query);

// One repository in depth, collected once and rendered both as the detail
// document (detail_emit) and at the terminal (quarlo show).
struct DetailChange {
    char code[3];     // git's change code, as StatusLine has it
    std::string path; // the path's bytes as they are on disk
};
struct DetailCommit {
    std::string hash;
    long long ct;
    std::string author;
    std::string subject;
};
struct Detail {
    Repo repo;
    // At most DETAIL_CHANGED_MAX of the changes, in git's order; none when
    // the repository could not be read.
    std::vector<DetailChange> changed;
    int changed_count;     // every change git listed
    int changed_truncated; // changed_count is more than `changed` holds
    // The recent commits, newest first, at most DETAIL_COMMITS_MAX.
    std::vector<DetailCommit> commits;
    // Every local branch (query_branches' order); none when the repository
    // could not be read.
    std::vector<BranchRow> branches;
};
#define DETAIL_CHANGED_MAX 500
#define DETAIL_COMMITS_MAX 20

// Collects the detail of the repository at `requested`, checked against
// `roots`. Returns 1; 0 (with *d untouched) when path_allowed refuses the
// path.
int detail_collect(const Roots *roots, const char *requested, Detail *d);
// Appends the detail document of `d` to `b`, as action "repo" answers it;
// the caller checks buf_ok.
void detail_emit(Buf *b, const Detail *d);
// action "fetch" (POST): git fetch --prune in one allowlisted repository
// `path` (as the client gave it); writes the whole answer.
void action_fetch(const char *path);
// Runs git fetch --prune in the repository at the allowed full path `full`
// with the fetch's limits (FETCH_LIMIT_S, the output cap of `out`, no prompt,
// bound to the folder), its output in `out`. Returns git's exit status (as
// run_git gives it); `why` (`why_size` bytes) gets what failed in one line,
// or the empty text when the fetch exited 0.
int fetch_run(const char *full, Buf *out, char *why, size_t why_size);
