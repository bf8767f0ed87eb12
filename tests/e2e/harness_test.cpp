// Checks of the test support itself: the JSON reader, the CGI runner and the
// child-process runner under both.
#include "harness.h"

#include <gtest/gtest.h>

// What the tests rely on from their JSON reader: members in document order,
// strings decoded to UTF-8, a document that strict clients would refuse (not
// UTF-8, broken, trailing text) refused.
TEST(Harness, JsonReaderKeepsOrderAndRefusesWhatStrictClientsRefuse) {
    std::string err;
    const Json j = parse_json(
        " {\"c\":[1,-2,true,null,\"x\\u00e9\\ud83d\\ude00\\n\"],\"a\":{},\"b\":\"\"} ", &err);
    ASSERT_TRUE(err.empty()) << err;
    EXPECT_EQ(keys_of(j), (std::vector<std::string>{"c", "a", "b"}));
    EXPECT_EQ(j["c"][1], -2);
    EXPECT_EQ(j["c"][4], "x\xc3\xa9\xf0\x9f\x98\x80\n");

    for (const char *bad : {"", "{", "{\"a\":1,}", "[1 2]", "\"a\tb\"", "\"\\x\"", "01", "{} x",
                            "{'a':1}", "\"\xff\"", "\"\xc3\"", "\"\xed\xa0\x80\""}) {
        std::string e;
        EXPECT_TRUE(parse_json(bad, &e).is_null()) << bad;
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

// The tests' child-process runner: the child's own PATH, stdin bytes, the two
// outputs apart, a signal's status, the deadline with what the child started,
// and a controlling terminal when asked for one.
TEST(Harness, ChildRunnerRunsAsAsked) {
    TempDir tmp;
    write_file(tmp.sub("bin/hello"), "#!/bin/sh\necho \"hello $1\"\ncat\necho err >&2\nexit 3\n",
               0755);
    ChildCommand run;
    run.argv = {"hello", "a b"};
    run.env = {{"PATH", tmp.sub("bin") + ":/usr/bin:/bin"}};
    run.input = "from stdin\n";
    ChildResult r = run_child(run);
    EXPECT_EQ(r.out, "hello a b\nfrom stdin\n");
    EXPECT_EQ(r.err, "err\n");
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_FALSE(r.timed_out);

    run.argv = {"sh", "-c", "exit 0"};
    run.env = {{"PATH", tmp.sub("bin")}};
    EXPECT_EQ(run_child(run).exit_status, 127) << "the test's own PATH was searched";
    run.env = {{"PATH", "/usr/bin:/bin"}};

    run.argv = {"/bin/sh", "-c", "kill -TERM $$"};
    EXPECT_EQ(run_child(run).exit_status, 128 + 15);

    // A grandchild that holds the pipes open is ended with its group.
    run.argv = {"/bin/sh", "-c", "sleep 300 & echo started; wait"};
    run.timeout_seconds = 1;
    r = run_child(run);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.out, "started\n");

    run.argv = {"/bin/sh", "-c", "echo to-terminal >/dev/tty && echo to-out"};
    run.timeout_seconds = 60;
    run.on_terminal = true;
    r = run_child(run);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "to-out\n");
    EXPECT_NE(r.terminal.find("to-terminal"), std::string::npos) << r.terminal;

    run.on_terminal = false;
    r = run_child(run);
    EXPECT_NE(r.exit_status, 0) << "a child without a terminal opened /dev/tty";
    EXPECT_EQ(r.out, "");
}
