// What git is allowed to do on the program's behalf: a repository's own
// config must not run code through the fsmonitor or signature checks, git
// children never see the node password or the request's headers, and a git
// that is missing or fails leaves zero status rather than garbage.
#include "harness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

// An executable /bin/sh script.
void write_script(const std::string &path, const std::string &body) {
    write_file(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

CgiRequest listing_of(const std::string &root) {
    CgiRequest req;
    req.query = "action=repos";
    req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root}};
    return req;
}

const Json *repo_named(const Json &doc, const std::string &name) {
    for (size_t i = 0; i < doc["repos"].size(); ++i)
        if (doc["repos"][i]["name"].get<std::string>() == name) return &doc["repos"][i];
    return nullptr;
}

TEST(Hostile, RepositoryConfigRunsNoCommand) {
    TempDir t;
    const std::string root = t.sub("root");
    const std::string fs_marker = t.sub("fsmonitor-ran"), gpg_marker = t.sub("gpg-ran");
    write_script(t.sub("fsmonitor.sh"), "echo \"$@\" >> '" + fs_marker + "'\nexit 1\n");
    write_script(t.sub("gpg.sh"), "echo \"$@\" >> '" + gpg_marker + "'\nexit 1\n");

    // core.fsmonitor names a command, which plain `git status` runs.
    const std::string fs = root + "/fsmon";
    sh("git init -q " + shq(fs));
    write_file(fs + "/f", "x\n");
    git(fs, "add f");
    commit_at(fs, "watched", 1700000100);
    git(fs, "config core.fsmonitor " + shq(t.sub("fsmonitor.sh")));

    // log.showSignature with a gpg.program of the repository's choice and a
    // signed last commit: plain `git log` runs the program.
    const std::string sg = root + "/signed";
    sh("git init -q " + shq(sg));
    write_file(sg + "/f", "x\n");
    git(sg, "add f");
    commit_at(sg, "unsigned", 1700000000);
    std::string object = "tree " + trimmed(git_out(sg, "rev-parse HEAD^{tree}")) + "\n" +
                         "parent " + trimmed(git_out(sg, "rev-parse HEAD")) + "\n" +
                         "author Test Author <author@example.com> 1700000200 +0000\n"
                         "committer Test Author <author@example.com> 1700000200 +0000\n"
                         "gpgsig -----BEGIN PGP SIGNATURE-----\n"
                         " \n"
                         " iQEzBAABCAAdFiEEZmFrZSBzaWduYXR1cmUgZm9yIGEgdGVzdA==\n"
                         " =abcd\n"
                         " -----END PGP SIGNATURE-----\n"
                         "\n"
                         "signed subject\n";
    ProcResult made = run_process({"git", "-C", sg, "hash-object", "-t", "commit", "-w", "--stdin"},
                                  "", git_env(), object);
    ASSERT_EQ(made.exit_status, 0) << made.err;
    const std::string signed_hash = trimmed(made.out);
    git(sg, "update-ref refs/heads/main " + signed_hash);
    git(sg, "config log.showSignature true");
    git(sg, "config gpg.program " + shq(t.sub("gpg.sh")));

    // The fixture is hostile indeed: git run plainly runs both commands.
    git(fs, "status --porcelain=v2");
    git(sg, "log -1 --format=%s");
    ASSERT_TRUE(path_exists(fs_marker));
    ASSERT_TRUE(path_exists(gpg_marker));
    remove(fs_marker.c_str());
    remove(gpg_marker.c_str());

    CgiRequest req = listing_of(root);
    CgiResult r = run_cgi_ok(req);
    Json doc = parse_json(r.body);
    ASSERT_EQ(doc["count"].get<long long>(), 2) << r.out;
    const Json *f = repo_named(doc, "fsmon");
    const Json *s = repo_named(doc, "signed");
    ASSERT_TRUE(f && s);
    EXPECT_EQ((*f)["branch"].get<std::string>(), "main");
    EXPECT_EQ((*f)["dirty"].get<long long>(), 0);
    EXPECT_EQ((*f)["last_commit"]["subject"].get<std::string>(), "watched");
    EXPECT_EQ((*s)["branch"].get<std::string>(), "main");
    EXPECT_EQ((*s)["last_commit"]["hash"].get<std::string>(), signed_hash);
    EXPECT_EQ((*s)["last_commit"]["ct"].get<long long>(), 1700000200);
    EXPECT_EQ((*s)["last_commit"]["subject"].get<std::string>(), "signed subject");

    // The detail action runs status and log of its own.
    for (const std::string &path : {fs, sg}) {
        req.query = "action=repo&path=" + path;
        CgiResult d = run_cgi_ok(req);
        EXPECT_EQ(parse_json(d.body)["ok"].get<bool>(), true) << d.out;
    }

    EXPECT_FALSE(path_exists(fs_marker)) << read_file(fs_marker);
    EXPECT_FALSE(path_exists(gpg_marker)) << read_file(gpg_marker);
}

// A git on PATH that writes its environment to a file and then runs the
// real git.
TEST(Hostile, GitChildrenSeeNoPasswordNorHeaders) {
    TempDir t;
    const std::string root = t.sub("root"), repo = root + "/r", dump = t.sub("env.txt");
    sh("git init -q " + shq(repo));
    commit_at(repo, "one", 1700000000);
    sh("git clone -q --bare " + shq(repo) + " " + shq(t.sub("bare.git")));
    git(repo, "remote add origin " + shq(t.sub("bare.git")));
    const std::string real_git = trimmed(sh("command -v git"));
    write_script(t.sub("bin/git"), "{ echo \"$*\"; /usr/bin/env; echo '----'; } >> '" + dump +
                                       "'\nexec '" + real_git + "' \"$@\"\n");

    CgiRequest req = listing_of(root);
    req.path_prefix = t.sub("bin");
    req.env.insert(req.env.end(), {{"BOT_PASSWORD", "node-secret"},
                                   {"HTTP_X_BOT_PASSWORD", "node-secret"},
                                   {"HTTP_AUTHORIZATION", "Bearer node-secret"},
                                   {"HTTP_COOKIE", "session=abc"},
                                   {"HTTP_USER_AGENT", "tester"},
                                   {"HTTPS_PROXY", "http://proxy.invalid:1"},
                                   {"KEEP_ME", "yes"},
                                   {"GIT_OPTIONAL_LOCKS", "1"},
                                   {"GIT_CONFIG_COUNT", "1"},
                                   {"GIT_CONFIG_KEY_0", "color.ui"},
                                   {"GIT_CONFIG_VALUE_0", "never"},
                                   {"QUARLO_ALLOW_FETCH", "1"}});
    struct Road {
        const char *method;
        std::string query;
        int runs; // git children expected
    } roads[] = {
        // The version, the configuration outside any repository (once per
        // run), then the status (the last commit is read from the object
        // store) and the history walk of a branch no remote-tracking branch
        // holds (the remote was never fetched).
        {"GET", "action=repos", 4},
        // The status, the 20-commit log, the origin URL and the branches.
        {"GET", "action=repo&path=" + repo, 5},
        // Whether the user named an ssh command, the fetch, then the status,
        // the stash list and the history walk.
        {"POST", "action=fetch&path=" + repo, 5},
    };
    for (const Road &road : roads) {
        SCOPED_TRACE(road.query);
        remove(dump.c_str());
        req.method = road.method;
        req.query = road.query;
        CgiResult r = run_cgi_ok(req);
        Json doc = parse_json(r.body);
        EXPECT_TRUE(doc["ok"].get<bool>()) << r.out;

        std::string all = read_file(dump);
        std::vector<std::string> runs;
        for (size_t start = 0, end; (end = all.find("----\n", start)) != std::string::npos;
             start = end + 5)
            runs.push_back(all.substr(start, end - start));
        EXPECT_EQ(runs.size(), static_cast<size_t>(road.runs));
        for (const std::string &env : runs) {
            const std::string text = "\n" + env;
            EXPECT_EQ(text.find("\nBOT_PASSWORD="), std::string::npos);
            EXPECT_EQ(text.find("\nHTTP_"), std::string::npos);
            EXPECT_EQ(text.find("node-secret"), std::string::npos);
            for (const char *line :
                 {"\nGIT_OPTIONAL_LOCKS=0\n", "\nGIT_CONFIG_COUNT=4\n",
                  "\nGIT_CONFIG_KEY_0=color.ui\n", "\nGIT_CONFIG_VALUE_0=never\n",
                  "\nGIT_CONFIG_KEY_1=core.fsmonitor\n", "\nGIT_CONFIG_VALUE_1=false\n",
                  "\nGIT_CONFIG_KEY_2=log.showSignature\n", "\nGIT_CONFIG_VALUE_2=false\n",
                  "\nGIT_CONFIG_KEY_3=core.quotePath\n", "\nGIT_CONFIG_VALUE_3=false\n",
                  "\nKEEP_ME=yes\n", "\nHTTPS_PROXY=http://proxy.invalid:1\n"})
                EXPECT_NE(text.find(line), std::string::npos) << line << " missing in:\n" << env;
            EXPECT_EQ(text.find("\nGIT_OPTIONAL_LOCKS=1\n"), std::string::npos);
            // Bound to the repository: git looks no higher than its folder.
            // The version question looks at no repository.
            if (env.compare(0, 10, "--version\n") == 0) continue;
            EXPECT_NE(text.find("\nGIT_CEILING_DIRECTORIES=" + root + "\n"), std::string::npos)
                << env;
        }
    }
}

// Every repository is still listed, with zero status and its error, when
// git cannot run.
TEST(Hostile, GitMissingFromPath) {
    TempDir t;
    const std::string root = t.sub("root");
    sh("git init -q " + shq(root + "/a") + " && git init -q " + shq(root + "/b"));
    commit_at(root + "/a", "one", 1700000000);
    write_file(root + "/b/untracked", "x");

    CgiRequest req = listing_of(root);
    req.path_override = t.sub("empty-bin");
    sh("mkdir -p " + shq(req.path_override));
    CgiResult r = run_cgi_ok(req);
    EXPECT_EQ(r.out.substr(0, json_head(0).size()), json_head(0));
    Json doc = parse_json(r.body);
    ASSERT_EQ(doc["count"].get<long long>(), 2) << r.out;
    for (const char *name : {"a", "b"}) {
        SCOPED_TRACE(name);
        const Json *repo = repo_named(doc, name);
        ASSERT_NE(repo, nullptr);
        EXPECT_EQ((*repo)["branch"].get<std::string>(), "");
        EXPECT_EQ((*repo)["dirty"].get<long long>(), 0);
        EXPECT_EQ((*repo)["untracked"].get<long long>(), 0);
        EXPECT_EQ((*repo)["stash"].get<long long>(), 0);
        EXPECT_FALSE((*repo)["no_upstream"].get<bool>());
        EXPECT_FALSE((*repo)["unborn"].get<bool>());
        EXPECT_EQ((*repo)["last_commit"]["hash"].get<std::string>(), "");
        EXPECT_EQ((*repo)["last_commit"]["ct"].get<long long>(), 0);
        EXPECT_EQ((*repo)["last_commit"]["at"].get<std::string>(), "1970-01-01T00:00:00Z");
        EXPECT_EQ((*repo)["error"].get<std::string>(), "git could not be started");
    }
    EXPECT_EQ(doc["summary"]["errors"].get<long long>(), 2);
    // Sorted by path when nothing else differs.
    EXPECT_EQ(doc["repos"][0]["name"].get<std::string>(), "a");
}

// A git whose output looks like data but whose exit status says it failed:
// nothing of it is taken, not even what the commands before it gave, its
// first line is the error, and no further command runs. The same output
// with status 0 is parsed.
TEST(Hostile, OutputOfFailedGitIgnored) {
    TempDir t;
    const std::string root = t.sub("root"), calls = t.sub("calls");
    sh("git init -q " + shq(root + "/r"));
    // The git it plays says its version (from VERSION, not recorded) and
    // prints a stash count in its status whether asked or not: only a git
    // that prints it there (2.35 and later) is asked for it, and then the
    // stash list does not run. A command that fails says why on standard
    // error: that is the record's error, and what it printed is never read.
    write_script(t.sub("bin/git"),
                 "[ \"$1\" = --version ] && { echo \"git version $VERSION\"; "
                 "exit 0; }\n"
                 "echo \"$3\" >> '" +
                     calls +
                     "'\n"
                     "case \"$3\" in\n"
                     "status) printf '# branch.oid abc\\000# branch.head main\\000"
                     "# stash 2\\000"
                     "? untracked\\0001 M. N... 100644 100644 100644 a a f\\000';;\n"
                     "log) printf 'abc\\t1700000000\\tsubject\\n';;\n"
                     "stash) printf 'stash@{0}\\nstash@{1}\\n';;\n"
                     "esac\n"
                     "[ \"$3\" = \"$FAIL\" ] && { echo \"warning: $3\" >&2; "
                     "echo \"fatal: $3 failed\" >&2; exit 128; }\n"
                     "exit 0\n");
    struct Case {
        const char *version;
        const char *fail; // the command that exits 128
        const char *error;
        const char *ran;
    } cases[] = {
        {"2.34.1", "none", "", "status\nlog\nstash\n"},
        {"2.34.1", "status", "fatal: status failed", "status\n"},
        {"2.34.1", "log", "fatal: log failed", "status\nlog\n"},
        {"2.34.1", "stash", "fatal: stash failed", "status\nlog\nstash\n"},
        {"2.39.5", "none", "", "status\nlog\n"},
        {"2.39.5", "status", "fatal: status failed", "status\n"},
        {"2.39.5", "log", "fatal: log failed", "status\nlog\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.version) + " " + c.fail);
        remove(calls.c_str());
        CgiRequest req = listing_of(root);
        req.path_prefix = t.sub("bin");
        req.env.insert(req.env.end(), {{"FAIL", c.fail}, {"VERSION", c.version}});
        CgiResult r = run_cgi_ok(req);
        Json doc = parse_json(r.body);
        ASSERT_EQ(doc["count"].get<long long>(), 1) << r.out;
        const Json &repo = doc["repos"][0];
        bool ok = !*c.error;
        EXPECT_EQ(repo["branch"].get<std::string>(), ok ? "main" : "");
        EXPECT_EQ(repo["dirty"].get<long long>(), ok ? 2 : 0);
        EXPECT_EQ(repo["staged"].get<long long>(), ok ? 1 : 0);
        EXPECT_EQ(repo["untracked"].get<long long>(), ok ? 1 : 0);
        EXPECT_EQ(repo["no_upstream"].get<bool>(), ok);
        EXPECT_EQ(repo["stash"].get<long long>(), ok ? 2 : 0);
        EXPECT_EQ(repo["last_commit"]["hash"].get<std::string>(), ok ? "abc" : "");
        EXPECT_EQ(repo["last_commit"]["subject"].get<std::string>(), ok ? "subject" : "");
        EXPECT_EQ(doc["summary"]["stashes"].get<long long>(), ok ? 2 : 0);
        EXPECT_EQ(doc["summary"]["dirty"].get<long long>(), ok ? 1 : 0);
        EXPECT_EQ(repo["error"].get<std::string>(), c.error);
        EXPECT_EQ(doc["summary"]["errors"].get<long long>(), ok ? 0 : 1);
        // The one look at the configuration outside any repository (run
        // with a git folder that does not exist) is not the repository's.
        std::string ran = read_file(calls);
        for (size_t at; (at = ran.find("--git-dir=")) != std::string::npos;)
            ran.erase(at, ran.find('\n', at) + 1 - at);
        EXPECT_EQ(ran, c.ran);
    }
}

} // namespace
