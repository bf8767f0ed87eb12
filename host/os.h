// The host's operating-system layer, the one place where it uses POSIX calls:
// running the CGI program, and reading a connection's requests.
#pragma once

#include <httplib.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

struct ChildRun {
    enum Outcome {
        EXITED,      // ended by itself; see exit_code / signal
        NOT_STARTED, // could not be started; see error
        TIMED_OUT,   // stopped at the time limit
        TOO_LARGE,   // stopped: wrote more than the limit
    } outcome = NOT_STARTED;
    std::string output; // everything written to standard output
    int exit_code = -1; // when it exited normally
    int signal = 0;     // when a signal ended it
    std::string error;
};

// Runs `program` without arguments, standard input empty, standard output
// captured, standard error shared with the host, the environment `env`
// ("NAME=value"), in a process group of its own. At the time limit (or past
// `max_output`) the group gets SIGTERM, so that the program ends its own
// children, and SIGKILL when it has not ended 2 s later.
ChildRun child_run(const std::string &program, const std::vector<std::string> &env, int timeout_ms,
                   size_t max_output);

// The host's own environment.
std::vector<std::string> host_environment();

// The folder of the running executable ("" when unknown).
std::string host_executable_dir();

// True when `path` names an executable file.
bool host_is_executable(const std::string &path);

// Makes writes to a closed connection an error instead of a signal.
void host_ignore_sigpipe();

// ---- connections ------------------------------------------------------------

// Timeouts and limits of one connection, in the library's terms.
struct ConnLimits {
    int keep_alive_max;       // requests per connection
    int keep_alive_timeout_s; // idle time before the next request
    int read_timeout_s;
    int write_timeout_s;
};

// Serves one request from `strm`: `raw_target` is the request target exactly
// as the client sent it, `close` asks to end the connection after it, and
// `closed` tells that the request ended it. Returns false on a failure.
using ConnRequest = std::function<bool(httplib::Stream &strm, const std::string &raw_target,
                                       bool close, bool &closed)>;

// Serves the requests that arrive on the connection `sock` (keep-alive up to
// the limits, while `running` holds) and closes it.
//
// The bot's proxied URL holds a second '?' ("/plugins?plugin=quarlo?action=
// repos"), valid in a URL query, which the HTTP library refuses. So the
// request line is read here first: the target is kept as sent, and every '?'
// after the first reaches the library as "%3F". The library then parses the
// line and headers as usual; `serve` hands the kept target on.
bool serve_connection(int sock, const ConnLimits &limits, const std::atomic<int> &listening,
                      const ConnRequest &serve);
