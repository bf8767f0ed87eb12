// Real git repositories for the tests: git and /bin/sh run with a
// deterministic environment (fixed author, committer, time zone and a home
// folder of their own), commits at given dates and commits written by hand.
#pragma once

#include "child_process.h"

#include <string>
#include <vector>

// /bin/sh -c cmd (in cwd when given) with the deterministic git environment
// below; returns stdout; ADD_FAILURE (with the command and its stderr) on a
// non-zero exit.
std::string sh(const std::string &cmd, const std::string &cwd = "");

// git -C dir <args> (args split by the shell) with a deterministic environment:
// fixed author/committer name and email, GIT_CONFIG_NOSYSTEM=1, HOME = a
// temporary folder whose .gitconfig sets init.defaultBranch=main. ADD_FAILURE
// on a non-zero exit.
void git(const std::string &dir, const std::string &args);
// The same, returning stdout.
std::string git_out(const std::string &dir, const std::string &args);
// The same with an argument list (no shell; any bytes but NUL in the words).
std::string git_argv(const std::string &dir, const std::vector<std::string> &args);

// `s` without the line ends at its end (a command's one-line output).
std::string trimmed(std::string s);

// Writes to the folder `dir` a `git` that appends its arguments to the file
// it returns, one run a line, and then runs the real git: a request whose
// path_prefix is `dir` shows which git commands the program ran.
std::string logging_git(const std::string &dir);

// The environment that git()/sh() use, for run_process callers.
std::vector<std::pair<std::string, std::string>> git_env();

// Commits what is in the index (empty commits allowed; nothing is added) with
// the message `msg` (any bytes but NUL) and author and committer date `when`
// (seconds since the epoch, UTC).
void commit_at(const std::string &dir, const std::string &msg, long long when);

// Writes a commit object by hand (no message clean-up, no re-encoding: the
// message bytes are stored as given, invalid UTF-8 included) with the tree of
// the index, HEAD as parent when there is one, and author and committer date
// `when`; moves HEAD's branch (or a detached HEAD) to it. Returns the hash.
std::string commit_raw(const std::string &dir, const std::string &message, long long when);
