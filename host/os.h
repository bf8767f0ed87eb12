// The host's operating-system layer, the one place where it uses POSIX calls:
// running the CGI program, the listening socket and its connections, and the
// stop signals.
#pragma once

#include "http.h"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

struct ChildRun {
    enum Outcome {
        EXITED,      // ended by itself; see exit_code / signal
        NOT_STARTED, // could not be started; see error
        TIMED_OUT,   // killed at the time limit
        TOO_LARGE,   // killed: wrote more than the limit
        STOPPED,     // not started, or left to host_stop_children: the host is stopping
    } outcome = NOT_STARTED;
    std::string output; // everything written to standard output
    int exit_code = -1; // when it exited normally
    int signal = 0;     // when a signal ended it
    std::string error;
};

// Runs `program` without arguments, standard input empty, standard output
// captured, standard error shared with the host, the environment `env`
// ("NAME=value"), in a process group of its own. At the time limit, or once
// it has written more than `max_output`, the group is asked to stop
// (SIGTERM), so that the program can stop what it started; whatever of the
// group is left after `grace_ms` is killed (SIGKILL). Once host_stop_children
// has begun, no program starts (NOT_STARTED) and those going are its own.
ChildRun child_run(const std::string &program, const std::vector<std::string> &env, int timeout_ms,
                   int grace_ms, size_t max_output);

// The host's own environment.
std::vector<std::string> host_environment();

// The folder of the running executable ("" when unknown).
std::string host_executable_dir();

// True when `path` names an executable file.
bool host_is_executable(const std::string &path);

// Makes writes to a closed connection an error instead of a signal.
void host_ignore_sigpipe();

// ---- serving ----------------------------------------------------------------

// Time limits of a connection.
struct ConnLimits {
    int keep_alive_timeout_s; // idle time before the next request
    int read_timeout_s;       // longest silence while a request arrives
    int write_timeout_s;      // longest wait to write while answering
    int request_timeout_s;    // a request's whole head and body, from its first byte
    int answer_timeout_s;     // the writing of a whole answer
};

// Opens a listening socket on `bind` (an address or a name) and `port` (0:
// a free one). Returns it with the port in *bound, or -1 with the reason in
// *error.
int host_listen(const std::string &bind, int port, int *bound, std::string *error);

// Accepts connections on `listener` and serves each on one of `workers`
// threads with `serve`, until host_stop_serving; connections beyond the
// workers wait for one. A client that has not sent a request's head and body
// within request_timeout_s, or not taken an answer within answer_timeout_s,
// gets no more time (the HttpConn reads LATE, or its write fails).
void host_serve(int listener, int workers, const ConnLimits &limits,
                const std::function<void(HttpConn &)> &serve);

// Makes host_serve return and close the listening socket: no connection is
// taken any more, and open ones take no further request. Any thread.
void host_stop_serving();

// ---- stopping -----------------------------------------------------------------

// Blocks SIGTERM, SIGINT and SIGHUP (each one not ignored when the host
// started) in the calling thread and every thread it starts afterwards, for
// host_wait_for_stop_signal. Call before starting any thread.
void host_block_stop_signals();

// Waits for one of the signals that host_block_stop_signals blocked; returns
// its number.
int host_wait_for_stop_signal();

// Stops every program run that is going, and any from starting: SIGTERM to
// its process group, up to `grace_ms` for the groups to end, then SIGKILL to
// what is left of them. Returns once every program has been collected.
void host_stop_children(int grace_ms);

// Ends the host as the signal `sig` does by default (its exit status says so).
[[noreturn]] void host_end_by_signal(int sig);
