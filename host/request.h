// A request as the host's rules see it and the answer they give, without the
// HTTP server (server.h) or any operating-system call: the request target
// split for routing, the answer's plain form, and the log's text.
//
// The request target is kept exactly as the client sent it. The bot's
// proxied URL holds a second '?' ("/plugins?plugin=quarlo?action=repos"),
// valid in a URL's query: the path is what comes before the first '?', the
// query all that follows it.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HostRequest {
    std::string method;
    std::string target;    // as sent
    std::string authority; // of an absolute-form target ("http://name:port/..."), else ""
    std::string path;      // the target's path before its first '?', percent-decoded
    std::string query;     // the target after its first '?', as sent ("" without one)
    HeaderList headers;    // in the order sent
    std::string client;    // the client's address, as text
    std::chrono::steady_clock::time_point received; // when its request line arrived

    // The number of headers called `name` (letter case aside).
    size_t header_count(const char *name) const;
    // The value of the first header called `name`, "" without one.
    std::string header(const char *name) const;
};

// An answer as the host gives it (and shares between identical requests).
struct Answer {
    int status = 200;
    std::string content_type; // none when empty
    HeaderList headers;       // besides Content-Type and the framing the server adds
    std::string body;
};

// A plain-text answer: `text` and a newline.
Answer answer_plain(int status, const std::string &text);

// Splits the request target `target` into `req`'s authority, path and query.
// An absolute-form target ("http://127.0.0.1:8099/plugin_quarlo?x", the
// scheme in any letter case) gives its authority, and its path ("/" when it
// has none). False for a target in neither origin nor absolute form, or with
// a space or control character.
bool split_target(const std::string &target, HostRequest *req);

// `text` as the log shows it: every byte below 0x20, 0x7f and '\' as "\xHH",
// and the same for every byte of a character that a terminal would obey or
// use to reorder the line: the C1 controls (U+0080 to U+009F) and the
// bidirectional marks and overrides (U+061C, U+200E, U+200F, U+202A to
// U+202E, U+2066 to U+2069). A byte that is not part of valid UTF-8 is shown
// as "\xHH" too.
std::string log_text(const std::string &text);
