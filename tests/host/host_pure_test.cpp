// The local host's pure pieces: which Host and Origin headers name it, and
// which requests may share one program run.
#include "cgi.h"
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

} // namespace
