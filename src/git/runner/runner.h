// Running git: the child's environment, the Windows command line, the run
// with its deadline and output cap, and the one-line text of a failed run.
// Nothing here knows about repositories; repo/ and actions/ call it.
#pragma once

#include "base/sizes.h"
#include "text/buf.h"

#include <cstddef>

#define RUN_LIMIT_S 20   // deadline of a git command, in seconds from its start
#define FETCH_LIMIT_S 30 // the same for the fetch

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
    RUN_NO_MEMORY,   // stopped: its output could not be kept (result 1)
};

// Runs argv[0] with its arguments, appending its standard output to `out`
// and its standard error, read apart, to `err` (when given; else it is read
// and dropped). The child is stopped, with every process it started, when it
// has not ended `limit_s` seconds after its start (whether it writes or not)
// or when what it wrote on both together would pass RUN_OUTPUT_MAX bytes
// (or out's ceiling); what was read before stays. Returns the exit status;
// -1 when the child could not be started (then `out` and `err` are
// untouched); 1 when the runner stopped it. `end`, when given, receives how
// the run ended. The child's environment is child_environment().
int run_argv(const char *const *argv, Buf *out, int limit_s, RunEnd *end = nullptr,
             Buf *err = nullptr);

// The same with the environment `envp` (null-terminated "NAME=value" texts).
// With `grace_ms`, a child that the runner stops is first asked to stop
// (plat_child_terminate), so that it can end what it started, and killed
// only when it has not ended within that time; what it writes meanwhile is
// read and dropped.
int run_argv_env(const char *const *argv, const char *const *envp, Buf *out, int limit_s,
                 RunEnd *end, Buf *err = nullptr, int grace_ms = 0);

// Runs git -C `dir` with the (null-terminated) arguments; at most 11 are used.
// Git is bound to `dir` (bound_environment): it answers for that folder or
// fails, and never for a repository above it.
int run_git(const char *dir, const char *const *args, Buf *out, int limit_s, RunEnd *end = nullptr,
            Buf *err = nullptr);

// The environment every git child gets: the program's own, without
// BOT_PASSWORD, the request's HTTP_ variables, GIT_CEILING_DIRECTORIES,
// GIT_OPTIONAL_LOCKS, GIT_CONFIG_COUNT and the GIT_CONFIG_KEY_n /
// GIT_CONFIG_VALUE_n entries its count does not cover, GIT_CONFIG_PARAMETERS,
// the GIT_TRACE family and every name that locates or reconfigures a
// repository (GIT_LOCAL_ENV_KNOWN and the installed git's own list, asked
// once and only where the environment holds another GIT_ name), with
// GIT_OPTIONAL_LOCKS=0, core.fsmonitor / log.showSignature forced off and
// core.quotePath off (file names as they are). Names are compared as the
// platform compares them: on Windows `bot_password` is BOT_PASSWORD. Built
// once, shared by every thread.
const char *const *child_environment();

// The names that locate or reconfigure a repository as git 2.39 lists them
// (`git rev-parse --local-env-vars`), null-terminated: left out of every git
// child with whatever the installed git adds to them.
extern const char *const GIT_LOCAL_ENV_KNOWN[];

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

// One line saying why a run of git failed: "git could not be started", "git
// did not answer within N s", "git wrote more than 64 MB and was stopped",
// "the output of git could not be kept in memory", or, for a run that exited
// non-zero, git's own message from `messages`, what it wrote on standard
// error (its first "fatal:" line, else its first "error:" line, else its
// first line; "git exited with status N" where it said nothing). Written to `out` (`size` bytes).
void run_failure_text(RunEnd end, int status, const char *messages, int limit_s, char *out,
                      size_t size);
