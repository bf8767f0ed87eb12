// The request front run as CGI: the meta line, the node password and its
// three credential forms, and the routing of a request to an action or to the
// page. Fixed replies are compared byte for byte.
#include "harness.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

const std::string kMeta = "{\"name\":\"git\",\"desc\":\"Repo status\"}\n";
const std::string k401 = "Status: 401 Unauthorized\r\n"
                         "Content-Type: application/json; charset=utf-8\r\n"
                         "Cache-Control: no-store\r\n"
                         "X-Content-Type-Options: nosniff\r\n"
                         "\r\n"
                         "{\"ok\":false,\"error\":\"invalid node password\"}\n";
const std::string kUnknown = json_head(0) + "{\"ok\":false,\"error\":\"unknown action\"}\n";
const std::string kFetchGet = json_head(400) + "{\"ok\":false,\"error\":\"fetch is POST only\"}\n";
// The fetch road (and the detail) with no allowlisted path: refused before
// anything else.
const std::string kFetchRefused =
    json_head(403) + "{\"ok\":false,\"error\":\"path not in an allowlisted root\"}\n";

// Expected answers that are not fixed texts.
const std::string PAGE = "<page>";                   // the HTML page
const std::string PASSWORD_PAGE = "<password page>"; // the 401 page that asks for the password
const std::string LISTING = "<listing>";             // the listing document

struct Row {
    std::string what;
    std::vector<std::string> args;
    Env env;
    std::string method; // "" -> REQUEST_METHOD unset
    std::string query;
    bool no_query;
    std::string expect; // exact output, or PAGE / LISTING
};

// The request passes the password check when it reaches the unknown-action
// reply; it fails with the 401 reply.
const std::string kPass = kUnknown;
const std::string kPw = "pa ss+word"; // a space and a '+': both need care in a query

Env pw(Env more = {}) {
    more.insert(more.begin(), {"BOT_PASSWORD", kPw});
    return more;
}

std::vector<Row> rows() {
    const std::string a255(255, 'a'), a256(256, 'a'), a300(300, 'a');
    const Env none;
    // clang-format off
    return {
        // what                                           args              env                                             method   query                                   no_query expect
        // The meta line: first argument exactly "--meta", or KS_PLUGIN_META not empty.
        {"--meta",                                        {"--meta"},       none,                                           "",      "",                                     true,  kMeta},
        {"--meta with a request and a password",          {"--meta"},       pw(),                                           "POST",  "action=repos",                         false, kMeta},
        {"--meta=1 is not meta",                          {"--meta=1"},     none,                                           "",      "",                                     true,  PAGE},
        {"--META is not meta",                            {"--META"},       none,                                           "",      "",                                     true,  PAGE},
        {"--meta as second argument",                     {"x", "--meta"},  none,                                           "",      "",                                     true,  PAGE},
        {"KS_PLUGIN_META=0 counts",                       {},               {{"KS_PLUGIN_META", "0"}},                      "GET",   "action=repos",                         false, kMeta},
        {"KS_PLUGIN_META empty does not",                 {},               {{"KS_PLUGIN_META", ""}},                       "GET",   "",                                     false, PAGE},
        {"meta needs no password",                        {},               pw({{"KS_PLUGIN_META", "1"}}),                  "GET",   "",                                     false, kMeta},

        // The password. Passing shows as the unknown-action reply (kPass).
        {"no credential",                                 {},               pw(),                                           "GET",   "action=zz",                            false, k401},
        // A page request without the password gets the page that asks for it;
        // every JSON request keeps the fixed reply.
        {"no credential, page request",                   {},               pw(),                                           "GET",   "",                                     false, PASSWORD_PAGE},
        {"wrong pwd, page request",                       {},               pw(),                                           "GET",   "node=a&pwd=nope",                      false, PASSWORD_PAGE},
        {"no credential, format=json",                    {},               pw(),                                           "GET",   "format=json",                          false, k401},
        {"no credential, POST without an action",         {},               pw(),                                           "POST",  "node=a",                               false, k401},
        {"no credential, POST fetch",                     {},               pw(),                                           "POST",  "action=fetch",                         false, k401},
        {"empty BOT_PASSWORD checks nothing",             {},               {{"BOT_PASSWORD", ""}},                         "GET",   "action=zz",                            false, kPass},
        {"X-Bot-Password",                                {},               pw({{"HTTP_X_BOT_PASSWORD", kPw}}),             "GET",   "action=zz",                            false, kPass},
        {"X-Bot-Password with a trailing space",          {},               pw({{"HTTP_X_BOT_PASSWORD", kPw + " "}}),       "GET",   "action=zz",                            false, k401},
        {"X-Bot-Password enough when the others are wrong",{},             pw({{"HTTP_X_BOT_PASSWORD", kPw},
                                                                                {"HTTP_AUTHORIZATION", "Bearer nope"}}),    "GET",   "action=zz&pwd=nope",                   false, kPass},
        {"Bearer",                                        {},               pw({{"HTTP_AUTHORIZATION", "Bearer " + kPw}}),  "GET",   "action=zz",                            false, kPass},
        {"Bearer with leading and extra spaces",          {},               pw({{"HTTP_AUTHORIZATION", "   Bearer    " + kPw}}), "GET", "action=zz",                           false, kPass},
        {"Bearer with a trailing space",                  {},               pw({{"HTTP_AUTHORIZATION", "Bearer " + kPw + " "}}), "GET", "action=zz",                         false, k401},
        {"bearer in lower case",                          {},               pw({{"HTTP_AUTHORIZATION", "bearer " + kPw}}),  "GET",   "action=zz",                            false, k401},
        {"Bearer without its space",                      {},               pw({{"HTTP_AUTHORIZATION", "Bearer" + kPw}}),   "GET",   "action=zz",                            false, k401},
        {"a tab before Bearer",                           {},               pw({{"HTTP_AUTHORIZATION", "\tBearer " + kPw}}),"GET",   "action=zz",                            false, k401},
        {"Basic scheme",                                  {},               pw({{"HTTP_AUTHORIZATION", "Basic " + kPw}}),   "GET",   "action=zz",                            false, k401},
        {"wrong Bearer, right pwd",                       {},               pw({{"HTTP_AUTHORIZATION", "Bearer x"}}),       "GET",   "action=zz&pwd=pa+ss%2Bword",           false, kPass},
        {"pwd with '+' and %2B",                          {},               pw(),                                           "GET",   "action=zz&pwd=pa+ss%2Bword",           false, kPass},
        {"pwd with %20 and %2b",                          {},               pw(),                                           "GET",   "pwd=pa%20ss%2bword&action=zz",         false, kPass},
        {"pwd with a raw '+' for the '+'",                {},               pw(),                                           "GET",   "action=zz&pwd=pa+ss+word",             false, k401},
        {"pwd name compared raw",                         {},               pw(),                                           "GET",   "action=zz&p%77d=pa+ss%2Bword",         false, k401},
        // The bot links to the page with the plugin's parameters after a
        // second '?': the password there counts as after an '&'.
        {"pwd after a second '?', page request",          {},               pw(),                                           "GET",   "plugin=quarlo?theme=dark?pwd=pa+ss%2Bword", false, PAGE},
        {"wrong pwd after a second '?'",                  {},               pw(),                                           "GET",   "plugin=quarlo?pwd=nope",               false, PASSWORD_PAGE},
        {"pwd on a POST",                                 {},               pw(),                                           "POST",  "action=zz&pwd=pa+ss%2Bword",           false, kPass},
        {"pwd of 300 bytes cut to 255",                   {},               {{"BOT_PASSWORD", a255}},                       "GET",   "action=zz&pwd=" + a300,                false, kPass},
        {"a 256-byte password never matches pwd",         {},               {{"BOT_PASSWORD", a256}},                       "GET",   "action=zz&pwd=" + a256,                false, k401},

        // Routing.
        {"POST action=fetchall is an unknown action",     {},               none,                                           "POST",  "action=fetchall",                      false, kUnknown},
        {"POST x=action=fetch has no action",             {},               none,                                           "POST",  "x=action=fetch",                       false, LISTING},
        {"POST reaction=fetch has no action",             {},               none,                                           "POST",  "reaction=fetch",                       false, LISTING},
        {"POST action=repo&note=action=fetch",            {},               none,                                           "POST",  "action=repo&note=action=fetch",        false, kFetchRefused},
        {"POST action=%66etch reaches fetch by dispatch", {},               none,                                           "POST",  "action=%66etch",                       false, kFetchRefused},
        {"GET action=fetch",                              {},               none,                                           "GET",   "action=fetch&path=C%3A%5Csrc%5Ca",     false, kFetchGet},
        {"lower-case post is not POST",                   {},               none,                                           "post",  "action=fetch",                         false, kFetchGet},
        {"'POST ' is not POST",                           {},               none,                                           "POST ", "action=fetch",                         false, kFetchGet},
        {"method unset is not POST",                      {},               none,                                           "",      "action=fetch",                         false, kFetchGet},
        {"format=json",                                   {},               none,                                           "GET",   "format=json",                          false, LISTING},
        {"GET node=alpha&id=7",                           {},               none,                                           "GET",   "node=alpha&id=7",                      false, PAGE},
        {"POST node=alpha&id=7",                          {},               none,                                           "POST",  "node=alpha&id=7",                      false, LISTING},
        {"action=Repos",                                  {},               none,                                           "GET",   "action=Repos",                         false, kUnknown},
        {"first action wins",                             {},               none,                                           "GET",   "action=nope&action=repos",             false, kUnknown},
        {"xaction=repo has no action: the page",          {},               none,                                           "GET",   "xaction=repo",                         false, PAGE},
        {"title=action=x has no action: the page",        {},               none,                                           "GET",   "title=action=x",                       false, PAGE},
        {"an empty action is the listing",                {},               none,                                           "GET",   "action=",                              false, LISTING},
        {"format is decoded",                             {},               none,                                           "GET",   "format=%6Ason",                        false, LISTING},
        {"format=jsonp is not json",                      {},               none,                                           "GET",   "format=jsonp",                         false, PAGE},
        {"xformat=json is not format",                    {},               none,                                           "GET",   "xformat=json",                         false, PAGE},
        {"GET without QUERY_STRING",                      {},               none,                                           "GET",   "",                                     true,  PAGE},
        {"POST without QUERY_STRING",                     {},               none,                                           "POST",  "",                                     true,  LISTING},
        {"GET with an empty query",                       {},               none,                                           "GET",   "",                                     false, PAGE},
        {"no CGI variables at all",                       {},               none,                                           "",      "",                                     true,  PAGE},
    };
    // clang-format on
}

TEST(Front, EdgeCases) {
    ASSERT_EQ(k401.size(), 178u); // the reply's size as the host documents it
    for (const Row &row : rows()) {
        SCOPED_TRACE(row.what);
        CgiRequest req;
        req.args = row.args;
        req.env = row.env;
        // An empty root list keeps the listing rows fast.
        req.env.emplace_back("QUARLO_ONLY_ROOTS", "1");
        req.method = row.method;
        req.query = row.query;
        req.no_query = row.no_query;
        CgiResult r = run_cgi_ok(req);
        if (row.expect == PASSWORD_PAGE) {
            EXPECT_EQ(r.head.rfind("Status: 401 Unauthorized\r\nContent-Type: text/html", 0), 0u)
                << r.out.substr(0, 200);
            EXPECT_NE(r.body.find("<input type=\"password\""), std::string::npos);
        } else if (row.expect == PAGE) {
            EXPECT_EQ(r.head.rfind("Content-Type: text/html", 0), 0u) << r.out.substr(0, 200);
            EXPECT_NE(r.body, "");
        } else if (row.expect == LISTING) {
            EXPECT_EQ(r.out.substr(0, json_head(0).size()), json_head(0));
            Json j = parse_json(r.body);
            EXPECT_EQ(j["action"].get<std::string>(), "repos") << r.out;
            EXPECT_EQ(j["count"].get<long long>(), 0);
        } else {
            EXPECT_EQ(r.out, row.expect);
        }
    }
}

} // namespace

TEST(Front, VersionArgument) {
    CgiRequest req;
    req.no_query = true;
    req.method = "";
    req.args = {"--version"};
    CgiResult r = run_cgi_ok(req);
    EXPECT_TRUE(std::regex_match(r.out, std::regex("quarlo [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << r.out;
}
