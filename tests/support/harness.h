// End-to-end test support: run the built quarlo program as a CGI process with
// a controlled environment, make real git repositories in temporary folders,
// and read its JSON answers.
#pragma once

#include "files.h"

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
};

struct CgiResult {
    std::string out;  // everything written to stdout, as bytes
    int exit_status;  // exit code; 128 + signal when a signal ended it; -1 when it could not start
    std::string head; // `out` before the first "\r\n\r\n" (all of `out` when there is none)
    std::string body; // `out` after the first "\r\n\r\n" (empty when there is none)
    std::string err;  // everything written to stderr (sanitizer reports land here)
};

CgiResult run_cgi(const CgiRequest &req);

// run_cgi, then EXPECTs what every road of the program must give: exit
// status 0 and nothing on stderr (the program writes nothing but its response).
CgiResult run_cgi_ok(const CgiRequest &req);

// The exact JSON response head, blank line included: with "Status: 403
// Forbidden" for 403, "Status: 400 Bad Request" for 400, no Status line for
// any other value.
std::string json_head(int status = 0);

// The head lines of json_head(status) alone, as CgiResult::head holds them.
std::string json_head_lines(int status = 0);

// The whole 403 answer to a repository path outside the allowlist.
std::string path_refused_reply();

// Percent-encodes every byte but ASCII letters, digits, '-', '_', '.', '~' and
// '/', as a client encodes a path for the query string.
std::string url_encode(const std::string &s);

// The path of the built program: $QUARLO_TEST_BIN when set, else the macro
// QUARLO_BIN.
std::string quarlo_bin();

using testfs::path_exists;
using testfs::read_file;
using testfs::TempDir;
using testfs::write_file;

// Any process run with a list of arguments (no shell). `env` entries are
// added to (or replace entries of) the test process's environment.
struct ProcResult {
    std::string out;
    std::string err;
    int exit_status; // as in CgiResult
};
ProcResult run_process(const std::vector<std::string> &argv, const std::string &cwd = "",
                       const std::vector<std::pair<std::string, std::string>> &env = {},
                       const std::string &input = "");

// /bin/sh -c cmd (in cwd when given) with the deterministic git environment
// below; returns stdout; ADD_FAILURE (with the command and its stderr) on a
// non-zero exit.
std::string sh(const std::string &cmd, const std::string &cwd = "");

// Single-quotes a word for /bin/sh (any bytes but NUL).
std::string shq(const std::string &word);

// git -C dir <args> (args split by the shell) with a deterministic environment:
// fixed author/committer name and email, GIT_CONFIG_NOSYSTEM=1, HOME = a
// temporary folder whose .gitconfig sets init.defaultBranch=main. ADD_FAILURE
// on a non-zero exit.
void git(const std::string &dir, const std::string &args);
// The same, returning stdout.
std::string git_out(const std::string &dir, const std::string &args);
// The same with an argument list (no shell; any bytes but NUL in the words).
std::string git_argv(const std::string &dir, const std::vector<std::string> &args);

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

// A lenient JSON reader: bytes >= 0x80 in strings are taken as they are (not
// checked as UTF-8). Everything else is strict JSON: control bytes in strings,
// bad escapes, trailing text, or leading zeros are errors.
struct Json {
    enum Type { Null, Bool, Number, String, Array, Object };
    Type type = Null;
    bool b = false;
    long long n = 0; // integral part of a number
    double d = 0;    // the number as a double
    bool integral = true;
    std::string s;           // a string's bytes, escapes decoded (\uXXXX as UTF-8)
    std::vector<Json> items; // array
    std::vector<std::pair<std::string, Json>> members; // object, in document order

    bool is_object() const { return type == Object; }
    bool is_array() const { return type == Array; }
    bool is_string() const { return type == String; }
    bool is_number() const { return type == Number; }
    bool is_bool() const { return type == Bool; }
    bool is_null() const { return type == Null; }

    const std::string &str() const { return s; }
    long long num() const { return n; }
    bool boolean() const { return b; }
    // Members of an object, items of an array, else 0.
    std::size_t size() const;
    bool has(const std::string &key) const;
    std::vector<std::string> keys() const;

    // A missing key or index (or the wrong type) yields a null value.
    const Json &operator[](const std::string &key) const;
    const Json &operator[](const char *key) const { return (*this)[std::string(key)]; }
    const Json &operator[](std::size_t i) const;
    const Json &operator[](int i) const { return (*this)[static_cast<std::size_t>(i)]; }
};

// "" when `text` is valid UTF-8 (as strict JSON readers require of a whole
// document); otherwise where and why it is not. parse_json does not check it.
std::string utf8_error(const std::string &text);

// Parses one JSON document (surrounding white space allowed). On an error the
// result is null and *error (when given) says where and why.
Json parse_json(const std::string &text, std::string *error = nullptr);
