#include "cgi.h"

#include "text/text.h"

#include <cctype>
#include <cstring>

bool same_name(const std::string &a, const char *b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; i++)
        if (std::tolower((unsigned char)a[i]) != std::tolower((unsigned char)b[i])) return false;
    return true;
}

bool cgi_is_request_variable(const std::string &entry) {
    static const char *const NAMES[] = {"QUERY_STRING",    "REQUEST_METHOD",    "CONTENT_LENGTH",
                                        "CONTENT_TYPE",    "GATEWAY_INTERFACE", "SCRIPT_NAME",
                                        "PATH_INFO",       "PATH_TRANSLATED",   "REMOTE_ADDR",
                                        "REMOTE_HOST",     "REMOTE_USER",       "AUTH_TYPE",
                                        "SERVER_NAME",     "SERVER_PORT",       "SERVER_PROTOCOL",
                                        "SERVER_SOFTWARE", "REQUEST_URI",       nullptr};
    size_t eq = entry.find('=');
    std::string name = entry.substr(0, eq);
    if (name.compare(0, 5, "HTTP_") == 0) return true;
    for (int i = 0; NAMES[i]; i++)
        if (name == NAMES[i]) return true;
    return false;
}

std::vector<std::string> cgi_request_env(const CgiRequest &req) {
    std::vector<std::string> env = {"GATEWAY_INTERFACE=CGI/1.1", "SERVER_PROTOCOL=HTTP/1.1",
                                    std::string("SCRIPT_NAME=") + ROUTE,
                                    "REQUEST_METHOD=" + req.method, "QUERY_STRING=" + req.query};
    if (req.password) env.push_back("HTTP_X_BOT_PASSWORD=" + *req.password);
    if (req.authorization) env.push_back("HTTP_AUTHORIZATION=" + *req.authorization);
    return env;
}

std::string cgi_share_key(const CgiRequest &req) {
    if (req.method != "GET") return "";
    // Each variable with its length before it, so that no two different
    // lists give the same key.
    std::string key;
    for (const std::string &v : cgi_request_env(req)) key += std::to_string(v.size()) + ":" + v;
    return key;
}

static bool is_token_char(unsigned char c) {
    return std::isalnum(c) || std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool cgi_parse(const std::string &out, CgiResponse *res, std::string *why) {
    size_t pos = 0;
    bool has_status = false, has_location = false;
    res->status = 200;
    res->headers.clear();
    for (;;) {
        size_t nl = out.find('\n', pos);
        if (nl == std::string::npos) {
            *why = "no empty line ends the head";
            return false;
        }
        std::string line = out.substr(pos, nl - pos);
        pos = nl + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;

        size_t colon = line.find(':');
        if (colon == std::string::npos || colon == 0) {
            *why = "a head line is not \"Name: value\"";
            return false;
        }
        std::string name = line.substr(0, colon);
        for (char c : name)
            if (!is_token_char(static_cast<unsigned char>(c))) {
                *why = "a head line has an invalid name";
                return false;
            }
        size_t v = colon + 1;
        while (v < line.size() && (line[v] == ' ' || line[v] == '\t')) v++;
        std::string value = line.substr(v);
        for (char c : value)
            if (static_cast<unsigned char>(c) < 0x20 && c != '\t') {
                *why = "a head line holds a control character";
                return false;
            }

        if (same_name(name, "Status")) {
            if (value.size() < 3 || !std::isdigit((unsigned char)value[0]) ||
                !std::isdigit((unsigned char)value[1]) || !std::isdigit((unsigned char)value[2]) ||
                (value.size() > 3 && value[3] != ' ')) {
                *why = "the Status line has no three-digit code";
                return false;
            }
            int code = std::stoi(value.substr(0, 3));
            if (code < 100 || code > 599) {
                *why = "the Status code is out of range";
                return false;
            }
            res->status = code;
            has_status = true;
            continue;
        }
        if (same_name(name, "Location")) has_location = true;
        res->headers.emplace_back(name, value);
    }
    if (res->headers.empty() && !has_status) {
        *why = "the head is empty";
        return false;
    }
    if (has_location && !has_status) res->status = 302;
    res->body = out.substr(pos);
    return true;
}

std::string redact_target(const std::string &target) {
    size_t q = target.find('?');
    if (q == std::string::npos) return target;
    std::string out = target.substr(0, q + 1);
    size_t pos = q + 1;
    while (pos <= target.size()) {
        size_t end = target.find_first_of("&?", pos);
        if (end == std::string::npos) end = target.size();
        std::string param = target.substr(pos, end - pos);
        if (param.compare(0, 4, "pwd=") == 0) param = "pwd=***";
        out += param;
        if (end == target.size()) break;
        out += target[end];
        pos = end + 1;
    }
    return out;
}

bool query_has_password(const std::string &query) {
    for (size_t pos = 0; pos < query.size();) {
        if (query.compare(pos, 4, "pwd=") == 0) return true;
        size_t end = query.find_first_of("&?", pos);
        if (end == std::string::npos) break;
        pos = end + 1;
    }
    return false;
}

static std::string url_decode(const std::string &s) {
    std::string out(s.size(), '\0');
    out.resize(percent_decode(s.data(), s.size(), &out[0], 1));
    return out;
}

bool proxied_query(const std::string &query, const std::string &plugin, std::string *out) {
    static const std::string KEY = "plugin=";
    if (query.compare(0, KEY.size(), KEY) != 0) return false;
    size_t end = query.find_first_of("?&", KEY.size());
    std::string name = query.substr(KEY.size(), end == std::string::npos ? end : end - KEY.size());
    if (url_decode(name) != plugin) return false;
    *out = end == std::string::npos ? "" : query.substr(end + 1);
    return true;
}
