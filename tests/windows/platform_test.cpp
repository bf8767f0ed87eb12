// The Win32 platform layer, the root list, the allowlist and discovery
// against real folders on Wine's drives.
#include "platform/platform.h"
#include "repo/repo.h"
#include "roots/roots.h"
#include "win_support.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

using win::CwdGuard;
using win::EnvGuard;
using win::TempDir;

static std::string full_path(const std::string &p) {
    char out[1400];
    unsigned long n = plat_full_path(p.c_str(), out, sizeof out);
    if (n == 0 || n >= sizeof out) return "<failed>";
    return std::string(out, n);
}

// A bare drive ("C:") resolves to that drive's current folder; Wine writes
// it with a final backslash, which this drops for comparison.
static std::string without_final_backslash(std::string p) {
    if (p.size() > 3 && p.back() == '\\') p.pop_back();
    return p;
}

// ---- full path --------------------------------------------------------------

TEST(FullPath, ResolvesAgainstTheCurrentFolderAndFolds) {
    TempDir t;
    CwdGuard cwd(t.path());
    const std::string T = t.path();
    struct Case {
        const char *in;
        std::string want;
    } cases[] = {
        {"rel\\x", T + "\\rel\\x"},
        {"rel/x/./y/../z", T + "\\rel\\x\\z"},
        {".", T},
        {"..\\sibling", T.substr(0, T.rfind('\\')) + "\\sibling"},
        {"C:/a//b/../c", "C:\\a\\c"},
        {"Z:\\tmp\\.\\x\\..\\y", "Z:\\tmp\\y"},
        {"c:\\Mixed\\CASE", "c:\\Mixed\\CASE"}, // letter case, the drive's included, is kept
        {"C:\\trailing\\", "C:\\trailing\\"},
        {"C:\\a\\..\\..\\..\\b", "C:\\b"}, // never above the drive's root
        {"\\\\server\\share\\x\\..\\y", "\\\\server\\share\\y"},
        {"\\rooted", T.substr(0, 2) + "\\rooted"}, // the current drive's root
    };
    for (const Case &c : cases) EXPECT_EQ(full_path(c.in), c.want) << c.in;
}

TEST(FullPath, DriveRelativeUsesThatDrivesCurrentFolder) {
    TempDir t;
    ASSERT_EQ(t.path().substr(0, 2), "C:");
    {
        // The current folder is on C:, so "C:x" continues from it.
        CwdGuard cwd(t.path());
        EXPECT_EQ(full_path("C:x"), t.path() + "\\x");
        EXPECT_EQ(without_final_backslash(full_path("C:")), t.path());
    }
    {
        // From another drive, "C:x" continues from the folder remembered for
        // C: in the "=C:" variable, and from C:'s root when none is.
        CwdGuard cwd("Z:\\");
        char saved[MAX_PATH] = "";
        DWORD had = GetEnvironmentVariableA("=C:", saved, sizeof saved);
        SetEnvironmentVariableA("=C:", t.path().c_str());
        EXPECT_EQ(full_path("C:x"), t.path() + "\\x");
        SetEnvironmentVariableA("=C:", nullptr);
        EXPECT_EQ(full_path("C:x"), "C:\\x");
        if (had > 0 && had < sizeof saved) SetEnvironmentVariableA("=C:", saved);
    }
}

TEST(FullPath, TooSmallBufferGivesTheNeededSize) {
    char out[8];
    unsigned long n = plat_full_path("C:\\abcdefgh", out, sizeof out);
    EXPECT_GE(n, sizeof out);
    EXPECT_EQ(n, strlen("C:\\abcdefgh") + 1);
    EXPECT_EQ(plat_full_path("", out, sizeof out), 0u);
    EXPECT_EQ(plat_full_path(nullptr, out, sizeof out), 0u);
}

// ---- existence and listing --------------------------------------------------

TEST(Exists, FilesFoldersAndMissingPaths) {
    TempDir t;
    ASSERT_TRUE(win::make_dirs(t / "folder"));
    win::write_file(t / "file.txt", "x");
    EXPECT_EQ(plat_exists(t.path().c_str()), 1);
    EXPECT_EQ(plat_exists((t / "folder").c_str()), 1);
    EXPECT_EQ(plat_exists((t / "folder\\").c_str()), 1);
    EXPECT_EQ(plat_exists((t / "file.txt").c_str()), 1);
    EXPECT_EQ(plat_exists((t.path() + "/folder").c_str()), 1); // forward slash
    EXPECT_EQ(plat_exists((t / "missing").c_str()), 0);
    EXPECT_EQ(plat_exists((t / "missing\\deeper").c_str()), 0);
    EXPECT_EQ(plat_exists(""), 0);
    EXPECT_EQ(plat_exists(nullptr), 0);
}

static std::vector<std::pair<std::string, int>> list(const std::string &dir, int *opened) {
    std::vector<std::pair<std::string, int>> entries;
    PlatDir d;
    *opened = plat_dir_open(&d, dir.c_str());
    if (!*opened) return entries;
    while (plat_dir_next(&d)) entries.push_back({d.name, d.is_dir});
    plat_dir_close(&d);
    std::sort(entries.begin(), entries.end());
    return entries;
}

TEST(DirListing, NamesAndFolderBits) {
    TempDir t;
    ASSERT_TRUE(win::make_dirs(t / "sub"));
    ASSERT_TRUE(win::make_dirs(t / ".hidden"));
    ASSERT_TRUE(win::make_dirs(t / "hidden-attr"));
    SetFileAttributesA((t / "hidden-attr").c_str(), FILE_ATTRIBUTE_HIDDEN);
    win::write_file(t / "file.txt", "x");
    const std::vector<std::pair<std::string, int>> want = {
        {".", 1}, {"..", 1}, {".hidden", 1}, {"file.txt", 0}, {"hidden-attr", 1}, {"sub", 1}};
    int opened = 0;
    EXPECT_EQ(list(t.path(), &opened), want);
    EXPECT_EQ(opened, 1);
    // A folder written with its final separator ("C:\repo\") lists the same.
    EXPECT_EQ(list(t.path() + "\\", &opened), want);
    EXPECT_EQ(list(t.path() + "/", &opened), want);
}

TEST(DirListing, MissingFolderOrFileCannotBeListed) {
    TempDir t;
    win::write_file(t / "file.txt", "x");
    int opened = 1;
    EXPECT_TRUE(list(t / "missing", &opened).empty());
    EXPECT_EQ(opened, 0);
    EXPECT_TRUE(list(t / "file.txt", &opened).empty());
    EXPECT_EQ(opened, 0);
}

TEST(DirListing, PathTheSystemCannotTakeIsSaidApart) {
    // A folder that is not there, or is a file, simply cannot be listed; one
    // whose path the system refuses for its name, or that is longer than the
    // layer holds (cut short, its pattern would name another folder), is
    // told apart, so that the walk can say what it left out.
    TempDir t;
    win::write_file(t / "file.txt", "x");
    struct Case {
        std::string dir;
        int want;
    } cases[] = {
        {t / "missing", 0},
        {t / "file.txt", 0},
        {t / "a<b", PLAT_DIR_UNUSABLE},
        {"C:\\" + std::string(1397, 'a'), PLAT_DIR_UNUSABLE}, // 1,400 bytes
    };
    for (const Case &c : cases) {
        PlatDir d;
        EXPECT_EQ(plat_dir_open(&d, c.dir.c_str()), c.want) << c.dir.size();
        EXPECT_EQ(plat_dir_next(&d), 0);
        plat_dir_close(&d);
    }
}

// Names in any language, with the program's texts in UTF-8: the test
// program carries quarlo.exe's manifest, so its own 8-bit calls are UTF-8 too.
static const char *const NAMES_OUTSIDE_THE_CODE_PAGE[] = {
    "plain",
    "caf\xC3\xA9",
    "\xCE\x9C\xCE\xB1\xCF\x81\xCE\xAF\xCE\xB1",
    "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E",
    "\xF0\x9F\x98\x80",
    "x\xEF\xBC\x8Fy", // a full-width slash: a name, never a separator
};
static const char ROOT_NAME[] = "\xCE\xA1\xCE\xAF\xCE\xB6\xCE\xB1-\xE6\xA0\xB9";

TEST(Names, OutsideTheCodePageAsUtf8) {
    TempDir t;
    const std::string R = t / ROOT_NAME;
    std::vector<std::pair<std::string, int>> want = {{".", 1}, {"..", 1}};
    for (const char *name : NAMES_OUTSIDE_THE_CODE_PAGE) {
        ASSERT_TRUE(win::make_dirs(R + "\\" + name)) << name;
        want.push_back({name, 1});
    }
    std::sort(want.begin(), want.end());
    int opened = 0;
    EXPECT_EQ(list(R, &opened), want);
    for (const char *name : NAMES_OUTSIDE_THE_CODE_PAGE) {
        SCOPED_TRACE(name);
        const std::string p = R + "\\" + name;
        EXPECT_EQ(plat_exists(p.c_str()), 1);
        EXPECT_EQ(full_path(p), p);
        char real[1400];
        unsigned long n = plat_real_path(p.c_str(), real, sizeof real);
        EXPECT_EQ(std::string(real, n < sizeof real ? n : 0), p);
        EXPECT_STREQ(base_name(p.c_str()), name);
        PlatFileId id;
        EXPECT_EQ(plat_file_id(p.c_str(), &id), 1);
    }
    // "x\xEF\xBC\x8Fy" is not "x/y", which does not exist.
    EXPECT_EQ(plat_exists((R + "\\x/y").c_str()), 0);
}

TEST(Names, SamePathAsTheFileSystemComparesNames) {
    struct Case {
        std::string a, b;
        int want;
    } cases[] = {
        {"C:\\proj", "C:\\proj", 1},
        {"C:\\proj", "c:\\PROJ", 1},
        {"C:\\proj", "C:\\proj\\", 1},
        {"C:\\", "c:", 1},
        {"C:\\proj", "\\\\?\\C:\\proj", 1},
        {"\\\\server\\share\\x", "\\\\?\\UNC\\SERVER\\share\\x\\", 1},
        {std::string("C:\\") + NAMES_OUTSIDE_THE_CODE_PAGE[2],
         "c:\\\xCE\x9C\xCE\x91\xCE\xA1\xCE\x8A\xCE\x91", 1}, // Greek in capitals
        {"C:\\proj", "C:\\proj2", 0},
        {"C:\\proj", "D:\\proj", 0},
        {"C:\\a\\b", "C:\\a", 0},
        {std::string("C:\\") + NAMES_OUTSIDE_THE_CODE_PAGE[5], "C:\\x/y", 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(plat_same_path(c.a.c_str(), c.b.c_str()), c.want) << c.a << " " << c.b;
        EXPECT_EQ(plat_same_path(c.b.c_str(), c.a.c_str()), c.want) << c.b << " " << c.a;
    }
}

// ---- discovery --------------------------------------------------------------

// A folder one level below C:\, so that what it holds lies within the walk's
// four levels below the drive's root; removed with what it holds.
struct DriveFolder {
    std::string path = "C:\\quarlo-drive-" + std::to_string(GetCurrentProcessId());
    ~DriveFolder() { win::remove_tree(path); }
};

static std::set<std::string> walk(const std::string &root, int *stop_out = nullptr,
                                  int *deeper_out = nullptr) {
    Walk w;
    w.cap = 64;
    walk_dir(root.c_str(), &w);
    if (stop_out) *stop_out = w.stop;
    if (deeper_out) *deeper_out = w.deeper;
    std::set<std::string> paths;
    for (const FoundRepo &f : w.found) paths.insert(f.path);
    return paths;
}

TEST(Discovery, DepthAndSkipRulesOnARealTree) {
    TempDir t;
    const std::string R = t / "root";
    const char *repos[] = {
        "a",               // depth 1
        "b\\c\\d\\e",      // depth 4: found
        "b\\c\\d\\f\\g",   // depth 5: not found
        "a\\nested",       // inside a working copy: not found
        "node_modules\\x", // skipped folder
        "__pycache__\\x",  // skipped folder
        ".hidden\\x",      // dot folder
        "hidden-attr\\z",  // hidden attribute: entered
    };
    for (const char *r : repos) ASSERT_TRUE(win::make_dirs(R + "\\" + r + "\\.git")) << r;
    SetFileAttributesA((R + "\\hidden-attr").c_str(), FILE_ATTRIBUTE_HIDDEN);
    // A ".git" file (linked worktree, submodule) marks a repository too.
    ASSERT_TRUE(win::make_dirs(R + "\\wt"));
    win::write_file(R + "\\wt\\.git", "gitdir: C:\\elsewhere\n");
    // A file named like a folder is not entered.
    win::write_file(R + "\\plain.txt", "x");

    int stop = 1, deeper = 0;
    const std::set<std::string> want = {R + "\\a", R + "\\b\\c\\d\\e", R + "\\hidden-attr\\z",
                                        R + "\\wt"};
    EXPECT_EQ(walk(R, &stop, &deeper), want);
    EXPECT_EQ(stop, 0);
    EXPECT_EQ(deeper, 1) << "b\\c\\d\\f at the depth limit holds a folder";
    // Without b\c\d\f\g nothing lies below the depth limit.
    win::remove_tree(R + "\\b\\c\\d\\f\\g");
    EXPECT_EQ(walk(R, &stop, &deeper), want);
    EXPECT_EQ(deeper, 0);
}

// The identity of a folder is the same whatever spelling reaches it.
TEST(FileId, SameFolderSameIdentity) {
    TempDir t;
    ASSERT_TRUE(win::make_dirs(t / "a\\b"));
    ASSERT_TRUE(win::make_dirs(t / "c"));
    std::string fwd = t.path() + "/a/b/";
    PlatFileId x, y, z;
    ASSERT_EQ(plat_file_id((t / "a\\b").c_str(), &x), 1);
    ASSERT_EQ(plat_file_id(fwd.c_str(), &y), 1);
    ASSERT_EQ(plat_file_id((t / "c").c_str(), &z), 1);
    EXPECT_TRUE(x.volume == y.volume && x.index == y.index);
    EXPECT_FALSE(x.volume == z.volume && x.index == z.index);
    EXPECT_EQ(plat_file_id((t / "missing").c_str(), &z), 0);
}

// The real path of a folder: its full path with the usual drive form.
TEST(RealPath, FullFormOfAnExistingFolder) {
    TempDir t;
    ASSERT_TRUE(win::make_dirs(t / "a\\b"));
    char out[1400];
    std::string fwd = t.path() + "/a/./b";
    unsigned long n = plat_real_path(fwd.c_str(), out, sizeof out);
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, sizeof out);
    EXPECT_EQ(std::string(out), t / "a\\b");
    EXPECT_EQ(plat_real_path((t / "missing").c_str(), out, sizeof out), 0u);
    EXPECT_GT(plat_real_path((t / "a\\b").c_str(), out, 4), 4u) << "the size it needs";
}

TEST(Discovery, SkippedNamesAreCaseSensitive) {
    // The file system does not tell the cases apart, but the skip rule does:
    // "Node_Modules" and "__PYCACHE__" are entered.
    TempDir t;
    ASSERT_TRUE(win::make_dirs(t / "root\\Node_Modules\\y\\.git"));
    ASSERT_TRUE(win::make_dirs(t / "root\\__PYCACHE__\\z\\.git"));
    EXPECT_EQ(walk(t / "root"),
              (std::set<std::string>{t / "root\\Node_Modules\\y", t / "root\\__PYCACHE__\\z"}));
}

TEST(Discovery, ChildPathsJoinWithABackslash) {
    TempDir t;
    ASSERT_TRUE(win::make_dirs(t / "root\\proj\\.git"));
    std::string fwd = t.path() + "/root";
    for (char &c : fwd)
        if (c == '\\') c = '/';
    // The root text stays as given; each folder name is joined with '\',
    // where the folder does not end in a separator already.
    EXPECT_EQ(walk(fwd), std::set<std::string>{fwd + "\\proj"});
    EXPECT_EQ(walk(t / "root\\"), std::set<std::string>{t / "root\\proj"});
    EXPECT_EQ(walk(fwd + "/"), std::set<std::string>{fwd + "/proj"});
    // A \\?\ path is taken as it stands: a doubled separator or a '/' in it
    // would be part of a name.
    const std::string lng = "\\\\?\\" + t.path() + "\\root";
    EXPECT_EQ(walk(lng), std::set<std::string>{lng + "\\proj"});
    EXPECT_EQ(walk(lng + "\\"), std::set<std::string>{lng + "\\proj"});
}

TEST(Discovery, RootThatIsARepositoryYieldsItselfOnly) {
    TempDir t;
    ASSERT_TRUE(win::make_dirs(t / "repo\\.git"));
    ASSERT_TRUE(win::make_dirs(t / "repo\\inner\\.git"));
    EXPECT_EQ(walk(t / "repo"), std::set<std::string>{t / "repo"});
    // Given with its final backslash, the record's name is empty.
    EXPECT_EQ(walk(t / "repo\\"), std::set<std::string>{t / "repo\\"});
    EXPECT_STREQ(base_name((t / "repo\\").c_str()), ""); // its record's name
}

// ---- root list --------------------------------------------------------------

static std::vector<std::string> roots() {
    Roots given;
    collect_roots(&given);
    std::vector<std::string> r;
    for (int i = 0; i < given.count; i++) r.push_back(given.list[i].root);
    return r;
}

TEST(Roots, DriveLetterColonRule) {
    EnvGuard env;
    env.set("QUARLO_ONLY_ROOTS", "1");
    struct Case {
        const char *value;
        std::vector<std::string> want;
    } cases[] = {
        {" C:\\src ; ;D:/work;", {"C:\\src", "D:/work"}},
        {"C:\\a:C:\\b", {"C:\\a", "C:\\b"}},
        {"C:\\a:C:", {"C:\\a", "C:\\"}},      // a bare drive is the drive's root
        {"/srv/a:/srv/b", {"/srv/a:/srv/b"}}, // a colon before '/' stays
        {"C:\\x:D:/y;E:\\z", {"C:\\x", "D:/y", "E:\\z"}},
        // One folder however it is spelt: case, separators, a final one.
        {"C:\\a;C:\\a;c:\\a;C:/a;C:\\a\\;\\\\?\\C:\\A", {"C:\\a"}},
        {"a:b", {"a", "b"}},
        {"D:;e: ;C:\\x:f:", {"D:\\", "e:\\", "C:\\x", "f:\\"}},
        {"C::D:\\y", {"C:\\", "D:\\y"}},
        {"1:;ab:", {"1", "ab"}}, // a drive is one letter
    };
    for (const Case &c : cases) {
        env.set("QUARLO_ROOTS", c.value);
        EXPECT_EQ(roots(), c.want) << c.value;
    }
}

TEST(Roots, ResolvedIsTheWindowsFullPath) {
    TempDir t;
    CwdGuard cwd(t.path());
    EnvGuard env;
    env.set("QUARLO_ONLY_ROOTS", "1");
    env.set("QUARLO_ROOTS", "C:/codebases/;rel;C:");
    Roots given;
    collect_roots(&given);
    ASSERT_EQ(given.count, 3);
    EXPECT_STREQ(given.list[0].root, "C:/codebases/");
    EXPECT_STREQ(given.list[0].resolved, "C:\\codebases\\");
    EXPECT_EQ(std::string(given.list[1].resolved), t / "rel");
    // A bare drive is the drive's root, not its current folder.
    EXPECT_STREQ(given.list[2].root, "C:\\");
    EXPECT_STREQ(given.list[2].resolved, "C:\\");
}

// HOMEDRIVE names a drive ("C:"), which is the drive's root for the walk and
// for the allowlist alike, whatever the drive's current folder is.
TEST(Roots, HomeDriveIsTheHomeRootWithoutUserProfile) {
    TempDir t;
    DriveFolder d;
    ASSERT_TRUE(win::make_dirs(d.path + "\\proj\\.git"));
    CwdGuard cwd(t.path());
    EnvGuard env;
    env.set("QUARLO_ONLY_ROOTS", nullptr);
    env.set("QUARLO_ROOTS", nullptr);
    env.set("USERPROFILE", nullptr);
    env.set("HOMEDRIVE", "C:");
    env.set("HOME", "C:\\never-used");
    Roots given;
    collect_roots(&given);
    ASSERT_GE(given.count, 1);
    EXPECT_STREQ(given.list[0].root, "C:\\");
    EXPECT_STREQ(given.list[0].resolved, "C:\\");
    for (int i = 0; i < given.count; i++) EXPECT_STRNE(given.list[i].root, "C:\\never-used");
    char out[1400];
    int root = -1;
    EXPECT_EQ(path_allowed(&given, (d.path + "\\proj").c_str(), out, &root), 1);
    EXPECT_EQ(std::string(out), d.path + "\\proj");
    EXPECT_EQ(root, 0);
}

// A folder is one root however Windows lets it be spelt: letter case, a
// final separator, the \\?\ form; the first spelling is kept.
TEST(Roots, OneFolderSpeltManyWaysIsOneRoot) {
    TempDir t;
    ASSERT_TRUE(win::make_dirs(t / "Proj"));
    const std::string P = t / "Proj";
    std::string lower = P;
    for (char &c : lower) c = (char)tolower((unsigned char)c);
    EnvGuard env;
    env.set("QUARLO_ONLY_ROOTS", "1");
    const std::string spellings[] = {P, lower, P + "\\", t.path() + "/Proj/", "\\\\?\\" + P};
    for (const std::string &first : spellings) {
        std::string value = first;
        for (const std::string &other : spellings) value += ";" + other;
        env.set("QUARLO_ROOTS", value.c_str());
        EXPECT_EQ(roots(), std::vector<std::string>{first}) << value;
    }
}

// ---- allowlist --------------------------------------------------------------

TEST(PathAllowed, WindowsPathsAgainstRealFolders) {
    TempDir t;
    const std::string T = t.path();
    ASSERT_TRUE(win::make_dirs(T + "\\codebases\\proj\\.git"));
    ASSERT_TRUE(win::make_dirs(T + "\\codebases\\plain"));
    ASSERT_TRUE(win::make_dirs(T + "\\codebases\\wt"));
    win::write_file(T + "\\codebases\\wt\\.git", "gitdir: C:\\elsewhere\n");
    ASSERT_TRUE(win::make_dirs(T + "\\codebases\\my..proj\\.git"));
    ASSERT_TRUE(win::make_dirs(T + "\\code\\x\\.git"));
    ASSERT_TRUE(win::make_dirs(T + "\\self\\.git"));
    ASSERT_TRUE(win::make_dirs(T + "\\outside\\.git"));
    for (const char *r : {"Mixed", ".hid\\r", "a\\b\\c\\d", "a\\b\\c\\e\\f", "proj\\inner"})
        ASSERT_TRUE(win::make_dirs(T + "\\codebases\\" + r + "\\.git")) << r;
    std::string fwd = T;
    std::replace(fwd.begin(), fwd.end(), '\\', '/');
    std::string lower_drive = T;
    lower_drive[0] = (char)tolower((unsigned char)lower_drive[0]);

    EnvGuard env;
    env.set("QUARLO_ONLY_ROOTS", "1");
    env.set("QUARLO_ROOTS", (T + "\\code;" + T + "\\codebases;" + T + "\\self").c_str());
    CwdGuard cwd(T + "\\codebases");
    struct Case {
        std::string in;
        const char *want; // null: refused
    } cases[] = {
        {T + "\\codebases\\proj", "\\codebases\\proj"},
        {fwd + "/codebases/proj", "\\codebases\\proj"}, // slashes become backslashes
        {T + "\\codebases\\.\\proj", "\\codebases\\proj"},
        {"proj", "\\codebases\\proj"}, // relative to the current folder
        {T + "\\codebases\\wt", "\\codebases\\wt"},
        {T + "\\code\\x", "\\code\\x"},
        {T + "\\self", "\\self"}, // the root itself
        {T + "\\codebases\\proj\\..\\proj", nullptr},
        {fwd + "/codebases/proj/../proj", nullptr},
        {T + "\\codebases\\proj/..", nullptr},
        {T + "\\codebases\\my..proj", "\\codebases\\my..proj"}, // two dots inside a name
        // Compared as Windows compares paths, answered as the listing spells
        // them: the root's spelling, then each name as it is on disk.
        {T + "\\CODEBASES\\PROJ", "\\codebases\\proj"},
        {lower_drive + "\\codebases\\proj", "\\codebases\\proj"},
        {"\\\\?\\" + T + "\\codebases\\proj", "\\codebases\\proj"},
        {T + "\\codebases\\mixed", "\\codebases\\Mixed"},
        {T + "\\codebases\\proj\\", "\\codebases\\proj"},
        {fwd + "/codebases/proj/", "\\codebases\\proj"},
        // The walk's rules: no dot-folder, no deeper than four levels, no
        // repository inside another, no 8.3 short name for a long one.
        {T + "\\codebases\\.hid\\r", nullptr},
        {T + "\\codebases\\a\\b\\c\\e\\f", nullptr},
        {T + "\\codebases\\a\\b\\c\\d", "\\codebases\\a\\b\\c\\d"},
        {T + "\\codebases\\proj\\inner", nullptr},
        {T + "\\codebases\\proj*", nullptr},
        {T + "\\codebases\\pro?", nullptr},
        {T + "\\codebases\\plain", nullptr},
        {T + "\\outside", nullptr},
        {"", nullptr},
    };
    for (const Case &c : cases) {
        char out[1400] = "untouched";
        Roots given;
        collect_roots(&given);
        int ok = path_allowed(&given, c.in.c_str(), out, nullptr);
        if (c.want) {
            EXPECT_EQ(ok, 1) << c.in;
            EXPECT_EQ(std::string(out), T + c.want) << c.in;
        } else {
            EXPECT_EQ(ok, 0) << c.in;
            EXPECT_STREQ(out, "untouched") << c.in;
        }
    }
}

// A root in the \\?\ form: the walk and the allowlist take its paths as
// they stand, and the repositories found below it are admitted.
TEST(PathAllowed, LongFormRootFindsAndAdmitsItsRepositories) {
    TempDir t;
    ASSERT_TRUE(win::make_dirs(t / "root\\proj\\.git"));
    const std::string R = "\\\\?\\" + t.path() + "\\root";
    EXPECT_EQ(walk(R), std::set<std::string>{R + "\\proj"});
    EnvGuard env;
    env.set("QUARLO_ONLY_ROOTS", "1");
    env.set("QUARLO_ROOTS", R.c_str());
    Roots given;
    collect_roots(&given);
    char out[1400];
    EXPECT_EQ(path_allowed(&given, (R + "\\proj").c_str(), out, nullptr), 1);
    EXPECT_EQ(std::string(out), R + "\\proj");
    EXPECT_EQ(path_allowed(&given, (R + "\\missing").c_str(), out, nullptr), 0);
    // The usual form of the same folder is answered in the root's.
    EXPECT_EQ(path_allowed(&given, (t.path() + "\\root\\proj").c_str(), out, nullptr), 1);
    EXPECT_EQ(std::string(out), R + "\\proj");
}

// A root whose own name is a device name ("CON", "con.txt") is the folder
// of that name, reached through the \\?\ form, never the device "\\.\CON":
// it is searched and its repositories admitted.
TEST(Roots, DeviceNamedRootIsTheFolder) {
    TempDir t;
    EnvGuard env;
    env.set("QUARLO_ONLY_ROOTS", "1");
    for (const char *name : {"CON", "con.txt", "nul"}) {
        const std::string given = t.path() + "\\devs\\" + name;
        const std::string want = "\\\\?\\" + given;
        ASSERT_TRUE(win::make_dirs(want + "\\proj\\.git")) << name;
        env.set("QUARLO_ROOTS", given.c_str());
        Roots roots;
        collect_roots(&roots);
        ASSERT_EQ(roots.count, 1);
        EXPECT_EQ(std::string(roots.list[0].root), given);
        EXPECT_EQ(std::string(roots.list[0].resolved), want) << name;
        EXPECT_EQ(plat_is_dir(roots.list[0].start), 1) << name;
        EXPECT_EQ(walk(roots.list[0].start), std::set<std::string>{want + "\\proj"}) << name;
        char out[1400] = "";
        EXPECT_EQ(path_allowed(&roots, (given + "\\proj").c_str(), out, nullptr), 1) << name;
        EXPECT_EQ(std::string(out), want + "\\proj");
        // Relative to the current folder, the same.
        CwdGuard cwd(t.path() + "\\devs");
        EXPECT_EQ(full_path(name), want);
        RemoveDirectoryA((want + "\\proj\\.git").c_str());
        RemoveDirectoryA((want + "\\proj").c_str());
        RemoveDirectoryA(want.c_str());
    }
    // A device path given as such stays one.
    EXPECT_EQ(full_path("\\\\.\\CON"), "\\\\.\\CON");
}

// A listed repository is admitted however Windows lets its path be spelt:
// the device form of a drive path ("\\.\C:\..."), and the long spelling of a
// root given in 8.3 short form; names below the root are still taken only
// as the listing spells them.
TEST(PathAllowed, DeviceFormAndLongSpellingOfAShortRoot) {
    TempDir t;
    const std::string T = t.path();
    const std::string long_root = T + "\\Long Folder Name";
    ASSERT_TRUE(win::make_dirs(long_root + "\\proj\\.git"));
    ASSERT_TRUE(win::make_dirs(long_root + "\\Another Long Repository\\.git"));
    char short_buf[1400];
    DWORD n = GetShortPathNameA(long_root.c_str(), short_buf, sizeof short_buf);
    ASSERT_TRUE(n > 0 && n < sizeof short_buf);
    const std::string short_root(short_buf, n);
    if (short_root == long_root) GTEST_SKIP() << "no 8.3 names on this drive";
    n = GetShortPathNameA((long_root + "\\Another Long Repository").c_str(), short_buf,
                          sizeof short_buf);
    ASSERT_TRUE(n > 0 && n < sizeof short_buf);
    const std::string short_repo = base_name(short_buf); // "ANOTHE~1"

    EnvGuard env;
    env.set("QUARLO_ONLY_ROOTS", "1");
    struct Case {
        std::string root, in, want; // want "": refused
    } cases[] = {
        {long_root, "\\\\.\\" + long_root + "\\proj", long_root + "\\proj"},
        {long_root, "\\\\.\\" + long_root + "\\PROJ\\", long_root + "\\proj"},
        {"\\\\.\\" + long_root, long_root + "\\proj", "\\\\.\\" + long_root + "\\proj"},
        {long_root, "\\\\.\\" + long_root + "\\missing", ""},
        {long_root, "\\\\.\\CON", ""},
        {short_root, long_root + "\\proj", short_root + "\\proj"},
        {short_root, "\\\\?\\" + long_root + "\\proj", short_root + "\\proj"},
        {short_root, short_root + "\\proj", short_root + "\\proj"},
        {short_root, long_root + "\\Another Long Repository",
         short_root + "\\Another Long Repository"},
        // A short name below the root is not the listing's spelling.
        {long_root, long_root + "\\" + short_repo, ""},
        {short_root, T + "\\Long Folder Nam\\proj", ""},
    };
    for (const Case &c : cases) {
        env.set("QUARLO_ROOTS", c.root.c_str());
        Roots roots;
        collect_roots(&roots);
        char out[1400] = "untouched";
        int ok = path_allowed(&roots, c.in.c_str(), out, nullptr);
        EXPECT_EQ(ok, c.want.empty() ? 0 : 1) << c.root << " <- " << c.in;
        EXPECT_EQ(std::string(out), c.want.empty() ? "untouched" : c.want)
            << c.root << " <- " << c.in;
    }
}

TEST(PathAllowed, DriveRootAdmitsFoldersBelowIt) {
    DriveFolder d;
    ASSERT_TRUE(win::make_dirs(d.path + "\\proj\\.git"));
    EnvGuard env;
    env.set("QUARLO_ONLY_ROOTS", "1");
    env.set("QUARLO_ROOTS", "C:\\");
    char out[1400];
    Roots given;
    collect_roots(&given);
    EXPECT_EQ(path_allowed(&given, (d.path + "\\proj").c_str(), out, nullptr), 1);
    EXPECT_EQ(std::string(out), d.path + "\\proj");
}

// ---- time -------------------------------------------------------------------

TEST(UtcText, RuntimeConversionAndItsRange) {
    struct Case {
        long long t;
        const char *want;
    } cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {1700000000, "2023-11-14T22:13:20Z"},
        {4102444800LL, "2100-01-01T00:00:00Z"}, // past 2038
        {32535215999LL, "3000-12-31T23:59:59Z"},
        // Outside what the runtime converts:
        {32535216000LL, "1970-01-01T00:00:00Z"},
        {-1, "1970-01-01T00:00:00Z"},
        {-86400LL * 365 * 3000, "1970-01-01T00:00:00Z"},
        {9223372036854775807LL, "1970-01-01T00:00:00Z"},
    };
    for (const Case &c : cases) {
        char out[40];
        plat_utc_text(c.t, out, sizeof out);
        EXPECT_STREQ(out, c.want) << c.t;
    }
    EXPECT_GT(plat_now(), 1600000000LL);
    EXPECT_GE(plat_cpu_count(), 1);
}

// ---- default roots ----------------------------------------------------------

// Creates D:\codebases and C:\codebases on the prefix's drives (the test run
// maps D: to a folder of its own). Run alone: other tests read the defaults.
class DefaultRoots : public ::testing::Test {
  protected:
    void SetUp() override {
        if (plat_exists("D:\\") != 1) GTEST_SKIP() << "drive D: is not mapped in this prefix";
        if (plat_exists("C:\\codebases") || plat_exists("D:\\codebases"))
            GTEST_SKIP() << "a codebases folder already exists; not touching it";
        env_.set("QUARLO_ONLY_ROOTS", nullptr);
        env_.set("QUARLO_ROOTS", nullptr);
        env_.set("USERPROFILE", "C:\\users\\someone");
    }
    void TearDown() override {
        win::remove_tree("C:\\codebases");
        win::remove_tree("D:\\codebases");
    }
    EnvGuard env_;
};

TEST_F(DefaultRoots, FollowTheHomeRootWhenTheyExist) {
    EXPECT_EQ(roots(), std::vector<std::string>{"C:\\users\\someone"});
    ASSERT_TRUE(win::make_dirs("C:\\codebases"));
    EXPECT_EQ(roots(), (std::vector<std::string>{"C:\\users\\someone", "C:\\codebases"}));
    // Any object of that name counts; the folder bit is not tested.
    win::write_file("D:\\codebases", "not a folder");
    EXPECT_EQ(roots(),
              (std::vector<std::string>{"C:\\users\\someone", "D:\\codebases", "C:\\codebases"}));
    env_.set("QUARLO_ONLY_ROOTS", "1");
    EXPECT_TRUE(roots().empty());
    env_.set("QUARLO_ONLY_ROOTS", "0");
    EXPECT_EQ(roots().size(), 3u);
}

TEST_F(DefaultRoots, ListedDuplicatesAreFoundByTheirFullPaths) {
    ASSERT_TRUE(win::make_dirs("C:\\codebases"));
    env_.set("QUARLO_ROOTS", "C:\\work;C:\\codebases;c:\\codebases;C:/codebases;C:\\codebases\\");
    EXPECT_EQ(roots(),
              (std::vector<std::string>{"C:\\users\\someone", "C:\\codebases", "C:\\work"}));
}
