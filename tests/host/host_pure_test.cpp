// The local host's pure pieces: which Host and Origin headers name it,
// which requests may share one program run, and how its HTTP server reads
// requests from a connection and answers them.
#include "cgi.h"
#include "http.h"
#include "origin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace {

struct NameCase {
    const char *text;
    const char *bind;
    int port;
    bool served;
};

// Checks every case with `served`, one of the two checks below.
void expect_served(bool (*served)(const std::string &, const std::string &, int),
                   const std::vector<NameCase> &cases) {
    for (const NameCase &c : cases)
        EXPECT_EQ(served(c.text, c.bind, c.port), c.served)
            << c.text << " bind " << c.bind << " port " << c.port;
}

TEST(ServedHost, OwnNamesWithOrWithoutTheServedPort) {
    expect_served(is_served_host, {
                                      {"127.0.0.1", "127.0.0.1", 8099, true},
                                      {"127.0.0.1:8099", "127.0.0.1", 8099, true},
                                      {"localhost", "127.0.0.1", 8099, true},
                                      {"LocalHost:8099", "127.0.0.1", 8099, true},
                                      {"[::1]", "127.0.0.1", 8099, true},
                                      {"[::1]:8099", "127.0.0.1", 8099, true},
                                      // The --bind name, an IPv6 address in brackets.
                                      {"devbox.lan:8099", "devbox.lan", 8099, true},
                                      {"DEVBOX.LAN", "devbox.lan", 8099, true},
                                      {"[fd00::5]:8099", "fd00::5", 8099, true},
                                      {"fd00::5", "fd00::5", 8099, false},
                                      {"devbox.lan", "127.0.0.1", 8099, false},
                                      // Another port, or no port after the colon.
                                      {"127.0.0.1:8098", "127.0.0.1", 8099, false},
                                      {"127.0.0.1:08099", "127.0.0.1", 8099, false},
                                      {"127.0.0.1:", "127.0.0.1", 8099, false},
                                      {"[::1]8099", "127.0.0.1", 8099, false},
                                      // Names that only begin or end like ours.
                                      {"evil.example", "127.0.0.1", 8099, false},
                                      {"localhost.evil.example", "127.0.0.1", 8099, false},
                                      {"127.0.0.1.evil.example:8099", "127.0.0.1", 8099, false},
                                      {"evil.localhost", "127.0.0.1", 8099, false},
                                      {"127.0.0.1:8099@evil.example", "127.0.0.1", 8099, false},
                                      {"localhost.", "127.0.0.1", 8099, false},
                                      {"[::1", "127.0.0.1", 8099, false},
                                      {"", "127.0.0.1", 8099, false},
                                      {":8099", "127.0.0.1", 8099, false},
                                  });
}

TEST(ServedNames, TheLocalNamesAndTheBindNameOnce) {
    using Names = std::vector<std::string>;
    EXPECT_EQ(served_names("127.0.0.1"), (Names{"127.0.0.1", "localhost", "[::1]"}));
    EXPECT_EQ(served_names("LOCALHOST"), (Names{"127.0.0.1", "localhost", "[::1]"}));
    EXPECT_EQ(served_names("::1"), (Names{"127.0.0.1", "localhost", "[::1]"}));
    EXPECT_EQ(served_names("fd00::5"), (Names{"127.0.0.1", "localhost", "[::1]", "[fd00::5]"}));
    EXPECT_EQ(served_names("0.0.0.0"), (Names{"127.0.0.1", "localhost", "[::1]", "0.0.0.0"}));
}

TEST(ServedOrigin, OnlyOurPagesOverHttp) {
    expect_served(is_served_origin,
                  {
                      {"http://127.0.0.1:8099", "127.0.0.1", 8099, true},
                      {"http://localhost:8099", "127.0.0.1", 8099, true},
                      {"http://[::1]:8099", "127.0.0.1", 8099, true},
                      {"HTTP://LOCALHOST:8099", "127.0.0.1", 8099, true},
                      {"http://devbox.lan:8099", "devbox.lan", 8099, true},
                      // A browser leaves out the default port.
                      {"http://localhost", "127.0.0.1", 80, true},
                      {"http://localhost:80", "127.0.0.1", 80, true},
                      {"http://localhost", "127.0.0.1", 8099, false},
                      {"http://localhost:8098", "127.0.0.1", 8099, false},
                      {"https://localhost:8099", "127.0.0.1", 8099, false},
                      {"http://evil.example:8099", "127.0.0.1", 8099, false},
                      {"http://localhost.evil.example:8099", "127.0.0.1", 8099, false},
                      {"http://localhost:8099/", "127.0.0.1", 8099, false},
                      {"http://", "127.0.0.1", 8099, false},
                      {"null", "127.0.0.1", 8099, false},
                      {"", "127.0.0.1", 8099, false},
                  });
}

CgiRequest get(const std::string &query) {
    CgiRequest r;
    r.method = "GET";
    r.query = query;
    return r;
}

TEST(ShareKey, SameOnlyForTheSameGetAsTheProgramSeesIt) {
    CgiRequest base = get("action=repos");
    base.password = "tide";
    const std::string key = cgi_share_key(base);
    ASSERT_FALSE(key.empty());
    EXPECT_EQ(cgi_share_key(base), key);

    const std::pair<const char *, std::function<void(CgiRequest &)>> changes[] = {
        {"another query", [](CgiRequest &r) { r.query = "action=repos&pwd=tide"; }},
        {"another password", [](CgiRequest &r) { r.password = "tidE"; }},
        {"an empty password header", [](CgiRequest &r) { r.password = ""; }},
        {"no password header", [](CgiRequest &r) { r.password.reset(); }},
        {"an Authorization header as well", [](CgiRequest &r) { r.authorization = "Bearer tide"; }},
        {"another method", [](CgiRequest &r) { r.method = "HEAD"; }},
    };
    for (const auto &c : changes) {
        CgiRequest r = base;
        c.second(r);
        EXPECT_NE(cgi_share_key(r), key) << c.first;
    }

    // One value that holds what would be two variables in another request.
    CgiRequest one = get("action=repos");
    one.password = "tide\nHTTP_AUTHORIZATION=x";
    CgiRequest two = get("action=repos");
    two.password = "tide";
    two.authorization = "x";
    EXPECT_NE(cgi_share_key(one), cgi_share_key(two));
}

TEST(ShareKey, NeverForAPost) {
    CgiRequest r = get("action=repos");
    r.method = "POST";
    EXPECT_EQ(cgi_share_key(r), "");
}

TEST(RequestEnv, CredentialHeadersOnlyWhenSent) {
    CgiRequest r = get("action=repo&path=%2Fsrv");
    std::vector<std::string> env = cgi_request_env(r);
    EXPECT_EQ(std::count(env.begin(), env.end(), "QUERY_STRING=action=repo&path=%2Fsrv"), 1);
    EXPECT_EQ(std::count(env.begin(), env.end(), "REQUEST_METHOD=GET"), 1);
    for (const std::string &v : env) EXPECT_NE(v.compare(0, 5, "HTTP_"), 0) << v;

    r.password = "";
    r.authorization = "Bearer x";
    env = cgi_request_env(r);
    EXPECT_EQ(std::count(env.begin(), env.end(), "HTTP_X_BOT_PASSWORD="), 1);
    EXPECT_EQ(std::count(env.begin(), env.end(), "HTTP_AUTHORIZATION=Bearer x"), 1);
}

// A connection whose client has sent `in` and then waits: a read past it is
// LATE, as it would be once the request's time had run out.
class ScriptConn : public HttpConn {
  public:
    explicit ScriptConn(std::string in) : in_(std::move(in)) {}
    bool next_request() override { return pos_ < in_.size(); }
    Read read_line(std::string *line, size_t max) override {
        size_t nl = in_.find('\n', pos_);
        if (nl == std::string::npos) return in_.size() - pos_ > max ? TOO_LONG : LATE;
        if (nl - pos_ > max) return TOO_LONG;
        size_t end = nl > pos_ && in_[nl - 1] == '\r' ? nl - 1 : nl;
        line->assign(in_, pos_, end - pos_);
        pos_ = nl + 1;
        return OK;
    }
    Read read_bytes(std::string *out, size_t n) override {
        if (in_.size() - pos_ < n) return LATE;
        out->append(in_, pos_, n);
        pos_ += n;
        return OK;
    }
    bool write(const std::string &data) override {
        out += data;
        return true;
    }
    std::string out; // everything the server wrote

  private:
    std::string in_;
    size_t pos_ = 0;
};

struct Served {
    std::string out;                 // what the client got
    std::vector<std::string> served; // "METHOD path|query|body" of each request served
    std::vector<std::string> logged; // "METHOD target status" of each answer
};

// Serves `in` on one connection with a handler that answers 200 and notes
// each request, refusing those with an "X-Refuse" header before their body.
Served serve(const std::string &in, HttpLimits limits = HttpLimits()) {
    Served s;
    HttpHandlers h;
    h.check = [](const HttpRequest &req, HttpResponse &res) {
        if (!req.header_count("X-Refuse")) return false;
        res = http_plain(403, "refused");
        return true;
    };
    h.serve = [&s](const HttpRequest &req, HttpResponse &res) {
        s.served.push_back(req.method + " " + req.path + "|" + req.query + "|" + req.body);
        res = http_plain(200, "ok");
    };
    h.log = [&s](const HttpRequest &req, const HttpResponse &res) {
        s.logged.push_back(req.method + " " + req.target + " " + std::to_string(res.status));
    };
    ScriptConn conn(in);
    http_serve_connection(conn, limits, h);
    s.out = conn.out;
    return s;
}

// The status codes of the answers in `out`, "close" after one that ends the
// connection, "continue" for an interim 100.
std::vector<std::string> answers(const std::string &out) {
    std::vector<std::string> got;
    for (size_t at = out.find("HTTP/1.1 "); at != std::string::npos;
         at = out.find("HTTP/1.1 ", at + 1)) {
        std::string code = out.substr(at + 9, 3);
        size_t end = out.find("\r\n\r\n", at);
        std::string head = out.substr(at, end - at);
        got.push_back(code == "100" ? "continue" : code);
        if (head.find("\r\nConnection: close") != std::string::npos) got.push_back("close");
    }
    return got;
}

const char HOST[] = "Host: 127.0.0.1\r\n";

std::string get_request(const std::string &target, const std::string &headers = "") {
    return "GET " + target + " HTTP/1.1\r\n" + HOST + headers + "\r\n";
}

TEST(HttpServer, RequestsAsSent) {
    using List = std::vector<std::string>;
    struct Case {
        const char *what;
        std::string in;
        List served;
        List answers;
    };
    const std::string chunked = "POST /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n"
                                "3;ext=1\r\nabc\r\nA\r\n0123456789\r\n0\r\nTrailer: x\r\n\r\n";
    const Case cases[] = {
        {"the bot's proxied form keeps its second '?'",
         get_request("/plugins?plugin=quarlo?action=repos"),
         {"GET /plugins|plugin=quarlo?action=repos|"},
         {"200"}},
        {"the path is percent-decoded, the query kept",
         get_request("/plugin%5Fquarlo?path=%2Fsrv"),
         {"GET /plugin_quarlo|path=%2Fsrv|"},
         {"200"}},
        // A POST without Content-Length has an empty body, served at once:
        // the connection has nothing more to give.
        {"empty lines left over before a request",
         "POST /a HTTP/1.1\r\nContent-Length: 1\r\n\r\nx\r\n" + get_request("/b"),
         {"POST /a||x", "GET /b||"},
         {"200", "200"}},
        {"a POST without a body",
         "POST /p?action=repos HTTP/1.1\r\nHost: h\r\n\r\n",
         {"POST /p|action=repos|"},
         {"200"}},
        {"a body of a given length",
         "POST /p HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nx=1&y",
         {"POST /p||x=1&y"},
         {"200"}},
        {"a chunked body", chunked, {"POST /p||abc0123456789"}, {"200"}},
        {"requests one after the other on one connection",
         get_request("/a") + "POST /b HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi" + get_request("/c"),
         {"GET /a||", "POST /b||hi", "GET /c||"},
         {"200", "200", "200"}},
        {"Connection: close ends it after the answer",
         get_request("/a", "Connection: close\r\n") + get_request("/b"),
         {"GET /a||"},
         {"200", "close"}},
        {"HTTP/1.0 ends it after the answer",
         "GET /a HTTP/1.0\r\n\r\n" + get_request("/b"),
         {"GET /a||"},
         {"200", "close"}},
        {"a client that asked to is told to send its body",
         "POST /p HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\nhi",
         {"POST /p||hi"},
         {"continue", "200"}},
        {"a refusal leaves the body unread and ends the connection",
         "POST /p HTTP/1.1\r\nX-Refuse: 1\r\nContent-Length: 2\r\n\r\nhi",
         {},
         {"403", "close"}},
    };
    for (const Case &c : cases) {
        Served s = serve(c.in);
        EXPECT_EQ(s.served, c.served) << c.what;
        EXPECT_EQ(answers(s.out), c.answers) << c.what << "\n" << s.out;
        EXPECT_EQ(s.logged.size(),
                  s.served.size() + (c.answers.back() == "close" && c.served.empty()))
            << c.what;
    }
}

TEST(HttpServer, RequestsThatCannotBeReadGetAnAnswerAndEndTheConnection) {
    using List = std::vector<std::string>;
    const std::string big(9000, 'a');
    const std::pair<std::string, List> cases[] = {
        // The head or the body did not arrive before the time ran out.
        {"GET /a HTTP/1.1\r\nHost: h\r\n", {"408", "close"}},
        {"POST /a HTTP/1.1\r\nContent-Length: 9\r\n\r\nabc", {"408", "close"}},
        {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", {"408", "close"}},
        // Not a request line this host takes.
        {"GET /a\r\n\r\n", {"400", "close"}},
        {"GET /a HTTP/2.0\r\n\r\n", {"400", "close"}},
        {"GET http://example/a HTTP/1.1\r\n\r\n", {"400", "close"}},
        {"GET /a b HTTP/1.1\r\n\r\n", {"400", "close"}},
        {"G(T /a HTTP/1.1\r\n\r\n", {"400", "close"}},
        {"GET /" + big + " HTTP/1.1\r\n\r\n", {"414", "close"}},
        // Heads that are not ones.
        {"GET /a HTTP/1.1\r\nno colon\r\n\r\n", {"400", "close"}},
        {"GET /a HTTP/1.1\r\nName : v\r\n\r\n", {"400", "close"}},
        {"GET /a HTTP/1.1\r\nA: 1\r\n folded\r\n\r\n", {"400", "close"}},
        {"GET /a HTTP/1.1\r\nX: " + big + "\r\n\r\n", {"431", "close"}},
        // Bodies whose length cannot be told, or that are too large.
        {"POST /a HTTP/1.1\r\nContent-Length: 2\r\nTransfer-Encoding: chunked\r\n\r\n",
         {"400", "close"}},
        {"POST /a HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", {"400", "close"}},
        {"POST /a HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc", {"400", "close"}},
        {"POST /a HTTP/1.1\r\nContent-Length: -1\r\n\r\n", {"400", "close"}},
        {"POST /a HTTP/1.1\r\nContent-Length: 1048577\r\n\r\n", {"413", "close"}},
        {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n100001\r\n", {"413", "close"}},
        {"POST /a HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", {"400", "close"}},
        // A request line that never came whole: nothing to answer.
        {"GET /a HTTP/1.1", {}},
    };
    for (const auto &c : cases) {
        // A request after it is not served; after a time-out there is none.
        bool late = c.second.empty() || c.second[0] == "408";
        Served s = serve(late ? c.first : c.first + get_request("/next"));
        EXPECT_EQ(s.served, std::vector<std::string>()) << c.first.substr(0, 80);
        EXPECT_EQ(answers(s.out), c.second) << c.first.substr(0, 80) << "\n" << s.out;
    }
    // Too many header lines.
    std::string many = "GET /a HTTP/1.1\r\n";
    for (int i = 0; i < 101; i++) many += "X-" + std::to_string(i) + ": v\r\n";
    EXPECT_EQ(answers(serve(many + "\r\n").out), (List{"431", "close"}));
}

TEST(HttpServer, AnswersFramedForTheRequest) {
    // HEAD: the length of the body that a GET gets, without the body.
    Served s = serve("HEAD /a HTTP/1.1\r\n\r\n");
    EXPECT_EQ(s.out, "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n"
                     "Content-Length: 3\r\n\r\n");
    s = serve(get_request("/a"));
    EXPECT_EQ(s.out, "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n"
                     "Content-Length: 3\r\n\r\nok\n");
    EXPECT_EQ(s.logged, (std::vector<std::string>{"GET /a 200"}));

    // The last request a connection may carry is told that it ends it.
    HttpLimits limits;
    limits.keep_alive_max = 2;
    s = serve(get_request("/a") + get_request("/b") + get_request("/c"), limits);
    EXPECT_EQ(s.served.size(), 2u);
    EXPECT_EQ(answers(s.out), (std::vector<std::string>{"200", "200", "close"}));
}

} // namespace
