// Checks of the test support itself: the JSON reader and the CGI runner.
#include "harness.h"

#include <gtest/gtest.h>

TEST(Harness, JsonReaderAcceptsValidAndRejectsBrokenDocuments) {
    std::string err;
    Json j = parse_json(
        " {\"a\":[1,-2,true,null,\"x\\u00e9\\ud83d\\ude00\\n\"],\"b\":{},\"c\":\"\xff\"} ", &err);
    ASSERT_TRUE(err.empty()) << err;
    EXPECT_EQ(j.keys(), (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(j["a"].size(), 5u);
    EXPECT_EQ(j["a"][1].num(), -2);
    EXPECT_TRUE(j["a"][2].boolean());
    EXPECT_TRUE(j["a"][3].is_null());
    EXPECT_EQ(j["a"][4].str(), "x\xc3\xa9\xf0\x9f\x98\x80\n");
    EXPECT_EQ(j["c"].str(), "\xff");
    EXPECT_TRUE(j["missing"]["deeper"].is_null());

    for (const char *bad :
         {"", "{", "{\"a\":1,}", "[1 2]", "\"a\tb\"", "\"\\x\"", "01", "{} x", "{'a':1}"}) {
        std::string e;
        parse_json(bad, &e);
        EXPECT_FALSE(e.empty()) << "accepted: " << bad;
    }
}

TEST(Harness, RunCgiSplitsHeadAndBodyAndReportsExitStatus) {
    CgiRequest req;
    req.query = "action=none-such";
    CgiResult r = run_cgi(req);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, r.head + "\r\n\r\n" + r.body);
    EXPECT_TRUE(parse_json(r.body).is_object()) << r.body;

    req.args = {"--meta"}; // no CGI head: all of it is the head
    r = run_cgi(req);
    EXPECT_EQ(r.head, r.out);
    EXPECT_EQ(r.body, "");
}
