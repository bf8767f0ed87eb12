// The host's CGI pieces that need no operating system: the child's
// environment, the key under which identical requests share a run, the
// reading of its response head, and the log's redaction.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

// The host's route to the program, also the program's SCRIPT_NAME.
inline constexpr char ROUTE[] = "/plugin_quarlo";

// True when `a` and `b` are the same name but for ASCII letter case (header
// names, host names).
bool same_name(const std::string &a, const char *b);

// True for the variables the host sets itself or that describe a request
// (QUERY_STRING, REQUEST_METHOD, HTTP_*, ...): they are never inherited from
// the host's own environment.
bool cgi_is_request_variable(const std::string &entry);

// What the program is told of one request.
struct CgiRequest {
    std::string method;
    std::string query;                        // its QUERY_STRING
    std::optional<std::string> password;      // the X-Bot-Password header
    std::optional<std::string> authorization; // the Authorization header
};

// The variables of the program's environment that describe `req`
// (REQUEST_METHOD, QUERY_STRING, the credential headers as HTTP_ variables
// when sent, and the fixed CGI ones); the rest is the host's own environment.
std::vector<std::string> cgi_request_env(const CgiRequest &req);

// The key under which identical requests share one program run: all of
// cgi_request_env, so two requests share only when the program would see the
// same thing, credentials included. "" for a request that must run on its
// own: anything but a GET (a POST may fetch).
std::string cgi_share_key(const CgiRequest &req);

// A CGI response split into its parts.
struct CgiResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers; // without Status
    std::string body;
};

// Reads the head of `out` (lines ending in LF or CR LF, up to the empty line).
// Every line must be "Name: value"; a "Status" line gives the HTTP status
// (three digits, 100 to 599), a Location without a Status gives 302. Returns
// false with the reason in `why` when there is no such head.
bool cgi_parse(const std::string &out, CgiResponse *res, std::string *why);

// The request target as the log shows it: the value of every "pwd" parameter
// (after '?' or '&', also in the proxied form) replaced by "***".
std::string redact_target(const std::string &target);

// True when `query` holds a "pwd" parameter (after its start, '?' or '&').
bool query_has_password(const std::string &query);

// The query string the program gets for a proxied request, whose query is
// "plugin=NAME" followed by '?' or '&' and the plugin's own query. Returns
// false when the query does not start with "plugin=" or names another plugin.
bool proxied_query(const std::string &query, const std::string &plugin, std::string *out);
