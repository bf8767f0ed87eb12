// The status query: fills a record from git's porcelain status, the last
// commit, the stash count and (detail mode) the origin URL.
#include "text/text.h"
#include "platform/platform.h"
#include "repo/repo.h"
#include "repo/runner/runner.h"
#include "repo/gitdir/gitdir.h"

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

static void parse_header(Repo *r, const char *h, int stash_header) {
    while (*h == ' ') h++;
    if (strncmp(h, "branch.head ", 12) == 0) {
        const char *v = h + 12;
        if (strcmp(v, "(detached)") == 0) {
            str_copy(r->branch, sizeof r->branch, "detached");
            r->detached = 1;
        } else {
            str_copy(r->branch, sizeof r->branch, v);
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

// Passes `n` space-separated fields of [s, end) and the spaces after each.
static const char *skip_fields(const char *s, const char *end, int n) {
    for (int i = 0; i < n && s < end; i++) {
        while (s < end && *s != ' ') s++;
        while (s < end && *s == ' ') s++;
    }
    return s;
}

// The change code and path of a line that is not a header.
static void classify_entry(StatusLine *l) {
    const char *line = l->text, *end = l->text + l->len, *rest = line;
    int rename = 0;
    memcpy(l->code, "--", 3);
    switch (line[0]) {
    case '?':
    case '!':
        l->code[0] = l->code[1] = line[0];
        rest = l->len >= 2 ? line + 2 : end;
        break;
    case 'u':
        memcpy(l->code, "UU", 3);
        rest = skip_fields(line, end, 10);
        break;
    case '1':
    case '2':
        rename = line[0] == '2';
        if (l->len >= 2 && line[1] == ' ') {
            size_t n = l->len - 2 < 2 ? l->len - 2 : 2;
            memcpy(l->code, line + 2, n);
            l->code[n] = 0;
        }
        rest = skip_fields(line, end, rename ? 9 : 8);
        break;
    default:
        break;
    }
    if (rename) {
        // "new<TAB>old": the entry is listed under the path it had before.
        const char *tab = (const char *)memchr(rest, '\t', (size_t)(end - rest));
        if (tab) rest = tab + 1;
    }
    l->path = rest;
    l->path_len = (size_t)(end - rest);
}

int status_next_line(const char **p, StatusLine *l) {
    const char *s = *p;
    while (*s) {
        const char *nl = strchr(s, '\n');
        const char *a = s, *b = nl ? nl : s + strlen(s);
        s = nl ? nl + 1 : b;
        while (a < b && is_blank(*a)) a++;
        while (b > a && is_blank(b[-1])) b--;
        if (a == b) continue;
        l->text = a;
        l->len = (size_t)(b - a);
        l->code[0] = 0;
        l->path = b;
        l->path_len = 0;
        if (*a != '#') classify_entry(l);
        *p = s;
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

void parse_status(Repo *r, const char *text, int stash_header) {
    StatusLine l;
    int ab_seen = 0;
    for (const char *p = text; status_next_line(&p, &l);) {
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
    r->last_ct = strtoll(tab + 1, nullptr, 10);
    const char *tab2 = strchr(tab + 1, '\t');
    if (tab2) str_copy(r->last_subject, sizeof r->last_subject, tab2 + 1);
    str_trim(r->last_subject);
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

// Runs one git command of the query. Returns the output when git ran and
// exited 0, or with `also_ok` (a further status that means "nothing there");
// otherwise gives the record its error and returns null. Output of a failed
// run (an error message, or what a command stopped at its limit printed) is
// never parsed as data.
static const char *query_run(Repo *r, const char *const *args, Buf *out, int also_ok = 0) {
    buf_init(out, RUN_OUTPUT_MAX);
    RunEnd end;
    int rc = run_git(r->path, args, out, RUN_LIMIT_S, &end);
    if (end == RUN_EXITED && (rc == 0 || (also_ok && rc == also_ok)))
        return out->data ? out->data : "";
    char why[ERROR_TEXT_SIZE];
    run_failure_text(end, rc, out->data, RUN_LIMIT_S, why, sizeof why);
    repo_fail(r, why);
    return nullptr;
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

// The operation in progress and the last fetch, read from the git folder.
static void query_git_state(Repo *r) {
    GitDirs d;
    if (gitdir_find(r->path, &d) || ask_git_dirs(r, &d)) read_git_state(r, &d);
}

void query_repo(Repo *r, int mode) {
    static const char *const STATUS[] = {"status", "--porcelain=v2", "--branch",
                                         "--untracked-files=normal", nullptr};
    static const char *const STATUS_STASH[] = {
        "status",       "--porcelain=v2",           "--branch",
        "--show-stash", "--untracked-files=normal", nullptr};
    static const char *const LOG[] = {"log", "-1", "--format=%H%x09%ct%x09%s", nullptr};
    static const char *const STASH[] = {"stash", "list", "--format=%gd", nullptr};
    static const char *const REMOTE[] = {"config", "--get", "remote.origin.url", nullptr};
    Buf out;
    const char *text;

    // The listing takes the stash count from the status where git prints it
    // there, which saves a git run per repository. The detail keeps the
    // stash list: for its one repository the version question would cost
    // the run it saves.
    int stash_header = mode == MODE_LISTING && status_shows_stash();
    if ((text = query_run(r, stash_header ? STATUS_STASH : STATUS, &out)))
        parse_status(r, text, stash_header);
    buf_free(&out);
    // Without a commit there is no last commit to read (git log fails there).
    if (!r->error[0] && !r->unborn) {
        if ((text = query_run(r, LOG, &out)) && *text) parse_last_commit(r, text);
        buf_free(&out);
    }
    if (!r->error[0] && !stash_header) {
        if ((text = query_run(r, STASH, &out))) r->stash += count_stash_lines(text);
        buf_free(&out);
    }
    if (!r->error[0] && mode != MODE_LISTING) {
        // Status 1: there is no remote named origin.
        if ((text = query_run(r, REMOTE, &out, 1)) && *text) parse_remote(r, text);
        buf_free(&out);
    }
    if (!r->error[0]) query_git_state(r);
}
