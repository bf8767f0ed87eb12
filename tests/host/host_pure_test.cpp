// The local host's pure pieces: which Host and Origin headers name it, and
// which requests may share one program run.
#include "cgi.h"
#include "origin.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct NameCase {
    const char *text;
    const char *bind;
    int port;
    bool served;
};

TEST(ServedHost, OwnNamesWithOrWithoutTheServedPort) {
    const NameCase cases[] = {
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
    };
    for (const NameCase &c : cases)
        EXPECT_EQ(is_served_host(c.text, c.bind, c.port), c.served)
            << c.text << " bind " << c.bind << " port " << c.port;
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
    const NameCase cases[] = {
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
    };
    for (const NameCase &c : cases)
        EXPECT_EQ(is_served_origin(c.text, c.bind, c.port), c.served)
            << c.text << " bind " << c.bind << " port " << c.port;
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

    std::vector<std::pair<const char *, CgiRequest>> others;
    CgiRequest r = base;
    r.query = "action=repos&pwd=tide";
    others.emplace_back("another query", r);
    r = base;
    r.password = "tidE";
    others.emplace_back("another password", r);
    r = base;
    r.password = "";
    others.emplace_back("an empty password header", r);
    r = base;
    r.password.reset();
    others.emplace_back("no password header", r);
    r = base;
    r.authorization = "Bearer tide";
    others.emplace_back("an Authorization header as well", r);
    r = base;
    r.method = "HEAD";
    others.emplace_back("another method", r);
    // One value that holds what would be two variables in another request.
    r = get("action=repos");
    r.password = "tide\nHTTP_AUTHORIZATION=x";
    CgiRequest two = get("action=repos");
    two.password = "tide";
    two.authorization = "x";
    EXPECT_NE(cgi_share_key(r), cgi_share_key(two));

    for (const auto &o : others) EXPECT_NE(cgi_share_key(o.second), key) << o.first;
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
