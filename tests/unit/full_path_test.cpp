// plat_full_path on POSIX: a purely lexical full path.
#if !defined(_WIN32)
#include "platform/platform.h"

#include "unit_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using unit::CwdGuard;
using unit::TempDir;

std::string full_path(const std::string &path, unsigned long size = 8192) {
    std::vector<char> out(size + 1, 0);
    unsigned long n = plat_full_path(path.c_str(), out.data(), size);
    EXPECT_GT(n, 0u) << path;
    EXPECT_LT(n, size) << path;
    if (n == 0 || n >= size) return "(failed)";
    EXPECT_EQ(strlen(out.data()), n);
    return out.data();
}

// $T is the current folder (a temp folder), $P its parent, $N its name.
struct FullPathCase {
    const char *in;
    const char *out;
};

const FullPathCase FULL_PATH_CASES[] = {
    {"/", "/"},
    {"/a/b", "/a/b"},
    {"//a///b", "/a/b"},
    {"/a/./b/.", "/a/b"},
    {"/./a", "/a"},
    {"/a/b/..", "/a"},
    {"/a/b/../c", "/a/c"},
    {"/a/b/../../..", "/"},
    {"/..", "/"},
    {"/../../a", "/a"},
    {"/.", "/"},
    {"//", "/"},
    {"/a/b/", "/a/b/"},
    {"/a/b//", "/a/b/"},
    {"/a/./", "/a/"},
    {"/a/b/../", "/a/"},
    {"/a/..b/c..", "/a/..b/c.."},
    {"/a/.../b", "/a/.../b"},
    {"/a/.b/", "/a/.b/"},
    {"/Srv/Code", "/Srv/Code"},
    {"/a b/c\\d", "/a b/c\\d"},
    {"rel", "$T/rel"},
    {"rel/x/", "$T/rel/x/"},
    {".", "$T"},
    {"./", "$T/"},
    {"./x//y/.", "$T/x/y"},
    {"x/../y", "$T/y"},
    {"..", "$P"},
    {"../$N/./a", "$T/a"},
};

TEST(FullPath, LexicalTable) {
    TempDir tmp;
    CwdGuard cwd(tmp.path());
    std::string here = unit::current_dir();
    size_t cut = here.rfind('/');
    std::string parent = cut == 0 ? "/" : here.substr(0, cut), name = here.substr(cut + 1);
    auto expand = [&](std::string s) {
        for (size_t at; (at = s.find("$P")) != std::string::npos;) s.replace(at, 2, parent);
        for (size_t at; (at = s.find("$N")) != std::string::npos;) s.replace(at, 2, name);
        return unit::with_dir(s, here);
    };
    for (const FullPathCase &c : FULL_PATH_CASES) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(full_path(expand(c.in)), expand(c.out));
    }
}

TEST(FullPath, LinksAreNotResolved) {
    TempDir tmp;
    unit::make_dirs(tmp / "real/inner");
    ASSERT_EQ(symlink((tmp / "real/inner").c_str(), (tmp / "link").c_str()), 0);
    // On disk link/.. is real/, lexically it is the temp folder itself.
    EXPECT_EQ(full_path(tmp / "link/x"), tmp / "link/x");
    EXPECT_EQ(full_path(tmp / "link/.."), tmp.path());
    CwdGuard cwd(tmp / "link");
    EXPECT_EQ(full_path("y"), unit::current_dir() + "/y");
}

TEST(FullPath, TooSmallBufferGivesTheNeededSize) {
    // "/abc/def" needs 9 bytes with its terminator.
    struct {
        unsigned long size;
        unsigned long result;
    } cases[] = {{1, 9}, {8, 9}, {9, 8}, {64, 8}};
    for (auto c : cases) {
        SCOPED_TRACE(c.size);
        std::vector<char> out(c.size + 16, 'Z');
        EXPECT_EQ(plat_full_path("/abc//def/.", out.data(), c.size), c.result);
        if (c.result < c.size) {
            EXPECT_STREQ(out.data(), "/abc/def");
        }
        for (size_t i = c.size; i < out.size(); i++) ASSERT_EQ(out[i], 'Z') << i;
    }
}

TEST(FullPath, EmptyOrNullFails) {
    char out[64] = "x";
    EXPECT_EQ(plat_full_path("", out, sizeof out), 0u);
    EXPECT_EQ(plat_full_path(nullptr, out, sizeof out), 0u);
    EXPECT_EQ(plat_full_path("/a", nullptr, 64), 0u);
    EXPECT_EQ(plat_full_path("/a", out, 0), 0u);
}

} // namespace
#endif
