// The environment of every git child. It is built once per process from the
// environment at first use, so each environment under test is examined in a
// fresh run of this test program; and the forced settings are shown to stop
// a hostile repository configuration with the real git.
#if !defined(_WIN32)
#include "repo/repo.h"
#include "git/runner/runner.h"

#include "child_process.h"
#include "unit_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using unit::TempDir;

// Started with this variable set, the test program writes the child
// environment (entries separated by zero bytes) to standard output and ends
// before any test runs. With DUMP_BOUND_VAR naming a folder as well, it
// writes the environment of a git child bound to that folder.
#define DUMP_VAR "QUARLO_UNIT_DUMP_CHILD_ENV"
#define DUMP_BOUND_VAR "QUARLO_UNIT_DUMP_BOUND_TO"

[[maybe_unused]] const bool g_dumped = [] {
    if (!getenv(DUMP_VAR)) return false;
    const char *dir = getenv(DUMP_BOUND_VAR);
    Buf entry;
    const char *const *env = child_environment();
    const char **bound = dir ? bound_environment(dir, &entry) : nullptr;
    for (const char *const *e = bound ? bound : env; e && *e; e++)
        fwrite(*e, 1, strlen(*e) + 1, stdout);
    fflush(stdout);
    _exit(0);
}();

// Runs this program with exactly `env` and returns the child environment it
// reports, sorted.
std::vector<std::string> child_env_for(std::vector<std::string> env) {
    env.push_back(DUMP_VAR "=1");
    ChildCommand run;
    run.argv = {"/proc/self/exe"};
    for (const std::string &e : env) {
        size_t eq = e.find('=');
        run.env.emplace_back(e.substr(0, eq), eq == std::string::npos ? "" : e.substr(eq + 1));
    }
    ChildResult r = run_child(run);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    const std::string &text = r.out;
    std::vector<std::string> out;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\0', at);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    std::sort(out.begin(), out.end());
    return out;
}

struct EnvCase {
    const char *name;
    std::vector<std::string> env;
    std::vector<std::string> want; // besides the dump variable itself
};

const EnvCase ENV_CASES[] = {
    {"request headers, password, a ceiling and one config entry",
     {"PATH=/usr/bin:/bin", "HOME=/root", "BOT_PASSWORD=s3cret", "HTTP_X_BOT_PASSWORD=s3cret",
      "HTTP_AUTHORIZATION=Basic eDp5", "HTTP_=x", "GIT_CONFIG_COUNT=1",
      "GIT_CONFIG_KEY_0=user.name", "GIT_CONFIG_VALUE_0=Tester", "GIT_OPTIONAL_LOCKS=1",
      "GIT_CEILING_DIRECTORIES=/home", "XHTTP_KEEP=1", "BOT_PASSWORD_HINT=kept", "MY_VAR=a=b"},
     {"PATH=/usr/bin:/bin", "HOME=/root", "GIT_CONFIG_KEY_0=user.name", "GIT_CONFIG_VALUE_0=Tester",
      "XHTTP_KEEP=1", "BOT_PASSWORD_HINT=kept", "MY_VAR=a=b", "GIT_OPTIONAL_LOCKS=0",
      "GIT_CONFIG_KEY_1=core.fsmonitor", "GIT_CONFIG_VALUE_1=false",
      "GIT_CONFIG_KEY_2=log.showSignature", "GIT_CONFIG_VALUE_2=false",
      "GIT_CONFIG_KEY_3=core.quotePath", "GIT_CONFIG_VALUE_3=false", "GIT_CONFIG_COUNT=4"}},
    {"proxies and no config entries",
     {"PATH=/bin", "http_proxy=http://proxy:3128", "HTTPS_PROXY=http://proxy:3128",
      "HTTP_PROXY=http://proxy:3128"},
     {"PATH=/bin", "http_proxy=http://proxy:3128", "HTTPS_PROXY=http://proxy:3128",
      "GIT_OPTIONAL_LOCKS=0", "GIT_CONFIG_KEY_0=core.fsmonitor", "GIT_CONFIG_VALUE_0=false",
      "GIT_CONFIG_KEY_1=log.showSignature", "GIT_CONFIG_VALUE_1=false",
      "GIT_CONFIG_KEY_2=core.quotePath", "GIT_CONFIG_VALUE_2=false", "GIT_CONFIG_COUNT=3"}},
    // Config entries the count does not cover would collide with the forced
    // ones: they are left out, all of them where the count is not a count.
    {"a count that is not a count",
     {"GIT_CONFIG_COUNT=two", "GIT_CONFIG_KEY_0=user.name", "GIT_CONFIG_VALUE_0=Tester",
      "GIT_CONFIG_KEY_1=core.editor", "GIT_CONFIG_KEY_X=kept"},
     {"GIT_CONFIG_KEY_X=kept", "GIT_OPTIONAL_LOCKS=0", "GIT_CONFIG_KEY_0=core.fsmonitor",
      "GIT_CONFIG_VALUE_0=false", "GIT_CONFIG_KEY_1=log.showSignature", "GIT_CONFIG_VALUE_1=false",
      "GIT_CONFIG_KEY_2=core.quotePath", "GIT_CONFIG_VALUE_2=false", "GIT_CONFIG_COUNT=3"}},
    {"entries past the count, and entries without a count",
     {"GIT_CONFIG_COUNT=1", "GIT_CONFIG_KEY_0=user.name", "GIT_CONFIG_VALUE_0=Tester",
      "GIT_CONFIG_KEY_1=core.fsmonitor", "GIT_CONFIG_VALUE_1=/tmp/hook", "GIT_CONFIG_VALUE_7=x"},
     {"GIT_CONFIG_KEY_0=user.name", "GIT_CONFIG_VALUE_0=Tester", "GIT_OPTIONAL_LOCKS=0",
      "GIT_CONFIG_KEY_1=core.fsmonitor", "GIT_CONFIG_VALUE_1=false",
      "GIT_CONFIG_KEY_2=log.showSignature", "GIT_CONFIG_VALUE_2=false",
      "GIT_CONFIG_KEY_3=core.quotePath", "GIT_CONFIG_VALUE_3=false", "GIT_CONFIG_COUNT=4"}},
    {"no count at all",
     {"GIT_CONFIG_KEY_0=user.name", "GIT_CONFIG_VALUE_0=Tester"},
     {"GIT_OPTIONAL_LOCKS=0", "GIT_CONFIG_KEY_0=core.fsmonitor", "GIT_CONFIG_VALUE_0=false",
      "GIT_CONFIG_KEY_1=log.showSignature", "GIT_CONFIG_VALUE_1=false",
      "GIT_CONFIG_KEY_2=core.quotePath", "GIT_CONFIG_VALUE_2=false", "GIT_CONFIG_COUNT=3"}},
    // Names are compared byte for byte on Linux: these are other variables.
    {"names in other letter cases",
     {"bot_password=kept", "http_x_bot_password=kept", "git_optional_locks=1"},
     {"bot_password=kept", "http_x_bot_password=kept", "git_optional_locks=1",
      "GIT_OPTIONAL_LOCKS=0", "GIT_CONFIG_KEY_0=core.fsmonitor", "GIT_CONFIG_VALUE_0=false",
      "GIT_CONFIG_KEY_1=log.showSignature", "GIT_CONFIG_VALUE_1=false",
      "GIT_CONFIG_KEY_2=core.quotePath", "GIT_CONFIG_VALUE_2=false", "GIT_CONFIG_COUNT=3"}},
    // What locates or reconfigures a repository, and traces, are left out;
    // what only says how to reach a remote or which global file to read stays.
    {"variables that redirect git, and traces",
     {"PATH=/usr/bin:/bin", "GIT_DIR=/o/.git", "GIT_WORK_TREE=/o", "GIT_INDEX_FILE=/o/.git/index",
      "GIT_OBJECT_DIRECTORY=/o/.git/objects", "GIT_COMMON_DIR=/o/.git",
      "GIT_ALTERNATE_OBJECT_DIRECTORIES=/o", "GIT_GRAFT_FILE=/g", "GIT_PREFIX=sub/",
      "GIT_CONFIG_PARAMETERS='core.fsmonitor'='touch x'", "GIT_TRACE=1", "GIT_TRACE2_EVENT=/tmp/t",
      "GIT_TRACE_PACKET=1", "GIT_CONFIG_GLOBAL=/home/u/.gitconfig", "GIT_SSH_COMMAND=ssh -4"},
     {"PATH=/usr/bin:/bin", "GIT_CONFIG_GLOBAL=/home/u/.gitconfig", "GIT_SSH_COMMAND=ssh -4",
      "GIT_OPTIONAL_LOCKS=0", "GIT_CONFIG_KEY_0=core.fsmonitor", "GIT_CONFIG_VALUE_0=false",
      "GIT_CONFIG_KEY_1=log.showSignature", "GIT_CONFIG_VALUE_1=false",
      "GIT_CONFIG_KEY_2=core.quotePath", "GIT_CONFIG_VALUE_2=false", "GIT_CONFIG_COUNT=3"}},
    // The user's own prompt programs, trace targets, transports and message
    // language give way to the fixed entries; LC_ALL's character set stays.
    {"prompts, language and transports",
     {"SSH_ASKPASS=/usr/bin/ask", "DISPLAY=:0", "GIT_ASKPASS=/usr/bin/ask", "GIT_TERMINAL_PROMPT=1",
      "SSH_ASKPASS_REQUIRE=force", "LANGUAGE=de", "LANG=de_DE.UTF-8", "LC_ALL=de_DE.UTF-8",
      "LC_CTYPE=C", "LC_MESSAGES=de_DE.UTF-8", "GIT_TRACE2_PERF=/dev/stdout",
      "GIT_ALLOW_PROTOCOL=ssh:https"},
     {"DISPLAY=:0", "LANG=de_DE.UTF-8", "LC_CTYPE=de_DE.UTF-8", "GIT_OPTIONAL_LOCKS=0",
      "GIT_CONFIG_KEY_0=core.fsmonitor", "GIT_CONFIG_VALUE_0=false",
      "GIT_CONFIG_KEY_1=log.showSignature", "GIT_CONFIG_VALUE_1=false",
      "GIT_CONFIG_KEY_2=core.quotePath", "GIT_CONFIG_VALUE_2=false", "GIT_CONFIG_COUNT=3"}},
    {"empty environment",
     {},
     {"GIT_OPTIONAL_LOCKS=0", "GIT_CONFIG_KEY_0=core.fsmonitor", "GIT_CONFIG_VALUE_0=false",
      "GIT_CONFIG_KEY_1=log.showSignature", "GIT_CONFIG_VALUE_1=false",
      "GIT_CONFIG_KEY_2=core.quotePath", "GIT_CONFIG_VALUE_2=false", "GIT_CONFIG_COUNT=3"}},
};

// Set in every child whatever the environment holds: no prompts, no trace2
// output, git's messages untranslated.
const std::vector<std::string> FIXED = {
    "GIT_TERMINAL_PROMPT=0", "GIT_ASKPASS=",      "SSH_ASKPASS_REQUIRE=never",
    "GIT_TRACE2=0",          "GIT_TRACE2_PERF=0", "GIT_TRACE2_EVENT=0",
    "LC_MESSAGES=C",
};

TEST(ChildEnvironment, BuiltFromTheEnvironment) {
    for (const EnvCase &c : ENV_CASES) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> want = c.want;
        want.insert(want.end(), FIXED.begin(), FIXED.end());
        want.push_back(DUMP_VAR "=1");
        std::sort(want.begin(), want.end());
        EXPECT_EQ(child_env_for(c.env), want);
    }
}

// The names this program leaves out where it cannot ask git are git's own
// list: a git that adds a name makes this fail, not the list age silently.
TEST(ChildEnvironment, KnownLocalNamesAreTheInstalledGits) {
    FILE *p = popen("git rev-parse --local-env-vars", "r");
    ASSERT_TRUE(p);
    std::vector<std::string> git_names;
    char line[256];
    while (fgets(line, sizeof line, p)) {
        std::string name = line;
        while (!name.empty() && (name.back() == '\n' || name.back() == '\r')) name.pop_back();
        if (!name.empty()) git_names.push_back(name);
    }
    EXPECT_EQ(pclose(p), 0);
    std::vector<std::string> known;
    for (const char *const *n = GIT_LOCAL_ENV_KNOWN; *n; n++) known.push_back(*n);
    std::sort(git_names.begin(), git_names.end());
    std::sort(known.begin(), known.end());
    EXPECT_EQ(known, git_names);
}

// The installed git is asked for its list once, and only where the
// environment holds a GIT_ name the program does not know already; its
// answer is left out as well. It is asked with no GIT_ variable at all.
TEST(ChildEnvironment, GitIsAskedForItsListOnlyWhenNeeded) {
    TempDir tmp;
    const std::string log = tmp / "asked";
    unit::write_script(tmp / "git", "echo \"$* ${GIT_DIR-none} ${GIT_MADE_UP-none}\" >>'" + log +
                                        "'\necho GIT_MADE_UP\necho GIT_DIR\n");
    struct Case {
        const char *name;
        std::vector<std::string> env;
        const char *asked;
    } cases[] = {
        {"a name git adds",
         {"GIT_MADE_UP=1", "GIT_DIR=/o"},
         "rev-parse --local-env-vars none none\n"},
        {"known and managed names only",
         {"GIT_DIR=/o", "GIT_TRACE=1", "GIT_CONFIG_COUNT=0", "GIT_CONFIG_PARAMETERS=x"},
         ""},
        {"no GIT_ name", {"HOME=/h"}, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        remove(log.c_str());
        std::vector<std::string> env = c.env;
        env.push_back("PATH=" + tmp.path());
        std::vector<std::string> got = child_env_for(env);
        EXPECT_EQ(unit::path_exists(log) ? unit::read_file(log) : "", c.asked);
        for (const std::string &e : got) {
            EXPECT_NE(e.rfind("GIT_MADE_UP=", 0), 0u);
            EXPECT_NE(e.rfind("GIT_DIR=", 0), 0u);
        }
    }
}

// A git child is bound to its folder: GIT_CEILING_DIRECTORIES ends in the
// parent of the folder's real path, after the program's own entries.
TEST(ChildEnvironment, BoundToTheFolderGitRunsIn) {
    TempDir tmp;
    const std::string T = tmp.path();
    unit::make_dirs(T + "/real/repo");
    unit::make_dirs(T + "/odd:name/repo");
    ASSERT_EQ(symlink((T + "/real/repo").c_str(), (T + "/link").c_str()), 0);
    struct Case {
        const char *name;
        std::string dir;
        const char *user; // the program's own GIT_CEILING_DIRECTORIES, or null
        std::string want; // the value git gets; empty: no entry
    } cases[] = {
        {"a folder", T + "/real/repo", nullptr, T + "/real"},
        {"a trailing separator", T + "/real/repo/", nullptr, T + "/real"},
        {"not normalised", T + "//real/./repo", nullptr, T + "/real"},
        {"through a link: the real folder's parent", T + "/link", nullptr, T + "/real"},
        {"a folder that is gone: its full path's parent", T + "/gone/x", nullptr, T + "/gone"},
        {"the program's own entries first", T + "/real/repo", "/a:/b", "/a:/b:" + T + "/real"},
        {"':' would split the entry: git's own name for it, then the folder above",
         T + "/odd:name/repo", nullptr, "/proc/self/cwd/..:" + T},
        {"':' in the folder itself only", T + "/odd:name", nullptr, T},
        {"just below the top", "/tmp", nullptr, "/"},
        {"the top has no parent", "/", nullptr, ""},
        {"the top, with the program's own", "/", "/a", "/a"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> env = {"PATH=/bin", DUMP_BOUND_VAR "=" + c.dir};
        if (c.user) env.push_back(std::string("GIT_CEILING_DIRECTORIES=") + c.user);
        std::vector<std::string> got = child_env_for(env);
        std::string ceiling = "(none)";
        for (const std::string &e : got)
            if (e.rfind("GIT_CEILING_DIRECTORIES=", 0) == 0) ceiling = e.substr(24);
        EXPECT_EQ(ceiling, c.want.empty() ? "(none)" : c.want);
        // No query reaches a remote.
        EXPECT_EQ(std::count(got.begin(), got.end(), "GIT_ALLOW_PROTOCOL="), 1);
        EXPECT_EQ(std::count(got.begin(), got.end(), "GIT_CONFIG_COUNT=3"), 1);
    }
}

// Runs git through the runner and returns its output; fails on a non-zero status.
std::string git(const std::string &dir, std::vector<const char *> args) {
    args.push_back(nullptr);
    Buf out;
    buf_init(&out, DOC_MAX);
    int rc = run_git(dir.c_str(), args.data(), &out, RUN_LIMIT_S);
    std::string text(out.data, (size_t)out.len);
    buf_free(&out);
    EXPECT_EQ(rc, 0) << args[0] << ": " << text;
    return text;
}

TEST(ChildEnvironment, HostileRepositoryConfigRunsNothing) {
    // A repository whose config names an fsmonitor hook (run by git status)
    // and a signature program (run by git log for a signed commit). Each
    // program leaves a mark when it runs.
    TempDir tmp;
    std::string repo = tmp / "repo";
    unit::make_dirs(repo);
    git(repo, {"init", "-q", "-b", "main"});
    std::string tree = git(repo, {"write-tree"});
    tree.resize(tree.find('\n'));
    unit::write_file(tmp / "commit.txt",
                     "tree " + tree +
                         "\nauthor A <a@b> 1709285400 +0000\ncommitter A <a@b> 1709285400 +0000\n"
                         "gpgsig -----BEGIN PGP SIGNATURE-----\n \n iQEzBAABCAAdFiEE\n"
                         " -----END PGP SIGNATURE-----\n\nSigned commit\n");
    std::string commit =
        git(repo, {"hash-object", "-t", "commit", "-w", (tmp / "commit.txt").c_str()});
    commit.resize(commit.find('\n'));
    git(repo, {"update-ref", "HEAD", commit.c_str()});
    unit::write_script(tmp / "fsmonitor", "touch \"$0.ran\"\nexit 1\n");
    unit::write_script(tmp / "gpg", "touch \"$0.ran\"\nexit 1\n");
    git(repo, {"config", "core.fsmonitor", (tmp / "fsmonitor").c_str()});
    git(repo, {"config", "gpg.program", (tmp / "gpg").c_str()});
    git(repo, {"config", "log.showSignature", "true"});

    EXPECT_EQ(git(repo, {"status", "--porcelain=v2", "--branch", "--untracked-files=normal"}),
              "# branch.oid " + commit + "\n# branch.head main\n");
    EXPECT_EQ(git(repo, {"log", "-1", "--format=%H%x09%ct%x09%s"}),
              commit + "\t1709285400\tSigned commit\n");
    EXPECT_FALSE(access((tmp / "fsmonitor.ran").c_str(), F_OK) == 0);
    EXPECT_FALSE(access((tmp / "gpg.ran").c_str(), F_OK) == 0);

    // Without the forced settings git would have run both programs.
    std::string direct = "git -C '" + repo + "' status >/dev/null 2>&1; git -C '" + repo +
                         "' log -1 >/dev/null 2>&1";
    ASSERT_EQ(run_process({"/bin/sh", "-c", direct}).exit_status, 0);
    EXPECT_TRUE(access((tmp / "fsmonitor.ran").c_str(), F_OK) == 0);
    EXPECT_TRUE(access((tmp / "gpg.ran").c_str(), F_OK) == 0);
}

} // namespace
#endif
