// What a working copy's git folder says beyond git's status: an operation
// left in progress (and the branch a rebase works on) and when the remote was
// last fetched. Read with a few file tests, as git itself decides them.
#include "text/text.h"
#include "platform/platform.h"
#include "git/gitdir/gitdir.h"
#include "repo/repo.h"

#include <cstring>

// A state file's content is one short line (a ref name).
#define STATE_FILE_MAX (BRANCH_SIZE + 16)

// 1 when `name` exists in the folder `dir`; `is_dir` asks for a folder.
static int has_entry(const char *dir, const char *name, int is_dir) {
    char path[FULL_PATH_SIZE];
    if (!gitdir_join(path, sizeof path, dir, name)) return 0;
    return is_dir ? plat_is_dir(path) : plat_exists(path);
}

// The branch a rebase works on, from its folder's `head-name` file
// ("refs/heads/feature"); left empty for a detached HEAD ("detached HEAD")
// or a file that cannot be read.
static void read_rebase_branch(const char *rebase_dir, char *out) {
    char path[FULL_PATH_SIZE], text[STATE_FILE_MAX];
    out[0] = 0;
    PlatFile f;
    if (!gitdir_join(path, sizeof path, rebase_dir, "head-name") || !plat_file_open(&f, path))
        return;
    long long got = plat_file_read_at(&f, 0, text, sizeof text - 1);
    plat_file_close(&f);
    if (got <= 0) return;
    text[got] = 0;
    str_trim(text);
    if (strncmp(text, "refs/heads/", 11) == 0) str_copy(out, BRANCH_SIZE, text + 11);
}

// The operation git would say is in progress, in the order git's own prompt
// checks them: a rebase (or `git am`, which keeps its state where the
// non-interactive rebase does, marked by `applying`), then a merge, a
// cherry-pick, a revert, a bisect. All of them live in the working copy's own
// git folder (a linked worktree's own one).
static void read_operation(Repo *r, const char *git) {
    static const char *const REBASE_DIRS[] = {"rebase-merge", "rebase-apply"};
    for (const char *name : REBASE_DIRS) {
        char dir[FULL_PATH_SIZE];
        if (!gitdir_join(dir, sizeof dir, git, name) || !plat_is_dir(dir)) continue;
        if (strcmp(name, "rebase-apply") == 0 && has_entry(dir, "applying", 0)) {
            str_copy(r->operation, sizeof r->operation, "am");
            return;
        }
        str_copy(r->operation, sizeof r->operation, "rebase");
        read_rebase_branch(dir, r->operation_branch);
        return;
    }
    static const struct {
        const char *file, *operation;
    } MARKERS[] = {{"MERGE_HEAD", "merge"},
                   {"CHERRY_PICK_HEAD", "cherry-pick"},
                   {"REVERT_HEAD", "revert"},
                   {"BISECT_LOG", "bisect"}};
    for (const auto &m : MARKERS) {
        if (has_entry(git, m.file, 0)) {
            str_copy(r->operation, sizeof r->operation, m.operation);
            return;
        }
    }
}

// FETCH_HEAD's time: git writes it in the working copy's own git folder.
// A linked worktree shares its remote-tracking refs with the main copy, so a
// fetch made there refreshed its figures too: the newer of the two counts.
static void read_fetch_time(Repo *r, const GitDirs *d) {
    char path[FULL_PATH_SIZE];
    long long t = 0;
    r->fetched_at = 0;
    if (gitdir_join(path, sizeof path, d->git, "FETCH_HEAD") && plat_file_mtime(path, &t) && t > 0)
        r->fetched_at = t;
    if (strcmp(d->git, d->common) != 0 && gitdir_join(path, sizeof path, d->common, "FETCH_HEAD") &&
        plat_file_mtime(path, &t) && t > r->fetched_at)
        r->fetched_at = t;
}

void read_git_state(Repo *r, const GitDirs *d) {
    r->operation[0] = r->operation_branch[0] = 0;
    read_operation(r, d->git);
    read_fetch_time(r, d);
}
