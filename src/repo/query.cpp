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
    int shows = run_argv(VERSION, &out, run_limit_s()) == 0 && out.data &&
                git_version_shows_stash(out.data);
    buf_free(&out);
    return shows;
}

static int status_shows_stash() {
    static const int shows = ask_status_shows_stash(); // once, whatever the thread
    return shows;
}

// Runs one git command of the query. Returns its standard output when git
// ran and exited 0, or with `also_ok` (a further status that means "nothing
// there"); otherwise writes why it failed (from what git wrote on standard
// error) to `why` (ERROR_TEXT_SIZE bytes) and returns null. Output of a
// failed run (what a command stopped at its limit printed) is never parsed
// as data, and git's messages (warnings of a run that succeeded) never are.
static const char *query_try(Repo *r, const char *const *args, Buf *out, char *why, int also_ok = 0,
                             RunEnd *ended = nullptr) {
    buf_init(out, RUN_OUTPUT_MAX);
    Buf err;
    buf_init(&err, RUN_OUTPUT_MAX);
    RunEnd end;
    int rc = run_git(r->path, args, out, run_limit_s(), &end, &err);
    if (ended) *ended = end;
    const char *text = nullptr;
    if (end == RUN_EXITED && (rc == 0 || (also_ok && rc == also_ok)))
        text = out->data ? out->data : "";
    else
        run_failure_text(end, rc, err.data, run_limit_s(), why, ERROR_TEXT_SIZE);
    buf_free(&err);
    return text;
}

// query_try, where a failure gives the record its error; `ended` (when not
// null) tells how the run ended.
static const char *query_run_ended(Repo *r, const char *const *args, Buf *out, int also_ok,
                                   RunEnd *ended) {
    char why[ERROR_TEXT_SIZE];
    const char *text = query_try(r, args, out, why, also_ok, ended);
    if (!text) repo_fail(r, why);
    return text;
}

const char *query_run(Repo *r, const char *const *args, Buf *out, int also_ok) {
    return query_run_ended(r, args, out, also_ok, nullptr);
}

// The status (`args`, null-terminated): where git exits with a failure in a
// partial clone, it is asked again without rename detection, which needs the
// content of a deleted file: a partial clone may lack it and may not fetch it
// here (no query reaches a remote), which is no reason to show nothing. The
// record then says that renames were not looked for, and why; where git fails
// again, its first failure is the record's error.
static const char *query_status(Repo *r, const char *const *args, Buf *out) {
    RunEnd end;
    const char *text = query_run_ended(r, args, out, 0, &end);
    GitDirs found;
    if (text || end != RUN_EXITED || !gitdir_find(r->path, &found) ||
        !objects_store_may_be_partial(found.common))
        return text;
    char why[ERROR_TEXT_SIZE];
    str_copy(why, sizeof why, r->error);
    const char *plain[RUN_GIT_ARGS_MAX + 1];
    int n = 0;
    while (args[n] && n < RUN_GIT_ARGS_MAX - 1) plain[n] = args[n], n++;
    plain[n++] = "--no-renames";
    plain[n] = nullptr;
    buf_free(out);
    r->error[0] = 0;
    text = query_run(r, plain, out);
    if (!text) {
        str_copy(r->error, sizeof r->error, why);
        return nullptr;
    }
    repo_notice(r, "renames not detected: ", why);
    return text;
}

// Reads the last commit `oid` from the repository's object store (`dirs`,
// null where its git folders were not found) into the record. Returns 0, the
// record untouched, when it cannot be read directly and verified (then git
// log is asked).
static int read_last_commit(Repo *r, const GitDirs *dirs, const char *oid) {
    CommitSummary c;
    if (!oid[0] || !dirs || !objects_read_commit(dirs->common, oid, &c, dirs->git)) return 0;
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
            ok = plat_path_join(d->common, sizeof d->common, r->path, common);
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

// The listing's last commit: none without a commit (git log fails there).
// The commit the status names (`oid`) is read from the object store; git log
// is asked where it cannot be read there.
static void query_last_commit(Repo *r, const GitDirs *dirs, const char *oid) {
    static const char *const LOG[] = {"log", "-1", "--format=%H%x09%ct%x09%s", nullptr};
    if (r->unborn || read_last_commit(r, dirs, oid)) return;
    Buf out;
    const char *text;
    if ((text = query_run(r, LOG, &out)) && *text) parse_last_commit(r, text);
    buf_free(&out);
}

void query_repo(Repo *r, int mode) {
    static const char *const STATUS[] = {"status",   "--porcelain=v2",           "-z",
                                         "--branch", "--untracked-files=normal", nullptr};
    static const char *const STATUS_STASH[] = {
        "status",       "--porcelain=v2",           "-z",   "--branch",
        "--show-stash", "--untracked-files=normal", nullptr};
    static const char *const STASH[] = {"stash", "list", "--format=%gd", nullptr};
    Buf out;
    const char *text;
    char oid[HASH_SIZE] = "";

    // The listing takes the stash count from the status where git prints it
    // there, which saves a git run per repository.
    int stash_header = mode == MODE_VERSION_ONCE && status_shows_stash();
    if ((text = query_status(r, stash_header ? STATUS_STASH : STATUS, &out)))
        parse_status(r, text, (size_t)out.len, stash_header, oid);
    buf_free(&out);
    // The git folders, found once for the last commit and the state.
    GitDirs found;
    const GitDirs *dirs = !r->error[0] && gitdir_find(r->path, &found) ? &found : nullptr;
    if (!r->error[0]) query_last_commit(r, dirs, oid);
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
    static const char *const LOG[] = {"log", "-20", DETAIL_LOG_FORMAT, nullptr};
    static const char *const STASH[] = {"stash", "list", "--format=%gd", nullptr};
    const char *text;
    char oid[HASH_SIZE] = "";
    if ((text = query_status(r, STATUS, status)))
        parse_status(r, text, (size_t)status->len, 1, oid);
    GitDirs found;
    const GitDirs *dirs = !r->error[0] && gitdir_find(r->path, &found) ? &found : nullptr;
    char why[ERROR_TEXT_SIZE];
    int run_log = !r->error[0] && !r->unborn;
    if (run_log && (text = query_try(r, LOG, log, why))) {
        parse_log_head(r, text, (size_t)log->len);
    } else {
        if (run_log) {
            // A setting git log refuses (a date format it does not know) is
            // no reason to lose what the status said: the record is the
            // listing's, and the commits are not listed.
            repo_notice(r, "commits not listed: ", why);
            query_last_commit(r, dirs, oid);
            buf_free(log);
        }
        buf_init(log, RUN_OUTPUT_MAX);
    }
    // A git before 2.35 prints no stash count in the status: where it
    // printed none and a stash may exist, the stash list tells.
    if (!r->error[0] && !r->stash && (!dirs || objects_ref_may_exist(dirs->common, "refs/stash"))) {
        Buf out;
        if ((text = query_run(r, STASH, &out))) r->stash += count_stash_lines(text);
        buf_free(&out);
    }
    if (!r->error[0]) query_remote(r);
    if (!r->error[0]) query_git_state(r, dirs);
}
