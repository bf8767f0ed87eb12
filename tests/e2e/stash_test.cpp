// The listing's stash counts. Where git prints the count in its porcelain
// status (2.35 and later) the listing reads it there and runs no stash list;
// older git, played by a wrapper in front of the real one, gets the stash
// list. Either way each repository's count is the one `git stash list` gives,
// a repository whose status fails shows its error and no count, and the
// whole answer is the same.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>

namespace {

int stash_list_count(const std::string &repo) {
    std::string out = git_out(repo, "stash list --format=%gd");
    return static_cast<int>(std::count(out.begin(), out.end(), '\n'));
}

void commit_file(const std::string &repo, const std::string &content, long long when) {
    write_file(repo + "/f", content);
    git(repo, "add f");
    commit_at(repo, "commit " + content, when);
}

// Changes f and stashes the change.
void stash_change(const std::string &repo, const std::string &content) {
    write_file(repo + "/f", content);
    git(repo, "stash push -q");
}

// A repository of the tree: what `git stash list` counts there, and how its
// query goes.
struct Case {
    const char *name;
    int stash;
    bool unborn; // no commit on its branch: git log is not run
    bool fails;  // its status fails: the record has an error and no count
};

const Case kCases[] = {
    {"none", 0, false, false},      {"one", 1, false, false},         {"many", 4, false, false},
    {"dropped", 2, false, false},   {"cleared", 0, false, false},     {"linked", 2, false, false},
    {"linked-wt", 2, false, false}, {"untracked", 1, false, false},   {"unborn", 0, true, false},
    {"orphan", 1, true, false},     {"broken-index", 1, false, true},
};

// How git is found on PATH for one listing.
enum GitKind {
    NEW_GIT,     // the real git (2.35 or later), each run recorded
    OLD_GIT,     // before 2.14: --show-stash is an unknown option
    GIT_2_34,    // 2.14 to 2.34: --show-stash is taken, no count is printed
    MISSING_GIT, // no git at all
};

class Stash : public ::testing::Test {
  protected:
    static TempDir *base_;
    static std::string root_;

    static void SetUpTestSuite() {
        base_ = new TempDir;
        root_ = base_->sub("root");
        const std::string &R = root_;
        long long t = 1700000000;
        for (const char *name : {"none", "one", "many", "dropped", "cleared", "linked", "untracked",
                                 "unborn", "orphan", "broken-index"})
            sh("git init -q " + shq(R + "/" + name));
        for (const char *name : {"none", "one", "many", "dropped", "cleared", "linked", "untracked",
                                 "orphan", "broken-index"})
            commit_file(R + "/" + name, "0", t++);

        stash_change(R + "/one", "1");
        for (const char *c : {"1", "2", "3"}) stash_change(R + "/many", c);
        // One with the index kept, one of an added file.
        write_file(R + "/many/f", "4");
        git(R + "/many", "add f");
        git(R + "/many", "stash push -q --keep-index");
        git(R + "/many", "reset -q --hard");
        for (const char *c : {"1", "2", "3"}) stash_change(R + "/dropped", c);
        git(R + "/dropped", "stash drop -q stash@{1}");
        for (const char *c : {"1", "2"}) stash_change(R + "/cleared", c);
        git(R + "/cleared", "stash clear");
        // Stashes made in a linked worktree belong to the whole repository:
        // both working copies show them.
        git(R + "/linked", "worktree add -q " + shq(R + "/linked-wt"));
        stash_change(R + "/linked-wt", "wt 1");
        stash_change(R + "/linked-wt", "wt 2");
        write_file(R + "/untracked/new.txt", "new\n");
        git(R + "/untracked", "stash push -q --include-untracked");
        // A stash, then a new branch without commits.
        stash_change(R + "/orphan", "1");
        git(R + "/orphan", "checkout -q --orphan fresh");
        // An index git cannot read: the status fails (the stash list would not).
        stash_change(R + "/broken-index", "1");
        write_file(R + "/broken-index/.git/index", "not an index");
    }

    static void TearDownTestSuite() {
        delete base_;
        base_ = nullptr;
    }

    // A bin folder whose `git` plays `kind` in front of the real git,
    // recording each run's arguments in `log`.
    static std::string git_bin(GitKind kind, const TempDir &t, const std::string &log) {
        const std::string real = trimmed(sh("command -v git"));
        const std::string bin = t.sub("bin");
        std::string body = "#!/bin/sh\necho \"$*\" >>" + shq(log) + "\n";
        if (kind == OLD_GIT) {
            body += "[ \"$1\" = --version ] && { echo 'git version 2.13.7'; exit 0; }\n"
                    "for a; do\n"
                    "  if [ \"$a\" = --show-stash ]; then\n"
                    "    echo \"error: unknown option \\`show-stash'\" >&2\n"
                    "    echo 'usage: git status [<options>] [--] <pathspec>...' >&2\n"
                    "    exit 129\n"
                    "  fi\n"
                    "done\n";
        } else if (kind == GIT_2_34) {
            body +=
                "[ \"$1\" = --version ] && { echo 'git version 2.34.1'; exit 0; }\n"
                "out=$(mktemp)\n" +
                shq(real) +
                " \"$@\" >\"$out\"\n"
                "rc=$?\n"
                "case \" $* \" in\n"
                "*' -z '*) tr '\\000' '\\n' <\"$out\" | grep -v '^# stash ' | tr '\\n' '\\000';;\n"
                "*) grep -v '^# stash ' \"$out\";;\n"
                "esac\n"
                "rm -f \"$out\"\n"
                "exit $rc\n";
        }
        body += "exec " + shq(real) + " \"$@\"\n";
        write_file(bin + "/git", body, 0755);
        return bin;
    }

    // The listing with git as `kind`; `runs` receives each git run's
    // arguments.
    static std::string listing(GitKind kind, std::vector<std::string> *runs) {
        TempDir t;
        const std::string log = t.sub("git.log");
        CgiRequest req;
        req.query = "action=repos";
        req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root_}};
        if (kind == MISSING_GIT) {
            req.path_override = t.sub("empty-bin");
            sh("mkdir -p " + shq(req.path_override));
        } else {
            req.path_prefix = git_bin(kind, t, log);
        }
        CgiResult r = run_cgi_ok(req);
        std::istringstream in(read_file(log));
        runs->clear();
        for (std::string line; std::getline(in, line);) runs->push_back(line);
        return std::regex_replace(r.body, std::regex("\"checked_at\":\"[^\"]*\""),
                                  "\"checked_at\":\"\"");
    }
};

TempDir *Stash::base_ = nullptr;
std::string Stash::root_;

TEST_F(Stash, CountsMatchTheStashListWithAnyGit) {
    std::string version = sh("git --version");
    int major = 0, minor = 0;
    if (sscanf(version.c_str(), "git version %d.%d", &major, &minor) != 2 ||
        major * 1000 + minor < 2035)
        GTEST_SKIP() << "the real git stands for git 2.35 or later here: " << version;

    // The fixture holds what its names say.
    std::map<std::string, const Case *> cases;
    for (const Case &c : kCases) {
        EXPECT_EQ(stash_list_count(root_ + "/" + c.name), c.stash) << c.name;
        cases[c.name] = &c;
    }
    const int n = static_cast<int>(sizeof kCases / sizeof kCases[0]);
    // The last commits are read from the object store: git log runs for none.
    const int logged = 0;
    int listed = 0; // repositories that get the stash list
    for (const Case &c : kCases) listed += !c.fails;

    std::vector<std::string> runs;
    std::string reference;
    struct Variant {
        GitKind kind;
        const char *name;
    } variants[] = {
        {NEW_GIT, "git 2.35 or later"},
        {OLD_GIT, "git without --show-stash"},
        {GIT_2_34, "git that takes --show-stash and prints no count"},
        {MISSING_GIT, "no git"},
    };
    for (const Variant &v : variants) {
        SCOPED_TRACE(v.name);
        const std::string body = listing(v.kind, &runs);
        Json doc = parse_json(body);
        ASSERT_EQ(doc["count"].get<long long>(), n) << body;
        int total = 0, errors = 0;
        for (int i = 0; i < n; ++i) {
            const Json &r = doc["repos"][(size_t)i];
            SCOPED_TRACE(r["name"].get<std::string>());
            ASSERT_EQ(cases.count(r["name"].get<std::string>()), 1u);
            const Case &c = *cases[r["name"].get<std::string>()];
            bool fails = c.fails || v.kind == MISSING_GIT;
            int stash = fails ? 0 : c.stash;
            EXPECT_EQ(r["stash"].get<long long>(), stash);
            if (v.kind == MISSING_GIT)
                EXPECT_EQ(r["error"].get<std::string>(), "git could not be started");
            else
                EXPECT_EQ(r["error"].get<std::string>().empty(), !fails)
                    << r["error"].get<std::string>();
            total += stash;
            errors += fails;
        }
        EXPECT_EQ(doc["summary"]["stashes"].get<long long>(), total);
        EXPECT_EQ(doc["summary"]["errors"].get<long long>(), errors);
        if (v.kind == NEW_GIT) reference = body;
        if (v.kind != MISSING_GIT) {
            EXPECT_EQ(body, reference) << "the same answer with any git";
        }

        // The version is asked once; then per repository the status and the
        // last commit where git prints the count, and the stash list besides
        // where it does not. Nothing runs after a failed status, and git log
        // not where there is no commit. None of these repositories has a
        // remote: each readable one with a branch asks for its commits on no
        // remote-tracking branch ("unborn" has none). The config outside any
        // repository is asked at most once in the whole listing.
        if (v.kind == MISSING_GIT) continue;
        ASSERT_FALSE(runs.empty());
        EXPECT_EQ(runs[0], "--version");
        int status = 0, status_stash = 0, log = 0, stash_list = 0, unpushed = 0, outside_config = 0;
        for (size_t i = 1; i < runs.size(); ++i) {
            const std::string &run = runs[i];
            if (run.find(" status --porcelain=v2 -z --branch --show-stash ") != std::string::npos)
                status_stash++;
            else if (run.find(" status --porcelain=v2 -z --branch ") != std::string::npos)
                status++;
            else if (run.find(" log -1 ") != std::string::npos)
                log++;
            else if (run.find(" stash list ") != std::string::npos)
                stash_list++;
            else if (run.find(" rev-list --parents --branches --not --remotes") !=
                     std::string::npos)
                unpushed++;
            else if (run.find("quarlo-no-such-folder config --list ") != std::string::npos)
                outside_config++;
            else
                ADD_FAILURE() << "unexpected run: " << run;
        }
        EXPECT_EQ(status_stash, v.kind == NEW_GIT ? n : 0);
        EXPECT_EQ(status, v.kind == NEW_GIT ? 0 : n);
        EXPECT_EQ(log, logged);
        EXPECT_EQ(stash_list, v.kind == NEW_GIT ? 0 : listed);
        EXPECT_EQ(unpushed, n - errors - 1);
        EXPECT_LE(outside_config, 1);
    }
}

} // namespace
