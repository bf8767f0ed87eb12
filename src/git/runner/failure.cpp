// The one line that says why a run of git failed.
#include "git/runner/runner.h"
#include "text/text.h"

#include <cstdio>
#include <cstring>

// One line of a command's output, without blanks (bytes 1 to 32) at either
// end; not zero-terminated.
struct Line {
    const char *text;
    size_t len;
};

// Reads the next line that is not blank from the text at *p and moves *p
// past it. Returns 0 at the end of the text.
static int next_line(const char **p, Line *l) {
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
        *p = s;
        return 1;
    }
    *p = s;
    return 0;
}

void run_failure_text(RunEnd end, int status, const char *messages, int limit_s, char *out,
                      size_t size) {
    switch (end) {
    case RUN_NOT_STARTED:
        str_copy(out, size, "git could not be started");
        return;
    case RUN_TIMED_OUT:
        snprintf(out, size, "git did not answer within %d s", limit_s);
        return;
    case RUN_TOO_LARGE:
        str_copy(out, size, "git wrote more than 64 MB and was stopped");
        return;
    case RUN_NO_MEMORY:
        str_copy(out, size, "the output of git could not be kept in memory");
        return;
    default:
        break;
    }
    // git's own words: the line that says why it gave up, rather than a
    // warning or a hint around it.
    Line l, first = {}, fatal = {}, error = {};
    for (const char *p = messages ? messages : ""; next_line(&p, &l);) {
        if (!first.text) first = l;
        if (!fatal.text && l.len >= 6 && memcmp(l.text, "fatal:", 6) == 0) fatal = l;
        if (!error.text && l.len >= 6 && memcmp(l.text, "error:", 6) == 0) error = l;
    }
    const Line *said = fatal.text ? &fatal : error.text ? &error : &first;
    if (!said->text || size == 0) {
        snprintf(out, size, "git exited with status %d", status);
        return;
    }
    size_t n = said->len < size - 1 ? said->len : size - 1;
    memcpy(out, said->text, n);
    out[n] = 0;
}
