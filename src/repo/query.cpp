// The status query: runs git for a record (its porcelain status, the last
// commit, the stash count and, for the detail, the origin URL) and hands the
// outputs to the parsers of parse.cpp.
#include "text/text.h"
#include "platform/platform.h"
#include "repo/repo.h"
#include "repo/query_run.h"
#include "git/runner/runner.h"
#include "git/gitdir/gitdir.h"
#include "git/objects/objects.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

// Whether the git on the search path prints the stash count in the status,
// asked once per process with `git --version`. The status command's own
// success cannot tell: git 2.14 to 2.34 take --show-stash and print no count
// in the porcelain format. When git cannot be asked, the stash list is run.
static int ask_status_shows_stash() {
    static const char *const VERSION[] = {"git", "--version", nullptr};
    Buf out;
    buf_init(&out, RUN_OUTPUT_MAX);
    int shows =
        run_argv(VERSION, &out, RUN_LIMIT_S) == 0 && out.data && git_version_shows_stash(out.data);
    buf_free(&out);
    return shows;
}

static int status_shows_stash() {
    static const int shows = ask_status_shows_stash(); // once, whatever the thread
    return shows;
}

// Output of a failed run (what a command stopped at its limit printed) is
// never parsed as data, and git's messages (warnings of a run that
// succeeded) never are.
const char *query_run(Repo *r, const char *const *args, Buf *out, int also_ok) {
    buf_init(out, RUN_OUTPUT_MAX);
    Buf err;
    buf_init(&err, RUN_OUTPUT_MAX);
    RunEnd end;
    int rc = run_git(r->path, args, out, RUN_LIMIT_S, &end, &err);
    if (end == RUN_EXITED && (rc == 0 || (also_ok && rc == also_ok))) {
        buf_free(&err);
        return out->data ? out->data : "";
    }
    char why[ERROR_TEXT_SIZE];
    run_failure_text(end, rc, err.data, RUN_LIMIT_S, why, sizeof why);
    buf_free(&err);
    repo_fail(r, why);
    return nullptr;
}

// Reads the last commit `oid` from the repository's object store (`dirs`,
// null where its git folders were not found) into the record. Returns 0, the
// record untouched, when it cannot be read directly and verified (then git
// log is asked).
static int read_last_commit(Repo *r, const GitDirs *dirs, const char *oid) {
    CommitSummary c;
    if (!oid[0] || !dirs || !objects_read_commit(dirs->common, oid, &c)) return 0;
    str_copy(r->last_hash, sizeof r->last_hash, c.hash);
    r->last_ct = c.ct;
    str_copy(r->last_subject, sizeof r->last_subject, c.subject);
    return 1;
}

// The first command that fails ends the query: the record tells that failure
// and nothing else, and a repository that hangs costs one time limit, not
// one per command.
// The git folders of a working copy that gitdir_find does not understand,
// from git itself: `git rev-parse --absolute-git-dir --git-common-dir`. The
// common folder may come relative to the working copy. Returns 1 with `d`
// filled.
static int ask_git_dirs(Repo *r, GitDirs *d) {
    static const char *const REV_PARSE[] = {"rev-parse", "--absolute-git-dir", "--git-common-dir",
                                            nullptr};
    Buf out;
    const char *text = query_run(r, REV_PARSE, &out);
    int ok = 0;
    char common[FULL_PATH_SIZE];
    if (text && text_next_line(&text, d->git, sizeof d->git, 0) &&
        text_next_line(&text, common, sizeof common, 0) && d->git[0] && common[0]) {
        int absolute = plat_is_sep(common[0]) || (common[0] && common[1] == ':');
        if (absolute)
            str_copy(d->common, sizeof d->common, common);
        else
            ok = gitdir_join(d->common, sizeof d->common, r->path, common);
        ok = absolute || ok;
    }
    buf_free(&out);
    return ok;
}

// The operation in progress and the last fetch, read from the git folders
// (`dirs`; null where gitdir_find did not understand them: git is asked).
static void query_git_state(Repo *r, const GitDirs *dirs) {
    GitDirs asked;
    if (dirs)
        read_git_state(r, dirs);
    else if (ask_git_dirs(r, &asked))
        read_git_state(r, &asked);
}

void query_repo(Repo *r, int mode) {
    static const char *const STATUS[] = {"status",   "--porcelain=v2",           "-z",
                                         "--branch", "--untracked-files=normal", nullptr};
    static const char *const STATUS_STASH[] = {
        "status",       "--porcelain=v2",           "-z",   "--branch",
        "--show-stash", "--untracked-files=normal", nullptr};
    static const char *const LOG[] = {"log", "-1", "--format=%H%x09%ct%x09%s", nullptr};
    static const char *const STASH[] = {"stash", "list", "--format=%gd", nullptr};
    Buf out;
    const char *text;
    char oid[HASH_SIZE] = "";

    // The listing takes the stash count from the status where git prints it
    // there, which saves a git run per repository.
    int stash_header = mode == MODE_LISTING && status_shows_stash();
    if ((text = query_run(r, stash_header ? STATUS_STASH : STATUS, &out))) {
        parse_status(r, text, (size_t)out.len, stash_header, oid);
    }
    buf_free(&out);
    // The git folders, found once for the last commit and the state.
    GitDirs found;
    const GitDirs *dirs = !r->error[0] && gitdir_find(r->path, &found) ? &found : nullptr;
    // Without a commit there is no last commit to read (git log fails
    // there). The commit the status names is read from the object store;
    // git log is asked where it cannot be read there.
    if (!r->error[0] && !r->unborn && !read_last_commit(r, dirs, oid)) {
        if ((text = query_run(r, LOG, &out)) && *text) parse_last_commit(r, text);
        buf_free(&out);
    }
    if (!r->error[0] && !stash_header) {
        if ((text = query_run(r, STASH, &out))) r->stash += count_stash_lines(text);
        buf_free(&out);
    }
    if (!r->error[0]) query_git_state(r, dirs);
    if (!r->error[0]) query_unpushed(r, dirs);
}

static void query_remote(Repo *r) {
    static const char *const REMOTE[] = {"config", "--get", "remote.origin.url", nullptr};
    Buf out;
    const char *text;
    // Status 1: there is no remote named origin.
    if ((text = query_run(r, REMOTE, &out, 1)) && *text) parse_remote(r, text);
    buf_free(&out);
}

void query_repo_detail(Repo *r, Buf *status, Buf *log) {
    static const char *const STATUS[] = {"status",   "--porcelain=v2", "-z",
                                         "--branch", "--show-stash",   "--untracked-files=normal",
                                         nullptr};
    static const char *const LOG[] = {"log", "-20", "--format=%H%x09%ct%x09%an%x09%s", nullptr};
    static const char *const STASH[] = {"stash", "list", "--format=%gd", nullptr};
    const char *text;
    if ((text = query_run(r, STATUS, status))) parse_status(r, text, (size_t)status->len, 1);
    if (!r->error[0] && !r->unborn) {
        if ((text = query_run(r, LOG, log)) && *text) parse_last_commit(r, text, 1);
    } else {
        buf_init(log, RUN_OUTPUT_MAX);
    }
    // A git before 2.35 prints no stash count in the status: where it
    // printed none and a stash may exist, the stash list tells.
    GitDirs found;
    const GitDirs *dirs = !r->error[0] && gitdir_find(r->path, &found) ? &found : nullptr;
    if (!r->error[0] && !r->stash && (!dirs || objects_ref_may_exist(dirs->common, "refs/stash"))) {
        Buf out;
        if ((text = query_run(r, STASH, &out))) r->stash += count_stash_lines(text);
        buf_free(&out);
    }
    if (!r->error[0]) query_remote(r);
    if (!r->error[0]) query_git_state(r, dirs);
}
