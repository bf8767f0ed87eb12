// Only git's answer is data: what it writes on standard error (warnings,
// hints, traces), the environment the program was started with, and the
// bytes of odd file names never change what a repository is shown as.
#include "harness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

CgiRequest request_for(const std::string &root, const std::string &query) {
    CgiRequest req;
    req.query = query;
    req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root}};
    return req;
}

Json answer(const CgiRequest &req) {
    CgiResult r = run_cgi_ok(req);
    std::string err;
    Json doc = parse_json(r.body, &err);
    EXPECT_EQ(err, "") << r.out;
    return doc;
}

const Json *repo_named(const Json &doc, const std::string &name) {
    for (size_t i = 0; i < doc["repos"].size(); ++i)
        if (doc["repos"][i]["name"].get<std::string>() == name) return &doc["repos"][i];
    return nullptr;
}

// A repository with one commit whose subject is `subject`; returns its hash.
std::string committed_repo(const std::string &dir, const std::string &subject) {
    sh("git init -q " + shq(dir));
    write_file(dir + "/f", subject + "\n");
    git(dir, "add f");
    commit_at(dir, subject, 1700000000);
    return trimmed(git_out(dir, "rev-parse HEAD"));
}

// Repositories that git reads well but talks about on standard error: each
// is listed with its own commit, clean and without an error, and its detail
// lists nothing changed and its commit.
TEST(GitAnswer, WarningsAndTracesAreNotData) {
    TempDir t;
    const std::string root = t.sub("root");
    struct Repo {
        std::string name, hash;
    };
    std::vector<Repo> repos;

    // A branch named HEAD: git warns that "HEAD" is ambiguous.
    repos.push_back({"head-branch", committed_repo(root + "/head-branch", "with a HEAD branch")});
    git(root + "/head-branch", "update-ref refs/heads/HEAD HEAD");
    // A stale alternates entry: git says the object folder is missing.
    repos.push_back({"alternates", committed_repo(root + "/alternates", "stale alternates")});
    write_file(root + "/alternates/.git/objects/info/alternates", t.sub("gone/objects") + "\n");
    // A legacy grafts file: git hints that it is deprecated.
    repos.push_back({"grafts", committed_repo(root + "/grafts", "grafted")});
    write_file(root + "/grafts/.git/info/grafts", repos.back().hash + "\n");
    // A plain one, read under GIT_TRACE below.
    repos.push_back({"plain", committed_repo(root + "/plain", "plain")});

    // git does talk about them on standard error, and answers.
    for (const char *name : {"head-branch", "alternates", "grafts"}) {
        SCOPED_TRACE(name);
        ProcResult p =
            run_process({"/bin/sh", "-c",
                         "git -C " + shq(root + "/" + name) + " log -1 >/dev/null && git -C " +
                             shq(root + "/" + name) + " status >/dev/null"},
                        "", git_env());
        EXPECT_EQ(p.exit_status, 0);
        EXPECT_NE(p.err, "");
    }

    // Trace output sent to standard output by the user's global config, in
    // each place git reads it from.
    const std::string traces = "[trace2]\n\tnormalTarget = /dev/stdout\n"
                               "\tperfTarget = /dev/stdout\n\teventTarget = /dev/stdout\n";
    write_file(t.sub("home/.gitconfig"), traces);
    write_file(t.sub("xdg/git/config"), traces);
    write_file(t.sub("global.cfg"), traces);
    sh("mkdir -p " + shq(t.sub("empty-home")));
    const std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>
        environments = {
            {"plain", {}},
            {"GIT_TRACE", {{"GIT_TRACE", "1"}}},
            {"trace2 in ~/.gitconfig", {{"HOME", t.sub("home")}}},
            {"trace2 in the XDG config",
             {{"HOME", t.sub("empty-home")}, {"XDG_CONFIG_HOME", t.sub("xdg")}}},
            {"trace2 in GIT_CONFIG_GLOBAL", {{"GIT_CONFIG_GLOBAL", t.sub("global.cfg")}}},
        };
    // git itself does write the traces there.
    ProcResult traced = run_process({"git", "-C", root + "/plain", "log", "-1", "--format=%H"}, "",
                                    {{"HOME", t.sub("home")}});
    EXPECT_NE(traced.out.find("version"), std::string::npos) << traced.out;

    for (const auto &environment : environments) {
        SCOPED_TRACE(environment.first);
        CgiRequest req = request_for(root, "action=repos");
        req.env.insert(req.env.end(), environment.second.begin(), environment.second.end());
        Json doc = answer(req);
        ASSERT_EQ(doc["count"].get<long long>(), (long long)repos.size()) << doc["repos"].size();
        for (const Repo &want : repos) {
            SCOPED_TRACE(want.name);
            const Json *got = repo_named(doc, want.name);
            ASSERT_TRUE(got);
            EXPECT_EQ(want.hash.size(), 40u);
            EXPECT_EQ((*got)["last_commit"]["hash"].get<std::string>(), want.hash);
            EXPECT_EQ((*got)["branch"].get<std::string>(), "main");
            EXPECT_EQ((*got)["dirty"].get<long long>(), 0);
            EXPECT_EQ((*got)["staged"].get<long long>(), 0);
            EXPECT_EQ((*got)["stash"].get<long long>(), 0);
            EXPECT_EQ((*got)["error"].get<std::string>(), "");

            CgiRequest detail =
                request_for(root, "action=repo&path=" + url_encode(root + "/" + want.name));
            detail.env = req.env;
            Json d = answer(detail);
            EXPECT_EQ(d["repo"]["error"].get<std::string>(), "");
            EXPECT_EQ(d["repo"]["last_commit"]["hash"].get<std::string>(), want.hash);
            EXPECT_EQ(d["repo"]["stash"].get<long long>(), 0);
            EXPECT_EQ(d["changed"].size(), 0u);
            EXPECT_EQ(d["changed_count"].get<long long>(), 0);
            ASSERT_EQ(d["commits"].size(), 1u);
            EXPECT_EQ(d["commits"][0]["hash"].get<std::string>(), want.hash);
        }
    }
}

// A repository git cannot read is still told by git's own message on
// standard error, never by a warning before it.
TEST(GitAnswer, ErrorIsGitsMessage) {
    TempDir t;
    const std::string root = t.sub("root");
    committed_repo(root + "/broken", "broken");
    write_file(root + "/broken/.git/HEAD", "ref: refs/heads/main\n");
    sh("rm -rf " + shq(root + "/broken/.git/objects"));
    Json doc = answer(request_for(root, "action=repos"));
    ASSERT_EQ(doc["count"].get<long long>(), 1);
    const std::string error = doc["repos"][0]["error"].get<std::string>();
    EXPECT_EQ(error.rfind("fatal: ", 0), 0u) << error;
}

// Variables that would point git at another repository, or at another
// index, object store or work tree, are not passed on: every repository
// answers for itself.
TEST(GitAnswer, EnvironmentCannotRedirectGit) {
    TempDir t;
    const std::string root = t.sub("root"), other = t.sub("other");
    const std::string own = committed_repo(root + "/own", "own subject");
    committed_repo(other, "other subject");
    git(other, "checkout -q -b elsewhere");
    write_file(other + "/g", "untracked\n");
    write_file(other + "/f", "changed\n");

    struct Case {
        const char *name;
        std::string value;
    } cases[] = {
        {"GIT_DIR", other + "/.git"},
        {"GIT_WORK_TREE", other},
        {"GIT_INDEX_FILE", other + "/.git/index"},
        {"GIT_OBJECT_DIRECTORY", other + "/.git/objects"},
        {"GIT_COMMON_DIR", other + "/.git"},
        {"GIT_ALTERNATE_OBJECT_DIRECTORIES", t.sub("gone")},
        {"GIT_CONFIG_PARAMETERS", "'status.showUntrackedFiles'='no'"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CgiRequest req = request_for(root, "action=repos");
        req.env.push_back({c.name, c.value});
        Json doc = answer(req);
        ASSERT_EQ(doc["count"].get<long long>(), 1);
        const Json &r = doc["repos"][0];
        EXPECT_EQ(r["error"].get<std::string>(), "");
        EXPECT_EQ(r["branch"].get<std::string>(), "main");
        EXPECT_EQ(r["last_commit"]["hash"].get<std::string>(), own);
        EXPECT_EQ(r["last_commit"]["subject"].get<std::string>(), "own subject");
        EXPECT_EQ(r["dirty"].get<long long>(), 0);
        EXPECT_EQ(r["untracked"].get<long long>(), 0);
    }
}

// The forced core.fsmonitor=false wins over every way the environment can
// name a command for it: GIT_CONFIG_PARAMETERS (which git reads after the
// GIT_CONFIG_COUNT entries), the user's own GIT_CONFIG_COUNT entries, and a
// global config file named by GIT_CONFIG_GLOBAL.
TEST(GitAnswer, EnvironmentCannotNameAnFsmonitor) {
    TempDir t;
    const std::string root = t.sub("root"), marker = t.sub("ran");
    committed_repo(root + "/r", "subject");
    write_file(root + "/r/f", "changed\n");
    const std::string command = "touch " + marker + " #"; // a temporary path: no quote in it
    write_file(t.sub("global"), "[core]\n\tfsmonitor = " + command + "\n");
    // Given to git alone, the parameters do undo a forced setting given as
    // the program gives it (a GIT_CONFIG_COUNT entry).
    ProcResult direct =
        run_process({"/bin/sh", "-c", "git -C " + shq(root + "/r") + " status"}, "",
                    {{"GIT_CONFIG_COUNT", "1"},
                     {"GIT_CONFIG_KEY_0", "core.fsmonitor"},
                     {"GIT_CONFIG_VALUE_0", "false"},
                     {"GIT_CONFIG_PARAMETERS", "'core.fsmonitor'='" + command + "'"}});
    EXPECT_TRUE(path_exists(marker))
        << "git no longer reads the parameters last: " << direct.err << direct.out;
    remove(marker.c_str());

    std::vector<std::vector<std::pair<std::string, std::string>>> cases = {
        {{"GIT_CONFIG_PARAMETERS", "'core.fsmonitor'='" + command + "'"}},
        {{"GIT_CONFIG_COUNT", "1"},
         {"GIT_CONFIG_KEY_0", "core.fsmonitor"},
         {"GIT_CONFIG_VALUE_0", command}},
        {{"GIT_CONFIG_GLOBAL", t.sub("global")}},
    };
    for (const auto &vars : cases) {
        SCOPED_TRACE(vars[0].first);
        for (const char *query : {"action=repos", "action=repo&path="}) {
            std::string q = query;
            if (q.back() == '=') q += url_encode(root + "/r");
            CgiRequest req = request_for(root, q);
            req.env.insert(req.env.end(), vars.begin(), vars.end());
            Json doc = answer(req);
            const Json &r = doc.contains("repos") ? doc["repos"][0] : doc["repo"];
            EXPECT_EQ(r["error"].get<std::string>(), "");
            EXPECT_EQ(r["dirty"].get<long long>(), 1);
            EXPECT_FALSE(path_exists(marker)) << query;
            remove(marker.c_str());
        }
    }
}

// The detail lists every changed file by its name on disk: blanks at either
// end, a tab and a line feed in it, and a renamed file under its old name.
TEST(GitAnswer, DetailNamesAreNamesOnDisk) {
    TempDir t;
    const std::string root = t.sub("root"), r = root + "/r";
    committed_repo(r, "subject");
    write_file(r + "/old name ", "moved\n");
    git(r, "add .");
    commit_at(r, "second", 1700000100);
    git_argv(r, {"mv", "old name ", "new\tname"});
    for (const char *name : {"trail ", " lead", "tab\there", "new\nline"})
        write_file(r + "/" + name, "x\n");

    Json d = answer(request_for(root, "action=repo&path=" + url_encode(r)));
    EXPECT_EQ(d["repo"]["error"].get<std::string>(), "");
    std::vector<std::pair<std::string, std::string>> got;
    for (size_t i = 0; i < d["changed"].size(); i++)
        got.push_back({d["changed"][i]["code"].get<std::string>(),
                       d["changed"][i]["path"].get<std::string>()});
    std::vector<std::pair<std::string, std::string>> want = {
        {"R.", "old name "}, {"??", " lead"},  {"??", "new\nline"},
        {"??", "tab\there"}, {"??", "trail "},
    };
    EXPECT_EQ(got, want);
    EXPECT_EQ(d["changed_count"].get<long long>(), 5);
}

} // namespace
