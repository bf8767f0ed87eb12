// The host's HTTP/1.1 server without operating-system calls: the reading of
// requests from a connection, their framing, and the writing of answers.
// The operating-system layer (os.h) hands it one HttpConn per accepted
// connection; the host's handlers decide what each request gets.
//
// The request target is kept exactly as the client sent it. The bot's
// proxied URL holds a second '?' ("/plugins?plugin=quarlo?action=repos"),
// valid in a URL's query: the path is what comes before the first '?', the
// query all that follows it.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
    std::string method;
    std::string target;  // as sent
    std::string version; // "HTTP/1.1" or "HTTP/1.0"
    std::string path;    // the target before its first '?', percent-decoded
    std::string query;   // the target after its first '?', as sent ("" without one)
    HttpHeaders headers; // in the order sent, names as sent
    std::string body;
    std::chrono::steady_clock::time_point received; // when its first byte arrived

    // The number of headers called `name` (letter case aside).
    size_t header_count(const char *name) const;
    // The value of the first header called `name`, "" without one.
    std::string header(const char *name) const;
};

struct HttpResponse {
    int status = 200;
    std::string content_type; // none when empty
    HttpHeaders headers;      // besides Content-Type, Content-Length and Connection
    std::string body;
};

// A plain-text answer: `text` and a newline.
HttpResponse http_plain(int status, const std::string &text);

// The standard phrase of a status code ("Not Found"), "Unknown" for others.
const char *http_reason(int status);

// Splits a request line ("GET /x?y HTTP/1.1", without its line end) into
// `req`. False when it is not one this server takes: a method of token
// characters, a target starting with '/' without spaces or control
// characters, and HTTP/1.0 or HTTP/1.1.
bool http_parse_request_line(const std::string &line, HttpRequest *req);

// Splits a header line ("Name: value", without its line end). False for a
// name that is empty or not a token (also when space precedes the colon), a
// continuation line, or a value with control characters other than tab.
bool http_parse_header_line(const std::string &line, std::string *name, std::string *value);

// The head and body of `res` as sent for `req`: the status line, Content-Type
// when set, the headers, Content-Length, "Connection: close" when `close`,
// then the body (none for HEAD).
std::string http_response_text(const HttpRequest &req, const HttpResponse &res, bool close);

// A connection as the server reads and writes it. Reads wait at most the
// connection's own time limits, counted from the start of the request.
class HttpConn {
  public:
    enum Read {
        OK,
        CLOSED,   // the client closed the connection, or it failed
        LATE,     // the request did not arrive in time
        TOO_LONG, // more than the maximum before the end of the line
    };
    virtual ~HttpConn() = default;
    // Waits for the first byte of the next request (up to the keep-alive
    // time) and starts the request's time limit. False when none came, or
    // when the server is stopping.
    virtual bool next_request() = 0;
    // Reads one line into `line`, without its LF or CR LF; TOO_LONG when no
    // line end comes within `max` bytes.
    virtual Read read_line(std::string *line, size_t max) = 0;
    // Appends exactly `n` bytes to `out`.
    virtual Read read_bytes(std::string *out, size_t n) = 0;
    // Writes all of `data` within the answer's time limit; false when the
    // client did not take it.
    virtual bool write(const std::string &data) = 0;
};

struct HttpLimits {
    int keep_alive_max = 5;         // requests per connection
    size_t request_line_max = 8192; // bytes of a request line
    size_t header_line_max = 8192;  // bytes of a header line
    size_t header_count_max = 100;  // header lines of a request
    size_t body_max = 1u << 20;     // bytes of a body
    int request_timeout_s = 10;     // for the 408 answer's text
};

struct HttpHandlers {
    // Looks at a request before its body is read: true when it answered
    // `res` (a refusal); the connection then ends.
    std::function<bool(const HttpRequest &, HttpResponse &)> check;
    // Answers a request.
    std::function<void(const HttpRequest &, HttpResponse &)> serve;
    // Called once an answer has been written (or its writing failed).
    std::function<void(const HttpRequest &, const HttpResponse &)> log;
};

// Serves the requests that arrive on `conn` until the client closes it, a
// request asks to close it or cannot be read, or keep_alive_max requests
// have been answered. A request without Content-Length and without
// Transfer-Encoding has no body (RFC 9112): it is served at once. A request
// whose head or body did not arrive in time gets 408; one that cannot be
// framed 400, 413, 414 or 431; each such answer ends the connection. A
// request whose line did not arrive at all ends it without an answer.
void http_serve_connection(HttpConn &conn, const HttpLimits &limits, const HttpHandlers &handlers);
