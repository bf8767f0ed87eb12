// What the listing shows is what opens: the detail and the fetch accept a
// path exactly where the listing's walk finds a repository, and nothing above
// a root is ever walked, through links to the root, its parents or "/".
#include "harness.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

const std::string kJsonHead = json_head_lines(0);
const std::string kRefused = path_refused_reply();

void make_repo(const std::string &dir) {
    sh("mkdir -p " + shq(dir));
    git(dir, "init -q");
}

void link_to(const std::string &target, const std::string &link) {
    sh("ln -s " + shq(target) + " " + shq(link));
}

// A root below which links lead to the root, to its parent, to "/" and back
// up from deeper down; one link leads elsewhere, out of the root.
class PathsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root = tmp.sub("top/root");
        make_repo(root + "/own");
        make_repo(tmp.sub("top/above"));             // beside the root
        make_repo(tmp.sub("top/x/.hid/c/d/e/deep")); // only through up/x
        make_repo(tmp.sub("elsewhere/e"));
        link_to("..", root + "/up");
        link_to(".", root + "/self");
        link_to(root, root + "/again");
        link_to("/", root + "/slash");
        sh("mkdir -p " + shq(root + "/a/b"));
        link_to("../../..", root + "/a/b/parent");
        link_to(tmp.sub("elsewhere"), root + "/out");
        // Folders the walk does not list from.
        make_repo(root + "/.hid/r");
        make_repo(root + "/node_modules/r");
        make_repo(root + "/own/inner");
        make_repo(root + "/a/b/c/d/e");
    }

    CgiRequest request(const std::string &query) const {
        CgiRequest req;
        req.query = query;
        req.env = {{"QUARLO_ROOTS", root}, {"QUARLO_ONLY_ROOTS", "1"}};
        return req;
    }

    TempDir tmp;
    std::string root;
};

std::set<std::string> listed_paths(const Json &doc) {
    std::set<std::string> paths;
    for (size_t i = 0; i < doc["repos"].size(); i++)
        paths.insert(doc["repos"][i]["path"].get<std::string>());
    return paths;
}

// Links to the root, to its parent, to "/" and back up from deeper down list
// nothing above the root (they used to list every repository up to four
// folders below their target); the link elsewhere is followed. The same
// holds with the root given through a link.
TEST_F(PathsTest, NothingAboveTheRootIsListed) {
    link_to(root, tmp.sub("root-link"));
    for (const std::string &given : {root, tmp.sub("root-link")}) {
        SCOPED_TRACE(given);
        CgiRequest req = request("action=repos");
        req.env[0].second = given;
        CgiResult r = run_cgi_ok(req);
        Json doc = parse_json(r.body);
        EXPECT_EQ(listed_paths(doc), (std::set<std::string>{given + "/own", given + "/out/e"}));
        EXPECT_FALSE(doc["roots"][0]["truncated"].get<bool>());
    }
}

// The detail and the fetch refuse what the listing does not show, with the
// fixed 403 and no git run (a recording git first on PATH proves it); what
// the listing shows, through a link elsewhere too, runs.
TEST_F(PathsTest, DetailAndFetchRefuseWhatTheListingDoesNotShow) {
    const std::string log = tmp.sub("git-calls.log");
    const std::string bin = tmp.sub("bin");
    std::string real_git = sh("command -v git");
    real_git.pop_back();
    write_file(bin + "/git", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> " + shq(log) + "\nexec " +
                                 shq(real_git) + " \"$@\"\n");
    sh("chmod +x " + shq(bin + "/git"));

    auto run_both = [&](const std::string &path) {
        std::vector<CgiResult> results;
        for (bool fetch : {false, true}) {
            CgiRequest req = request(std::string(fetch ? "action=fetch" : "action=repo") +
                                     "&path=" + url_encode(path));
            if (fetch) {
                req.method = "POST";
                req.env.emplace_back("QUARLO_ALLOW_FETCH", "1");
            }
            req.path_prefix = bin;
            results.push_back(run_cgi(req));
        }
        return results;
    };

    const struct {
        const char *what;
        std::string path;
    } refused[] = {
        {"through a link to the parent", root + "/up/above"},
        {"through a link to the parent, below a dot-folder, deep", root + "/up/x/.hid/c/d/e/deep"},
        {"through a link to the root", root + "/self/own"},
        {"through a link to the root by its full path", root + "/again/own"},
        {"through a link back up from deeper down", root + "/a/b/parent/above"},
        {"below a dot-folder", root + "/.hid/r"},
        {"below node_modules", root + "/node_modules/r"},
        {"inside another working copy", root + "/own/inner"},
        {"deeper than the walk goes", root + "/a/b/c/d/e"},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(c.what);
        for (const CgiResult &r : run_both(c.path)) {
            EXPECT_EQ(r.exit_status, 0);
            EXPECT_EQ(r.out, kRefused);
        }
        EXPECT_EQ(read_file(log), "");
    }

    for (const std::string &path : {root + "/own", root + "/out/e"}) {
        SCOPED_TRACE(path);
        for (const CgiResult &r : run_both(path)) EXPECT_EQ(r.head, kJsonHead) << r.out;
        EXPECT_NE(read_file(log).find("fetch --prune"), std::string::npos);
        sh(": > " + shq(log));
    }
}

// Every repository of the listing opens by its path_param, with the roots
// written relative, with "." or "..", or with a final separator, and the
// detail answers with the listing's path, name and root. A request with a
// final separator answers for the repository under its name.
TEST_F(PathsTest, EveryListedRepositoryOpensInTheListingsSpelling) {
    const std::string top = tmp.sub("top");
    for (const char *given : {"root/..", "./root", "root/", "root/../root/.", "root"}) {
        SCOPED_TRACE(given);
        CgiRequest req = request("action=repos");
        req.env[0].second = given;
        req.cwd = top;
        Json doc = parse_json(run_cgi_ok(req).body);
        ASSERT_GE(doc["repos"].size(), 2u);
        for (size_t i = 0; i < doc["repos"].size(); i++) {
            const Json &listed = doc["repos"][i];
            SCOPED_TRACE(listed["path"].get<std::string>());
            EXPECT_EQ(listed["path"].get<std::string>().compare(0, top.size(), top), 0)
                << "a full path";
            for (const std::string &suffix : {std::string(), std::string("/")}) {
                CgiRequest open = req;
                open.query = "action=repo&path=" + listed["path_param"].get<std::string>() + suffix;
                CgiResult r = run_cgi_ok(open);
                ASSERT_EQ(r.head, kJsonHead) << r.out;
                Json detail = parse_json(r.body);
                EXPECT_EQ(detail["repo"]["path"].get<std::string>(),
                          listed["path"].get<std::string>());
                EXPECT_EQ(detail["repo"]["name"].get<std::string>(),
                          listed["name"].get<std::string>());
                EXPECT_EQ(detail["repo"]["root"].get<std::string>(),
                          listed["root"].get<std::string>());
                EXPECT_EQ(detail["repo"]["root"].get<std::string>(),
                          doc["roots"][0]["root"].get<std::string>());
            }
        }
    }
}

// A working copy whose folder's name holds ':' (the separator of git's
// ceiling list), and a root through a link to a folder inside it, below which
// a folder has an empty `.git`: that folder is not a repository, and the one
// above the root never answers for it, in the listing, the detail or a fetch.
TEST(PathsColon, RepositoryAboveTheRootNeverAnswers) {
    TempDir tmp;
    const std::string outer = tmp.sub("x:y"), root = tmp.sub("root");
    make_repo(outer);
    write_file(outer + "/f", "f\n");
    git(outer, "add f");
    commit_at(outer, "outer subject", 1700000000);
    sh("mkdir -p " + shq(outer + "/sub/x/.git"));
    link_to(outer + "/sub", root);
    // Fetching in the outer repository would change its remote-tracking ref.
    make_repo(tmp.sub("remote"));
    commit_at(tmp.sub("remote"), "remote", 1700000100);
    git(outer, "remote add origin " + shq(tmp.sub("remote")));

    CgiRequest req;
    req.env = {{"QUARLO_ROOTS", root}, {"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ALLOW_FETCH", "1"}};
    req.query = "action=repos";
    Json doc = parse_json(run_cgi_ok(req).body);
    ASSERT_EQ(doc["count"].get<long long>(), 1) << doc["repos"].size();
    const Json &x = doc["repos"][0];
    EXPECT_EQ(x["path"].get<std::string>(), root + "/x");
    EXPECT_EQ(x["branch"].get<std::string>(), "");
    EXPECT_EQ(x["last_commit"]["subject"].get<std::string>(), "");
    EXPECT_EQ(x["error"].get<std::string>().rfind("fatal: not a git repository", 0), 0u)
        << x["error"].get<std::string>();

    req.query = "action=repo&path=" + url_encode(root + "/x");
    Json detail = parse_json(run_cgi_ok(req).body);
    EXPECT_EQ(detail["repo"]["branch"].get<std::string>(), "");
    EXPECT_EQ(detail["commits"].size(), 0u);

    req.method = "POST";
    req.query = "action=fetch&path=" + url_encode(root + "/x");
    Json fetched = parse_json(run_cgi_ok(req).body);
    EXPECT_FALSE(fetched["ok"].get<bool>()) << fetched["output"].get<std::string>();
    EXPECT_FALSE(path_exists(outer + "/.git/FETCH_HEAD"));
    EXPECT_FALSE(path_exists(outer + "/.git/refs/remotes/origin/main"));
}

} // namespace
