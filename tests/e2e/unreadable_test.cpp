// Repositories that git cannot read, made for real: each is listed with its
// error and zero status (never as a clean repository), its detail lists no
// changes and no commits, and git answers for the folder that was listed,
// never for a repository above it.
#include "harness.h"

#include <gtest/gtest.h>

#include <ostream>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Replaces every "{dir}" in `text` with `dir` and every "{limit}" with the
// git deadline the test runs the program with.
std::string with_dir(std::string text, const std::string &dir) {
    for (size_t at; (at = text.find("{dir}")) != std::string::npos;) text.replace(at, 5, dir);
    const std::string limit = std::to_string(git_limits().run_s);
    for (size_t at; (at = text.find("{limit}")) != std::string::npos;) text.replace(at, 7, limit);
    return text;
}

// One kind of damage, done to a fresh repository `dir` (with a commit). It
// may change the request (a fake git, no git at all) and returns a reason to
// skip the case, or "".
struct Damage {
    const char *name;
    std::string (*apply)(const std::string &dir, const TempDir &t, CgiRequest *req);
    const char *error;     // the record's error; "{dir}" stands for the repository's path
    bool every_repository; // git fails everywhere, not only in the damaged one
};

std::string take_ownership_away(const std::string &dir, const TempDir &, CgiRequest *req) {
    if (geteuid() != 0) return "changing a folder's owner needs root";
    sh("chown -R 12345:12345 " + shq(dir));
    // No configuration of the system's or the test's that could trust it.
    req->env.push_back({"GIT_CONFIG_NOSYSTEM", "1"});
    return "";
}

std::string corrupt_index(const std::string &dir, const TempDir &, CgiRequest *) {
    write_file(dir + "/.git/index", std::string(64, 'x'));
    return "";
}

std::string replace_git_dir(const std::string &dir, const std::string &with) {
    sh("rm -rf " + shq(dir + "/.git") + " && " + with);
    return "";
}

std::string fifo_git(const std::string &dir, const TempDir &, CgiRequest *) {
    return replace_git_dir(dir, "mkfifo " + shq(dir + "/.git"));
}

std::string dangling_link_git(const std::string &dir, const TempDir &t, CgiRequest *) {
    return replace_git_dir(dir, "ln -s " + shq(t.sub("nowhere")) + " " + shq(dir + "/.git"));
}

std::string empty_git_file(const std::string &dir, const TempDir &, CgiRequest *) {
    return replace_git_dir(dir, ": > " + shq(dir + "/.git"));
}

std::string empty_git_folder(const std::string &dir, const TempDir &, CgiRequest *) {
    return replace_git_dir(dir, "mkdir " + shq(dir + "/.git"));
}

// A .git its owner cannot read. Root reads every folder, so a test run as
// root (as in CI) runs the program as an ordinary user (nobody's ids) who
// owns the whole fixture, a home of its own included.
std::string unreadable_git(const std::string &dir, const TempDir &t, CgiRequest *req) {
    if (geteuid() == 0) {
        const std::string home = t.sub("home");
        sh("mkdir -p " + shq(home) + " && chown -R 65534:65534 " + shq(t.path()));
        req->user = "65534:65534";
        req->env.push_back({"HOME", home});
    }
    EXPECT_EQ(chmod((dir + "/.git").c_str(), 0), 0);
    return "";
}

// A git that never answers in the damaged repository, and is the real git
// elsewhere. It records each command it is asked for there.
std::string hanging_git(const std::string &dir, const TempDir &t, CgiRequest *req) {
    std::string real_git = sh("command -v git");
    real_git.pop_back();
    write_file(t.sub("bin/git"),
               "#!/bin/sh\n"
               "if [ \"$2\" = " +
                   shq(dir) + " ]; then echo \"$3\" >> " + shq(t.sub("hung")) +
                   "; exec sleep 600; fi\n"
                   "exec " +
                   shq(real_git) + " \"$@\"\n",
               0755);
    req->path_prefix = t.sub("bin");
    use_git_limits(req);
    return "";
}

std::string no_git(const std::string &, const TempDir &t, CgiRequest *req) {
    req->path_override = t.sub("empty-bin");
    sh("mkdir -p " + shq(req->path_override));
    return "";
}

const char NOT_A_REPOSITORY[] =
    "fatal: not a git repository (or any of the parent directories): .git";

const Damage DAMAGES[] = {
    {"ownership", take_ownership_away, "fatal: detected dubious ownership in repository at '{dir}'",
     false},
    {"corrupt_index", corrupt_index, "fatal: index file corrupt", false},
    {"fifo_git", fifo_git, NOT_A_REPOSITORY, false},
    {"dangling_link_git", dangling_link_git, NOT_A_REPOSITORY, false},
    {"empty_git_file", empty_git_file, "fatal: invalid gitfile format: {dir}/.git", false},
    {"empty_git_folder", empty_git_folder, NOT_A_REPOSITORY, false},
    {"unreadable_git", unreadable_git, NOT_A_REPOSITORY, false},
    {"hanging_git", hanging_git, "git did not answer within {limit} s", false},
    {"git_missing", no_git, "git could not be started", true},
};

void PrintTo(const Damage &d, std::ostream *os) {
    *os << d.name;
}

class Unreadable : public ::testing::TestWithParam<Damage> {};

// What a repository git could not read looks like: its error, and nothing
// that could pass for a clean repository's status.
void expect_unreadable(const Json &repo, const std::string &error) {
    EXPECT_EQ(repo["error"].get<std::string>(), error);
    EXPECT_EQ(repo["branch"].get<std::string>(), "");
    for (const char *n : {"ahead", "behind", "dirty", "untracked", "staged", "conflicted", "stash"})
        EXPECT_EQ(repo[n].get<long long>(), 0) << n;
    for (const char *f : {"detached", "no_upstream", "unborn"})
        EXPECT_FALSE(repo[f].get<bool>()) << f;
    EXPECT_EQ(repo["last_commit"]["hash"].get<std::string>(), "");
    EXPECT_EQ(repo["last_commit"]["ct"].get<long long>(), 0);
}

TEST_P(Unreadable, ListedWithItsErrorAndNoStatus) {
    const Damage &d = GetParam();
    TempDir t;
    const std::string root = t.sub("root"), dir = root + "/broken", good = root + "/good";
    for (const std::string &r : {dir, good}) {
        sh("git init -q " + shq(r));
        write_file(r + "/f", "x\n");
        git(r, "add f");
        commit_at(r, "one", 1700000000);
        write_file(r + "/untracked", "x\n"); // dirty: a failure must not read as clean
    }
    CgiRequest req;
    req.query = "action=repos";
    req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root}};
    std::string skip = d.apply(dir, t, &req);
    if (!skip.empty()) GTEST_SKIP() << skip;
    const std::string error = with_dir(d.error, dir);

    CgiResult r = run_cgi_ok(req);
    std::string err;
    Json doc = parse_json(r.body, &err);
    ASSERT_EQ(err, "") << r.body;
    ASSERT_EQ(doc["count"].get<long long>(), 2) << r.body;
    EXPECT_EQ(doc["summary"]["errors"].get<long long>(), d.every_repository ? 2 : 1);
    EXPECT_EQ(doc["summary"]["dirty"].get<long long>(), d.every_repository ? 0 : 1);
    for (size_t i = 0; i < 2; ++i) {
        const Json &repo = doc["repos"][i];
        SCOPED_TRACE(repo["path"].get<std::string>());
        if (repo["path"].get<std::string>() == dir || d.every_repository) {
            expect_unreadable(repo, error);
        } else {
            EXPECT_EQ(repo["error"].get<std::string>(), "");
            EXPECT_EQ(repo["branch"].get<std::string>(), "main");
            EXPECT_EQ(repo["untracked"].get<long long>(), 1);
        }
    }

    // The detail: the record with its error, and none of git's error text
    // taken for changed files or commits.
    req.query = "action=repo&path=" + url_encode(dir);
    r = run_cgi_ok(req);
    doc = parse_json(r.body, &err);
    ASSERT_EQ(err, "") << r.body;
    EXPECT_TRUE(doc["ok"].get<bool>());
    expect_unreadable(doc["repo"], error);
    EXPECT_EQ(doc["changed"].size(), 0u) << r.body;
    EXPECT_EQ(doc["changed_count"].get<long long>(), 0);
    EXPECT_FALSE(doc["changed_truncated"].get<bool>());
    EXPECT_EQ(doc["commits"].size(), 0u);

    // A git that hung was asked once per request: after the first command
    // stopped at its limit, no other ran there.
    if (d.apply == hanging_git) {
        EXPECT_EQ(read_file(t.sub("hung")), "status\nstatus\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Damaged, Unreadable, ::testing::ValuesIn(DAMAGES),
                         [](const ::testing::TestParamInfo<Damage> &i) {
                             return std::string(i.param.name);
                         });

// A folder whose ".git" is broken, inside a repository higher up (a home
// folder kept under git): git answers for the folder itself, so it shows
// git's error, not the enclosing repository's branch and changes, and a
// fetch there never fetches in the enclosing repository.
TEST(Unreadable, BrokenFolderInsideARepositoryIsNotAnsweredForByIt) {
    TempDir t;
    const std::string home = t.sub("home"), root = home + "/code", dir = root + "/proj";
    const std::string remote = t.sub("remote.git");
    sh("git init -q " + shq(home));
    write_file(home + "/notes.txt", "x\n");
    git(home, "add notes.txt");
    commit_at(home, "home", 1700000000);
    write_file(home + "/new.txt", "untracked\n");
    sh("git clone -q --bare " + shq(home) + " " + shq(remote));
    git(home, "remote add origin " + shq(remote));
    git(home, "fetch -q origin");
    // A commit that only the remote has: a fetch in the enclosing repository
    // would move its origin/main.
    sh("git clone -q " + shq(remote) + " " + shq(t.sub("other")));
    commit_at(t.sub("other"), "only on the remote", 1700000100);
    git(t.sub("other"), "push -q origin main");
    const std::string tracking = git_out(home, "rev-parse refs/remotes/origin/main");
    sh("mkdir -p " + shq(dir + "/.git"));
    write_file(dir + "/src.c", "int x;\n");

    CgiRequest req;
    req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root}, {"QUARLO_ALLOW_FETCH", "1"}};
    req.query = "action=repos";
    Json doc = parse_json(run_cgi_ok(req).body);
    ASSERT_EQ(doc["count"].get<long long>(), 1);
    expect_unreadable(doc["repos"][0], NOT_A_REPOSITORY);

    req.query = "action=repo&path=" + url_encode(dir);
    doc = parse_json(run_cgi_ok(req).body);
    expect_unreadable(doc["repo"], NOT_A_REPOSITORY);
    EXPECT_EQ(doc["changed"].size(), 0u);
    EXPECT_EQ(doc["commits"].size(), 0u);

    req.query = "action=fetch&path=" + url_encode(dir);
    req.method = "POST";
    doc = parse_json(run_cgi_ok(req).body);
    EXPECT_FALSE(doc["ok"].get<bool>());
    EXPECT_EQ(doc["exit"].get<long long>(), 128);
    EXPECT_EQ(doc["error"].get<std::string>(), NOT_A_REPOSITORY);
    EXPECT_EQ(doc["branch"].get<std::string>(), "");
    EXPECT_EQ(git_out(home, "rev-parse refs/remotes/origin/main"), tracking)
        << "the enclosing repository was fetched";
}

} // namespace
