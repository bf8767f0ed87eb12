// The listing's fixed limits: 1200 repositories in the table and 20000
// folders searched per root. The trees are cheap: discovery needs only a
// ".git" entry, and with git missing from PATH every repository is listed
// with zero status at once.
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
        v.push_back({j["roots"][i]["count"].num(), j["roots"][i]["truncated"].boolean()});
    return v;
}

TEST(Limits, RepositoryTableOf1200) {
    TempDir t;
    const std::string many = t.sub("many"), one = t.sub("one"), two = t.sub("two"),
                      bin = t.sub("bin");
    make_dirs(many, "r", 1199, true);
    make_dirs(one, "s", 1, true);
    make_dirs(two, "u", 2, true);
    mkdir(bin.c_str(), 0755);

    struct Row {
        std::string what;
        std::string roots;
        long long count;
        bool capped;
        std::vector<long long> per_root;
        std::vector<bool> truncated; // a root whose repositories were left out says so
    } rows[] = {
        {"1199", many, 1199, false, {1199}, {false}},
        {"exactly 1200", many + ":" + one, 1200, true, {1199, 1}, {false, false}},
        {"1201: two left out, counted nowhere, said by their roots",
         many + ":" + two + ":" + one,
         1200,
         true,
         {1199, 1, 0},
         {false, true, true}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Json j = listing(row.roots, bin);
        EXPECT_EQ(j["count"].num(), row.count);
        EXPECT_EQ(j["repos"].size(), static_cast<size_t>(row.count));
        EXPECT_EQ(j["table_capped"].boolean(), row.capped);
        std::vector<long long> per_root;
        std::vector<bool> truncated;
        for (const RootCount &rc : root_counts(j)) {
            per_root.push_back(rc.count);
            truncated.push_back(rc.truncated);
        }
        EXPECT_EQ(per_root, row.per_root);
        EXPECT_EQ(truncated, row.truncated);
    }
}

TEST(Limits, TwentyThousandFoldersPerRoot) {
    TempDir t;
    const std::string big = t.sub("big"), next = t.sub("next"), bin = t.sub("bin");
    // 19999 empty folders and one repository: 20000 counted folders. Skipped
    // names are neither entered nor counted.
    make_dirs(big, "d", 19999, false);
    make_dirs(big, "repo", 1, true);
    for (const char *skipped : {".hidden", "node_modules", "__pycache__"}) {
        std::string d = big + "/" + skipped;
        mkdir(d.c_str(), 0755);
    }
    make_dirs(next, "r", 1, true);
    mkdir(bin.c_str(), 0755);
    const std::string roots = big + ":" + next;

    Json j = listing(roots, bin);
    std::vector<RootCount> rc = root_counts(j);
    ASSERT_EQ(rc.size(), 2u);
    EXPECT_FALSE(rc[0].truncated) << "20000 folders are within the limit";
    EXPECT_EQ(rc[0].count, 1);
    EXPECT_FALSE(rc[1].truncated);
    EXPECT_EQ(rc[1].count, 1);

    // One more folder: the walk of that root stops; the next root starts afresh.
    std::string extra = big + "/one-more";
    mkdir(extra.c_str(), 0755);
    j = listing(roots, bin);
    rc = root_counts(j);
    ASSERT_EQ(rc.size(), 2u);
    EXPECT_TRUE(rc[0].truncated);
    EXPECT_LE(rc[0].count, 1);
    EXPECT_FALSE(rc[1].truncated);
    EXPECT_EQ(rc[1].count, 1);
    EXPECT_EQ(j["count"].num(), rc[0].count + 1);
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
    for (size_t i = 0; i < j["roots"].size(); ++i) roots.push_back(j["roots"][i]["root"].str());
    ASSERT_EQ(roots.size(), 3u);
    EXPECT_EQ(roots[2], home + "/allowed");
    ASSERT_EQ(j["count"].num(), 1);
    EXPECT_EQ(j["repos"][0]["path"].str(), home + "/allowed/r0");

    for (const std::string &outside : {parent + "/other0", home + "/other0"}) {
        CgiRequest req;
        req.query = "action=repo&path=" + url_encode(outside);
        req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", value}};
        req.path_override = bin;
        EXPECT_EQ(run_cgi_ok(req).out, path_refused_reply()) << outside;
    }
}

// Folders below the depth limit are counted too: 20000 nested ones stop the
// walk although each level holds few.
TEST(Limits, NestedFoldersCount) {
    TempDir t;
    const std::string big = t.sub("nested"), bin = t.sub("bin");
    mkdir(big.c_str(), 0755);
    mkdir(bin.c_str(), 0755);
    // 20 x 20 x 51 = 20400 folders at depths 1 to 3 (20 + 400 + 20400 counted).
    for (int a = 0; a < 20; ++a) {
        std::string da = big + "/" + std::to_string(a);
        mkdir(da.c_str(), 0755);
        for (int b = 0; b < 20; ++b) make_dirs(da + "/" + std::to_string(b), "c", 51, false);
    }
    Json j = listing(big, bin);
    ASSERT_EQ(j["roots"].size(), 1u);
    EXPECT_TRUE(j["roots"][0]["truncated"].boolean());
}

} // namespace
