// The host's HTTP/1.1 server, on GNU libmicrohttpd: one event-loop thread
// reads and writes every connection (non-blocking sockets, so idle, slow and
// silent clients hold no thread), and each request that the host serves
// runs on a thread of its own while its connection waits suspended.
//
// The library frames requests (and answers those it cannot frame); the host
// adds what the library has no option for: a deadline for a request's whole
// head and body, counted from the connection's start or the end of its last
// answer (408 when its request line had arrived, else the connection just
// ends), a deadline for the taking of a whole answer, and a cap on the
// requests served on one connection.
#pragma once

#include "request.h"

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

struct ServerLimits {
    unsigned connections_max;    // connections at once
    unsigned per_address_max;    // connections at once from one address; 0: no limit
    int idle_timeout_s;          // longest silence of a connection, reading or writing
    int request_timeout_s;       // a request's head and body
    int answer_timeout_s;        // the taking of a whole answer
    int keep_alive_max;          // requests per connection
    unsigned long long body_max; // bytes of a body (413 beyond)
};

struct ServerHandlers {
    // Looks at a request once its head has arrived, before its body: true
    // when it refused it with `answer` (the body is then never read).
    std::function<bool(const HostRequest &, Answer &)> check;
    // Answers a request whose body has arrived; runs on a thread of its own
    // and may take long.
    std::function<std::shared_ptr<const Answer>(const HostRequest &)> serve;
    // Called once per request that got an answer (or a 408), when the
    // answer has gone out or its connection has ended.
    std::function<void(const HostRequest &, int status)> log;
};

// Serves the listening socket `listener` until the host ends. Returns false
// with the reason in *error when the server cannot start.
bool server_start(int listener, const ServerLimits &limits, const ServerHandlers &handlers,
                  std::string *error);

// Takes no more connections; the ones open are left to the host's end.
void server_stop_accepting();
