// The repository record and its table, the git runner, the status query and
// the repository's JSON form and order.
#pragma once

#include "out/buf.h"

#define REPO_MAX 1200
#define ERROR_TEXT_SIZE 1200 // a record's error line, at most 1199 bytes

// One repository's identity and status. A record of all zero bytes is a valid
// empty record; the status query only adds to it.
struct Repo {
    char path[1024]; // working-tree folder; git runs with -C and this path
    char name[256];  // last component of path
    char root[768];  // the root it was found below; empty when none matched
    char branch[256];
    char upstream[512];
    char remote[512]; // detail mode only
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
    char last_hash[48];
    char last_subject[300];
    // What failed, in one line: empty when every git command of the record's
    // query ran and exited 0. A record with an error keeps its status
    // fields (branch to last_subject) zero: nothing git said is shown for it.
    char error[ERROR_TEXT_SIZE];
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

// ---- runner -----------------------------------------------------------------

#define RUN_LIMIT_S 20   // deadline of a git command, in seconds from its start
#define FETCH_LIMIT_S 30 // the same for the fetch
// A run's output Buf never grows past this many bytes (64 MiB), its text and
// terminator together: a child whose output would not fit is stopped.
#define RUN_OUTPUT_MAX (64ull << 20)
#define RUN_GIT_ARGS_MAX 11
#define QUOTED_ARG_SIZE 1200
#define STATUS_LINE_SIZE 1200 // one line of git status output, at most 1199 bytes
#define CMDLINE_SIZE 4096

// Writes `arg` as one quoted argument of a Windows command line into `out`
// (QUOTED_ARG_SIZE bytes) and returns its length. Backslashes are doubled only
// where they stand before a double quote or before the closing quote.
int quote_arg(const char *arg, char *out);

// Joins the quoted arguments of `argv` (null-terminated) into `out`
// (CMDLINE_SIZE bytes). Returns how many arguments fitted; later ones are left
// out whole.
int build_cmdline(const char *const *argv, char *out);

// How a run ended, told beside its exit status: a status of 1 may be git's
// own failure or the runner stopping it, and only this tells them apart.
enum RunEnd {
    RUN_EXITED,      // the child ended by itself; its status is the result
    RUN_NOT_STARTED, // the pipe or the child could not be made (result -1)
    RUN_TIMED_OUT,   // stopped at its time limit (result 1)
    RUN_TOO_LARGE,   // stopped: it wrote more than the runner takes (result 1)
};

// Runs argv[0] with its arguments, appending standard output and standard
// error to `out`. The child is stopped, with every process it started, when
// it has not ended `limit_s` seconds after its start (whether it writes or
// not) or when its output would grow `out` past RUN_OUTPUT_MAX bytes; what
// was read before stays in `out`. Returns the exit status; -1 when the child
// could not be started (then `out` is untouched); 1 when the runner stopped
// it. `end`, when given, receives how the run ended. The child's environment
// is child_environment().
int run_argv(const char *const *argv, Buf *out, int limit_s, RunEnd *end = nullptr);

// The same with the environment `envp` (null-terminated "NAME=value" texts).
int run_argv_env(const char *const *argv, const char *const *envp, Buf *out, int limit_s,
                 RunEnd *end);

// Runs git -C `dir` with the (null-terminated) arguments; at most 11 are used.
// Git is bound to `dir` (bound_environment): it answers for that folder or
// fails, and never for a repository above it.
int run_git(const char *dir, const char *const *args, Buf *out, int limit_s, RunEnd *end = nullptr);

// The environment every git child gets: the program's own, without
// BOT_PASSWORD, the request's HTTP_ variables, GIT_CEILING_DIRECTORIES,
// GIT_OPTIONAL_LOCKS, GIT_CONFIG_COUNT and the GIT_CONFIG_KEY_n /
// GIT_CONFIG_VALUE_n entries its count does not cover, with
// GIT_OPTIONAL_LOCKS=0, core.fsmonitor / log.showSignature forced off and
// core.quotePath off (file names as they are). Names are compared as the
// platform compares them: on Windows `bot_password` is BOT_PASSWORD. Built
// once, shared by every thread.
const char *const *child_environment();

// The value of the program's environment variable `name`, found as the child
// environment finds the names it leaves out (on Windows regardless of letter
// case): the first such entry with a value; null when there is none. The
// password check reads BOT_PASSWORD through it, so the password it honours
// is one that git never gets.
const char *env_value(const char *name);

// The environment of a git child run in `dir`: child_environment() and
// GIT_CEILING_DIRECTORIES ending in the parent of dir's real path (after any
// entries of the program's own environment), so that git looks for the
// repository in `dir` and never in a folder above it. Returns a
// null-terminated array to release with free(), whose added entry is the
// text of `entry` (released by the caller with buf_free); null when memory
// is short.
const char **bound_environment(const char *dir, Buf *entry);

// The value of GIT_CEILING_DIRECTORIES for a git child run in `dir` (see
// bound_environment), appended to `value`; nothing when `dir` has no parent.
void git_ceiling_value(const char *dir, Buf *value);

// ---- status query -----------------------------------------------------------

#define MODE_LISTING 0
#define MODE_DETAIL 1

// Fills the record's status from git: in the listing two commands where git
// prints the stash count in its status (2.35 and later; asked once per
// process with `git --version`), three otherwise; four in detail mode. git
// log is not run for a repository without commits. The first command that
// fails ends the query and gives the record its error.
void query_repo(Repo *r, int mode);

// One line saying why a run of git failed: "git could not be started", "git
// did not answer within N s", "git wrote more than 64 MB and was stopped",
// or, for a run that exited non-zero, git's own message (its first "fatal:"
// line, else its first "error:" line, else its first line; "git exited with
// status N" where it printed nothing). Written to `out` (`size` bytes).
void run_failure_text(RunEnd end, int status, const char *output, int limit_s, char *out,
                      size_t size);

// Queries records 0..count-1 with at most `jobs` queries (so at most `jobs`
// git children) running at once; jobs <= 1 queries them one after another
// in table order.
#define QUERY_JOBS_MAX 64
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

// Parsers of the query's command outputs (exposed for tests).
// `stash_header`: the status was asked for the stash count (--show-stash), so
// its "# stash N" header adds N to `stash`; otherwise that header is ignored.
void parse_status(Repo *r, const char *text, int stash_header = 0);
// 1 when `git --version` output names git 2.35 or later.
int git_version_shows_stash(const char *text);
void parse_last_commit(Repo *r, const char *text);
int count_stash_lines(const char *text);
void parse_remote(Repo *r, const char *text);

// Copies `url` into `out` (512 bytes) without the user name and password.
void redact_url(const char *url, char *out);

// ---- JSON form and order ----------------------------------------------------

void emit_repo(Buf *b, const Repo *r);
int repo_cmp(const void *a, const void *b);
