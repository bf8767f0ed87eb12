#include "harness.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>

namespace {

const char *const kDefaultPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

// The program's home folder, shared by the test process.
const std::string &cgi_home() {
    static TempDir home;
    return home.path();
}

} // namespace

const std::vector<std::string> &repo_record_keys() {
    static const std::vector<std::string> keys{"path",
                                               "name",
                                               "root",
                                               "branch",
                                               "upstream",
                                               "remote",
                                               "ahead",
                                               "behind",
                                               "dirty",
                                               "untracked",
                                               "staged",
                                               "conflicted",
                                               "stash",
                                               "detached",
                                               "no_upstream",
                                               "unborn",
                                               "last_commit",
                                               "path_param",
                                               "error",
                                               "upstream_gone",
                                               "operation",
                                               "operation_branch",
                                               "fetched_at",
                                               "unpushed",
                                               "unpushed_branches",
                                               "gone_branches",
                                               "no_remote",
                                               "state",
                                               "state_rank",
                                               "needs_you",
                                               "step"};
    return keys;
}

std::string quarlo_bin() {
    // QUARLO_TEST_BIN runs the same tests against another build of the program.
    const char *other = getenv("QUARLO_TEST_BIN");
    if (other && *other) return other;
#ifdef QUARLO_BIN
    return QUARLO_BIN;
#else
    const char *b = getenv("QUARLO_BIN");
    return b ? b : "quarlo";
#endif
}

GitLimits git_limits() {
#if defined(QUARLO_TEST_SEAMS)
    return {1, 2};
#else
    return {20, 30};
#endif
}

void use_git_limits(CgiRequest *req) {
    GitLimits l = git_limits();
    req->env.push_back({"QUARLO_TEST_RUN_LIMIT_S", std::to_string(l.run_s)});
    req->env.push_back({"QUARLO_TEST_FETCH_LIMIT_S", std::to_string(l.fetch_s)});
}

CgiResult run_cgi(const CgiRequest &req) {
    ChildCommand run;
    std::string path = kDefaultPath;
    if (!req.path_prefix.empty()) path = req.path_prefix + ":" + path;
    if (!req.path_override.empty()) path = req.path_override;
    env_set(run.env, "PATH", path);
    env_set(run.env, "HOME", cgi_home());
    env_set(run.env, "LANG", "C");
    env_set(run.env, "GATEWAY_INTERFACE", "CGI/1.1");
    if (!req.method.empty()) env_set(run.env, "REQUEST_METHOD", req.method);
    if (!req.no_query) env_set(run.env, "QUERY_STRING", req.query);
    // The test build runs under the sanitizers; their options pass through.
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        const char *v = getenv(name);
        if (v) env_set(run.env, name, v);
    }
    for (const auto &e : req.env) env_set(run.env, e.first, e.second);

    run.argv = {quarlo_bin()};
    if (!req.user.empty()) {
        const std::string uid = req.user.substr(0, req.user.find(':'));
        const std::string gid = req.user.substr(req.user.find(':') + 1);
        run.argv.insert(run.argv.begin(),
                        {"setpriv", "--reuid=" + uid, "--regid=" + gid, "--clear-groups", "--"});
    }
    run.argv.insert(run.argv.end(), req.args.begin(), req.args.end());
    run.cwd = req.cwd;
    run.input = req.input;
    run.timeout_seconds = req.timeout_seconds;
    run.on_terminal = req.terminal != nullptr;
    ChildResult p = run_child(run);
    if (p.timed_out) ADD_FAILURE() << "quarlo did not end within " << req.timeout_seconds << " s";
    if (!p.err.empty() && p.err.find("Sanitizer") != std::string::npos)
        ADD_FAILURE() << "sanitizer report from quarlo:\n" << p.err;
    if (req.terminal) *req.terminal = std::move(p.terminal);

    CgiResult r;
    r.out = std::move(p.out);
    r.err = std::move(p.err);
    r.exit_status = p.exit_status;
    size_t sep = r.out.find("\r\n\r\n");
    if (sep == std::string::npos) {
        r.head = r.out;
    } else {
        r.head = r.out.substr(0, sep);
        r.body = r.out.substr(sep + 4);
    }
    return r;
}

CgiResult run_cgi_ok(const CgiRequest &req) {
    CgiResult r = run_cgi(req);
    EXPECT_EQ(r.exit_status, 0) << "query: " << req.query << "\nstderr:\n" << r.err;
    EXPECT_EQ(r.err, "") << "query: " << req.query;
    return r;
}

std::string json_head(int status) {
    std::string h;
    if (status == 403) h = "Status: 403 Forbidden\r\n";
    if (status == 400) h = "Status: 400 Bad Request\r\n";
    return h + "Content-Type: application/json; charset=utf-8\r\n"
               "Cache-Control: no-store\r\n"
               "X-Content-Type-Options: nosniff\r\n"
               "\r\n";
}

std::string json_head_lines(int status) {
    std::string h = json_head(status);
    return h.substr(0, h.size() - 4);
}

std::string path_refused_reply() {
    return json_head(403) + "{\"ok\":false,\"error\":\"path not in an allowlisted root\"}\n";
}

std::string url_encode(const std::string &s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string o;
    for (char ch : s) {
        unsigned char c = static_cast<unsigned char>(ch);
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            o += static_cast<char>(c);
        } else {
            o += '%';
            o += hex[c >> 4];
            o += hex[c & 15];
        }
    }
    return o;
}

CgiRequest root_request(const std::string &root, const std::string &query) {
    CgiRequest req;
    req.query = query;
    req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root}};
    return req;
}

Json cgi_json(const CgiRequest &req) {
    CgiResult r = run_cgi_ok(req);
    std::string err;
    Json j = parse_json(r.body, &err);
    EXPECT_EQ(err, "") << r.body;
    return j;
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(text.substr(start, nl - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}
