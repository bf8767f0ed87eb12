// The listing's ceilings, lowered through ListingLimits so that small trees
// reach them: the table of repositories and the folders walked per root.
// Discovery needs only a ".git" entry; git answers such a folder with an
// error, which is all these records need.
#if !defined(_WIN32)
#include "actions/actions.h"

#include "unit_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using unit::TempDir;

// `n` folders `prefix`0.. below `parent`, each a working copy when `repos`.
void make_folders(const std::string &parent, const std::string &prefix, int n, bool repos) {
    for (int i = 0; i < n; i++) {
        std::string d = parent + "/" + prefix + std::to_string(i);
        ASSERT_TRUE(unit::make_dirs(d));
        if (repos) unit::write_file(d + "/.git", "");
    }
}

Roots roots_of(const std::vector<std::string> &paths) {
    Roots roots;
    for (const std::string &p : paths) root_add(&roots, p.c_str());
    return roots;
}

std::vector<int> root_counts(const Listing &l) {
    std::vector<int> v;
    for (int i = 0; i < l.roots.count; i++) v.push_back(l.roots.list[i].count);
    return v;
}

std::vector<int> root_truncated(const Listing &l) {
    std::vector<int> v;
    for (int i = 0; i < l.roots.count; i++) v.push_back(l.roots.list[i].truncated);
    return v;
}

std::string document(const Listing &l) {
    Buf b;
    buf_init(&b, DOC_MAX);
    listing_document(&l, &b);
    std::string s(b.data, (size_t)b.len);
    buf_free(&b);
    return s;
}

// A table that left repositories out says so (exactly full, it left none
// out and says nothing); each root whose repositories were left out says so.
TEST(ListingLimits, TableCeiling) {
    TempDir t;
    const std::string many = t.sub("many"), one = t.sub("one"), two = t.sub("two");
    make_folders(many, "r", 5, true);
    make_folders(one, "s", 1, true);
    make_folders(two, "u", 2, true);
    struct Row {
        const char *what;
        std::vector<std::string> roots;
        size_t count;
        int capped;
        std::vector<int> per_root;
        std::vector<int> truncated;
    } rows[] = {
        {"below the ceiling", {many}, 5, 0, {5}, {0}},
        {"exactly full", {many, one}, 6, 0, {5, 1}, {0, 0}},
        {"one past, in the last root", {many, two}, 6, 1, {5, 1}, {0, 1}},
        {"one past: two left out, said by their roots",
         {many, two, one},
         6,
         1,
         {5, 1, 0},
         {0, 1, 1}},
    };
    ListingLimits limits;
    limits.repos = 6;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Roots roots = roots_of(row.roots);
        Listing l;
        listing_collect(&roots, &l, limits);
        EXPECT_EQ(l.repos.size(), row.count);
        EXPECT_EQ(l.table_capped, row.capped);
        EXPECT_EQ(root_counts(l), row.per_root);
        EXPECT_EQ(root_truncated(l), row.truncated);
        const std::string doc = document(l);
        EXPECT_NE(doc.find(std::string("\"count\":") + std::to_string(row.count) +
                           ",\"table_capped\":" + (row.capped ? "true" : "false")),
                  std::string::npos)
            << doc.substr(0, 120);
    }
}

// The table fills level by level: when it is full, the repositories kept are
// the shallow ones, whatever order the folders are listed in.
TEST(ListingLimits, FullTableKeepsTheShallowRepositories) {
    TempDir t;
    const std::string root = t.sub("root");
    make_folders(root + "/a/b/c", "deep", 4, true);
    make_folders(root + "/a/b", "mid", 4, true);
    make_folders(root, "top", 3, true);
    Roots roots = roots_of({root});
    ListingLimits limits;
    limits.repos = 5;
    Listing l;
    listing_collect(&roots, &l, limits);
    EXPECT_TRUE(l.table_capped);
    int top = 0, mid = 0;
    for (const Repo &r : l.repos) {
        top += std::string(r.name).rfind("top", 0) == 0;
        mid += std::string(r.name).rfind("mid", 0) == 0;
    }
    EXPECT_EQ(top, 3);
    EXPECT_EQ(mid, 2);
}

// The folder budget: a big folder spends it, but only after every folder
// beside it has been looked into; a budget that holds every folder is not
// reached; nested folders count as much as wide ones.
TEST(ListingLimits, FolderBudget) {
    TempDir t;
    const std::string wide = t.sub("wide"), nested = t.sub("nested");
    make_folders(wide, "proj", 5, true);
    make_folders(wide + "/big", "d", 50, false);
    // 3 + 9 + 27 folders at depths 1 to 3, one repository at depth 4.
    for (int a = 0; a < 3; a++)
        for (int b = 0; b < 3; b++)
            make_folders(nested + "/" + std::to_string(a) + "/" + std::to_string(b), "c", 3, false);
    make_folders(nested + "/0/0/c0", "repo", 1, true);
    struct Row {
        const char *what;
        std::string root;
        int budget;
        int count;
        int truncated;
    } rows[] = {
        {"wide, budget spent in the big folder", wide, 20, 5, 1},
        {"wide, every folder within", wide, 56, 5, 0},
        {"nested, every folder within", nested, 40, 1, 0},
        {"nested, one short", nested, 39, 0, 1},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Roots roots = roots_of({row.root});
        ListingLimits limits;
        limits.dirs_per_root = row.budget;
        Listing l;
        listing_collect(&roots, &l, limits);
        EXPECT_EQ(root_counts(l), std::vector<int>{row.count});
        EXPECT_EQ(root_truncated(l), std::vector<int>{row.truncated});
        EXPECT_FALSE(l.table_capped);
    }
}

} // namespace
#endif
