// Starting a child process on Linux: clone with a shared memory and the
// parent suspended until the child has called exec (as vfork does), so the
// child can set itself up before exec with what posix_spawn cannot ask for
// (a signal at its parent's death).
#include "platform/spawn_posix.h"
#include "base/sizes.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#define DEFAULT_SEARCH_PATH "/bin:/usr/bin"

// What the child needs before exec. Everything is made by the parent: the
// child calls nothing that allocates or takes a lock.
struct ChildPlan {
    const SpawnSetup *setup;
    const char *paths; // the places to try, each zero-terminated, an empty one last
    int report_fd;     // write end (close-on-exec) of the pipe that reports a failed exec
    int die_with_parent;
    pid_t parent;
};

// The child's side, up to exec. Async-signal-safe calls only; on a failure
// the error number goes to the report pipe and the child exits.
__attribute__((no_sanitize_address)) static int child_main(void *arg) {
    const ChildPlan *plan = (const ChildPlan *)arg;
    const SpawnSetup *s = plan->setup;
    int err = 0;

    // The parent's handlers must never run here (the memory is the
    // parent's): every caught signal gets its default action, and the
    // stop signals and SIGPIPE get it whatever the parent does.
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; sig++) {
        struct sigaction old;
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        if (sigaction(sig, nullptr, &old) != 0) continue;
        int forced = sig == SIGPIPE || sig == SIGINT || sig == SIGTERM || sig == SIGHUP;
        if (forced || old.sa_handler != SIG_IGN) sigaction(sig, &dfl, nullptr);
    }
    if (plan->die_with_parent) {
        // Killed when the thread that started it ends, whatever ends it;
        // a parent already gone before this call is seen by its pid.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) err = errno;
        if (!err && getppid() != plan->parent) _exit(127);
    }
    if (!err && (s->new_session ? setsid() : setpgid(0, 0)) < 0) err = errno;
    int in = err ? -1 : open("/dev/null", O_RDONLY);
    if (!err && in < 0) err = errno;
    if (!err && in != 0 && (dup2(in, 0) < 0 || close(in) != 0)) err = errno;
    const int targets[2] = {1, 2};
    const int sources[2] = {s->out_fd, s->err_fd};
    for (int i = 0; i < 2 && !err; i++) {
        if (sources[i] < 0) continue;
        // A descriptor already in place keeps its number without the
        // close-on-exec flag; any other is copied there.
        int rc =
            sources[i] == targets[i] ? fcntl(targets[i], F_SETFD, 0) : dup2(sources[i], targets[i]);
        if (rc < 0) err = errno;
    }
    sigset_t none;
    sigemptyset(&none);
    if (!err && sigprocmask(SIG_SETMASK, &none, nullptr) != 0) err = errno;

    if (!err) {
        // As a path search does: a place where the program is missing or
        // not executable is passed over; the first other error ends it.
        err = ENOENT;
        int denied = 0;
        for (const char *p = plan->paths; *p; p += strlen(p) + 1) {
            // execve's arrays are not const for C's sake; it never writes them.
            execve(p, const_cast<char *const *>(s->argv), const_cast<char *const *>(s->envp));
            if (errno == EACCES) denied = 1;
            if (errno != ENOENT && errno != ENOTDIR && errno != EACCES) {
                err = errno;
                break;
            }
        }
        if (err == ENOENT && denied) err = EACCES;
    }
    while (write(plan->report_fd, &err, sizeof err) < 0 && errno == EINTR) {
    }
    _exit(127);
}

// The places to try for argv[0], each zero-terminated with an empty one
// last: argv[0] itself when it is a path (or no search is asked), else each
// folder of PATH (an empty item is the current folder) with the name. Null
// when memory is short.
static char *candidate_paths(const SpawnSetup *s) {
    const char *name = s->argv[0];
    size_t name_len = strlen(name);
    if (!s->search_path || strchr(name, '/')) {
        char *one = (char *)calloc(name_len + 2, 1);
        if (one) memcpy(one, name, name_len);
        return one;
    }
    const char *path = getenv("PATH");
    if (!path) path = DEFAULT_SEARCH_PATH;
    size_t items = 1;
    for (const char *p = path; *p; p++) items += *p == ':';
    char *list = (char *)malloc(strlen(path) + items * (name_len + 2) + 1);
    if (!list) return nullptr;
    char *w = list;
    for (const char *p = path;;) {
        const char *colon = strchr(p, ':');
        size_t n = colon ? (size_t)(colon - p) : strlen(p);
        if (n + name_len + 2 <= CANDIDATE_PATH_MAX) {
            if (n) {
                memcpy(w, p, n);
                w += n;
                *w++ = '/';
            }
            memcpy(w, name, name_len + 1);
            w += name_len + 1;
        }
        if (!colon) break;
        p = colon + 1;
    }
    *w = 0;
    return list;
}

int spawn_child(const SpawnSetup *setup, pid_t *pid, int die_with_parent) {
    char *paths = candidate_paths(setup);
    if (!paths) return ENOMEM;
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        int e = errno;
        free(paths);
        return e;
    }
    void *stack = mmap(nullptr, CHILD_STACK_BYTES, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) {
        int e = errno;
        close(report[0]);
        close(report[1]);
        free(paths);
        return e;
    }
    ChildPlan plan = {setup, paths, report[1], die_with_parent, getpid()};

    // No signal is handled in this thread while the child shares its
    // memory; the child sets its own mask before exec.
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    // This thread waits here until the child has called exec or exited.
    pid_t child = clone(child_main, (char *)stack + CHILD_STACK_BYTES,
                        CLONE_VM | CLONE_VFORK | SIGCHLD, &plan);
    int rc = child < 0 ? errno : 0;
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    close(report[1]);

    if (rc == 0) {
        // The child reports an error number when exec failed; an empty pipe
        // (closed by a successful exec) means it runs.
        int err = 0;
        ssize_t got;
        do {
            got = read(report[0], &err, sizeof err);
        } while (got < 0 && errno == EINTR);
        if (got == (ssize_t)sizeof err) {
            rc = err ? err : ECHILD;
            while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
            }
        } else {
            *pid = child;
        }
    }
    close(report[0]);
    munmap(stack, CHILD_STACK_BYTES);
    free(paths);
    return rc;
}
