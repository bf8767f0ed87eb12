// The local host's pure pieces: which Host and Origin headers name it,
// which requests may share one program run, how a request target is split,
// what the log shows, and how wrong passwords are held back.
#include "cgi.h"
#include "origin.h"
#include "request.h"
#include "runs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
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

TEST(SplitTarget, PathDecodedQueryAsSent) {
    struct Case {
        const char *target;
        bool ok;
        const char *authority, *path, *query;
    };
    const Case cases[] = {
        // The bot's proxied form keeps its second '?' in the query.
        {"/plugins?plugin=quarlo?action=repos", true, "", "/plugins", "plugin=quarlo?action=repos"},
        {"/plugin%5Fquarlo?path=%2Fsrv", true, "", "/plugin_quarlo", "path=%2Fsrv"},
        {"/plugin_quarlo", true, "", "/plugin_quarlo", ""},
        {"/plugin_quarlo?", true, "", "/plugin_quarlo", ""},
        {"/%zz%4", true, "", "/%zz%4", ""},
        // The absolute form names the host in the target.
        {"http://127.0.0.1:8099/plugin_quarlo?a=1", true, "127.0.0.1:8099", "/plugin_quarlo",
         "a=1"},
        {"HTTP://localhost", true, "localhost", "/", ""},
        {"http://localhost?x", true, "localhost", "/", "x"},
        {"http:///x", false, "", "", ""},
        {"https://127.0.0.1/x", false, "", "", ""},
        {"*", false, "", "", ""},
        {"", false, "", "", ""},
        {"/a b", false, "", "", ""},
        {"/a\tb", false, "", "", ""},
        {"/a\x7f", false, "", "", ""},
    };
    for (const Case &c : cases) {
        HostRequest req;
        ASSERT_EQ(split_target(c.target, &req), c.ok) << c.target;
        if (!c.ok) continue;
        EXPECT_EQ(req.authority, c.authority) << c.target;
        EXPECT_EQ(req.path, c.path) << c.target;
        EXPECT_EQ(req.query, c.query) << c.target;
    }
}

TEST(LogText, ControlsAndReorderingCharactersShownAsBytes) {
    const std::pair<std::string, std::string> cases[] = {
        {"GET /plugin_quarlo?a=1 200", "GET /plugin_quarlo?a=1 200"},
        {"caf\xc3\xa9 \xe6\x97\xa5", "caf\xc3\xa9 \xe6\x97\xa5"}, // other UTF-8 stays
        {"a\nb\rc\td\x1b[31m", "a\\x0ab\\x0dc\\x09d\\x1b[31m"},
        {"\x7f\\", "\\x7f\\x5c"},
        {"\xc2\x9b"
         "2J",
         "\\xc2\\x9b2J"}, // U+009B, a C1 control
        {"\xc2\x80\xc2\x9f\xc2\xa0", "\\xc2\\x80\\xc2\\x9f\xc2\xa0"},
        {"x\xe2\x80\xaey", "x\\xe2\\x80\\xaey"}, // U+202E
        {"\xe2\x80\xaa\xe2\x81\xa6\xe2\x81\xa9\xe2\x80\x8f\xd8\x9c",
         "\\xe2\\x80\\xaa\\xe2\\x81\\xa6\\xe2\\x81\\xa9\\xe2\\x80\\x8f\\xd8\\x9c"},
        {"\xe2\x80\xaf", "\xe2\x80\xaf"}, // U+202F is a plain space
        // Not UTF-8: a lone byte, a cut sequence, an overlong form, a surrogate.
        {"\xff\xc3", "\\xff\\xc3"},
        {"\xc0\x8a", "\\xc0\\x8a"},
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},
        {std::string("a\0b", 3), "a\\x00b"},
    };
    for (const auto &c : cases) EXPECT_EQ(log_text(c.first), c.second) << c.first;
}

TEST(QueryPassword, OnlyAPwdParameter) {
    EXPECT_TRUE(query_has_password("pwd=x"));
    EXPECT_TRUE(query_has_password("action=repos&pwd="));
    EXPECT_TRUE(query_has_password("plugin=quarlo?pwd=x&action=repos"));
    EXPECT_FALSE(query_has_password("xpwd=1&pwdx=2"));
    EXPECT_FALSE(query_has_password(""));
}

TEST(WrongPasswords, EachWrongOneWaitsLongerAndOneAddressAtATime) {
    using ms = std::chrono::milliseconds;
    WrongPasswords w;
    auto t = WrongPasswords::Clock::now();
    // One after another, each answered before the next: the wait doubles to its cap.
    std::vector<long long> waits;
    for (int i = 0; i < 8; i++) {
        ms wait = w.failed("10.0.0.1", t);
        waits.push_back(wait.count());
        t += wait;
    }
    EXPECT_EQ(waits, (std::vector<long long>{100, 200, 400, 800, 1600, 3000, 3000, 3000}));
    // Another address has its own row.
    EXPECT_EQ(w.failed("10.0.0.2", t).count(), 100);
    // Guesses sent at once go out one after another.
    WrongPasswords at_once;
    auto now = WrongPasswords::Clock::now();
    EXPECT_EQ(at_once.failed("a", now).count(), 100);
    EXPECT_EQ(at_once.failed("a", now).count(), 300);
    EXPECT_EQ(at_once.failed("a", now).count(), 700);
    // A password that passes ends the row.
    at_once.passed("a");
    EXPECT_EQ(at_once.failed("a", now + ms(5000)).count(), 100);
}

} // namespace
