// End-to-end test support: run the built quarlo program as a CGI process with
// a controlled environment. The git fixtures (git_fixtures.h), the JSON reader
// (json.h) and the child-process runner (child_process.h) come with it.
#pragma once

#include "child_process.h"
#include "files.h"
#include "git_fixtures.h"
#include "json.h"

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// One CGI request. The program gets a clean environment: PATH, HOME (a
// temporary folder shared by the test process), LANG=C, GATEWAY_INTERFACE,
// REQUEST_METHOD and QUERY_STRING as set here, the sanitizer option variables
// of the test process (when set), then every entry of `env` (an entry whose
// name is already present replaces it, so `env` may set HOME or PATH too).
struct CgiRequest {
    std::string query; // QUERY_STRING; unset when `no_query` is true
    bool no_query = false;
    std::string method = "GET";                           // REQUEST_METHOD; empty -> unset
    std::vector<std::pair<std::string, std::string>> env; // further variables
    std::vector<std::string> args; // command-line arguments after the program name
    std::string path_prefix;       // folder put in front of PATH (a fake git); empty -> none
    std::string path_override;     // when set, PATH is exactly this
    std::string cwd;               // working folder of the program; empty -> inherited
    std::string input;             // bytes on the program's stdin (empty -> an empty stdin)
    int timeout_seconds = 120;     // the program is killed (and the test fails) after this
    // When set ("uid:gid"), the program runs as that user and group with no
    // other groups (through setpriv; the test must run as root).
    std::string user;
    // When set, the program runs in a session of its own whose controlling
    // terminal is a fresh pseudo-terminal (as when the bot was started from
    // a console), and what it writes to the terminal is stored here.
    std::string *terminal = nullptr;
};

struct CgiResult {
    std::string out;  // everything written to stdout, as bytes
    int exit_status;  // exit code; 128 + signal when a signal ended it; -1 when it could not start
    std::string head; // `out` before the first "\r\n\r\n" (all of `out` when there is none)
    std::string body; // `out` after the first "\r\n\r\n" (empty when there is none)
    std::string err;  // everything written to stderr (sanitizer reports land here)
};

CgiResult run_cgi(const CgiRequest &req);

// The git deadlines the program runs with in a test of a hanging git. The
// test build takes them from the environment, so such a test waits 1 s for a
// git command and 2 s for a fetch (apart, so that a fetch stopped at the
// other limit shows); any other build keeps its own 20 and 30 s.
struct GitLimits {
    int run_s;
    int fetch_s;
};
GitLimits git_limits();

// Adds to `req` the environment that sets git_limits().
void use_git_limits(CgiRequest *req);

// run_cgi, then EXPECTs what every road of the program must give: exit
// status 0 and nothing on stderr (the program writes nothing but its response).
CgiResult run_cgi_ok(const CgiRequest &req);

// The exact JSON response head, blank line included: with "Status: 403
// Forbidden" for 403, "Status: 400 Bad Request" for 400, no Status line for
// any other value.
std::string json_head(int status = 0);

// The head lines of json_head(status) alone, as CgiResult::head holds them.
std::string json_head_lines(int status = 0);

// A GET request with the query `query` and `root` as the only root.
CgiRequest root_request(const std::string &root, const std::string &query);

// run_cgi_ok, then the body read as JSON (EXPECTing that it parses).
Json cgi_json(const CgiRequest &req);

// The lines of `text`, without their line feeds (a last line without one
// included).
std::vector<std::string> lines_of(const std::string &text);

// The whole 403 answer to a repository path outside the allowlist.
std::string path_refused_reply();

// Percent-encodes every byte but ASCII letters, digits, '-', '_', '.', '~' and
// '/', as a client encodes a path for the query string.
std::string url_encode(const std::string &s);

// The members of a repository record, in the order the listing and the
// detail write them.
const std::vector<std::string> &repo_record_keys();

// The path of the built program: $QUARLO_TEST_BIN when set, else the macro
// QUARLO_BIN.
std::string quarlo_bin();

using testfs::path_exists;
using testfs::read_file;
using testfs::TempDir;
using testfs::write_file;
