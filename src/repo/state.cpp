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
    if (!plat_path_join(path, sizeof path, dir, name)) return 0;
    return is_dir ? plat_is_dir(path) : plat_exists(path);
}

// The branch a rebase works on, from its folder's `head-name` file
// ("refs/heads/feature"); left empty for a detached HEAD ("detached HEAD")
// or a file that cannot be read.
static void read_rebase_branch(const char *rebase_dir, char *out) {
    char path[FULL_PATH_SIZE], text[STATE_FILE_MAX];
    out[0] = 0;
    PlatFile f;
    if (!plat_path_join(path, sizeof path, rebase_dir, "head-name") || !plat_file_open(&f, path))
        return;
    long long got = plat_file_read_at(&f, 0, text, sizeof text - 1);
    plat_file_close(&f);
    if (got <= 0) return;
    text[got] = 0;
    str_trim(text);
    if (strncmp(text, "refs/heads/", 11) == 0) str_copy(out, BRANCH_SIZE, text + 11);
}

// A cherry-pick or revert of several commits that waits for --continue after
// a conflict was committed: its marker file is gone, the list of what is left
// to do stays. Its first command names the operation, as git reads it
// ("pick" or "p", or "revert", after blanks, then a space or a tab). Null
// where there is no such list.
static const char *read_sequencer_operation(const char *git) {
    char path[FULL_PATH_SIZE], text[STATE_FILE_MAX];
    PlatFile f;
    if (!plat_path_join(path, sizeof path, git, "sequencer/todo") || !plat_file_open(&f, path))
        return nullptr;
    long long got = plat_file_read_at(&f, 0, text, sizeof text - 1);
    plat_file_close(&f);
    if (got <= 0) return nullptr;
    text[got] = 0;
    const char *p = text + strspn(text, " \t\r\n");
    static const struct {
        const char *command, *operation;
    } COMMANDS[] = {{"pick", "cherry-pick"}, {"p", "cherry-pick"}, {"revert", "revert"}};
    for (const auto &c : COMMANDS) {
        size_t n = strlen(c.command);
        if (strncmp(p, c.command, n) == 0 && (p[n] == ' ' || p[n] == '\t')) return c.operation;
    }
    return nullptr;
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
        if (!plat_path_join(dir, sizeof dir, git, name) || !plat_is_dir(dir)) continue;
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
                   {nullptr, nullptr}, // the sequencer's list, see below
                   {"BISECT_LOG", "bisect"}};
    for (const auto &m : MARKERS) {
        const char *operation = m.file ? (has_entry(git, m.file, 0) ? m.operation : nullptr)
                                       : read_sequencer_operation(git);
        if (operation) {
            str_copy(r->operation, sizeof r->operation, operation);
            return;
        }
    }
}

// The time of the fetch recorded in the git folder `git_dir`: its
// FETCH_HEAD's modification time; 0 where there is none. A fetch that failed
// leaves the file empty (git empties it before it reaches the remote): that
// is no fetch.
static long long fetch_head_time(const char *git_dir) {
    char path[FULL_PATH_SIZE];
    long long t = 0;
    if (!plat_path_join(path, sizeof path, git_dir, "FETCH_HEAD") || !plat_file_mtime(path, &t) ||
        t <= 0)
        return 0;
    PlatFile f;
    if (!plat_file_open(&f, path)) return 0;
    long long size = plat_file_size(&f);
    plat_file_close(&f);
    return size > 0 ? t : 0;
}

// When the remote was last fetched. Git writes FETCH_HEAD in the git folder
// of the working copy the fetch ran in, but every working copy of a
// repository (the main one and its linked worktrees, whose folders are below
// the common one's `worktrees`) shares the remote-tracking refs: the newest
// fetch among them counts for each.
static void read_fetch_time(Repo *r, const GitDirs *d) {
    long long t = fetch_head_time(d->common);
    if (strcmp(d->git, d->common) != 0) {
        long long own = fetch_head_time(d->git);
        if (own > t) t = own;
    }
    char dir[FULL_PATH_SIZE], linked[FULL_PATH_SIZE];
    PlatDir list;
    if (plat_path_join(dir, sizeof dir, d->common, "worktrees") && plat_dir_open(&list, dir) == 1) {
        while (plat_dir_next(&list)) {
            if (!list.is_dir || list.name_unusable || list.name[0] == '.' ||
                !plat_path_join(linked, sizeof linked, dir, list.name))
                continue;
            long long w = fetch_head_time(linked);
            if (w > t) t = w;
        }
        plat_dir_close(&list);
    }
    r->fetched_at = t;
}

void read_git_state(Repo *r, const GitDirs *d) {
    r->operation[0] = r->operation_branch[0] = 0;
    read_operation(r, d->git);
    read_fetch_time(r, d);
}
