// The host's operating-system layer, the one place where it uses POSIX calls
// of its own: its environment and executable, the listening socket and the
// addresses, the closing of a connection past its deadline, and the stop
// signals. Programs are run through the platform layer's runner.
#pragma once

#include <string>
#include <vector>

// The host's own environment.
std::vector<std::string> host_environment();

// The folder of the running executable ("" when unknown).
std::string host_executable_dir();

// True when `path` names an executable file.
bool host_is_executable(const std::string &path);

// Makes writes to a closed connection an error instead of a signal.
void host_ignore_sigpipe();

// Opens a listening socket on `bind` (an address or a name) and `port` (0:
// a free one). Returns it with the port in *bound, or -1 with the reason in
// *error.
int host_listen(const std::string &bind, int port, int *bound, std::string *error);

// True when every address that `bind` names is a loopback address (127.0.0.0/8,
// ::1, or 127.x.y.z mapped into IPv6); false for any other, and for a name
// that does not resolve.
bool host_is_loopback(const std::string &bind);

// The numeric text of the socket address `addr` (a struct sockaddr), "" when
// it has none.
std::string host_address_text(const void *addr);

// Ends the connection on socket `fd` whose deadline has passed: writes
// `answer` when it is not empty (without waiting for the client) and shuts
// the socket down both ways, so that its server sees the end and closes it.
void host_end_connection(int fd, const std::string &answer);

// ---- stopping -----------------------------------------------------------------

// Blocks SIGTERM, SIGINT and SIGHUP (each one not ignored when the host
// started) in the calling thread and every thread it starts afterwards, for
// host_wait_for_stop_signal. Call before starting any thread.
void host_block_stop_signals();

// Waits for one of the signals that host_block_stop_signals blocked; returns
// its number.
int host_wait_for_stop_signal();

// Ends the host as the signal `sig` does by default (its exit status says so).
[[noreturn]] void host_end_by_signal(int sig);
