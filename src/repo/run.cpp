// The one place where a child process is started.
#include "platform/platform.h"
#include "repo/repo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define QUOTED_BODY_MAX 1196 // a byte is copied only while the form is at most this long
#define IDLE_WAIT_MS 20
#define IDLE_WAITS_PER_S 50

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

int run_argv(const char *const *argv, Buf *out, int limit_s, RunEnd *end) {
    return run_argv_env(argv, child_environment(), out, limit_s, end);
}

int run_argv_env(const char *const *argv, const char *const *env, Buf *out, int limit_s,
                 RunEnd *end) {
    RunEnd ignored;
    if (!end) end = &ignored;
    *end = RUN_NOT_STARTED;
    char cmdline[CMDLINE_SIZE];
    int argc = build_cmdline(argv, cmdline);
    if (!env) return -1;
    PlatChild c;
    if (plat_child_start(&c, argv, argc, cmdline, env) != 0) return -1;
    *end = RUN_EXITED;

    char chunk[4096];
    int idle = 0;
    for (;;) {
        long waiting = plat_child_peek(&c);
        if (waiting < 0) break;
        if (waiting > 0) {
            long got = plat_child_read(&c, chunk,
                                       waiting < (long)sizeof chunk ? waiting : (long)sizeof chunk);
            if (got <= 0) break;
            buf_add(out, chunk, (size_t)got);
            continue;
        }
        int w = plat_child_wait(&c, IDLE_WAIT_MS, 1);
        if (w == 1) {
            // Ended: read what it left in the pipe, but never wait on helpers
            // of its own that still hold the pipe open.
            if (plat_child_peek(&c) <= 0) break;
        } else if (w == 0 && ++idle > IDLE_WAITS_PER_S * limit_s) {
            plat_child_kill(&c, 1);
            *end = RUN_TIMED_OUT;
            break;
        }
    }
    if (plat_child_wait(&c, limit_s * 1000, 0) != 1) {
        plat_child_kill(&c, 1);
        *end = RUN_TIMED_OUT;
        plat_child_wait(&c, 2000, 0);
    }
    int status;
    if (!plat_child_exit_status(&c, &status)) status = 1;
    plat_child_close(&c);
    return status;
}

int run_git(const char *dir, const char *const *args, Buf *out, int limit_s, RunEnd *end) {
    const char *argv[3 + RUN_GIT_ARGS_MAX + 1] = {"git", "-C", dir};
    int n = 3;
    for (int i = 0; args[i] && i < RUN_GIT_ARGS_MAX; i++) argv[n++] = args[i];
    argv[n] = nullptr;
    Buf entry;
    const char **env = bound_environment(dir, &entry);
    int rc = run_argv_env(argv, env, out, limit_s, end);
    free(env);
    buf_free(&entry);
    return rc;
}
