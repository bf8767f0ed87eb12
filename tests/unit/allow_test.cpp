// path_allowed: the gate for a repository path from a client, against real
// folders in a temp folder.
#if !defined(_WIN32)
#include "roots/roots.h"

#include "unit_support.h"

#include <gtest/gtest.h>

#include <string>
#include <unistd.h>
#include <vector>

namespace {

using unit::CwdGuard;
using unit::EnvGuard;
using unit::TempDir;

void make_symlink(const std::string &target, const std::string &link) {
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
}

class PathAllowed : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char *repo :
             {"code/proj", "code/my..repo", "code/sp ace", "Code/proj", "codebases/p", "rootrepo",
              "outside/proj", "slash/r", "code\\evil", "code/a\\..\\b"})
            unit::make_dirs(tmp / repo + "/.git");
        // Folders the walk does not enter or list, and links it refuses.
        for (const char *repo :
             {"code/.hid/r", "code/node_modules/r", "code/__pycache__/r", "code/proj/inner",
              "code/a/b/c/d", "code/a/b/c/d/e", "code/a/b/c/four", "code/a/.b/r", "outside/o"})
            unit::make_dirs(tmp / repo + "/.git");
        make_symlink("..", tmp / "code/up");
        make_symlink(".", tmp / "code/self");
        make_symlink("../../code", tmp / "code/a/back");
        make_symlink(tmp / "outside", tmp / "code/out");
        // Second names of a listed working copy: beside it, and below a later root.
        make_symlink("proj", tmp / "code/alias");
        make_symlink(tmp / "code/proj", tmp / "codebases/alias");
        unit::make_dirs(tmp / "code/plain");
        unit::make_dirs(tmp / "code/proj/sub");
        unit::make_dirs(tmp / "code/wt");
        unit::write_file(tmp / "code/wt/.git", "gitdir: ../../rootrepo/.git/worktrees/wt\n");
        env.set("QUARLO_ONLY_ROOTS", "1");
    }

    // Runs the check with the roots given; on refusal `out` must be untouched.
    int check(const std::string &roots, const std::string &path, std::string *out) {
        env.set("QUARLO_ROOTS", roots.c_str());
        std::vector<char> buf(1400 + 32, 'Z');
        Roots table;
        collect_roots(&table);
        int ok = path_allowed(&table, path.c_str(), buf.data(), nullptr);
        if (ok) {
            *out = buf.data();
        } else {
            for (size_t i = 0; i < buf.size(); i++)
                if (buf[i] != 'Z') ADD_FAILURE() << "refusal wrote byte " << i;
            out->clear();
        }
        for (size_t i = 1400; i < buf.size(); i++)
            if (buf[i] != 'Z') ADD_FAILURE() << "wrote past 1400 bytes at " << i;
        return ok;
    }

    TempDir tmp;
    EnvGuard env;
};

struct AllowCase {
    const char *roots; // QUARLO_ROOTS; $T is the temp folder
    const char *cwd;   // current folder below $T during the check
    const char *path;
    const char *out; // null: refused
};

#define ROOTS "$T/code;$T/codebases;$T/rootrepo;$T/slash/"

const AllowCase ALLOW_CASES[] = {
    {ROOTS, "", "", nullptr},
    {ROOTS, "", "$T/code/proj", "$T/code/proj"},
    // A ".." component refuses; two dots inside a name are a name.
    {ROOTS, "", "$T/code/proj/../proj", nullptr},
    {ROOTS, "", "$T/code/proj/..", nullptr},
    {ROOTS, "code", "..", nullptr},
    {ROOTS, "", "$T/code/my..repo", "$T/code/my..repo"},
    // On Linux a backslash is part of a name: "code\evil" is a sibling of
    // the root "code", not below it; "a\..\b" is one name below it.
    {ROOTS, "", "$T/code\\evil", nullptr},
    {"$T/code", "", "$T/code/a\\..\\b", "$T/code/a\\..\\b"},
    // Outside every root, or no ".git".
    {ROOTS, "", "$T/outside/proj", nullptr},
    {ROOTS, "", "$T/code/plain", nullptr},
    {ROOTS, "", "$T/code/proj/sub", nullptr},
    {ROOTS, "", "$T/code/nope", nullptr},
    {ROOTS, "", "$T/code", nullptr},
    {ROOTS, "", "/", nullptr},
    {"", "", "$T/code/proj", nullptr},
    // A ".git" file (linked worktree) counts; the root itself is accepted.
    {ROOTS, "", "$T/code/wt", "$T/code/wt"},
    {ROOTS, "", "$T/rootrepo", "$T/rootrepo"},
    {ROOTS, "", "$T/code/sp ace", "$T/code/sp ace"},
    // The prefix must end at a component boundary.
    {"$T/code", "", "$T/codebases/p", nullptr},
    {"$T/code;$T/codebases", "", "$T/codebases/p", "$T/codebases/p"},
    {"$T/codebases;$T/code", "", "$T/code/proj", "$T/code/proj"},
    {"$T/cod", "", "$T/code/proj", nullptr},
    // Letter case counts.
    {ROOTS, "", "$T/Code/proj", nullptr},
    {"$T/Code", "", "$T/code/proj", nullptr},
    // The normalised form is handed back.
    {ROOTS, "", "$T//code/./proj", "$T/code/proj"},
    {ROOTS, "", "$T/code/proj/.", "$T/code/proj"},
    // A final separator names the same folder, answered as the walk spells
    // it (it used to be kept, and the name read empty).
    {ROOTS, "", "$T/code/proj/", "$T/code/proj"},
    // Relative paths are resolved against the current folder.
    {ROOTS, "", "code/proj", "$T/code/proj"},
    {ROOTS, "code", "./proj", "$T/code/proj"},
    {ROOTS, "code", "proj", "$T/code/proj"},
    {ROOTS, "outside", "proj", nullptr},
    // Roots in other forms: relative, not normalised, ending in '/'.
    {"code", "", "$T/code/proj", "$T/code/proj"},
    {"$T/./code//", "", "$T/code/proj", "$T/code/proj"},
    {"$T/slash/", "", "$T/slash/r", "$T/slash/r"},
    // A root written with "." or ".." is walked, and answers, resolved.
    {"$T/code/..", "", "$T/code/proj", "$T/code/proj"},
    {"$T/code/../code/.", "", "$T/code/proj", "$T/code/proj"},
    {"$T/code/..", "", "$T/code/../code/proj", nullptr},
    // Only what the walk lists: no folder it skips, no deeper than four
    // folders below the root, nothing inside another working copy.
    {ROOTS, "", "$T/code/.hid/r", nullptr},
    {ROOTS, "", "$T/code/node_modules/r", nullptr},
    {ROOTS, "", "$T/code/__pycache__/r", nullptr},
    {ROOTS, "", "$T/code/a/.b/r", nullptr},
    {ROOTS, "", "$T/code/proj/inner", nullptr},
    {ROOTS, "", "$T/code/a/b/c/d", "$T/code/a/b/c/d"},
    {ROOTS, "", "$T/code/a/b/c/four", "$T/code/a/b/c/four"},
    {ROOTS, "", "$T/code/a/b/c/d/e", nullptr},
    {"$T/code/a", "", "$T/code/a/b/c/d/e", nullptr}, // inside the working copy d
    // The root itself as a folder of a dot-named parent is walked like any.
    {"$T/code/.hid", "", "$T/code/.hid/r", "$T/code/.hid/r"},
    // Links to the root, its parent, "/" and back up the way are refused;
    // a link elsewhere is followed and answers through the link.
    {ROOTS, "", "$T/code/up/code/proj", nullptr},
    {ROOTS, "", "$T/code/up/outside/proj", nullptr},
    {ROOTS, "", "$T/code/self/proj", nullptr},
    {ROOTS, "", "$T/code/a/back/proj", nullptr},
    {ROOTS, "", "$T/code/out/o", "$T/code/out/o"},
    {ROOTS, "", "$T/code/out/proj", "$T/code/out/proj"},
    // A second name of a folder the listing lists answers with the listing's
    // name for it (its first root, the fewest links); where that name is the
    // only one the roots reach, with that name.
    {ROOTS, "", "$T/code/alias", "$T/code/proj"},
    {ROOTS, "", "$T/codebases/alias", "$T/code/proj"},
    {"$T/codebases", "", "$T/codebases/alias", "$T/codebases/alias"},
};

TEST_F(PathAllowed, Table) {
    for (const AllowCase &c : ALLOW_CASES) {
        SCOPED_TRACE(std::string("roots '") + c.roots + "' cwd '" + c.cwd + "' path '" + c.path +
                     "'");
        CwdGuard cwd(tmp.path() + (c.cwd[0] ? "/" : "") + c.cwd);
        std::string out;
        int ok =
            check(unit::with_dir(c.roots, tmp.path()), unit::with_dir(c.path, tmp.path()), &out);
        EXPECT_EQ(ok, c.out ? 1 : 0);
        if (c.out) {
            EXPECT_EQ(out, unit::with_dir(c.out, tmp.path()));
        }
    }
}

TEST_F(PathAllowed, NullPathIsRefused) {
    env.set("QUARLO_ROOTS", "/");
    char out[1400] = "keep";
    Roots roots;
    collect_roots(&roots);
    EXPECT_EQ(path_allowed(&roots, nullptr, out, nullptr), 0);
    EXPECT_STREQ(out, "keep");
}

// Makes a repository whose folder path is exactly `length` bytes long.
std::string repo_of_length(const std::string &base, size_t length) {
    std::string path = base;
    while (path.size() < length) {
        size_t left = length - path.size();
        size_t n = left - 1 > 250 ? 250 : left - 1; // long names: few levels
        if (left - 1 - n == 1) n--;                 // never leave room for a one-byte "/"
        path += "/" + std::string(n, 'n');
    }
    unit::make_dirs(path + "/.git");
    return path;
}

TEST_F(PathAllowed, LongPaths) {
    // A path is held whole by the record it goes to (1023 bytes) or refused:
    // cut to that size it would name another folder.
    struct {
        size_t length;
        int ok;
    } cases[] = {{1023, 1}, {1024, 0}, {1194, 0}, {1399, 0}, {1500, 0}};
    for (auto c : cases) {
        SCOPED_TRACE(c.length);
        std::string repo = repo_of_length(tmp / "code", c.length);
        ASSERT_EQ(repo.size(), c.length);
        std::string out;
        EXPECT_EQ(check(tmp / "code", repo, &out), c.ok);
        if (c.ok) {
            EXPECT_EQ(out, repo);
        }
    }

    // The same through a relative path whose full form is too long.
    std::string deep = repo_of_length(tmp / "code", 1300);
    CwdGuard cwd(deep);
    unit::make_dirs(deep + "/" + std::string(150, 'r') + "/.git");
    std::string out;
    EXPECT_EQ(check(tmp / "code", std::string(150, 'r'), &out), 0);
}

} // namespace
#endif
