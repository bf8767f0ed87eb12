// The git runner and the Win32 child processes under Wine, with the test
// git.exe (fake_git.cpp) found on the search path as "git".
#include "platform/platform.h"
#include "repo/repo.h"
#include "git/runner/runner.h"
#include "win_support.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using win::TempDir;

// Set before the first child starts: the child environment is built once.
static std::string g_log;

static std::string run(std::vector<const char *> argv, int limit_s, int *rc,
                       RunEnd *end = nullptr) {
    argv.push_back(nullptr);
    Buf out;
    buf_init(&out, RUN_OUTPUT_MAX);
    *rc = run_argv(argv.data(), &out, limit_s, end);
    std::string text(out.data ? out.data : "", out.data ? out.len : 0);
    EXPECT_LE(out.cap, RUN_OUTPUT_MAX) << "the output grew past the cap";
    buf_free(&out);
    return text;
}

// The helper's id from the "pid=N" line that --spawn writes.
static DWORD helper_pid(const std::string &out) {
    size_t at = out.find("pid=");
    return at == std::string::npos ? 0 : (DWORD)strtoul(out.c_str() + at + 4, nullptr, 10);
}

static std::string log_text() {
    return win::read_file(g_log);
}

// ---- command line -----------------------------------------------------------

TEST(Runner, ArgumentsReachTheChildUnchanged) {
    // The child parses its command line with the runtime's own rules; each
    // argument must come out exactly as it went in.
    const char *args[] = {
        "",                        // empty
        "C:\\work\\",              // final backslash before the closing quote
        "C:\\work\\\\",            // two of them
        "a\"b",                    // embedded quote
        "a\\\"b",                  // backslash before a quote
        "\\\\server\\share\\repo", // UNC path
        "C:\\Program Files\\x y",  // spaces
        "tab\there",               // tab
        "%PATH%",                  // no expansion
        "-C",
    };
    std::vector<const char *> argv = {"git", "--echo"};
    std::string want;
    for (const char *a : args) {
        argv.push_back(a);
        want += std::string("<") + a + ">\n";
    }
    int rc = -2;
    std::string out = run(argv, 20, &rc);
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(out.substr(0, want.size()), want) << out;
    // The raw line is the runner's own quoting.
    EXPECT_NE(out.find("cmdline=\"git\" \"--echo\" \"\" \"C:\\work\\\\\" \"C:\\work\\\\\\\\\" "
                       "\"a\\\"b\" \"a\\\\\\\"b\" \"\\\\server\\share\\repo\""),
              std::string::npos)
        << out;
}

TEST(Runner, CutArgumentsStayWholeArgumentsForTheChild) {
    // An argument is cut at 1,196 copied characters; a cut inside a run of
    // backslashes must not escape the closing quote and swallow the next one.
    const std::string a1300(1300, 'a');
    const std::string a1195 = std::string(1195, 'a') + "\\" + std::string(100, 'b');
    int rc = -2;
    std::string out = run({"git", "--echo", a1300.c_str(), a1195.c_str(), "next"}, 20, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out.substr(0, out.find("cmdline=")),
              "<" + std::string(1196, 'a') + ">\n<" + std::string(1195, 'a') + ">\n<next>\n");
}

TEST(Runner, RunGitPutsTheFolderFirstAndKeepsElevenArguments) {
    const char *dir = "\\\\server\\share\\repo";
    const char *args[] = {"a1", "a2", "a3",  "a4",  "a5",  "a6",   "a7",
                          "a8", "a9", "a10", "a11", "a12", nullptr};
    size_t before = log_text().size();
    Buf out, err;
    buf_init(&out, RUN_OUTPUT_MAX);
    buf_init(&err, RUN_OUTPUT_MAX);
    int rc = run_git(dir, args, &out, 20, nullptr, &err);
    // The test git answers as git does outside a repository, on standard error.
    EXPECT_EQ(rc, 128);
    EXPECT_EQ(out.len, 0u);
    EXPECT_NE(std::string(err.data).find("not a git repository"), std::string::npos);
    buf_free(&out);
    buf_free(&err);
    EXPECT_EQ(log_text().substr(before), "<-C> <\\\\server\\share\\repo> <a1> <a2> <a3> <a4> <a5> "
                                         "<a6> <a7> <a8> <a9> <a10> <a11>\n");
}

// ---- output -----------------------------------------------------------------

// Standard output and standard error come apart (they used to share one
// pipe): only the first is a command's answer.
TEST(Runner, StdoutAndStderrAreReadApart) {
    std::vector<const char *> argv = {"git",   "--out", "one\n",  "--err", "two\r\n",
                                      "--out", "three", "--exit", "3",     nullptr};
    Buf out, err;
    buf_init(&out, RUN_OUTPUT_MAX);
    buf_init(&err, RUN_OUTPUT_MAX);
    RunEnd end;
    EXPECT_EQ(run_argv(argv.data(), &out, 20, &end, &err), 3);
    // Bytes as written: no newline translation.
    EXPECT_EQ(std::string(out.data, out.len), "one\nthree");
    EXPECT_EQ(std::string(err.data, err.len), "two\r\n");
    buf_free(&out);
    buf_free(&err);
}

// A child that fills its error pipe before it writes its answer never
// hangs: both pipes are read as data arrives.
TEST(Runner, FullErrorPipeDoesNotHang) {
    std::vector<const char *> argv = {"git", "--err-bytes", "300000", "--bytes", "300000", nullptr};
    Buf out, err;
    buf_init(&out, RUN_OUTPUT_MAX);
    buf_init(&err, RUN_OUTPUT_MAX);
    RunEnd end;
    EXPECT_EQ(run_argv(argv.data(), &out, 20, &end, &err), 0);
    EXPECT_EQ(end, RUN_EXITED);
    EXPECT_EQ(out.len, 300000u);
    EXPECT_EQ(err.len, 300000u);
    buf_free(&out);
    buf_free(&err);
}

TEST(Runner, LargeOutputIsDrainedWhileTheChildRuns) {
    int rc = -2;
    std::string out = run({"git", "--bytes", "3000000"}, 20, &rc);
    EXPECT_EQ(rc, 0);
    ASSERT_EQ(out.size(), 3000000u);
    for (size_t k = 0; k < out.size(); k += 99991) ASSERT_EQ(out[k], (char)('a' + k % 26)) << k;
}

static int start(PlatChild *c, std::vector<const char *> argv) {
    argv.push_back(nullptr);
    char cmdline[CMDLINE_SIZE];
    int argc = build_cmdline(argv.data(), cmdline);
    return plat_child_start(c, argv.data(), argc, cmdline, child_environment());
}

static std::string drain(PlatChild *c) {
    std::string text;
    char chunk[4096];
    for (long n; (n = plat_child_peek(c)) > 0;) {
        long got = plat_child_read(c, chunk, n < (long)sizeof chunk ? n : (long)sizeof chunk);
        if (got <= 0) break;
        text.append(chunk, (size_t)got);
    }
    return text;
}

// The pipe's end once every writer is gone. Under Wine the console host made
// for a CREATE_NO_WINDOW child holds a copy of the write end and ends a
// moment after the child, so this polls (the bound is for a handle that stays
// open, which would hold the pipe for minutes). The host of a terminated
// child lingers, so the end is only awaited after a child's own exit.
static long peek_until_end(PlatChild *c, std::string *text) {
    long n = 0;
    for (int k = 0; k < 1000; k++) {
        *text += drain(c);
        if ((n = plat_child_peek(c)) < 0) break;
        Sleep(10);
    }
    return n;
}

TEST(Child, OutputStaysInThePipeAfterTheChildEnded) {
    PlatChild c;
    ASSERT_EQ(start(&c, {"git", "--out", "left behind\n", "--exit", "7"}), 0);
    // Nothing is read until the child has ended.
    ASSERT_EQ(plat_child_wait(&c, 30000, 0), 1);
    EXPECT_GT(plat_child_peek(&c), 0);
    std::string text = drain(&c);
    // Drained, with every writer gone: the pipe reports its end, and keeps
    // reporting it.
    EXPECT_EQ(peek_until_end(&c, &text), -1);
    EXPECT_EQ(text, "left behind\n");
    EXPECT_EQ(plat_child_peek(&c), -1);
    int status = -2;
    EXPECT_EQ(plat_child_exit_status(&c, &status), 1);
    EXPECT_EQ(status, 7);
    plat_child_close(&c);
}

TEST(Child, EndedChildOutputIsReadByTheRunner) {
    int rc = -2;
    EXPECT_EQ(run({"git", "--out", "tail"}, 20, &rc), "tail");
    EXPECT_EQ(rc, 0);
}

// ---- time limit -------------------------------------------------------------

TEST(Runner, TimeLimitTerminatesTheChildWithResultOne) {
    int rc = -2;
    EXPECT_EQ(run({"git", "--sleep", "120000"}, 1, &rc), "");
    EXPECT_EQ(rc, 1);
    // What was read before the limit stays.
    EXPECT_EQ(run({"git", "--out", "partial", "--sleep", "120000", "--exit", "0"}, 1, &rc),
              "partial");
    EXPECT_EQ(rc, 1);
}

TEST(Runner, DeadlineHoldsWhileTheChildWrites) {
    // A line every 5 ms: the child is never silent for a whole wait.
    int rc = -2;
    RunEnd end = RUN_EXITED;
    ULONGLONG start = GetTickCount64();
    std::string out = run({"git", "--trickle", "120000"}, 2, &rc, &end);
    double took = win::seconds_since(start);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(end, RUN_TIMED_OUT);
    EXPECT_EQ(out.substr(0, 11), "still here\n");
    EXPECT_GE(took, 1.9);
    EXPECT_LT(took, 12.0);
}

TEST(Runner, OutputPastTheCapStopsTheChild) {
    // 70 MB at once, then a long sleep that the cap cuts short.
    int rc = -2;
    RunEnd end = RUN_EXITED;
    ULONGLONG start = GetTickCount64();
    std::string out = run({"git", "--bytes", "70000000", "--sleep", "120000"}, 60, &rc, &end);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(end, RUN_TOO_LARGE);
    EXPECT_LT(out.size(), (size_t)RUN_OUTPUT_MAX);
    EXPECT_GT(out.size(), (size_t)RUN_OUTPUT_MAX - 8192);
    EXPECT_LT(win::seconds_since(start), 30.0);
}

TEST(Child, KillEndsTheChildWithTheGivenCode) {
    PlatChild c;
    ASSERT_EQ(start(&c, {"git", "--sleep", "120000"}), 0);
    EXPECT_EQ(plat_child_wait(&c, 20, 1), 0); // still running
    int status = -2;
    EXPECT_EQ(plat_child_exit_status(&c, &status), 0);
    plat_child_kill(&c, 1);
    EXPECT_EQ(plat_child_wait(&c, 30000, 0), 1);
    EXPECT_EQ(plat_child_exit_status(&c, &status), 1);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(drain(&c), "");
    plat_child_close(&c);
}

// A helper that git started holds the pipe and sleeps. The runner returns
// at the child's own end or at the limit, whichever comes first, and the
// helper ends with the run.
TEST(Runner, HelperHoldingThePipeEndsWithTheRun) {
    struct Case {
        const char *name;
        std::vector<const char *> argv;
        int limit_s;
        int rc;
        RunEnd end;
    } cases[] = {
        {"the child ends at once", {"git", "--spawn", "60000", "--out", "done"}, 60, 0, RUN_EXITED},
        {"the child runs past the limit",
         {"git", "--spawn", "60000", "--out", "done", "--sleep", "60000"},
         2,
         1,
         RUN_TIMED_OUT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        int rc = -2;
        RunEnd end = RUN_NOT_STARTED;
        ULONGLONG start = GetTickCount64();
        std::string out = run(c.argv, c.limit_s, &rc, &end);
        double took = win::seconds_since(start);
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(end, c.end);
        EXPECT_EQ(out.substr(out.size() - 4), "done");
        EXPECT_GE(took, c.limit_s < 60 ? c.limit_s - 0.1 : 0.0);
        EXPECT_LT(took, c.limit_s < 60 ? c.limit_s + 10.0 : 30.0)
            << "the runner waited for the helper";
        DWORD pid = helper_pid(out);
        ASSERT_NE(pid, 0u) << out;
        EXPECT_TRUE(win::process_gone_soon(pid)) << "the helper outlived the run";
    }
}

// ---- exit status and start failures ----------------------------------------

TEST(Runner, ExitStatusIsPassedOnAsASigned32BitValue) {
    struct Case {
        const char *code;
        int want;
    } cases[] = {
        {"0", 0},     {"1", 1},     {"128", 128},
        {"255", 255}, {"256", 256}, {"-1073741819", -1073741819}, // 0xC0000005, an abnormal end
    };
    for (const Case &c : cases) {
        int rc = -2;
        run({"git", "--exit", c.code}, 20, &rc);
        EXPECT_EQ(rc, c.want) << c.code;
    }
}

TEST(Runner, ProgramThatCannotStartGivesMinusOne) {
    Buf out;
    buf_init(&out, RUN_OUTPUT_MAX);
    buf_add(&out, "kept", 4);
    const char *argv[] = {"quarlo-no-such-program", "status", nullptr};
    EXPECT_EQ(run_argv(argv, &out, 20), -1);
    EXPECT_EQ(std::string(out.data, out.len), "kept");
    buf_free(&out);

    PlatChild c;
    EXPECT_EQ(start(&c, {"C:\\no\\such\\folder\\git.exe"}), -1);
    EXPECT_EQ(c.process, nullptr);
    EXPECT_EQ(c.pipes[PLAT_CHILD_STDOUT], nullptr);
    EXPECT_EQ(c.pipes[PLAT_CHILD_STDERR], nullptr);
}

// ---- environment ------------------------------------------------------------

TEST(Runner, ChildEnvironmentIsTheProgramsWithGitSettings) {
    int rc = -2;
    std::string out = run({"git", "--env", "QUARLO_RUNNER_MARK", "--env", "BOT_PASSWORD", "--env",
                           "HTTP_X_BOT_PASSWORD", "--env", "GIT_OPTIONAL_LOCKS", "--env",
                           "GIT_CONFIG_COUNT", "--env", "GIT_CONFIG_KEY_0", "--env",
                           "GIT_CONFIG_VALUE_1", "--env", "GIT_CONFIG_KEY_2"},
                          20, &rc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, "QUARLO_RUNNER_MARK=kept\n"
                   "BOT_PASSWORD unset\n"
                   "HTTP_X_BOT_PASSWORD unset\n"
                   "GIT_OPTIONAL_LOCKS=0\n"
                   "GIT_CONFIG_COUNT=3\n"
                   "GIT_CONFIG_KEY_0=core.fsmonitor\n"
                   "GIT_CONFIG_VALUE_1=false\n"
                   "GIT_CONFIG_KEY_2=core.quotePath\n");
}

// ---- several children at once -----------------------------------------------

TEST(Child, ChildrenStartedFromThreadsDoNotInheritEachOthersPipes) {
    // One thread starts children that live until the end of the test; the
    // other starts short ones and reads each pipe to its end. Had a long child
    // inherited a short child's write end, that pipe would stay open.
    std::atomic<bool> done(false);
    std::vector<PlatChild> sleepers;
    std::thread long_lived([&] {
        while (!done && sleepers.size() < 40) {
            PlatChild c;
            if (start(&c, {"git", "--sleep", "120000"}) == 0) sleepers.push_back(c);
        }
    });
    int leaked = 0;
    for (int i = 0; i < 25; i++) {
        PlatChild c;
        std::string mark = std::to_string(i);
        if (start(&c, {"git", "--out", mark.c_str()}) != 0 || plat_child_wait(&c, 30000, 0) != 1) {
            ADD_FAILURE() << "child " << i << " did not run";
            plat_child_close(&c);
            break;
        }
        std::string got;
        if (peek_until_end(&c, &got) >= 0) leaked++;
        EXPECT_EQ(got, mark);
        plat_child_close(&c);
    }
    done = true;
    long_lived.join();
    EXPECT_EQ(leaked, 0);
    for (PlatChild &c : sleepers) {
        plat_child_kill(&c, 1);
        plat_child_close(&c);
    }
}

int main(int argc, char **argv) {
    ::testing::InitGoogleTest(&argc, argv);
    plat_children_init();
    TempDir dir;
    g_log = dir / "git-args.log";
    _putenv(("QUARLO_FAKE_GIT_LOG=" + g_log).c_str());
    _putenv("QUARLO_RUNNER_MARK=kept");
    _putenv("BOT_PASSWORD=secret");
    _putenv("HTTP_X_BOT_PASSWORD=secret");
    return RUN_ALL_TESTS();
}
