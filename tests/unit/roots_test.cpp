// The root list built from the environment (POSIX rules: every ':' separates,
// HOME is the last home fallback, no default codebases folders).
#if !defined(_WIN32)
#include "roots/roots.h"

#include "unit_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using unit::CwdGuard;
using unit::EnvGuard;
using unit::TempDir;

std::vector<std::string> given_roots(const Roots &roots) {
    std::vector<std::string> out;
    for (int i = 0; i < roots.count; i++) out.push_back(roots.list[i].root);
    return out;
}

struct RootsCase {
    const char *only;  // QUARLO_ONLY_ROOTS (null: unset)
    const char *roots; // QUARLO_ROOTS
    const char *userprofile;
    const char *homedrive;
    const char *home;
    std::vector<std::string> want;
};

const RootsCase ROOTS_CASES[] = {
    // Home root: USERPROFILE, else HOMEDRIVE, else HOME; added without an
    // existence test.
    {nullptr, nullptr, nullptr, nullptr, "/nonexistent/home", {"/nonexistent/home"}},
    {nullptr, nullptr, nullptr, nullptr, nullptr, {}},
    {nullptr, nullptr, "/p", "/d", "/h", {"/p"}},
    {nullptr, nullptr, "", "/d", "/h", {"/d"}},
    {nullptr, nullptr, nullptr, "", "/h", {"/h"}},
    {nullptr, nullptr, "", "", "", {}},
    // QUARLO_ONLY_ROOTS: only the exact text "0" (or empty/unset) is off.
    {"0", "/a", "/p", nullptr, "/h", {"/p", "/a"}},
    {"", "/a", nullptr, nullptr, "/h", {"/h", "/a"}},
    {"1", "/a", "/p", nullptr, "/h", {"/a"}},
    {"00", "/a", nullptr, nullptr, "/h", {"/a"}},
    {"no", "/a", nullptr, nullptr, "/h", {"/a"}},
    {" 0", "/a", nullptr, nullptr, "/h", {"/a"}},
    {"1", nullptr, "/p", nullptr, "/h", {}},
    {"1", "", nullptr, nullptr, "/h", {}},
    // Separators, trimming, empty items.
    {"1", " /a ; ;/b:", nullptr, nullptr, nullptr, {"/a", "/b"}},
    {"1", "/srv/a:/srv/b", nullptr, nullptr, nullptr, {"/srv/a", "/srv/b"}},
    {"1", "/a;/b:/c", nullptr, nullptr, nullptr, {"/a", "/b", "/c"}},
    {"1", "::;;: ;\t", nullptr, nullptr, nullptr, {}},
    {"1", "\t/a\r\n;/b c ", nullptr, nullptr, nullptr, {"/a", "/b c"}},
    {"1", "\"/q\"", nullptr, nullptr, nullptr, {"\"/q\""}},
    // Duplicates are found by their full paths, a final separator aside,
    // letter case not (Linux tells "/A" from "/a"); the first keeps its place.
    {"1", "/a;/a;/a/;/A;/a", nullptr, nullptr, nullptr, {"/a", "/A"}},
    {"1", "/b/;/a//b/./;/a/b;/a/c/../b", nullptr, nullptr, nullptr, {"/b/", "/a//b/./"}},
    {nullptr, "/x;/h", nullptr, nullptr, "/h", {"/h", "/x"}},
    {"1", "/a:/a:/a:/a:/a:/a:/a:/a:/a:/b", nullptr, nullptr, nullptr, {"/a", "/b"}},
    // At most 8 roots, the home root counting.
    {nullptr,
     "/r1:/r2:/r3:/r4:/r5:/r6:/r7:/r8:/r9",
     nullptr,
     nullptr,
     "/h",
     {"/h", "/r1", "/r2", "/r3", "/r4", "/r5", "/r6", "/r7"}},
    {"1",
     "/r1;/r2;/r3;/r4;/r5;/r6;/r7;/r8;/r9;/r10",
     nullptr,
     nullptr,
     nullptr,
     {"/r1", "/r2", "/r3", "/r4", "/r5", "/r6", "/r7", "/r8"}},
};

const char *show(const char *v) {
    return v ? v : "(unset)";
}

TEST(Roots, FromEnvironmentTable) {
    Roots roots;
    for (const RootsCase &c : ROOTS_CASES) {
        SCOPED_TRACE(std::string("ONLY=") + show(c.only) + " ROOTS=" + show(c.roots) +
                     " USERPROFILE=" + show(c.userprofile) + " HOMEDRIVE=" + show(c.homedrive) +
                     " HOME=" + show(c.home));
        EnvGuard env;
        env.set("QUARLO_ONLY_ROOTS", c.only);
        env.set("QUARLO_ROOTS", c.roots);
        env.set("USERPROFILE", c.userprofile);
        env.set("HOMEDRIVE", c.homedrive);
        env.set("HOME", c.home);
        collect_roots(&roots);
        EXPECT_EQ(given_roots(roots), c.want);
        for (int i = 0; i < roots.count; i++) {
            EXPECT_EQ(roots.list[i].exists, 0);
            EXPECT_EQ(roots.list[i].count, 0);
            EXPECT_EQ(roots.list[i].truncated, 0);
        }
    }
}

TEST(Roots, RebuiltFromScratch) {
    Roots roots;
    EnvGuard env;
    env.set("QUARLO_ONLY_ROOTS", "1");
    env.set("QUARLO_ROOTS", "/a:/b");
    collect_roots(&roots);
    ASSERT_EQ(roots.count, 2);
    roots.list[0].exists = roots.list[0].count = roots.list[0].truncated = 1;
    env.set("QUARLO_ROOTS", "/b");
    collect_roots(&roots);
    ASSERT_EQ(given_roots(roots), std::vector<std::string>{"/b"});
    EXPECT_EQ(roots.list[0].exists, 0);
    EXPECT_EQ(roots.list[0].count, 0);
    EXPECT_EQ(roots.list[0].truncated, 0);
}

struct ResolvedCase {
    const char *item; // the one QUARLO_ROOTS item; $T is the temp folder
    const char *cwd;  // the current folder, below $T
    const char *root;
    const char *resolved;
};

const ResolvedCase RESOLVED_CASES[] = {
    {"/x/../y/./z//", "", "/x/../y/./z//", "/y/z/"},
    {"/", "", "/", "/"},
    {"/srv//code/", "", "/srv//code/", "/srv/code/"},
    {"rel/x", "", "rel/x", "$T/rel/x"},
    {".", "", ".", "$T"},
    {"./", "", "./", "$T/"},
    {"../up", "sub", "../up", "$T/up"},
    {"$T/sub/..", "", "$T/sub/..", "$T"},
};

TEST(Roots, ResolvedIsTheLexicalFullPath) {
    Roots roots;
    TempDir tmp;
    unit::make_dirs(tmp / "sub");
    for (const ResolvedCase &c : RESOLVED_CASES) {
        SCOPED_TRACE(c.item);
        CwdGuard cwd(tmp.path() + (c.cwd[0] ? "/" : "") + c.cwd);
        EnvGuard env;
        env.set("QUARLO_ONLY_ROOTS", "1");
        std::string item = unit::with_dir(c.item, tmp.path());
        env.set("QUARLO_ROOTS", item.c_str());
        collect_roots(&roots);
        ASSERT_EQ(roots.count, 1);
        EXPECT_EQ(std::string(roots.list[0].root), unit::with_dir(c.root, tmp.path()));
        EXPECT_EQ(std::string(roots.list[0].resolved), unit::with_dir(c.resolved, tmp.path()));
        EXPECT_STREQ(root_match_text(&roots.list[0]), roots.list[0].resolved);
    }
}

TEST(Roots, LongItemsAreDroppedNeverCut) {
    Roots roots;
    EnvGuard env;
    env.set("QUARLO_ONLY_ROOTS", "1");

    // An item of 768 bytes or more does not fit a root: it is dropped. Cut
    // to 767 bytes, "<766 bytes>/x..." would become "<766 bytes>/", the folder
    // above the one meant.
    const std::string parent = "/" + std::string(765, 'p');
    for (const std::string &item : {parent + "/" + std::string(100, 'x'),
                                    "/" + std::string(799, 'a'), "/" + std::string(767, 'a')}) {
        SCOPED_TRACE(item.size());
        env.set("QUARLO_ROOTS", (item + ":/b").c_str());
        collect_roots(&roots);
        ASSERT_EQ(roots.count, 1);
        EXPECT_EQ(std::string(roots.list[0].root), "/b");
        root_add(&roots, item.c_str());
        EXPECT_EQ(roots.count, 1);
    }
    // 767 bytes fit, blanks around an item do not count.
    const std::string fits = "/" + std::string(766, 'a');
    env.set("QUARLO_ROOTS", (" \t" + fits + " \t:/b").c_str());
    collect_roots(&roots);
    ASSERT_EQ(roots.count, 2);
    EXPECT_EQ(std::string(roots.list[0].root), fits);

    // A value of any length is read whole: the third of three 700-byte
    // items, past the first 2047 bytes, is kept whole, and so is the fourth.
    std::string a = "/" + std::string(699, 'a'), b = "/" + std::string(699, 'b'),
                c = "/" + std::string(699, 'c');
    env.set("QUARLO_ROOTS", (a + ";" + b + ";" + c + ";/d").c_str());
    collect_roots(&roots);
    ASSERT_EQ(roots.count, 4);
    EXPECT_EQ(std::string(roots.list[0].root), a);
    EXPECT_EQ(std::string(roots.list[1].root), b);
    EXPECT_EQ(std::string(roots.list[2].root), c);
    EXPECT_EQ(std::string(roots.list[3].root), "/d");
}

TEST(Roots, ShortItemWithLongFullPathKeepsItsText) {
    Roots roots;
    // A relative item whose full path (below a deep current folder) needs
    // more than 768 bytes: `resolved` is the given text.
    TempDir tmp;
    std::string deep = tmp.path();
    while (deep.size() < 900) deep += "/" + std::string(100, 'd');
    unit::make_dirs(deep);
    CwdGuard cwd(deep);
    EnvGuard env;
    env.set("QUARLO_ONLY_ROOTS", "1");
    env.set("QUARLO_ROOTS", "code");
    collect_roots(&roots);
    ASSERT_EQ(roots.count, 1);
    EXPECT_STREQ(roots.list[0].root, "code");
    EXPECT_STREQ(roots.list[0].resolved, "code");
}

TEST(Roots, RootAddIgnoresNullEmptyAndTheNinth) {
    Roots roots;
    EnvGuard env;
    env.set("QUARLO_ONLY_ROOTS", "1");
    env.set("QUARLO_ROOTS", nullptr);
    collect_roots(&roots);
    ASSERT_EQ(roots.count, 0);
    root_add(&roots, nullptr);
    root_add(&roots, "");
    EXPECT_EQ(roots.count, 0);
    for (int i = 0; i < 10; i++) root_add(&roots, ("/n" + std::to_string(i)).c_str());
    EXPECT_EQ(roots.count, ROOT_MAX);
    EXPECT_STREQ(roots.list[ROOT_MAX - 1].root, "/n7");
}

} // namespace
#endif
