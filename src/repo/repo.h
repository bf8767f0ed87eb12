// The repository record and its table, the status query and the
// repository's JSON form and order. Git itself is run by repo/runner/.
#pragma once

#include "base/sizes.h"
#include "text/buf.h"

// One repository's identity and status. A record of all zero bytes is a valid
// empty record; the status query only adds to it.
struct Repo {
    char path[PATH_SIZE];      // working-tree folder; git runs with -C and this path
    char name[REPO_NAME_SIZE]; // last component of path
    char root[ROOT_TEXT_SIZE]; // the root it was found below; empty when none matched
    char branch[BRANCH_SIZE];
    char upstream[UPSTREAM_SIZE];
    char remote[URL_SIZE]; // detail mode only
    int ahead;
    int behind;
    int dirty;
    int untracked;
    int staged;
    int conflicted;
    int stash;
    int detached;
    int no_upstream;
    int unborn;
    long long last_ct;
    char last_hash[HASH_SIZE];
    char last_subject[SUBJECT_SIZE];
    // What failed, in one line: empty when every git command of the record's
    // query ran and exited 0. A record with an error keeps its status
    // fields (branch to last_subject) zero: nothing git said is shown for it.
    char error[ERROR_TEXT_SIZE];
    // What needs the user beyond the status, read from the git folder itself
    // (zero like the status fields in a record with an error):
    int upstream_gone;                  // an upstream is configured and its ref does not exist
    char operation[OPERATION_SIZE];     // "", "rebase", "merge", "cherry-pick", "revert",
                                        // "bisect" or "am": an operation left in progress
    char operation_branch[BRANCH_SIZE]; // the branch being rebased, without refs/heads/
    long long fetched_at;               // FETCH_HEAD's modification time; 0: never fetched
};

extern Repo g_repos[REPO_MAX];
extern int g_repo_count;

// Zeroes the record and fills its identity (each text cut to its field).
void repo_init(Repo *r, const char *path, const char *name, const char *root);

// Appends a zeroed record with the given identity; returns it, or null when
// the table is full.
Repo *repo_append(const char *path, const char *name, const char *root);

// Gives the record the error `text` unless it has one already (the first
// failure is the one told), and sets its status fields back to zero.
void repo_fail(Repo *r, const char *text);

// ---- status query -----------------------------------------------------------

#define MODE_LISTING 0
#define MODE_DETAIL 1

// Fills the record's status from git: in the listing two commands where git
// prints the stash count in its status (2.35 and later; asked once per
// process with `git --version`), three otherwise; four in detail mode. git
// log is not run for a repository without commits. The first command that
// fails ends the query and gives the record its error. The operation in
// progress and the last fetch are read from the git folder, found from `.git`
// without git (one more command, `git rev-parse`, only where that folder is
// not one git's own rules name).
void query_repo(Repo *r, int mode);

// Queries records 0..count-1 with at most `jobs` queries (so at most `jobs`
// git children) running at once; jobs <= 1 queries them one after another
// in table order.
void query_repos(Repo *repos, int count, int mode, int jobs);

// One line of git's porcelain v2 status output. The texts point into the
// output; they are not zero-terminated.
struct StatusLine {
    const char *text; // the whole line, without blanks (bytes 1 to 32) at either end
    size_t len;
    char code[3];     // the change code: "??", "!!", "UU" (unmerged), git's two
                      // letters XY for an ordinary or renamed entry, "--" for
                      // any other line; empty for a header line ('#')
    const char *path; // the entry's path; for a rename or copy its source path
    size_t path_len;
};

// Reads the next line that is not empty from the output at *p, whole however
// long it is, and moves *p past it. Returns 0 at the end of the output.
int status_next_line(const char **p, StatusLine *line);

// Fills the record's operation, operation_branch and fetched_at from its git
// folders `d` (gitdir_find's answer), with file tests only.
struct GitDirs;
void read_git_state(Repo *r, const GitDirs *d);

// Parsers of the query's command outputs (exposed for tests).
// `stash_header`: the status was asked for the stash count (--show-stash), so
// its "# stash N" header adds N to `stash`; otherwise that header is ignored.
void parse_status(Repo *r, const char *text, int stash_header = 0);
// 1 when `git --version` output names git 2.35 or later.
int git_version_shows_stash(const char *text);
void parse_last_commit(Repo *r, const char *text);
int count_stash_lines(const char *text);
void parse_remote(Repo *r, const char *text);

// Copies `url` into `out` (URL_SIZE bytes) without the user name and password.
void redact_url(const char *url, char *out);

// ---- JSON form and order ----------------------------------------------------

void emit_repo(Buf *b, const Repo *r);
int repo_cmp(const void *a, const void *b);
