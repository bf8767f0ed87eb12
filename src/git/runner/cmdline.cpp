// The Windows command line of a child: each argument quoted as the
// platform's argument rules read it back.
#include "git/runner/runner.h"

#include <cstring>

#define QUOTED_BODY_MAX 1196 // a byte is copied only while the form is at most this long

int quote_arg(const char *arg, char *out) {
    int n = 0;
    out[n++] = '"';
    const char *p = arg;
    for (; *p; p++) {
        if (n > QUOTED_BODY_MAX) break;
        if (*p == '"') {
            out[n++] = '\\';
            out[n++] = '"';
        } else if (*p == '\\') {
            // A run of backslashes is literal unless a quote (escaped, or the
            // closing one) follows it; then each is doubled.
            const char *q = p;
            while (*q == '\\') q++;
            if (*q == '"' || *q == 0) out[n++] = '\\';
            out[n++] = '\\';
        } else {
            out[n++] = *p;
        }
    }
    if (*p) {
        // Cut inside a run of backslashes that were copied once: an odd run
        // would escape the closing quote, so its last backslash goes.
        int run = 0;
        while (run < n - 1 && out[n - 1 - run] == '\\') run++;
        if (run % 2) n--;
    }
    if (n <= QUOTED_BODY_MAX + 1) out[n++] = '"';
    out[n] = 0;
    return n;
}

int build_cmdline(const char *const *argv, char *out) {
    int len = 0, count = 0;
    out[0] = 0;
    for (; argv[count]; count++) {
        char q[QUOTED_ARG_SIZE];
        int qn = quote_arg(argv[count], q);
        if (len + qn + 3 > CMDLINE_SIZE - 1) break;
        if (count > 0) out[len++] = ' ';
        memcpy(out + len, q, (size_t)qn + 1);
        len += qn;
    }
    return count;
}
