// What needs the user, read from the git folder without another git command:
// an upstream that is gone, an operation left in progress (and the branch a
// rebase works on), and when the remote was last fetched. One tree of real
// repositories, each left in one of these states by git itself, checked in
// the listing and the detail, with the listing's order and its git runs.
#include "harness.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace {

const long long T = 1700000000;

void commit_file(const std::string &dir, const std::string &file, const std::string &content,
                 const std::string &msg, long long when) {
    write_file(dir + "/" + file, content);
    git(dir, "add -A");
    commit_at(dir, msg, when);
}

// A git command that is meant to stop (a conflict, an `edit` step): its exit
// status is not checked; the state it leaves behind is.
void git_stops(const std::string &dir, const std::vector<std::string> &args,
               const std::vector<std::pair<std::string, std::string>> &extra_env = {}) {
    std::vector<std::string> argv{"git", "-C", dir};
    argv.insert(argv.end(), args.begin(), args.end());
    auto env = git_env();
    env.insert(env.end(), extra_env.begin(), extra_env.end());
    run_process(argv, "", env);
}

// A repository whose one file `f` went three ways: "base" on main's first
// commit, then "ours" on main and "theirs" on branch `other`; main is out.
void diverged(const std::string &dir, long long when) {
    sh("git init -q " + shq(dir));
    commit_file(dir, "f", "base\n", "base", when);
    git(dir, "checkout -q -b other");
    commit_file(dir, "f", "theirs\n", "theirs", when + 1);
    git(dir, "checkout -q main");
    commit_file(dir, "f", "ours\n", "ours", when + 2);
}

// Sets the modification time of the FETCH_HEAD in the git folder `git_dir`.
void fetched_at(const std::string &git_dir, long long when) {
    ASSERT_TRUE(path_exists(git_dir + "/FETCH_HEAD")) << git_dir;
    sh("touch -d @" + std::to_string(when) + " " + shq(git_dir + "/FETCH_HEAD"));
}

// What one working copy of the tree must show.
struct Case {
    std::string rel;
    std::string operation, operation_branch;
    bool upstream_gone;
    long long fetched_at;
    std::string error_start; // "" for a readable repository
};

const long long F_GONE = 1760000000, F_LIVE = 1760100000, F_MAIN = 1760200000, F_WT = 1760300000,
                F_WT2 = 1760400000;

// clang-format off
const Case kCases[] = {
    // rel                 operation      branch    gone   fetched  error
    {"gone",               "",            "",       true,  F_GONE,  ""},
    {"live",               "",            "",       false, F_LIVE,  ""},
    {"never-fetched",      "",            "",       false, 0,       ""},
    {"rebase-conflict",    "rebase",      "feature", false, 0,      ""},
    {"rebase-edit",        "rebase",      "topic",  false, 0,       ""},
    {"rebase-detached",    "rebase",      "",       false, 0,       ""},
    {"merge-conflict",     "merge",       "",       false, 0,       ""},
    {"cherry-pick",        "cherry-pick", "",       false, 0,       ""},
    {"revert",             "revert",      "",       false, 0,       ""},
    {"cherry-pick-seq",    "cherry-pick", "",       false, 0,       ""},
    {"revert-seq",         "revert",      "",       false, 0,       ""},
    {"bisect",             "bisect",      "",       false, 0,       ""},
    {"am",                 "am",          "",       false, 0,       ""},
    // A fetch that failed: git left an empty FETCH_HEAD.
    {"fetch-failed",       "",            "",       false, 0,       ""},
    // A main copy fetched at F_MAIN and two linked worktrees, one of which
    // fetched later: all three share the remote-tracking refs it refreshed.
    {"wt-main",            "",            "",       false, F_WT,    ""},
    {"wt-rebasing",        "rebase",      "side",   false, F_WT,    ""},
    {"wt-fetched",         "",            "",       false, F_WT,    ""},
    {"wt2-main",           "",            "",       false, F_WT2,   ""},
    {"wt2-linked",         "",            "",       false, F_WT2,   ""},
    {"broken",             "",            "",       false, 0,       "fatal: "},
};
// clang-format on

class Attention : public ::testing::Test {
  protected:
    static TempDir *base_;
    static std::string root_;

    static void SetUpTestSuite() {
        base_ = new TempDir;
        root_ = base_->sub("root");
        const std::string R = root_, up = base_->sub("up.git"), seed = base_->sub("seed");
        sh("mkdir -p " + shq(R));

        // A remote with main and feature.
        sh("git init -q --bare " + shq(up));
        sh("git clone -q " + shq(up) + " " + shq(seed) + " 2>/dev/null");
        commit_file(seed, "f", "1\n", "one", T);
        git(seed, "push -q -u origin main");
        git(seed, "checkout -q -b feature");
        commit_file(seed, "g", "1\n", "feature one", T + 1);
        git(seed, "push -q -u origin feature");

        // The feature branch was merged and deleted on the remote; the
        // clone's fetch --prune took its upstream away.
        sh("git clone -q " + shq(up) + " " + shq(R + "/gone"));
        git(R + "/gone", "checkout -q feature");
        sh("git -C " + shq(up) + " branch -q -D feature");
        git(R + "/gone", "fetch -q --prune");
        fetched_at(R + "/gone/.git", F_GONE);

        sh("git clone -q " + shq(up) + " " + shq(R + "/live"));
        git(R + "/live", "fetch -q");
        fetched_at(R + "/live/.git", F_LIVE);

        // Cloned, never fetched since: git writes no FETCH_HEAD on a clone.
        sh("git clone -q " + shq(up) + " " + shq(R + "/never-fetched"));

        const std::string rc = R + "/rebase-conflict";
        diverged(rc, T + 10);
        git(rc, "checkout -q -b feature other");
        git_stops(rc, {"rebase", "main"});

        const std::string re = R + "/rebase-edit";
        sh("git init -q " + shq(re));
        commit_file(re, "f", "1\n", "one", T + 20);
        git(re, "checkout -q -b topic");
        commit_file(re, "f", "2\n", "two", T + 21);
        git_stops(re, {"rebase", "-i", "HEAD~1"},
                  {{"GIT_SEQUENCE_EDITOR", "sed -i 1s/^pick/edit/"}});

        const std::string rd = R + "/rebase-detached";
        sh("git init -q " + shq(rd));
        commit_file(rd, "f", "1\n", "one", T + 25);
        commit_file(rd, "f", "2\n", "two", T + 26);
        git(rd, "checkout -q --detach");
        git_stops(rd, {"rebase", "-i", "HEAD~1"},
                  {{"GIT_SEQUENCE_EDITOR", "sed -i 1s/^pick/edit/"}});

        diverged(R + "/merge-conflict", T + 30);
        git_stops(R + "/merge-conflict", {"merge", "-q", "other"});

        diverged(R + "/cherry-pick", T + 40);
        git_stops(R + "/cherry-pick", {"cherry-pick", "other"});

        const std::string rv = R + "/revert";
        sh("git init -q " + shq(rv));
        commit_file(rv, "f", "1\n", "one", T + 50);
        commit_file(rv, "f", "2\n", "two", T + 51);
        commit_file(rv, "f", "3\n", "three", T + 52);
        git_stops(rv, {"revert", "--no-edit", "HEAD~1"});

        // Several commits picked (reverted): the first conflicted, and its
        // resolution was committed. The marker file is gone; the rest waits
        // for --continue.
        const std::string cs = R + "/cherry-pick-seq";
        diverged(cs, T + 44);
        git(cs, "checkout -q other");
        commit_file(cs, "g", "g\n", "more", T + 47);
        git(cs, "checkout -q main");
        git_stops(cs, {"cherry-pick", "other~1", "other"});
        commit_file(cs, "f", "resolved\n", "resolved", T + 48);
        ASSERT_FALSE(path_exists(cs + "/.git/CHERRY_PICK_HEAD"));
        ASSERT_TRUE(path_exists(cs + "/.git/sequencer/todo"));

        const std::string rs = R + "/revert-seq";
        sh("git init -q " + shq(rs));
        for (int i = 1; i <= 3; i++)
            commit_file(rs, "f", std::to_string(i) + "\n", "c" + std::to_string(i), T + 53 + i);
        git_stops(rs, {"revert", "--no-edit", "HEAD~1", "HEAD"});
        commit_file(rs, "f", "resolved\n", "resolved", T + 57);
        ASSERT_FALSE(path_exists(rs + "/.git/REVERT_HEAD"));
        ASSERT_TRUE(path_exists(rs + "/.git/sequencer/todo"));

        const std::string bi = R + "/bisect";
        sh("git init -q " + shq(bi));
        for (int i = 0; i < 4; i++)
            commit_file(bi, "f", std::to_string(i) + "\n", "c" + std::to_string(i), T + 60 + i);
        git(bi, "bisect start");
        git(bi, "bisect bad");
        git(bi, "bisect good HEAD~3");

        // A patch made on `other` that does not apply on main.
        const std::string am = R + "/am";
        diverged(am, T + 70);
        sh("git -C " + shq(am) + " format-patch -q -1 other -o " + shq(base_->sub("patches")));
        git_stops(am, {"am", base_->sub("patches/0001-theirs.patch")});

        // A main copy and two linked worktrees of it.
        const std::string wm = R + "/wt-main";
        sh("git clone -q " + shq(up) + " " + shq(wm));
        git(wm, "fetch -q");
        fetched_at(wm + "/.git", F_MAIN);
        git(wm, "worktree add -q -b side " + shq(R + "/wt-rebasing"));
        commit_file(R + "/wt-rebasing", "f", "side\n", "side", T + 80);
        git(wm, "branch -q base-change main");
        git(wm, "worktree add -q " + shq(R + "/wt-fetched") + " base-change");
        commit_file(R + "/wt-fetched", "f", "changed\n", "changed", T + 81);
        git_stops(R + "/wt-rebasing", {"rebase", "base-change"});
        git(R + "/wt-fetched", "fetch -q");
        fetched_at(wm + "/.git/worktrees/wt-fetched", F_WT);

        // A main copy that never fetched and its linked worktree that did.
        const std::string w2 = R + "/wt2-main";
        sh("git clone -q " + shq(up) + " " + shq(w2));
        git(w2, "worktree add -q -b side2 " + shq(R + "/wt2-linked"));
        git(R + "/wt2-linked", "fetch -q");
        fetched_at(w2 + "/.git/worktrees/wt2-linked", F_WT2);

        // Fetched once, then the remote went away and the next fetch failed.
        const std::string ff = R + "/fetch-failed";
        sh("git clone -q " + shq(up) + " " + shq(ff));
        git(ff, "fetch -q");
        git(ff, "remote set-url origin " + shq(base_->sub("deleted.git")));
        git_stops(ff, {"fetch", "-q"});
        ASSERT_EQ(read_file(ff + "/.git/FETCH_HEAD"), "");

        // A `.git` file that is not one: git cannot read the repository.
        write_file(R + "/broken/.git", "nonsense\n");
    }

    static void TearDownTestSuite() {
        delete base_;
        base_ = nullptr;
    }

    static CgiRequest request(const std::string &query) { return root_request(root_, query); }
    static Json document(const CgiRequest &req) { return cgi_json(req); }

    static void expect_case(const Json &r, const Case &c) {
        EXPECT_EQ(r["operation"].get<std::string>(), c.operation);
        EXPECT_EQ(r["operation_branch"].get<std::string>(), c.operation_branch);
        EXPECT_TRUE(r["upstream_gone"].is_boolean());
        EXPECT_EQ(r["upstream_gone"].get<bool>(), c.upstream_gone);
        EXPECT_TRUE(r["fetched_at"].is_number());
        EXPECT_EQ(r["fetched_at"].get<long long>(), c.fetched_at);
        EXPECT_EQ(r["error"].get<std::string>().substr(0, c.error_start.size()), c.error_start);
        EXPECT_EQ(r["error"].get<std::string>().empty(), c.error_start.empty())
            << r["error"].get<std::string>();
    }
};

TempDir *Attention::base_ = nullptr;
std::string Attention::root_;

TEST_F(Attention, ListingAndDetailTellEachState) {
    Json j = document(request("action=repos"));
    const Json &repos = j["repos"];
    const size_t n = sizeof kCases / sizeof kCases[0];
    ASSERT_EQ(repos.size(), n);
    std::map<std::string, const Json *> by_name;
    for (size_t i = 0; i < repos.size(); i++)
        by_name[repos[i]["name"].get<std::string>()] = &repos[i];

    int gone = 0, in_progress = 0;
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.rel);
        ASSERT_EQ(by_name.count(c.rel), 1u);
        expect_case(*by_name[c.rel], c);
        gone += c.upstream_gone;
        in_progress += !c.operation.empty();

        Json d = document(request("action=repo&path=" + url_encode(root_ + "/" + c.rel)));
        expect_case(d["repo"], c);
    }
    EXPECT_EQ(j["summary"]["gone"].get<long long>(), gone);
    EXPECT_EQ(j["summary"]["in_progress"].get<long long>(), in_progress);

    // The pruned upstream is still named; the status is what git says.
    const Json &g = *by_name["gone"];
    EXPECT_EQ(g["branch"].get<std::string>(), "feature");
    EXPECT_EQ(g["upstream"].get<std::string>(), "origin/feature");
    EXPECT_FALSE(g["no_upstream"].get<bool>());
    EXPECT_EQ((*by_name["rebase-conflict"])["conflicted"].get<long long>(), 1);
    EXPECT_EQ((*by_name["rebase-conflict"])["branch"].get<std::string>(), "detached");
}

// The default order: what git could not read, then an operation in
// progress, then the rest as before (dirty first, then the newest commit).
TEST_F(Attention, WhatNeedsTheUserComesFirst) {
    Json j = document(request("action=repos"));
    const Json &repos = j["repos"];
    ASSERT_EQ(repos.size(), sizeof kCases / sizeof kCases[0]);
    EXPECT_EQ(repos[0]["name"].get<std::string>(), "broken");
    size_t i = 1;
    while (i < repos.size() && !repos[i]["operation"].get<std::string>().empty()) i++;
    int operations = 0;
    for (const Case &c : kCases) operations += !c.operation.empty();
    EXPECT_EQ(i, 1u + (size_t)operations) << "every operation right after the error";
    for (; i < repos.size(); i++) {
        EXPECT_EQ(repos[i]["operation"].get<std::string>(), "")
            << repos[i]["name"].get<std::string>();
        EXPECT_EQ(repos[i]["error"].get<std::string>(), "") << repos[i]["name"].get<std::string>();
    }
}

// Reading the git folder costs no git command: per repository the status and
// the last commit, and nothing after a status that failed.
TEST_F(Attention, NoFurtherGitCommand) {
    TempDir t;
    const std::string log = logging_git(t.sub("bin"));
    CgiRequest req = request("action=repos");
    req.path_prefix = t.sub("bin");
    document(req);
    std::map<std::string, int> runs; // per repository
    std::string text = read_file(log);
    for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
        std::string line = text.substr(at, nl - at);
        if (line == "--version") continue;
        // The branches' own questions (the unpushed commits) are counted
        // where they are tested.
        if (line.find(" rev-list ") != std::string::npos ||
            line.find(" config --list ") != std::string::npos)
            continue;
        ASSERT_EQ(line.substr(0, 3), "-C ") << line;
        size_t cmd = line.find(" status ") != std::string::npos ? line.find(" status ")
                                                                : line.find(" log -1 ");
        ASSERT_NE(cmd, std::string::npos) << "unexpected run: " << line;
        runs[line.substr(3, cmd - 3)]++;
    }
    // The status alone: the last commit is read from the object store.
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.rel);
        EXPECT_EQ(runs[root_ + "/" + c.rel], 1);
    }
}

} // namespace
