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

static int has_prefix(const Line &l, const char *prefix) {
    size_t n = strlen(prefix);
    return l.len >= n && memcmp(l.text, prefix, n) == 0;
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
    Line l, first = {}, fatal = {}, error = {}, before = {}, before_fatal = {}, after_fatal = {};
    for (const char *p = messages ? messages : ""; next_line(&p, &l); before = l) {
        if (fatal.text && !after_fatal.text) after_fatal = l;
        if (!first.text) first = l;
        if (!fatal.text && has_prefix(l, "fatal:")) {
            fatal = l;
            before_fatal = before;
        }
        if (!error.text && has_prefix(l, "error:")) error = l;
    }
    const Line *said = fatal.text ? &fatal : error.text ? &error : &first;
    if (!said->text || size == 0) {
        snprintf(out, size, "git exited with status %d", status);
        return;
    }
    Buf text;
    buf_init(&text, RUN_OUTPUT_MAX);
    buf_add(&text, said->text, said->len);
    if (said == &fatal) {
        // The cause git leaves to another line: the reason on the line
        // after a fatal line that ends in ':' ("unable to connect to
        // host:"), or what a transport program (ssh) wrote just before git
        // gave up ("Could not read from remote repository.").
        if (said->text[said->len - 1] == ':' && after_fatal.text) {
            buf_add(&text, " ", 1);
            buf_add(&text, after_fatal.text, after_fatal.len);
        } else if (before_fatal.text && !has_prefix(before_fatal, "hint:") &&
                   !has_prefix(before_fatal, "warning:") && !has_prefix(before_fatal, "error:")) {
            buf_add(&text, " (", 2);
            buf_add(&text, before_fatal.text, before_fatal.len);
            buf_add(&text, ")", 1);
        }
    }
    str_copy(out, size, text.data ? text.data : "git failed");
    buf_free(&text);
}
