// The repository record, the status query and the
// repository's JSON form and order. Git itself is run by git/runner/.
#pragma once

#include "base/sizes.h"
#include "text/buf.h"

#include <vector>

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
    // Work that exists only on this machine, as of the last fetch (the
    // remote-tracking refs are what this machine knows of its remotes):
    int unpushed;          // commits on a local branch and on no remote-tracking branch
    int unpushed_branches; // local branches holding at least one of them
    int gone_branches;     // local branches whose configured upstream's ref no longer exists
    int no_remote;         // no remote-tracking branch at all: everything is only here
    // What git could not tell in a record without an error, in one line
    // ("renames not detected: ..."); empty when it told everything.
    char notice[ERROR_TEXT_SIZE];
};

// Zeroes the record and fills its identity (each text cut to its field).
void repo_init(Repo *r, const char *path, const char *name, const char *root);

// Gives the record the error `text` unless it has one already (the first
// failure is the one told), and sets its status fields back to zero.
void repo_fail(Repo *r, const char *text);

// Says in the record what git could not tell (`what`, then git's `why`),
// where it says nothing of the kind yet.
void repo_notice(Repo *r, const char *what, const char *why);

// ---- status query -----------------------------------------------------------

struct GitDirs;

// How query_repo asks: MODE_LISTING for a table of repositories; MODE_DETAIL
// for one repository on its own (the fetch's before and after), where asking
// git's version once would cost the run it saves.
#define MODE_LISTING 0
#define MODE_DETAIL 1

// Fills the record's status from git: `git status`, with the stash count in
// it where git prints it there (2.35 and later; asked once per process with
// `git --version`, in the listing mode only), else `git stash list` as
// well. The last commit, the one the status names, is read from the
// repository's object store (git/objects/), and `git log -1` is asked only
// where it cannot be read there; there is none without commits. The first
// command that fails ends the query and gives the record its error.
// MODE_DETAIL leaves out the version question and runs `git stash list`.
// The operation in progress and the last fetch are
// read from the git folder, found from `.git` without git (one more command,
// `git rev-parse`, only where that folder is not one git's own rules name).
void query_repo(Repo *r, int mode);

// The detail's query: one `git status --show-stash` serving the record and
// the changed list, one 20-commit log whose first entry is the record's last
// commit, `git config` for the origin URL, and `git stash list` only where
// the status printed no stash count (git before 2.35) and a stash may exist.
// Hands back the status output and the log ("%H%x09%ct%x09%an%x09%s" lines;
// empty when not run) in `status` and `log`, both initialised here: the
// caller frees them. On a failure the record has its error and neither
// output is to be read.
void query_repo_detail(Repo *r, Buf *status, Buf *log);

// Fills the record's unpushed, unpushed_branches, gone_branches and
// no_remote from its git folders `dirs` (null where they were not found):
// the refs and upstreams read there where that is exact (else one
// `git for-each-ref`), and `git rev-list` only where some local branch's tip
// is not the tip of a remote-tracking branch.
void query_unpushed(Repo *r, const GitDirs *dirs);

// One local branch as the detail lists it, as `git branch -vv` tells it.
struct BranchRow {
    char name[BRANCH_SIZE];       // without refs/heads/
    char upstream[UPSTREAM_SIZE]; // "origin/main"; empty when none is configured
    int ahead, behind;            // against the upstream
    int gone;                     // the upstream is configured and its ref does not exist
    int unpushed;                 // its commits on no remote-tracking branch
    int current;                  // checked out in this working copy
    char hash[HASH_SIZE];         // its last commit
    long long ct;
    char subject[SUBJECT_SIZE];
};

// The detail's branches: every local branch, the checked-out one first, then
// the newest last commit first, from one `git for-each-ref` and (where some
// tip is not on a remote-tracking branch) one `git rev-list`, whatever their
// number. Fills the record's unpushed figures from the same answers. On a
// failure the record has its error and `rows` is empty.
void query_branches(Repo *r, std::vector<BranchRow> *rows);

// Queries records 0..count-1 with at most `jobs` queries (so at most `jobs`
// git children) running at once; jobs <= 1 queries them one after another
// in table order.
void query_repos(Repo *repos, int count, int mode, int jobs);

// One entry of git's porcelain v2 status output in its -z form: records
// that each end in a zero byte, paths exactly as they are on disk (a rename
// or copy is followed by a record of its source path). The texts point into
// the output; they are not zero-terminated.
struct StatusLine {
    const char *text; // the whole record (a header without blanks, bytes 1 to 32, at its end)
    size_t len;
    char code[3];     // the change code: "??", "!!", "UU" (unmerged), git's two
                      // letters XY for an ordinary or renamed entry, "--" for
                      // any other record; empty for a header ('#')
    const char *path; // the entry's path; for a rename or copy its source path
    size_t path_len;
};

// Reads the next record that is not blank from the output at *p (up to
// `end`), whole however long it is, and moves *p past it (and past the
// source-path record of a rename or copy). Returns 0 at the end of the
// output.
int status_next_line(const char **p, const char *end, StatusLine *line);

// Fills the record's operation, operation_branch and fetched_at from its git
// folders `d` (gitdir_find's answer), with file tests only.
void read_git_state(Repo *r, const GitDirs *d);

// Parsers of the query's command outputs: pure functions of the text.
// parse_status reads `len` bytes of `status --porcelain=v2 -z` output.
// `stash_header`: the status was asked for the stash count (--show-stash), so
// its "# stash N" header adds N to `stash`; otherwise that header is ignored.
// `head_oid` (HASH_SIZE bytes, may be null) gets the commit the status names
// in "# branch.oid", or the empty text when it names none.
void parse_status(Repo *r, const char *text, size_t len, int stash_header = 0,
                  char *head_oid = nullptr);
// 1 when `git --version` output names git 2.35 or later.
int git_version_shows_stash(const char *text);

// One line of git log: the listing's "%H%x09%ct%x09%s" (`sep` a tab) or the
// detail's "%H%x00%ct%x00%an%x00%s" (`sep` a zero byte, `with_author`: git
// cannot put a zero byte or a line feed in any of these fields, while an
// author name or a subject may hold a tab). The texts point into the line; a
// field the line does not have is null.
struct LogLine {
    const char *hash;
    size_t hash_len;
    long long ct; // parse_commit_time's value of the time field
    const char *author;
    size_t author_len;
    const char *subject; // the rest of the line
    size_t subject_len;
};
// Reads the line [s, end) (without its line feed). Returns 0 when it has no
// `sep` (it is no such line).
int log_line_read(const char *s, const char *end, char sep, int with_author, LogLine *l);
// Reads the next line of the detail's log that has all four fields from the
// log at *p (up to `end`) and moves *p past it. Returns 0 at the end of the
// log; a line of another shape is passed.
int log_next_record(const char **p, const char *end, LogLine *l);
#define DETAIL_LOG_FORMAT "--format=%H%x00%ct%x00%an%x00%s"
// The record's last commit from the first line of git log -1's output: its
// hash, time and subject, the subject cut at a character's edge and trimmed.
void parse_last_commit(Repo *r, const char *text);
// The same from the first record of the detail's log (`len` bytes).
void parse_log_head(Repo *r, const char *text, size_t len);
int count_stash_lines(const char *text);
void parse_remote(Repo *r, const char *text);

// Copies `url` into `out` (URL_SIZE bytes) without the user name and password.
void redact_url(const char *url, char *out);

// ---- JSON form and order ----------------------------------------------------

// The record as a JSON object; its state and step (repo_step) are told as of
// the time the object is written.
void emit_repo(Buf *b, const Repo *r);
// The listing's order: those that need the user first (unreadable, then an
// operation in progress, conflicts, an upstream deleted), then those with
// changes (more first), then the newest last commit first.
int repo_cmp(const void *a, const void *b);
// Puts records 0..count-1 in repo_cmp's order. The records are large, so
// their order is found on indexes and each record then moved once.
void repos_sort(Repo *repos, int count);

// ---- the state that matters most, and the step it asks for ----------------

// A repository's states by urgency; its state is the first that applies.
enum RepoState {
    STATE_UNREADABLE,  // git could not read it (the record has an error)
    STATE_OPERATION,   // a rebase, merge, cherry-pick, revert, am or bisect stopped half way
    STATE_CONFLICTS,   // files in conflict, no operation
    STATE_GONE,        // the branch's upstream was deleted
    STATE_CHANGES,     // changed, staged or untracked files
    STATE_UNPUSHED,    // commits not on the remote
    STATE_BEHIND,      // commits to pull
    STATE_NO_REMOTE,   // nothing of it is anywhere else
    STATE_STALE,       // ahead and behind as of a fetch long ago (or never)
    STATE_DETACHED,    // HEAD is no branch
    STATE_STASHED,     // stashes kept
    STATE_UNBORN,      // no commits yet
    STATE_NO_UPSTREAM, // the branch follows no upstream
    STATE_CLEAN,       // nothing to do
    STATE_COUNT
};
// The last state that needs the user before anything else: the states up to
// it make the "needs you" set of the listing, the page and the terminal.
#define STATE_LAST_NEEDING_USER STATE_GONE
// Ahead and behind figures fetched longer ago than this are old.
#define STALE_AFTER_S (7 * 86400LL)
// A step's text: the longest is an unreadable repository's, with its error.
#define STEP_TEXT_SIZE (ERROR_TEXT_SIZE + 16)

// The state of `r` at the time `now` (seconds since 1970).
int repo_state(const Repo *r, long long now);
// The state's name in the JSON documents: "unreadable", "operation", ...
const char *repo_state_key(int state);
// 1 when `r` needs the user before anything else (STATE_LAST_NEEDING_USER).
int repo_needs_user(const Repo *r);
// 1 when `r` holds work that exists only in this working copy: uncommitted
// changes, untracked files, stashes, commits on no remote-tracking branch, or
// no remote at all; also when git could not read it (nothing tells it holds
// none).
int repo_only_here(const Repo *r);
// 1 when the ahead and behind figures are old (STALE_AFTER_S, or never fetched).
int repo_sync_stale(const Repo *r, long long now);
// The step the state asks for, in words: "Resolve 1 conflict, then git
// rebase --continue", "Commit or stash 4 changes", "Fetched 12 days ago".
void repo_step(const Repo *r, long long now, char *out, size_t size);
// An age in words: "just now", "1 minute ago", "12 days ago", "2 years ago".
void age_words(long long then, long long now, char *out, size_t size);

// What a table of records holds, counted once for the listing's summary and
// the terminal's summary line: repositories with each state, and stashes.
struct RepoSummary {
    int dirty, ahead, behind, stashes, detached, errors, gone, in_progress, conflicted, needs_you;
    int unpushed;  // repositories with unpushed commits that have a remote
    int no_remote; // repositories without any remote-tracking branch
};
void repo_summarize(const Repo *repos, int count, RepoSummary *s);
