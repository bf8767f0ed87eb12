// The listing's fixed limits: 1200 repositories in the table and 20000
// folders searched per root. The trees are cheap: discovery needs only a
// ".git" entry, and with git missing from PATH every repository is listed
// with zero status at once.
#include "harness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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
    } rows[] = {
        {"1199", many, 1199, false, {1199}},
        {"exactly 1200", many + ":" + one, 1200, true, {1199, 1}},
        {"1201: one left out, counted nowhere",
         many + ":" + two + ":" + one,
         1200,
         true,
         {1199, 1, 0}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Json j = listing(row.roots, bin);
        EXPECT_EQ(j["count"].num(), row.count);
        EXPECT_EQ(j["repos"].size(), static_cast<size_t>(row.count));
        EXPECT_EQ(j["table_capped"].boolean(), row.capped);
        std::vector<long long> per_root;
        for (const RootCount &rc : root_counts(j)) {
            per_root.push_back(rc.count);
            EXPECT_FALSE(rc.truncated);
        }
        EXPECT_EQ(per_root, row.per_root);
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
