// Work that exists only on this machine, on every branch: commits no
// remote-tracking branch holds, branches whose upstream is gone, and
// repositories without a remote. One tree of real repositories, each left in
// one such state by git itself, checked in the listing, `quarlo status
// --json` and the detail against what git itself answers; the git commands
// the listing runs for it; the terminal's tags, --only-here and
// --exit-code.
#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

const long long T = 1700000000;

using Env = std::vector<std::pair<std::string, std::string>>;

int count_of(const std::string &dir, const std::string &args) {
    return std::stoi(trimmed(git_out(dir, "rev-list --count " + args)));
}

// What one working copy must show; `git_runs` is 1 where the listing must
// ask git for the history (some branch tip is on no remote-tracking branch)
// or for the refs (a config form left to git).
struct Case {
    std::string rel;
    int unpushed, unpushed_branches, gone_branches;
    bool no_remote;
    int git_runs;    // commands beyond the status
    const char *tag; // what the terminal's state cell tells of it: the step, or a fact after it
};

// clang-format off
const Case kCases[] = {
    // rel              unpushed branches gone  no_remote runs  tag
    {"never-pushed",    3,       1,       0,    false,    1,    "Push 3 commits"},
    {"ahead",           2,       1,       0,    false,    1,    "Push 2 commits"},
    {"gone",            0,       0,       2,    false,    0,    "2 gone branches"},
    {"other-branch",    0,       0,       0,    false,    0,    "Push 1 commit"},
    {"no-remote",       3,       2,       0,    true,     1,    "No remote: everything is only here"},
    {"never-fetched",   1,       1,       0,    true,     1,    "No remote: everything is only here"},
    {"wt-main",         1,       1,       0,    false,    1,    "Push 1 commit"},
    {"wt-linked",       1,       1,       0,    false,    1,    "Push 1 commit"},
    {"packed",          2,       2,       0,    false,    1,    "Push 2 commits (2 branches)"},
    {"origin-main",     1,       1,       0,    false,    1,    "Push 1 commit"},
    {"local-upstream",  0,       0,       1,    false,    0,    "Upstream deleted: switch branch or delete dev"},
    {"config-include",  0,       0,       1,    false,    1,    "Upstream deleted: switch branch or delete feat"},
    {"in-sync",         0,       0,       0,    false,    0,    "Never fetched"},
};
// clang-format on

class Unpushed : public ::testing::Test {
  protected:
    static TempDir *base_;
    static std::string root_;

    static std::string at(const std::string &rel) { return root_ + "/" + rel; }

    // A bare remote of its own for `name`, holding main's one commit.
    static std::string remote_for(const std::string &name) {
        std::string bare = base_->sub(name + ".git");
        sh("git clone -q --bare " + shq(base_->sub("up.git")) + " " + shq(bare));
        return bare;
    }

    static std::string clone(const std::string &rel, const std::string &remote = "") {
        std::string dir = at(rel);
        sh("git clone -q " + shq(remote.empty() ? base_->sub("up.git") : remote) + " " + shq(dir));
        return dir;
    }

    static void SetUpTestSuite() {
        base_ = new TempDir;
        root_ = base_->sub("root");
        sh("mkdir -p " + shq(root_));
        const std::string up = base_->sub("up.git"), seed = base_->sub("seed");
        sh("git init -q --bare " + shq(up));
        sh("git clone -q " + shq(up) + " " + shq(seed) + " 2>/dev/null");
        commit_at(seed, "one", T);
        git(seed, "push -q -u origin main");
        long long when = T + 100;

        // A branch never pushed, not the one checked out.
        std::string d = clone("never-pushed");
        git(d, "checkout -q -b topic");
        for (int i = 0; i < 3; i++) commit_at(d, "topic " + std::to_string(i), when++);
        git(d, "checkout -q main");

        // A branch pushed once, then two more commits.
        d = clone("ahead", remote_for("ahead"));
        git(d, "checkout -q -b feature");
        commit_at(d, "feature one", when++);
        git(d, "push -q -u origin feature");
        commit_at(d, "feature two", when++);
        commit_at(d, "feature three", when++);
        git(d, "checkout -q main");

        // Two branches pushed, deleted on the remote and pruned; one of
        // them checked out.
        d = clone("gone", remote_for("gone"));
        for (const char *b : {"old1", "old2"}) {
            git(d, std::string("checkout -q -b ") + b + " main");
            git(d, std::string("push -q -u origin ") + b);
            git(base_->sub("gone.git"), std::string("branch -q -D ") + b);
        }
        git(d, "fetch -q --prune");

        // Pushed to another branch than its upstream: ahead of it, yet on
        // a remote-tracking branch.
        d = clone("other-branch", remote_for("other-branch"));
        git(d, "checkout -q -b work");
        git(d, "push -q -u origin work");
        commit_at(d, "work elsewhere", when++);
        git(d, "push -q origin work:elsewhere");

        d = at("no-remote");
        sh("git init -q " + shq(d));
        commit_at(d, "first", when++);
        commit_at(d, "second", when++);
        git(d, "checkout -q -b side");
        commit_at(d, "side", when++);
        git(d, "checkout -q main");

        // A remote added, never fetched: no remote-tracking branch.
        d = at("never-fetched");
        sh("git init -q " + shq(d));
        commit_at(d, "alone", when++);
        git(d, "remote add origin " + shq(up));

        // A linked worktree on another branch: the branches are the common
        // folder's, the same for both.
        d = clone("wt-main");
        git(d, "worktree add -q -b side " + shq(at("wt-linked")));
        commit_at(at("wt-linked"), "side work", when++);

        // Packed refs, and a loose ref that wins over its packed one.
        d = clone("packed");
        git(d, "checkout -q -b topic");
        commit_at(d, "packed topic", when++);
        git(d, "checkout -q main");
        git(d, "pack-refs --all");
        commit_at(d, "loose main", when++);

        // A local branch named like a remote-tracking one.
        d = clone("origin-main");
        git(d, "checkout -q -b origin/main");
        commit_at(d, "named like a remote ref", when++);
        git(d, "checkout -q main");

        // An upstream that is a local branch (remote "."), deleted.
        d = clone("local-upstream");
        git(d, "checkout -q -b dev --track main");
        git(d, "branch -q -D main");

        // The upstream named in an included config file: left to git.
        d = clone("config-include");
        git(d, "checkout -q -b feat");
        write_file(d + "/.git/extra.config",
                   "[branch \"feat\"]\n\tremote = origin\n\tmerge = refs/heads/nowhere\n");
        git(d, "config include.path extra.config");

        clone("in-sync");
    }

    static void TearDownTestSuite() {
        delete base_;
        base_ = nullptr;
    }

    static CgiRequest request(const std::string &query) { return root_request(root_, query); }
    static Json document(const CgiRequest &req) { return cgi_json(req); }

    static ProcResult terminal(const std::vector<std::string> &args, const std::string &root) {
        std::vector<std::string> argv = {quarlo_bin()};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(root);
        Env env = git_env();
        env.push_back({"COLUMNS", ""});
        env.push_back({"NO_COLOR", "1"});
        return run_process(argv, "", env);
    }

    static std::map<std::string, Json> by_name(const Json &doc) {
        std::map<std::string, Json> m;
        for (size_t i = 0; i < doc["repos"].size(); i++)
            m[doc["repos"][i]["name"].get<std::string>()] = doc["repos"][i];
        return m;
    }

    // The figures as git itself tells them.
    static void expect_as_git_tells(const Json &r, const std::string &dir) {
        std::vector<std::string> heads =
            lines_of(git_argv(dir, {"for-each-ref", "--format=%(refname)", "refs/heads"}));
        int branches = 0, gone = 0;
        for (const std::string &h : heads) branches += count_of(dir, h + " --not --remotes") > 0;
        for (const std::string &t :
             lines_of(git_argv(dir, {"for-each-ref", "--format=%(upstream:track)", "refs/heads"})))
            gone += t == "[gone]";
        EXPECT_EQ(r["unpushed"].get<long long>(), count_of(dir, "--branches --not --remotes"));
        EXPECT_EQ(r["unpushed_branches"].get<long long>(), branches);
        EXPECT_EQ(r["gone_branches"].get<long long>(), gone);
        EXPECT_EQ(r["no_remote"].get<bool>(),
                  trimmed(git_out(dir, "for-each-ref refs/remotes")).empty());
    }

    static void expect_case(const Json &r, const Case &c) {
        EXPECT_EQ(r["error"].get<std::string>(), "");
        EXPECT_EQ(r["unpushed"].get<long long>(), c.unpushed);
        EXPECT_EQ(r["unpushed_branches"].get<long long>(), c.unpushed_branches);
        EXPECT_EQ(r["gone_branches"].get<long long>(), c.gone_branches);
        EXPECT_TRUE(r["no_remote"].is_boolean());
        EXPECT_EQ(r["no_remote"].get<bool>(), c.no_remote);
        // The members follow fetched_at, in this order.
        std::vector<std::string> keys = keys_of(r);
        auto at_fetched = std::find(keys.begin(), keys.end(), "fetched_at");
        ASSERT_GE(keys.end() - at_fetched, 5);
        EXPECT_EQ(std::vector<std::string>(at_fetched, at_fetched + 5),
                  (std::vector<std::string>{"fetched_at", "unpushed", "unpushed_branches",
                                            "gone_branches", "no_remote"}));
        expect_as_git_tells(r, at(c.rel));
    }
};

TempDir *Unpushed::base_ = nullptr;
std::string Unpushed::root_;

TEST_F(Unpushed, ListingStatusJsonAndDetailTellWhatGitTells) {
    Json listing = document(request("action=repos"));
    ProcResult st = terminal({"status", "--json"}, root_);
    EXPECT_EQ(st.exit_status, 0) << st.err;
    Json status = parse_json(st.out);
    auto listed = by_name(listing), told = by_name(status);
    const size_t n = sizeof kCases / sizeof kCases[0];
    ASSERT_EQ(listed.size(), n);
    ASSERT_EQ(told.size(), n);
    int unpushed = 0, no_remote = 0;
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.rel);
        ASSERT_EQ(listed.count(c.rel), 1u);
        expect_case(listed[c.rel], c);
        expect_case(told[c.rel], c);
        Json d = document(request("action=repo&path=" + url_encode(at(c.rel))));
        expect_case(d["repo"], c);
        unpushed += c.unpushed > 0 && !c.no_remote;
        no_remote += c.no_remote;
    }
    for (const Json *doc : {&listing, &status}) {
        const Json &s = (*doc)["summary"];
        EXPECT_EQ(s["unpushed"].get<long long>(), unpushed);
        EXPECT_EQ(s["no_remote"].get<long long>(), no_remote);
        std::vector<std::string> keys = keys_of(s);
        auto at = std::find(keys.begin(), keys.end(), "in_progress");
        ASSERT_GE(keys.end() - at, 3);
        EXPECT_EQ(std::vector<std::string>(at, at + 3),
                  (std::vector<std::string>{"in_progress", "unpushed", "no_remote"}));
    }
}

// Each branch of the detail as `git for-each-ref` and `git rev-list` tell
// it: the checked-out branch first, then the newest last commit first.
TEST_F(Unpushed, DetailBranchesAreWhatGitTells) {
    const std::string FORMAT = "--format=%(HEAD)%00%(refname:strip=2)%00%(upstream:short)%00"
                               "%(upstream:track)%00%(objectname)%00%(committerdate:unix)%00"
                               "%(subject)";
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.rel);
        const std::string dir = at(c.rel);
        Json d = document(request("action=repo&path=" + url_encode(dir)));
        ASSERT_EQ(keys_of(d).back(), "branches");
        const Json &branches = d["branches"];
        std::vector<std::vector<std::string>> rows;
        for (const std::string &line :
             lines_of(git_argv(dir, {"for-each-ref", FORMAT, "refs/heads"}))) {
            std::vector<std::string> f;
            size_t s = 0;
            for (size_t z; (z = line.find('\0', s)) != std::string::npos; s = z + 1)
                f.push_back(line.substr(s, z - s));
            f.push_back(line.substr(s));
            rows.push_back(f);
        }
        std::stable_sort(rows.begin(), rows.end(), [](const auto &a, const auto &b) {
            if (a[0] != b[0]) return a[0] == "*";
            return std::stoll(a[5]) > std::stoll(b[5]);
        });
        ASSERT_EQ(branches.size(), rows.size());
        for (size_t i = 0; i < rows.size(); i++) {
            const Json &b = branches[i];
            const auto &f = rows[i];
            SCOPED_TRACE(f[1]);
            EXPECT_EQ(b["name"].get<std::string>(), f[1]);
            EXPECT_EQ(b["upstream"].get<std::string>(), f[2]);
            int ahead = 0, behind = 0;
            sscanf(f[3].c_str(), "[ahead %d, behind %d]", &ahead, &behind);
            sscanf(f[3].c_str(), "[behind %d]", &behind);
            EXPECT_EQ(b["ahead"].get<long long>(), ahead);
            EXPECT_EQ(b["behind"].get<long long>(), behind);
            EXPECT_EQ(b["gone"].get<bool>(), f[3] == "[gone]");
            EXPECT_EQ(b["unpushed"].get<long long>(),
                      count_of(dir, "refs/heads/" + f[1] + " --not --remotes"));
            EXPECT_EQ(b["last_commit"]["hash"].get<std::string>(), f[4]);
            EXPECT_EQ(b["last_commit"]["ct"].get<long long>(), std::stoll(f[5]));
            EXPECT_EQ(b["last_commit"]["subject"].get<std::string>(), f[6]);
        }
    }
    // The checked-out branch of each worktree comes first.
    Json linked = document(request("action=repo&path=" + url_encode(at("wt-linked"))));
    EXPECT_EQ(linked["branches"][0]["name"].get<std::string>(), "side");
    EXPECT_EQ(linked["branches"][0]["unpushed"].get<long long>(), 1);
    Json other = document(request("action=repo&path=" + url_encode(at("other-branch"))));
    EXPECT_EQ(other["branches"][0]["ahead"].get<long long>(), 1);
    EXPECT_EQ(other["branches"][0]["unpushed"].get<long long>(), 0);
}

// The listing reads the refs and the upstreams from the git folder: git is
// asked for the history only where some branch's tip is on no
// remote-tracking branch, and for the refs only where the config is of a
// form left to it.
TEST_F(Unpushed, GitIsAskedOnlyWhereNeeded) {
    TempDir t;
    const std::string log = logging_git(t.sub("bin"));
    CgiRequest req = request("action=repos");
    req.path_prefix = t.sub("bin");
    document(req);
    std::map<std::string, int> extra; // per repository, beyond the status
    int config_list = 0;
    for (const std::string &line : lines_of(read_file(log))) {
        if (line == "--version" || line.rfind("rev-parse --local-env-vars", 0) == 0) continue;
        if (line.find(" config --list ") != std::string::npos) {
            config_list++;
            continue;
        }
        ASSERT_EQ(line.substr(0, 3), "-C ") << line;
        size_t sp = line.find(' ', 3 + root_.size());
        std::string rel = line.substr(3 + root_.size() + 1, sp - 3 - root_.size() - 1);
        std::string cmd = line.substr(sp + 1);
        // The status, and the last commit where the object store is not read
        // (a config with includes), are the record's own.
        if (cmd.rfind("status ", 0) == 0 || cmd.rfind("log -1 ", 0) == 0) continue;
        EXPECT_TRUE(cmd.rfind("rev-list ", 0) == 0 || cmd.rfind("for-each-ref ", 0) == 0) << line;
        extra[rel]++;
    }
    EXPECT_EQ(config_list, 1) << "the config outside any repository, once";
    for (const Case &c : kCases) EXPECT_EQ(extra[c.rel], c.git_runs) << c.rel;
}

// A user's config that may name a branch's upstream (here through an
// include with a condition) leaves every repository's refs to git: the same
// figures, from `git for-each-ref` in each.
TEST_F(Unpushed, UserConfigNamingBranchesIsLeftToGit) {
    TempDir home, bin;
    write_file(home.sub(".gitconfig"), "[includeIf \"gitdir:/nowhere/\"]\n\tpath = ~/more.inc\n");
    write_file(home.sub("more.inc"), "[branch \"elsewhere\"]\n\tdescription = not here\n");
    const std::string log = logging_git(bin.path());
    CgiRequest req = request("action=repos");
    req.env.push_back({"HOME", home.path()});
    req.path_prefix = bin.path();
    auto listed = by_name(document(req));
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.rel);
        expect_case(listed[c.rel], c);
    }
    int asked = 0;
    for (const std::string &line : lines_of(read_file(log)))
        asked += line.find(" for-each-ref ") != std::string::npos;
    EXPECT_EQ(asked, (int)(sizeof kCases / sizeof kCases[0]));
}

TEST_F(Unpushed, TerminalTagsOnlyHereAndExitCode) {
    ProcResult st = terminal({"status"}, root_);
    EXPECT_EQ(st.exit_status, 0) << "without --exit-code the status stays 0";
    for (const Case &c : kCases) {
        std::string line;
        for (const std::string &l : lines_of(st.out))
            if (l.rfind(c.rel + "  ", 0) == 0) line = l;
        EXPECT_NE(line.find(c.tag), std::string::npos) << c.rel << ": " << line;
    }
    EXPECT_NE(st.out.find("6 with unpushed commits, 2 without a remote"), std::string::npos)
        << st.out;

    // Only the repositories holding work only here, with what that is.
    ProcResult here = terminal({"status", "--only-here"}, root_);
    EXPECT_EQ(here.exit_status, 0);
    std::vector<std::string> names;
    for (const std::string &l : lines_of(here.out))
        if (!l.empty() && l.find("repositor") == std::string::npos)
            names.push_back(l.substr(0, l.find(' ')));
    std::sort(names.begin(), names.end());
    std::vector<std::string> want;
    for (const Case &c : kCases)
        if (c.unpushed > 0 || c.no_remote) want.push_back(c.rel);
    std::sort(want.begin(), want.end());
    EXPECT_EQ(names, want) << here.out;

    EXPECT_EQ(terminal({"status", "--exit-code"}, root_).exit_status, 1);
    EXPECT_EQ(terminal({"status", "--exit-code", "--only-here"}, root_).exit_status, 1);

    // Everything pushed and clean: 0.
    TempDir clean;
    sh("git clone -q " + shq(base_->sub("up.git")) + " " + shq(clean.sub("a")));
    sh("git clone -q " + shq(base_->sub("up.git")) + " " + shq(clean.sub("b")));
    ProcResult ok = terminal({"status", "--exit-code"}, clean.path());
    EXPECT_EQ(ok.exit_status, 0) << ok.out;
    ProcResult none = terminal({"status", "--only-here"}, clean.path());
    EXPECT_NE(none.out.find("0 repositories"), std::string::npos) << none.out;
    // A repository git cannot read may hold anything: it is not left out.
    sh("mkdir -p " + shq(clean.sub("c/.git")));
    ProcResult unknown = terminal({"status", "--only-here"}, clean.path());
    EXPECT_EQ(unknown.out.rfind("c ", 0), 0u) << unknown.out;
    EXPECT_NE(unknown.out.find("Unreadable: "), std::string::npos) << unknown.out;
    EXPECT_NE(unknown.out.find("1 repository"), std::string::npos) << unknown.out;
}

// `quarlo show` ends with the branch table: the checked-out branch marked,
// each with its upstream, how it stands, its unpushed commits.
TEST_F(Unpushed, ShowPrintsTheBranchTable) {
    struct {
        const char *rel;
        std::vector<std::string> rows; // each row's start, blanks squeezed
    } cases[] = {
        {"ahead",
         {"* main origin/main in sync ", "  feature origin/feature \xe2\x86\x91"
                                         "2 2 unpushed "}},
        {"gone",
         {"* old2 origin/old2 upstream gone ", "  main origin/main in sync ",
          "  old1 origin/old1 upstream gone "}},
        {"no-remote", {"* main 2 unpushed ", "  side 3 unpushed "}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rel);
        Env env = git_env();
        env.push_back({"COLUMNS", ""});
        env.push_back({"NO_COLOR", "1"});
        env.push_back({"QUARLO_ONLY_ROOTS", "1"});
        env.push_back({"QUARLO_ROOTS", root_});
        ProcResult p = run_process({quarlo_bin(), "show", at(c.rel)}, "", env);
        EXPECT_EQ(p.exit_status, 0) << p.err;
        std::vector<std::string> lines = lines_of(p.out);
        auto head = std::find(lines.begin(), lines.end(),
                              "branches (" + std::to_string(c.rows.size()) + ")");
        ASSERT_NE(head, lines.end()) << p.out;
        ASSERT_GE((size_t)(lines.end() - head), c.rows.size() + 1) << p.out;
        for (size_t i = 0; i < c.rows.size(); i++) {
            std::string squeezed, line = head[(long)i + 1];
            for (size_t k = 0; k < line.size(); k++)
                if (!(k >= 2 && line[k] == ' ' && line[k - 1] == ' ')) squeezed += line[k];
            EXPECT_EQ(squeezed.substr(0, c.rows[i].size()), c.rows[i]) << line;
        }
    }
}

} // namespace
