// The listing's limits on trees a user has: thousands of repositories, a big
// folder beside them, roots longer than their field. (The ceilings
// themselves are reached with small trees in the unit tests, which lower
// them.) The trees are cheap: discovery needs only a ".git" entry, and with
// git missing from PATH every repository is listed with zero status at once.
#include "harness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>

namespace {

void make_dirs(const std::string &parent, const std::string &prefix, int n, bool with_git) {
    mkdir(parent.c_str(), 0755);
    for (int i = 0; i < n; ++i) {
        std::string d = parent + "/" + prefix + std::to_string(i);
        ASSERT_EQ(mkdir(d.c_str(), 0755), 0) << d;
        if (with_git) write_file(d + "/.git", "");
    }
}

Json listing(const std::string &roots, const std::string &no_git_path) {
    CgiRequest req;
    req.query = "action=repos";
    req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", roots}};
    req.path_override = no_git_path;
    CgiResult r = run_cgi_ok(req);
    std::string err;
    Json j = parse_json(r.body, &err);
    EXPECT_EQ(err, "");
    return j;
}

struct RootCount {
    long long count;
    bool truncated;
};

std::vector<RootCount> root_counts(const Json &j) {
    std::vector<RootCount> v;
    for (size_t i = 0; i < j["roots"].size(); ++i)
        v.push_back(
            {j["roots"][i]["count"].get<long long>(), j["roots"][i]["truncated"].get<bool>()});
    return v;
}

// A repository one level below the root is found however big a folder
// beside it is: the walk looks into every folder of a level before any
// folder of the next.
TEST(Limits, ShallowRepositoriesBesideABigFolder) {
    TempDir t;
    const std::string root = t.sub("home"), bin = t.sub("bin");
    make_dirs(root, "proj", 10, true);
    make_dirs(root + "/cache", "d", 25000, false);
    mkdir(bin.c_str(), 0755);
    Json j = listing(root, bin);
    EXPECT_EQ(j["count"].get<long long>(), 10);
    std::vector<RootCount> rc = root_counts(j);
    ASSERT_EQ(rc.size(), 1u);
    EXPECT_EQ(rc[0].count, 10);
    EXPECT_FALSE(rc[0].truncated);
}

// The table grows with the tree: 2000 repositories are all listed.
TEST(Limits, TwoThousandRepositories) {
    TempDir t;
    const std::string root = t.sub("mirror"), bin = t.sub("bin");
    mkdir(root.c_str(), 0755);
    for (int g = 0; g < 20; ++g) make_dirs(root + "/org" + std::to_string(g), "r", 100, true);
    mkdir(bin.c_str(), 0755);
    Json j = listing(root, bin);
    EXPECT_EQ(j["count"].get<long long>(), 2000);
    EXPECT_EQ(j["repos"].size(), 2000u);
    EXPECT_FALSE(j["table_capped"].get<bool>());
    std::vector<RootCount> rc = root_counts(j);
    ASSERT_EQ(rc.size(), 1u);
    EXPECT_EQ(rc[0].count, 2000);
    EXPECT_FALSE(rc[0].truncated);
}

// A root is held whole or dropped, never shortened: cut, an item could name
// the folder above the one meant and widen the allowlist.
TEST(Limits, RootsAreNeverCut) {
    TempDir t;
    const std::string bin = t.sub("bin");
    mkdir(bin.c_str(), 0755);
    // An item longer than a root's 767 bytes whose cut would end at "P/".
    std::string parent = t.path();
    while (parent.size() < 766)
        parent += "/" + std::string(std::min<size_t>(200, 765 - parent.size()), 'p');
    ASSERT_EQ(parent.size(), 766u);
    ASSERT_TRUE(testfs::make_dirs(parent));
    make_dirs(parent, "other", 1, true);
    const std::string long_item = parent + "/" + std::string(100, 'x');
    // A value longer than 2047 bytes whose cut would end at "home".
    const std::string home = t.sub("home");
    make_dirs(home, "other", 1, true);
    make_dirs(home + "/allowed", "r", 1, true);
    // Two fillers between them put "home" right before byte 2047.
    const size_t fill = 2047 - home.size() - long_item.size() - 3;
    auto filler = [&](size_t n, char c) { return t.sub(std::string(n - t.path().size() - 1, c)); };
    const std::string value = long_item + ":" + filler(fill / 2, 'f') + ":" +
                              filler(fill - fill / 2, 'g') + ":" + home + "/allowed";
    ASSERT_EQ(value.substr(0, 2047).substr(2047 - home.size()), home);

    Json j = listing(value, bin);
    std::vector<std::string> roots;
    for (size_t i = 0; i < j["roots"].size(); ++i)
        roots.push_back(j["roots"][i]["root"].get<std::string>());
    ASSERT_EQ(roots.size(), 3u);
    EXPECT_EQ(roots[2], home + "/allowed");
    ASSERT_EQ(j["count"].get<long long>(), 1);
    EXPECT_EQ(j["repos"][0]["path"].get<std::string>(), home + "/allowed/r0");

    for (const std::string &outside : {parent + "/other0", home + "/other0"}) {
        CgiRequest req;
        req.query = "action=repo&path=" + url_encode(outside);
        req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", value}};
        req.path_override = bin;
        EXPECT_EQ(run_cgi_ok(req).out, path_refused_reply()) << outside;
    }
}

} // namespace
