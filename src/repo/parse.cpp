// The parsers of git's outputs that the status query reads: pure functions
// of the text, with no git run here.
#include "repo/repo.h"
#include "text/text.h"

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

static void parse_header(Repo *r, const char *h, int stash_header, char *head_oid) {
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
        const char *v = h + 11;
        if (strcmp(v, "(initial)") == 0)
            r->unborn = 1;
        else if (head_oid && strlen(v) < HASH_SIZE)
            str_copy(head_oid, HASH_SIZE, v);
    } else if (stash_header && strncmp(h, "stash ", 6) == 0) {
        // "stash N", written only when there are stashes.
        const char *end;
        int n;
        if (parse_int(h + 6, &n, &end) && *end == 0 && n > 0) r->stash += n;
    }
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

void parse_status(Repo *r, const char *text, size_t len, int stash_header, char *head_oid) {
    if (head_oid) head_oid[0] = 0;
    StatusLine l;
    int ab_seen = 0;
    for (const char *p = text; status_next_line(&p, text + len, &l);) {
        switch (l.text[0]) {
        case '#': {
            char header[STATUS_LINE_SIZE];
            size_t n = l.len < sizeof header - 1 ? l.len : sizeof header - 1;
            memcpy(header, l.text, n);
            header[n] = 0;
            parse_header(r, header + 1, stash_header, head_oid);
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

int log_line_read(const char *s, const char *end, char sep, int with_author, LogLine *l) {
    const char *t1 = (const char *)memchr(s, sep, (size_t)(end - s));
    if (!t1) return 0;
    l->hash = s;
    l->hash_len = (size_t)(t1 - s);
    l->author = l->subject = nullptr;
    l->author_len = l->subject_len = 0;
    const char *t2 = (const char *)memchr(t1 + 1, sep, (size_t)(end - t1 - 1));
    l->ct = parse_commit_time(t1 + 1, (size_t)((t2 ? t2 : end) - (t1 + 1)));
    if (!t2) return 1;
    const char *field = t2 + 1;
    if (with_author) {
        const char *t3 = (const char *)memchr(field, sep, (size_t)(end - field));
        l->author = field;
        l->author_len = (size_t)((t3 ? t3 : end) - field);
        if (!t3) return 1;
        field = t3 + 1;
    }
    l->subject = field;
    l->subject_len = (size_t)(end - field);
    return 1;
}

int log_next_record(const char **p, const char *end, LogLine *l) {
    while (*p < end) {
        const char *s = *p;
        const char *nl = (const char *)memchr(s, '\n', (size_t)(end - s));
        *p = nl ? nl + 1 : end;
        if (log_line_read(s, nl ? nl : end, 0, 1, l) && l->subject) return 1;
    }
    return 0;
}

// The record's last commit from the log line `l`.
static void last_commit_from(Repo *r, const LogLine *l) {
    size_t n = l->hash_len < sizeof r->last_hash - 1 ? l->hash_len : sizeof r->last_hash - 1;
    memcpy(r->last_hash, l->hash, n);
    r->last_hash[n] = 0;
    r->last_ct = l->ct;
    if (l->subject) {
        // Cut at a character's edge: copied whole up to one byte past the
        // field, then cut there by str_copy_text.
        char subject[SUBJECT_SIZE + 1];
        n = l->subject_len < SUBJECT_SIZE ? l->subject_len : SUBJECT_SIZE;
        memcpy(subject, l->subject, n);
        subject[n] = 0;
        str_copy_text(r->last_subject, sizeof r->last_subject, subject);
    }
    str_trim(r->last_subject);
}

void parse_last_commit(Repo *r, const char *text) {
    const char *nl = strchr(text, '\n');
    LogLine l;
    if (log_line_read(text, nl ? nl : text + strlen(text), '\t', 0, &l)) last_commit_from(r, &l);
}

void parse_log_head(Repo *r, const char *text, size_t len) {
    LogLine l;
    if (log_next_record(&text, text + len, &l)) last_commit_from(r, &l);
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
