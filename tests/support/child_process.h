// The tests' one way to run a child process on Linux: the CGI runs of the
// end-to-end tests, git fixtures, the Wine driver and any test that starts a
// program of its own. A list of arguments (no shell), exactly the environment
// given, standard input from bytes, standard output and standard error
// collected apart, and a deadline after which the child's process group is
// killed. The program's own runner (src/git/runner/) is what the tests
// test; this one only serves them.
#pragma once

#include <string>
#include <utility>
#include <vector>

using EnvList = std::vector<std::pair<std::string, std::string>>;

// Sets `name` in `env`: replaces the value of an entry of that name, else
// appends one.
void env_set(EnvList &env, const std::string &name, const std::string &value);

// The test process's own environment.
EnvList inherited_env();

// A child to run: its arguments, environment, working folder, input and
// deadline.
struct ChildCommand {
    // argv[0] names the program: a path when it holds a '/', else found on
    // the PATH of `env` (the search path of the child, not the test's).
    std::vector<std::string> argv;
    EnvList env;               // exactly the child's environment
    std::string cwd;           // working folder; empty -> inherited
    std::string input;         // bytes on standard input (empty -> an empty input)
    int timeout_seconds = 300; // then the child's process group is killed
    // The child runs in a session of its own whose controlling terminal is a
    // fresh pseudo-terminal (as when started from a console); what is written
    // to the terminal lands in ChildResult::terminal. Otherwise it leads a
    // process group of its own and has no terminal of the test's.
    bool on_terminal = false;
};

struct ChildResult {
    std::string out;      // standard output, as bytes
    std::string err;      // standard error
    std::string terminal; // written to the terminal (on_terminal only)
    int exit_status = -1; // exit code; 128 + signal when a signal ended it; -1 when it
                          // could not start
    bool timed_out = false;
};

// Runs the child to its end (or its deadline). Reports nothing itself.
ChildResult run_child(const ChildCommand &run);

// Any process run with a list of arguments (no shell). `env` entries are
// added to (or replace entries of) the test process's environment.
struct ProcResult {
    std::string out;
    std::string err;
    int exit_status; // as in ChildResult
};
ProcResult run_process(const std::vector<std::string> &argv, const std::string &cwd = "",
                       const EnvList &env = {}, const std::string &input = "");

// Single-quotes a word for /bin/sh (any bytes but NUL).
std::string shq(const std::string &word);
