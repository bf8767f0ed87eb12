// The status query: fills a record from git's porcelain status, the last
// commit, the stash count and (detail mode) the origin URL.
#include "text/text.h"
#include "platform/platform.h"
#include "repo/repo.h"
#include "git/runner/runner.h"
#include "git/gitdir/gitdir.h"
#include "git/objects/objects.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void redact_url(const char *url, char *out) {
    const char *scheme = strstr(url, "://");
    const char *at = scheme ? strchr(scheme + 3, '@') : nullptr;
    const char *slash = scheme ? strchr(scheme + 3, '/') : nullptr;
    if (!scheme || !at || (slash && slash < at)) {
        str_copy(out, URL_SIZE, url);
        return;
    }
    size_t keep = (size_t)(scheme + 3 - url);
    if (keep > URL_SIZE - 1) keep = URL_SIZE - 1;
    memcpy(out, url, keep);
    str_copy(out + keep, URL_SIZE - keep, at + 1);
}

// Says in the record what git could not tell (`what`, then git's `why`),
// where it says nothing of the kind yet.
static void repo_notice(Repo *r, const char *what, const char *why) {
    if (r->notice[0]) return;
    size_t n = strlen(what);
    str_copy(r->notice, sizeof r->notice, what);
    if (n < sizeof r->notice) str_copy(r->notice + n, sizeof r->notice - n, why);
}

static void parse_header(Repo *r, const char *h, int stash_header) {
    while (*h == ' ') h++;
    if (strncmp(h, "branch.head ", 12) == 0) {
        const char *v = h + 12;
        if (strcmp(v, "(detached)") == 0) {
            str_copy(r->branch, sizeof r->branch, "detached");
            r->detached = 1;
        } else {
            str_copy_text(r->branch, sizeof r->branch, v);
            // Not shown as if it were the whole name.
            if (strlen(v) >= sizeof r->branch) {
                char why[40];
                snprintf(why, sizeof why, "longer than %d bytes", (int)sizeof r->branch - 1);
                repo_notice(r, "branch name cut: ", why);
            }
        }
    } else if (strncmp(h, "branch.upstream ", 16) == 0) {
        redact_url(h + 16, r->upstream);
    } else if (strncmp(h, "branch.ab ", 10) == 0) {
        // "+A -B": A commits ahead, B behind. A value that is not a whole
        // number in range is not taken.
        const char *p = h + 10;
        int a, b;
        if (*p != '+' || !parse_int(p + 1, &a, &p)) return;
        r->ahead = a;
        while (*p == ' ') p++;
        if (*p == '-' && parse_int(p + 1, &b, nullptr)) r->behind = b;
    } else if (strncmp(h, "branch.oid ", 11) == 0) {
        if (strcmp(h + 11, "(initial)") == 0) r->unborn = 1;
    } else if (stash_header && strncmp(h, "stash ", 6) == 0) {
        // "stash N", written only when there are stashes.
        const char *end;
        int n;
        if (parse_int(h + 6, &n, &end) && *end == 0 && n > 0) r->stash += n;
    }
}

static int is_blank(char c) {
    return (unsigned char)c >= 1 && (unsigned char)c <= 32;
}

// Passes `n` fields of [s, end), each with the one space after it (a path
// that begins with a space keeps it).
static const char *skip_fields(const char *s, const char *end, int n) {
    for (int i = 0; i < n && s < end; i++) {
        while (s < end && *s != ' ') s++;
        if (s < end) s++;
    }
    return s;
}

// The change code and path of a record that is not a header. A rename or
// copy is listed under the path it had before: the record after it.
static void classify_entry(StatusLine *l, const char **p, const char *end) {
    const char *line = l->text, *stop = l->text + l->len, *rest = line;
    memcpy(l->code, "--", 3);
    switch (line[0]) {
    case '?':
    case '!':
        l->code[0] = l->code[1] = line[0];
        rest = l->len >= 2 ? line + 2 : stop;
        break;
    case 'u':
        memcpy(l->code, "UU", 3);
        rest = skip_fields(line, stop, 10);
        break;
    case '1':
    case '2':
        if (l->len >= 2 && line[1] == ' ') {
            size_t n = l->len - 2 < 2 ? l->len - 2 : 2;
            memcpy(l->code, line + 2, n);
            l->code[n] = 0;
        }
        rest = skip_fields(line, stop, line[0] == '2' ? 9 : 8);
        if (line[0] == '2' && *p < end) {
            const char *src = *p;
            const char *nul = (const char *)memchr(src, 0, (size_t)(end - src));
            const char *src_end = nul ? nul : end;
            *p = nul ? nul + 1 : end;
            l->path = src;
            l->path_len = (size_t)(src_end - src);
            return;
        }
        break;
    default:
        break;
    }
    l->path = rest;
    l->path_len = (size_t)(stop - rest);
}

int status_next_line(const char **p, const char *end, StatusLine *l) {
    const char *s = *p;
    while (s < end) {
        const char *nul = (const char *)memchr(s, 0, (size_t)(end - s));
        const char *a = s, *b = nul ? nul : end;
        s = nul ? nul + 1 : end;
        const char *t = a;
        while (t < b && is_blank(*t)) t++;
        if (t == b) continue; // a blank record
        // A header's value ends at its last letter; an entry is its record
        // whole, for its path is a name on disk.
        if (*a == '#')
            while (b > a && is_blank(b[-1])) b--;
        l->text = a;
        l->len = (size_t)(b - a);
        l->code[0] = 0;
        l->path = b;
        l->path_len = 0;
        *p = s;
        if (*a != '#') classify_entry(l, p, end);
        return 1;
    }
    *p = s;
    return 0;
}

// An ordinary entry "1 XY ...": X, the index's letter, is not '.'.
static int index_changed(const StatusLine *l) {
    const char *x = l->text + 1, *end = l->text + l->len;
    while (x < end && is_blank(*x)) x++;
    return x < end && *x != '.';
}

// 1 for the header "# branch.ab +A -B", which git writes only when the
// upstream's ref exists.
static int is_ab_header(const char *h) {
    while (*h == ' ') h++;
    return strncmp(h, "branch.ab ", 10) == 0;
}

void parse_status(Repo *r, const char *text, size_t len, int stash_header) {
    StatusLine l;
    int ab_seen = 0;
    for (const char *p = text; status_next_line(&p, text + len, &l);) {
        switch (l.text[0]) {
        case '#': {
            char header[STATUS_LINE_SIZE];
            size_t n = l.len < sizeof header - 1 ? l.len : sizeof header - 1;
            memcpy(header, l.text, n);
            header[n] = 0;
            parse_header(r, header + 1, stash_header);
            ab_seen |= is_ab_header(header + 1);
            break;
        }
        case '1':
            r->dirty++;
            if (index_changed(&l)) r->staged++;
            break;
        case '2':
            r->dirty++;
            r->staged++;
            break;
        case 'u':
            r->dirty++;
            r->conflicted++;
            break;
        case '?':
            r->dirty++;
            r->untracked++;
            break;
        default:
            break; // ignored entries and anything else
        }
    }
    if (r->unborn || (r->branch[0] && strcmp(r->branch, "detached") != 0 && !r->upstream[0]))
        r->no_upstream = 1;
    // An upstream named without ahead and behind: its ref is gone (deleted
    // on the remote and pruned). A branch without commits is not told so: a
    // clone of an empty repository has nothing that could be out of step.
    r->upstream_gone = r->upstream[0] && !ab_seen && !r->unborn;
}

void parse_last_commit(Repo *r, const char *text) {
    const char *tab = strchr(text, '\t');
    if (!tab) return;
    size_t hash_len = (size_t)(tab - text);
    if (hash_len > sizeof r->last_hash - 1) hash_len = sizeof r->last_hash - 1;
    memcpy(r->last_hash, text, hash_len);
    r->last_hash[hash_len] = 0;
    const char *tab2 = strchr(tab + 1, '\t');
    const char *ct_end = tab2 ? tab2 : tab + 1 + strcspn(tab + 1, "\n");
    r->last_ct = parse_commit_time(tab + 1, (size_t)(ct_end - (tab + 1)));
    if (tab2) str_copy_text(r->last_subject, sizeof r->last_subject, tab2 + 1);
    str_trim(r->last_subject);
}

int log_next_record(const char **p, const char *end, LogRecord *rec) {
    while (*p < end) {
        const char *s = *p;
        const char *nl = (const char *)memchr(s, '\n', (size_t)(end - s));
        const char *stop = nl ? nl : end;
        *p = nl ? nl + 1 : end;
        LogField *fields[] = {&rec->hash, &rec->ct, &rec->author, &rec->subject};
        int n = 0;
        for (const char *f = s; n < 4; n++) {
            const char *nul = n < 3 ? (const char *)memchr(f, 0, (size_t)(stop - f)) : nullptr;
            const char *fe = nul ? nul : stop;
            fields[n]->text = f;
            fields[n]->len = (size_t)(fe - f);
            if (!nul) break;
            f = nul + 1;
        }
        if (n == 3) return 1; // four fields: a record; anything else is passed
    }
    return 0;
}

// "git version 2.35.0" and later (vendor suffixes such as ".windows.1" or
// " (Apple Git-145)" follow the numbers).
int git_version_shows_stash(const char *text) {
    static const char PREFIX[] = "git version ";
    if (strncmp(text, PREFIX, sizeof PREFIX - 1) != 0) return 0;
    const char *p = text + sizeof PREFIX - 1;
    int major, minor;
    if (*p < '0' || *p > '9' || !parse_int(p, &major, &p) || *p != '.') return 0;
    if (p[1] < '0' || p[1] > '9' || !parse_int(p + 1, &minor, nullptr)) return 0;
    return major > 2 || (major == 2 && minor >= 35);
}

int count_stash_lines(const char *text) {
    int n = 0;
    for (const char *p = text; *p;) {
        const char *nl = strchr(p, '\n');
        if (!nl) break; // a last line without a line feed is not counted
        if (nl > p) n++;
        p = nl + 1;
    }
    return n;
}

void parse_remote(Repo *r, const char *text) {
    char url[URL_SIZE];
    str_copy(url, sizeof url, text);
    str_trim(url);
    if (url[0])
        redact_url(url, r->remote);
    else
        r->remote[0] = 0;
}

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
    int rc = run_git(r->path, args, out, RUN_LIMIT_S, &end, &err);
    if (ended) *ended = end;
    const char *text = nullptr;
    if (end == RUN_EXITED && (rc == 0 || (also_ok && rc == also_ok)))
        text = out->data ? out->data : "";
    else
        run_failure_text(end, rc, err.data, RUN_LIMIT_S, why, ERROR_TEXT_SIZE);
    buf_free(&err);
    return text;
}

// query_try, where a failure gives the record its error.
static const char *query_run(Repo *r, const char *const *args, Buf *out, int also_ok = 0,
                             RunEnd *ended = nullptr) {
    char why[ERROR_TEXT_SIZE];
    const char *text = query_try(r, args, out, why, also_ok, ended);
    if (!text) repo_fail(r, why);
    return text;
}

// The status (`args`, null-terminated): where git exits with a failure in a
// partial clone, it is asked again without rename detection, which needs the
// content of a deleted file: a partial clone may lack it and may not fetch it
// here (no query reaches a remote), which is no reason to show nothing. The
// record then says that renames were not looked for, and why; where git fails
// again, its first failure is the record's error.
static const char *query_status(Repo *r, const char *const *args, Buf *out) {
    RunEnd end;
    const char *text = query_run(r, args, out, 0, &end);
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

// The commit the status names in "# branch.oid <hash>", copied into `oid`
// (HASH_SIZE bytes); empty when there is none (an unborn branch).
static void status_head_oid(const char *text, size_t len, char *oid) {
    static const char PREFIX[] = "# branch.oid ";
    oid[0] = 0;
    StatusLine l;
    for (const char *p = text; status_next_line(&p, text + len, &l);) {
        if (l.text[0] != '#') break; // the headers come first
        if (l.len > sizeof PREFIX - 1 && l.len - (sizeof PREFIX - 1) < HASH_SIZE &&
            memcmp(l.text, PREFIX, sizeof PREFIX - 1) == 0) {
            size_t n = l.len - (sizeof PREFIX - 1);
            memcpy(oid, l.text + sizeof PREFIX - 1, n);
            oid[n] = 0;
            return;
        }
    }
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

// The record's last commit from the first record of the detail's log, as
// parse_last_commit reads git log -1's line.
static void parse_log_head(Repo *r, const char *text, size_t len) {
    LogRecord c;
    if (!log_next_record(&text, text + len, &c)) return;
    size_t n = c.hash.len < sizeof r->last_hash - 1 ? c.hash.len : sizeof r->last_hash - 1;
    memcpy(r->last_hash, c.hash.text, n);
    r->last_hash[n] = 0;
    r->last_ct = parse_commit_time(c.ct.text, c.ct.len);
    char subject[SUBJECT_SIZE + 1];
    n = c.subject.len < SUBJECT_SIZE ? c.subject.len : SUBJECT_SIZE;
    memcpy(subject, c.subject.text, n);
    subject[n] = 0;
    str_copy_text(r->last_subject, sizeof r->last_subject, subject);
    str_trim(r->last_subject);
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
    int stash_header = mode == MODE_LISTING && status_shows_stash();
    if ((text = query_status(r, stash_header ? STATUS_STASH : STATUS, &out))) {
        parse_status(r, text, (size_t)out.len, stash_header);
        status_head_oid(text, (size_t)out.len, oid);
    }
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
    if ((text = query_status(r, STATUS, status))) {
        parse_status(r, text, (size_t)status->len, 1);
        status_head_oid(text, (size_t)status->len, oid);
    }
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
