// The runner, with small shell scripts standing in for the program: output
// capture, exit status, programs that cannot start, the deadline, the output
// cap and the children a program leaves behind.
#if !defined(_WIN32)
#include "repo/repo.h"
#include "git/runner/runner.h"

#include "unit_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using unit::EnvGuard;
using unit::TempDir;

struct Outcome {
    int status;
    std::string out; // the buffer's text, "keep" and what the runner added
    std::string err; // standard error, read apart
    RunEnd end;
    double seconds; // how long the run took
};

// Runs argv with a buffer that already holds "keep".
Outcome run(std::vector<std::string> argv, int limit_s = RUN_LIMIT_S) {
    std::vector<const char *> ptrs;
    for (const std::string &a : argv) ptrs.push_back(a.c_str());
    ptrs.push_back(nullptr);
    Buf out;
    buf_init(&out, RUN_OUTPUT_MAX);
    buf_puts(&out, "keep");
    Buf err;
    buf_init(&err, RUN_OUTPUT_MAX);
    RunEnd end = RUN_EXITED;
    auto start = std::chrono::steady_clock::now();
    int status = run_argv(ptrs.data(), &out, limit_s, &end, &err);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    Outcome r{status, std::string(out.data, (size_t)out.len),
              err.data ? std::string(err.data, (size_t)err.len) : "", end, took.count()};
    EXPECT_LE(out.cap, RUN_OUTPUT_MAX) << "the output grew past the cap";
    EXPECT_LE(out.len + err.len, RUN_OUTPUT_MAX) << "both streams together past the cap";
    buf_free(&out);
    buf_free(&err);
    return r;
}

Outcome run_script(const TempDir &tmp, const std::string &body, int limit_s = RUN_LIMIT_S) {
    static int serial;
    std::string path = tmp / ("script" + std::to_string(++serial));
    unit::write_script(path, body);
    return run({path}, limit_s);
}

pid_t read_pid(const std::string &path) {
    std::string text = unit::read_file(path);
    return text.empty() ? -1 : (pid_t)std::stol(text);
}

struct ScriptCase {
    const char *name;
    const char *body;
    int status;
    const char *output;
    const char *messages; // standard error
};

// Standard output and standard error are read apart (the first used to
// share one pipe with the second): only the first is a command's answer.
const ScriptCase SCRIPT_CASES[] = {
    {"stdout and stderr apart", "printf 'out1\\n'; printf 'err1\\n' >&2; printf 'out2\\n'", 0,
     "out1\nout2\n", "err1\n"},
    {"status 0", "exit 0", 0, "", ""},
    {"status 1", "echo fatal: bad >&2; exit 1", 1, "", "fatal: bad\n"},
    {"status 42", "exit 42", 42, "", ""},
    {"status 128", "exit 128", 128, "", ""},
    {"status 255", "exit 255", 255, "", ""},
    {"ended by SIGTERM", "printf x; kill -TERM $$", 128 + 15, "x", ""},
    {"ended by SIGKILL", "kill -KILL $$", 128 + 9, "", ""},
    {"ended by SIGPIPE", "kill -PIPE $$", 128 + 13, "", ""},
    {"standard input is empty", "cat; echo rc=$?", 0, "rc=0\n", ""},
    {"git child environment", "printf '%s' \"$GIT_OPTIONAL_LOCKS\"", 0, "0", ""},
    {"leads a session of its own",
     "set -- $(cat /proc/$$/stat); [ \"$6\" = \"$$\" ] && echo leader", 0, "leader\n", ""},
};

TEST(Runner, ScriptTable) {
    TempDir tmp;
    for (const ScriptCase &c : SCRIPT_CASES) {
        SCOPED_TRACE(c.name);
        Outcome r = run_script(tmp, c.body);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, std::string("keep") + c.output);
        EXPECT_EQ(r.err, c.messages);
    }
}

// A child that fills one pipe while the runner could be waiting on the
// other never hangs: both are read as data arrives, in either order.
TEST(Runner, BothPipesAreReadWithoutDeadlock) {
    TempDir tmp;
    const std::string mb = "1000000";
    struct Case {
        const char *name;
        std::string body;
        size_t out, err;
    } cases[] = {
        {"error first", "head -c " + mb + " /dev/zero >&2; head -c " + mb + " /dev/zero", 1000000,
         1000000},
        {"output first", "head -c " + mb + " /dev/zero; head -c " + mb + " /dev/zero >&2", 1000000,
         1000000},
        {"both at once", "head -c " + mb + " /dev/zero >&2 & head -c " + mb + " /dev/zero; wait",
         1000000, 1000000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Outcome r = run_script(tmp, c.body, 60);
        EXPECT_EQ(r.end, RUN_EXITED);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.size(), 4 + c.out);
        EXPECT_EQ(r.err.size(), c.err);
    }
}

TEST(Runner, ArgumentsArePassedUnchanged) {
    TempDir tmp;
    std::string script = tmp / "args";
    unit::write_script(script, "for a in \"$@\"; do printf '[%s]' \"$a\"; done");
    Outcome r = run({script, "", "a b", "q\"x", "C:\\work\\", "\\\\server\\share", "\xc3\xa9"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "keep[][a b][q\"x][C:\\work\\][\\\\server\\share][\xc3\xa9]");
}

TEST(Runner, ProgramThatCannotStart) {
    // Every case gives -1 and leaves the buffer as it was.
    TempDir tmp;
    unit::make_dirs(tmp / "empty-bin");
    unit::write_file(tmp / "not-executable", "#!/bin/sh\necho ran\n", 0644);
    unit::write_file(tmp / "bad-interpreter", "#!/nonexistent/interpreter\necho ran\n", 0755);
    EnvGuard env;
    env.set("PATH", (tmp / "empty-bin").c_str());
    struct {
        const char *name;
        std::string program;
    } cases[] = {
        {"missing file", tmp / "missing"},
        {"not executable", tmp / "not-executable"},
        {"a folder", tmp.path()},
        {"missing interpreter", tmp / "bad-interpreter"},
        {"not on the search path", "quarlo-unit-no-such-program"},
        {"git not on the search path", "git"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Outcome r = run({c.program, "--version"});
        EXPECT_EQ(r.status, -1);
        EXPECT_EQ(r.end, RUN_NOT_STARTED);
        EXPECT_EQ(r.out, "keep");
    }

    const char *args[] = {"status", nullptr};
    Buf out;
    buf_init(&out, RUN_OUTPUT_MAX);
    buf_puts(&out, "keep");
    EXPECT_EQ(run_git(tmp.path().c_str(), args, &out, RUN_LIMIT_S), -1);
    EXPECT_STREQ(out.data, "keep");
    buf_free(&out);
}

TEST(Runner, OutputLeftInThePipeIsRead) {
    // The child writes up to a pipe's worth and ends at once; all of it is read.
    TempDir tmp;
    for (int size : {1, 4095, 4096, 4097, 30000, 60000}) {
        SCOPED_TRACE(size);
        for (int i = 0; i < 5; i++) {
            Outcome r =
                run_script(tmp, "head -c " + std::to_string(size) + " /dev/zero | tr '\\0' q");
            ASSERT_EQ(r.status, 0);
            ASSERT_EQ(r.out, "keep" + std::string((size_t)size, 'q'));
        }
    }
}

TEST(Runner, LargeOutputIsDrained) {
    // Megabytes of output from a child that writes faster than a pipe holds.
    TempDir tmp;
    const size_t size = 6 * 1000 * 1000;
    Outcome r = run_script(tmp, "yes 0123456789abcdef | head -c " + std::to_string(size) +
                                    "; echo end >&2");
    EXPECT_EQ(r.status, 0);
    ASSERT_EQ(r.out.size(), 4 + size);
    const std::string line = "0123456789abcdef\n";
    for (size_t i = 0; i < size; i++)
        if (r.out[4 + i] != line[i % line.size()]) FAIL() << "wrong byte at " << i;
    EXPECT_EQ(r.err, "end\n");
}

TEST(Runner, TimeLimitEndsTheWholeGroup) {
    // A child that prints nothing and never ends, with a sleeping grandchild.
    TempDir tmp;
    std::string body = "sleep 300 &\necho $! > '" + (tmp / "grandchild.pid") + "'\necho $$ > '" +
                       (tmp / "child.pid") + "'\nwait\n";
    Outcome r = run_script(tmp, body, 1);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.end, RUN_TIMED_OUT);
    EXPECT_EQ(r.out, "keep");
    pid_t child = read_pid(tmp / "child.pid"), grandchild = read_pid(tmp / "grandchild.pid");
    ASSERT_GT(child, 0);
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(unit::gone_soon(child));
    EXPECT_TRUE(unit::gone_soon(grandchild));
    if (!unit::process_gone(grandchild)) kill(grandchild, SIGKILL);
}

TEST(Runner, TimeLimitKeepsTheOutputSoFar) {
    TempDir tmp;
    Outcome r = run_script(tmp, "printf 'partial\\n'\nexec sleep 300\n", 1);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "keep"
                     "partial\n");
}

TEST(Runner, DeadlineHoldsWhileTheChildWrites) {
    // A line every 5 ms: the child is never silent for a whole wait.
    TempDir tmp;
    Outcome r = run_script(tmp, "while :; do echo still here; sleep 0.005; done", 2);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.end, RUN_TIMED_OUT);
    EXPECT_EQ(r.out.substr(0, 15), "keep"
                                   "still here\n");
    EXPECT_GE(r.seconds, 1.9);
    EXPECT_LT(r.seconds, 10.0);
}

TEST(Runner, OutputPastTheCapStopsTheChild) {
    // The buffer holds "keep": its text and terminator may reach the cap, no
    // further. A child that ends with what fits is a plain run; a byte more,
    // or a child that never stops writing, is stopped.
    TempDir tmp;
    const unsigned long long fits = RUN_OUTPUT_MAX - 5;
    struct Case {
        const char *name;
        std::string body;
        RunEnd end;
        int status;
    } cases[] = {
        {"just fits", "head -c " + std::to_string(fits) + " /dev/zero", RUN_EXITED, 0},
        {"a byte too many", "head -c " + std::to_string(fits + 1) + " /dev/zero; sleep 300",
         RUN_TOO_LARGE, 1},
        {"never stops", "echo $$ > '" + (tmp / "writer.pid") + "'\nexec yes", RUN_TOO_LARGE, 1},
        // The cap counts both streams together.
        {"a byte too many on both",
         "head -c 1000 /dev/zero >&2; head -c " + std::to_string(fits - 999) +
             " /dev/zero; sleep 300",
         RUN_TOO_LARGE, 1},
        {"too many on standard error",
         "head -c " + std::to_string(fits + 1) + " /dev/zero >&2; sleep 300", RUN_TOO_LARGE, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Outcome r = run_script(tmp, c.body, 60);
        EXPECT_EQ(r.end, c.end);
        EXPECT_EQ(r.status, c.status);
        if (c.end == RUN_EXITED)
            EXPECT_EQ(r.out.size(), 4 + fits);
        else
            EXPECT_GT(r.out.size() + r.err.size() + 4096, 4 + fits);
        EXPECT_LT(r.seconds, 30.0);
    }
    pid_t writer = read_pid(tmp / "writer.pid");
    ASSERT_GT(writer, 0);
    EXPECT_TRUE(unit::gone_soon(writer));
}

// A helper that the child started holds the pipe and sleeps. The runner
// returns at the child's own end or at the limit, whichever comes first,
// with the child's output, and the helper ends with the run.
TEST(Runner, HelperHoldingThePipeEndsWithTheRun) {
    TempDir tmp;
    struct Case {
        const char *name;
        const char *rest; // what the child does after starting the helper
        int limit_s;
        int status;
        RunEnd end;
    } cases[] = {
        {"the child ends at once", "echo early\nexit 7\n", RUN_LIMIT_S, 7, RUN_EXITED},
        {"the child runs past the limit", "echo early\nexec sleep 300\n", 2, 1, RUN_TIMED_OUT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string pid_file = tmp / "helper.pid";
        std::string body =
            "(sleep 60; echo late) &\necho $! > '" + pid_file + "'\n" + std::string(c.rest);
        Outcome r = run_script(tmp, body, c.limit_s);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.end, c.end);
        EXPECT_EQ(r.out, "keep"
                         "early\n");
        EXPECT_GE(r.seconds, c.end == RUN_TIMED_OUT ? c.limit_s - 0.1 : 0.0);
        EXPECT_LT(r.seconds, c.end == RUN_TIMED_OUT ? c.limit_s + 8.0 : 10.0)
            << "the runner waited for the helper";
        pid_t helper = read_pid(pid_file);
        ASSERT_GT(helper, 0);
        EXPECT_TRUE(unit::gone_soon(helper)) << "the helper outlived the run";
        if (!unit::process_gone(helper)) kill(helper, SIGKILL);
    }
}

TEST(Runner, RunGitPassesElevenArguments) {
    // A fake git first on the search path prints the arguments it got.
    TempDir tmp;
    unit::make_dirs(tmp / "bin");
    unit::write_script(tmp / "bin/git", "for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done\n");
    EnvGuard env;
    std::string path = tmp / "bin";
    if (const char *old = getenv("PATH")) path += std::string(":") + old;
    env.set("PATH", path.c_str());

    const char *twelve[] = {"a1", "a 2", "",    "a\"4", "a5\\", "a6",   "a7",
                            "a8", "a9",  "a10", "a11",  "a12",  nullptr};
    Buf out;
    buf_init(&out, RUN_OUTPUT_MAX);
    int rc = run_git("/srv/my repo", twelve, &out, RUN_LIMIT_S);
    EXPECT_EQ(rc, 0);
    EXPECT_STREQ(out.data, "[-C]\n[/srv/my repo]\n[a1]\n[a 2]\n[]\n[a\"4]\n[a5\\]\n[a6]\n[a7]\n"
                           "[a8]\n[a9]\n[a10]\n[a11]\n");
    buf_free(&out);

    const char *two[] = {"status", "--porcelain=v2", nullptr};
    buf_init(&out, RUN_OUTPUT_MAX);
    EXPECT_EQ(run_git("/x", two, &out, RUN_LIMIT_S), 0);
    EXPECT_STREQ(out.data, "[-C]\n[/x]\n[status]\n[--porcelain=v2]\n");
    buf_free(&out);
}

} // namespace
#endif
