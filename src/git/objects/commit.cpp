// A commit's hash, committer time and subject, read from its content as
// `git log -1 --format=%H%x09%ct%x09%s` shows them.
#include "git/objects/objects.h"
#include "text/text.h"

#include <cstring>

// git's own idea of a blank byte in a message (its isspace).
static int git_space(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

static int ascii_equal_fold(const char *a, size_t n, const char *b) {
    if (strlen(b) != n) return 0;
    for (size_t i = 0; i < n; i++) {
        char x = a[i];
        if (x >= 'A' && x <= 'Z') x = (char)(x - 'A' + 'a');
        if (x != b[i]) return 0;
    }
    return 1;
}

// The committer time of "committer Name <mail> 1700000000 +0100": the digits
// after the line's one '>', which git prints as they are. Returns 0 for any
// other shape.
static int committer_time(const char *s, size_t n, long long *t) {
    const char *end = s + n;
    const char *lt = (const char *)memchr(s, '<', n), *gt = (const char *)memchr(s, '>', n);
    if (!lt || !gt || gt < lt || memchr(gt + 1, '>', (size_t)(end - gt - 1)) ||
        memchr(lt + 1, '<', (size_t)(end - lt - 1)))
        return 0;
    const char *p = gt + 1;
    if (p >= end || *p != ' ') return 0;
    p++;
    long long v = 0;
    int digits = 0;
    for (; p < end && *p >= '0' && *p <= '9'; p++) {
        if (++digits > 18) return 0;
        v = v * 10 + (*p - '0');
    }
    // git shows no time where the zone's sign has no digits after it.
    if (!digits || p + 3 > end || *p != ' ' || (p[1] != '+' && p[1] != '-')) return 0;
    for (p += 2; p < end; p++)
        if (*p < '0' || *p > '9') return 0;
    *t = v;
    return 1;
}

int commit_summary_parse(const unsigned char *content, size_t len, CommitSummary *out) {
    const char *s = (const char *)content, *end = s + len;
    if (memchr(s, 0, len)) return 0;
    // Headers up to the first empty line; continuation lines start with ' '.
    int committers = 0;
    long long ct = 0;
    const char *p = s;
    while (p < end && *p != '\n') {
        const char *nl = (const char *)memchr(p, '\n', (size_t)(end - p));
        const char *eol = nl ? nl : end;
        size_t n = (size_t)(eol - p);
        if (n > 10 && memcmp(p, "committer ", 10) == 0) {
            if (++committers > 1 || !committer_time(p + 10, n - 10, &ct)) return 0;
        } else if (n >= 9 && memcmp(p, "encoding ", 9) == 0) {
            // git shows a message in another encoding converted to UTF-8.
            if (!ascii_equal_fold(p + 9, n - 9, "utf-8") && !ascii_equal_fold(p + 9, n - 9, "utf8"))
                return 0;
        }
        p = nl ? nl + 1 : end;
    }
    if (committers != 1) return 0;
    if (p < end) p++; // the empty line
    // Blank lines before the subject are passed; the subject is the first
    // paragraph, each line without its trailing blanks, joined by spaces.
    char subject[SUBJECT_SIZE + 1];
    size_t used = 0;
    int first = 1, started = 0;
    while (p < end) {
        const char *nl = (const char *)memchr(p, '\n', (size_t)(end - p));
        const char *next = nl ? nl + 1 : end;
        const char *e = next;
        while (e > p && git_space((unsigned char)e[-1])) e--;
        if (e == p) {
            if (started) break;
            p = next;
            continue;
        }
        started = 1;
        if (!first && used < SUBJECT_SIZE) subject[used++] = ' ';
        first = 0;
        size_t n = (size_t)(e - p);
        if (n > SUBJECT_SIZE - used) n = SUBJECT_SIZE - used;
        memcpy(subject + used, p, n);
        used += n;
        p = next;
    }
    subject[used] = 0;
    // Kept as the record keeps git's line: cut, then blanks trimmed.
    str_copy_text(out->subject, sizeof out->subject, subject);
    str_trim(out->subject);
    out->ct = ct;
    return 1;
}
