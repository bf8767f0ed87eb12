// Finding a working copy's git folders without git: made folders (these run
// on Linux and under Wine) and, on Linux, real repositories compared with what
// git itself answers.
#include "files.h"
#include "platform/platform.h"
#include "git/gitdir/gitdir.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif

using namespace testfs;

namespace {

// The same object for the file system (two spellings of one folder).
bool same_object(const std::string &a, const std::string &b) {
    PlatFileId ia, ib;
    return plat_file_id(a.c_str(), &ia) && plat_file_id(b.c_str(), &ib) && ia.volume == ib.volume &&
           ia.index == ib.index;
}

// A bare-bones git folder: enough for the finder, which looks at nothing else.
void make_git_folder(const std::string &dir) {
    ASSERT_TRUE(make_dirs(dir));
    write_file(dir + SEP + "HEAD", "ref: refs/heads/main\n");
}

} // namespace

TEST(GitDirFind, MadeFolders) {
    TempDir t;
    // Shared by the cases: a main copy's git folder with a linked worktree's
    // folder below it, and a separate git folder elsewhere.
    make_git_folder(t / "main" + SEP + ".git");
    make_git_folder(t / "main" + SEP + ".git" + SEP + "worktrees" + SEP + "wt");
    write_file(t / "main" + SEP + ".git" + SEP + "worktrees" + SEP + "wt" + SEP + "commondir",
               "../..\n");
    make_git_folder(t / "store");

    struct Case {
        const char *name;
        const char *dot_git; // the `.git` file's content; null: no file (for "main" a folder)
        const char *worktree;
        int found;
        std::string git, common; // expected folders ("" when not found)
    };
    std::string main_git = t / "main" + SEP + ".git";
    std::string wt_git = main_git + SEP + "worktrees" + SEP + "wt";
    std::string abs_wt_line = "gitdir: " + wt_git + "\n";
    std::string abs_store_line = "gitdir: " + t / "store" + "\r\n";
    // Git for Windows writes its paths with forward slashes ("C:/src/x").
    std::string fwd_store = t / "store";
    for (char &c : fwd_store)
        if (c == '\\') c = '/';
    std::string fwd_store_line = "gitdir: " + fwd_store + "\n";
    const Case CASES[] = {
        {"a .git folder", nullptr, "main", 1, main_git, main_git},
        {"no .git at all", nullptr, "none", 0, "", ""},
        {"linked worktree, absolute line", abs_wt_line.c_str(), "wt", 1, wt_git, main_git},
        {"separate folder, absolute line with CR LF", abs_store_line.c_str(), "sep", 1, t / "store",
         t / "store"},
        {"absolute line with forward slashes", fwd_store_line.c_str(), "fwd", 1, t / "store",
         t / "store"},
        {"relative line", "gitdir: ../store\n", "rel", 1, t / "store", t / "store"},
        {"relative line without a line feed", "gitdir: ../store", "rel2", 1, t / "store",
         t / "store"},
        {"a line naming a missing folder", "gitdir: ../gone\n", "missing", 0, "", ""},
        {"no gitdir: prefix", "../store\n", "noprefix", 0, "", ""},
        {"prefix without its space", "gitdir:../store\n", "nospace", 0, "", ""},
        {"an empty file", "", "empty", 0, "", ""},
        {"only the prefix", "gitdir: \n", "bare", 0, "", ""},
    };
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.name);
        std::string wt = t / c.worktree;
        if (c.dot_git) write_file(wt + SEP + ".git", c.dot_git);
        GitDirs d;
        ASSERT_EQ(gitdir_find(wt.c_str(), &d), c.found);
        if (!c.found) {
            EXPECT_STREQ(d.git, "");
            EXPECT_STREQ(d.common, "");
            continue;
        }
        EXPECT_TRUE(same_object(d.git, c.git)) << d.git;
        EXPECT_TRUE(same_object(d.common, c.common)) << d.common;
    }
}

TEST(GitDirFind, CommondirThatCannotBeFollowed) {
    TempDir t;
    std::string own = t / "own";
    make_git_folder(own);
    write_file(t / "wt" + SEP + ".git", "gitdir: ../own\n");
    const char *CONTENTS[] = {"../nowhere\n", "", "\n"};
    for (const char *content : CONTENTS) {
        SCOPED_TRACE(content);
        write_file(own + SEP + "commondir", content);
        GitDirs d;
        EXPECT_EQ(gitdir_find((t / "wt").c_str(), &d), 0);
    }
    // An absolute commondir line.
    make_git_folder(t / "shared");
    write_file(own + SEP + "commondir", t / "shared" + "\n");
    GitDirs d;
    ASSERT_EQ(gitdir_find((t / "wt").c_str(), &d), 1);
    EXPECT_TRUE(same_object(d.git, own));
    EXPECT_TRUE(same_object(d.common, t / "shared"));
}

TEST(GitDirFind, LongFileIsNotAPath) {
    TempDir t;
    make_git_folder(t / "store");
    // A valid line followed by more text than any path: not a file git wrote.
    write_file(t / "wt" + SEP + ".git", "gitdir: ../store\n" + std::string(FULL_PATH_SIZE, 'x'));
    GitDirs d;
    EXPECT_EQ(gitdir_find((t / "wt").c_str(), &d), 0);
}

#if !defined(_WIN32)
// A `.git` or a `commondir` that is a FIFO is not read (and never waited on).
TEST(GitDirFind, FifoIsNotRead) {
    TempDir t;
    ASSERT_TRUE(make_dirs(t / "wt"));
    ASSERT_EQ(mkfifo((t / "wt" + "/.git").c_str(), 0644), 0);
    GitDirs d;
    EXPECT_EQ(gitdir_find((t / "wt").c_str(), &d), 0);
    make_git_folder(t / "own");
    ASSERT_EQ(mkfifo((t / "own" + "/commondir").c_str(), 0644), 0);
    write_file(t / "wt2" + "/.git", "gitdir: ../own\n");
    EXPECT_EQ(gitdir_find((t / "wt2").c_str(), &d), 0);
}

namespace {

// Runs a shell command with git's configuration kept out of the way; true on
// exit status 0.
bool sh_ok(const std::string &cmd) {
    std::string full = "HOME=/nonexistent GIT_CONFIG_NOSYSTEM=1 GIT_AUTHOR_NAME=t "
                       "GIT_AUTHOR_EMAIL=t@t GIT_COMMITTER_NAME=t GIT_COMMITTER_EMAIL=t@t "
                       "sh -c '" +
                       cmd + "' >/dev/null 2>&1";
    return std::system(full.c_str()) == 0;
}

// git's own answer, first line of stdout.
std::string git_says(const std::string &dir, const std::string &args) {
    std::string cmd = "cd '" + dir + "' && HOME=/nonexistent GIT_CONFIG_NOSYSTEM=1 git " + args;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return "";
    char line[4096] = "";
    if (!fgets(line, sizeof line, p)) line[0] = 0;
    pclose(p);
    std::string s = line;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

} // namespace

// Real repositories: the finder agrees with git's --absolute-git-dir and
// --git-common-dir in each shape a working copy can take.
TEST(GitDirFind, AgreesWithGitOnRealRepositories) {
    TempDir t;
    std::string d = t.path();
    ASSERT_TRUE(sh_ok("cd " + d +
                      " && git init -q plain && cd plain && git commit -q --allow-empty -m one"));
    ASSERT_TRUE(sh_ok("cd " + d + "/plain && git worktree add -q ../linked"));
    ASSERT_TRUE(
        sh_ok("cd " + d + " && git clone -q --separate-git-dir " + d + "/sepstore plain separate"));
    // A worktree of the separate clone: its `.git` file names a folder below
    // the separate store, whose commondir is relative.
    ASSERT_TRUE(sh_ok("cd " + d + "/separate && git worktree add -q ../sepwt"));
    // A hand-written relative line, as submodules have.
    ASSERT_TRUE(sh_ok("mkdir " + d + "/relative && cd " + d +
                      "/relative && printf \"gitdir: ../sepstore\\n\" > .git"));

    const char *WORKTREES[] = {"plain", "linked", "separate", "sepwt", "relative"};
    for (const char *w : WORKTREES) {
        SCOPED_TRACE(w);
        std::string wt = d + "/" + w;
        GitDirs g;
        ASSERT_EQ(gitdir_find(wt.c_str(), &g), 1);
        std::string git_dir = git_says(wt, "rev-parse --absolute-git-dir");
        std::string common = git_says(wt, "rev-parse --path-format=absolute --git-common-dir");
        ASSERT_FALSE(git_dir.empty());
        EXPECT_TRUE(same_object(g.git, git_dir)) << g.git << " vs " << git_dir;
        EXPECT_TRUE(same_object(g.common, common)) << g.common << " vs " << common;
    }

    // A broken `.git` file: git refuses it, and so does the finder.
    ASSERT_TRUE(sh_ok("mkdir " + d + "/broken && cd " + d + "/broken && echo nonsense > .git"));
    EXPECT_FALSE(sh_ok("cd " + d + "/broken && git rev-parse --git-dir"));
    GitDirs g;
    EXPECT_EQ(gitdir_find((d + "/broken").c_str(), &g), 0);
}
#endif
