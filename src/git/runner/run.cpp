// The one place where a child process is started: a run with its deadline
// and output cap, and git bound to the folder it runs in.
#include "platform/platform.h"
#include "git/runner/runner.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#define POLL_WAIT_MS 20   // longest wait between two looks at the pipe
#define KILL_WAIT_MS 2000 // how long a stopped child is given to end

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, 0 once it has passed.
static int ms_until(Clock::time_point deadline) {
    long long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? (int)left : 0;
}

// A wait of at most `ms` that ends no later than `deadline`.
static int wait_ms(Clock::time_point deadline, int ms) {
    int left = ms_until(deadline);
    return left < ms ? left : ms;
}

int run_argv(const char *const *argv, Buf *out, int limit_s, RunEnd *end, Buf *err) {
    return run_argv_env(argv, child_environment(), out, limit_s, end, err);
}

// Asks the stopped child to stop and waits up to `grace_ms` for it to end,
// reading and dropping what it writes so that it never waits on a full pipe.
static void terminate_within(PlatChild *c, int grace_ms) {
    if (grace_ms <= 0 || !plat_child_terminate(c)) return;
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(grace_ms);
    char chunk[READ_CHUNK_SIZE];
    while (ms_until(deadline) > 0) {
        for (int s = PLAT_CHILD_STDOUT; s <= PLAT_CHILD_STDERR; s++) {
            long waiting = plat_child_peek(c, s);
            if (waiting > 0)
                plat_child_read(c, chunk,
                                waiting < (long)sizeof chunk ? waiting : (long)sizeof chunk, s);
        }
        if (plat_child_wait(c, wait_ms(deadline, POLL_WAIT_MS), 1) == 1) return;
    }
}

// Every run has a deadline in wall-clock time from its start, whether the
// child writes or not, and a ceiling of RUN_OUTPUT_MAX bytes for what it
// writes on both pipes together: a child past either is stopped with
// everything it started. Both pipes are read as data arrives on either, so a
// child that fills one while the other is empty never waits on the runner.
int run_argv_env(const char *const *argv, const char *const *env, Buf *out, int limit_s,
                 RunEnd *end, Buf *err, int grace_ms) {
    RunEnd ignored;
    if (!end) end = &ignored;
    *end = RUN_NOT_STARTED;
    char cmdline[CMDLINE_SIZE];
    int argc = build_cmdline(argv, cmdline);
    if (!env) return -1;
    PlatChild c;
    if (plat_child_start(&c, argv, argc, cmdline, env) != 0) return -1;
    *end = RUN_EXITED;
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(limit_s);

    // Standard error is kept only where the caller asks for it; it counts
    // towards the ceiling all the same.
    Buf *into[2] = {out, err};
    unsigned long long ceiling = out->max < RUN_OUTPUT_MAX ? out->max : RUN_OUTPUT_MAX;
    // What the buffers held before counts as well: they never grow past it.
    unsigned long long taken = out->len + (err && err != out ? err->len : 0);
    char chunk[READ_CHUNK_SIZE];
    for (;;) {
        if (ms_until(deadline) == 0) {
            *end = RUN_TIMED_OUT;
            break;
        }
        int open = 0, got_any = 0;
        for (int s = PLAT_CHILD_STDOUT; s <= PLAT_CHILD_STDERR && *end == RUN_EXITED; s++) {
            long waiting = plat_child_peek(&c, s);
            if (waiting < 0) continue;
            open++;
            if (waiting == 0) continue;
            long got = plat_child_read(
                &c, chunk, waiting < (long)sizeof chunk ? waiting : (long)sizeof chunk, s);
            if (got <= 0) continue;
            got_any = 1;
            taken += (unsigned long long)got;
            if (taken + 1 > ceiling) {
                *end = RUN_TOO_LARGE;
            } else if (into[s] && !buf_add(into[s], chunk, (size_t)got)) {
                *end = RUN_NO_MEMORY;
            }
        }
        if (*end != RUN_EXITED) break;
        if (got_any) continue;
        if (!open) break;
        int w = plat_child_wait(&c, wait_ms(deadline, POLL_WAIT_MS), 1);
        // Ended: read what it left in the pipes, but never wait on helpers
        // of its own that still hold them open.
        if (w == 1 && plat_child_peek(&c, PLAT_CHILD_STDOUT) <= 0 &&
            plat_child_peek(&c, PLAT_CHILD_STDERR) <= 0)
            break;
    }
    // The pipes may have closed before the child ended: it still has until
    // its deadline.
    if (*end == RUN_EXITED && plat_child_wait(&c, ms_until(deadline), 0) != 1) *end = RUN_TIMED_OUT;
    if (*end != RUN_EXITED) {
        terminate_within(&c, grace_ms);
        plat_child_kill(&c, 1);
        plat_child_wait(&c, KILL_WAIT_MS, 0);
    }
    int status;
    if (!plat_child_exit_status(&c, &status) || *end != RUN_EXITED) status = 1;
    plat_child_close(&c);
    return status;
}

int run_git(const char *dir, const char *const *args, Buf *out, int limit_s, RunEnd *end,
            Buf *err) {
    const char *argv[3 + RUN_GIT_ARGS_MAX + 1] = {"git", "-C", dir};
    int n = 3;
    for (int i = 0; args[i] && i < RUN_GIT_ARGS_MAX; i++) argv[n++] = args[i];
    argv[n] = nullptr;
    Buf entry;
    const char **env = bound_environment(dir, &entry);
    int rc = run_argv_env(argv, env, out, limit_s, end, err);
    free(env);
    buf_free(&entry);
    return rc;
}
