// Linux implementation of the platform layer. It relies on Linux calls
// (pipe2, pidfd_open, sched_getaffinity) and builds on Linux only.
#include "platform/platform.h"
#include "platform/spawn_posix.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

void plat_stdout_binary() {}

// ---- file system ------------------------------------------------------------

int plat_exists(const char *path) {
    struct stat st;
    return path && lstat(path, &st) == 0;
}

// Lexical full path: a relative text is joined to the current folder, then
// runs of '/' become one, "." components go and ".." removes the component
// before it (never above "/"). Letter case and a trailing '/' are kept; no
// link is resolved and nothing on disk is consulted.
unsigned long plat_full_path(const char *path, char *out, unsigned long size) {
    if (!path || !*path || !out || size == 0) return 0;
    char joined[8192];
    size_t plen = strlen(path);
    size_t jlen = 0;
    if (path[0] != '/') {
        if (!getcwd(joined, sizeof joined - 1)) return 0;
        jlen = strlen(joined);
        if (jlen + 1 + plen + 1 > sizeof joined) return 0;
        joined[jlen++] = '/';
    } else if (plen + 1 > sizeof joined) {
        return 0;
    }
    memcpy(joined + jlen, path, plen + 1);
    jlen += plen;

    // Normalise into `norm`; it can only shrink.
    char norm[8192];
    size_t n = 0;
    const char *p = joined;
    while (*p) {
        while (*p == '/') p++;
        const char *start = p;
        while (*p && *p != '/') p++;
        size_t clen = (size_t)(p - start);
        if (clen == 0) break;
        if (clen == 1 && start[0] == '.') continue;
        if (clen == 2 && start[0] == '.' && start[1] == '.') {
            while (n > 0 && norm[n - 1] != '/') n--; // drop the last component
            if (n > 0) n--;                          // and its '/'
            continue;
        }
        norm[n++] = '/';
        memcpy(norm + n, start, clen);
        n += clen;
    }
    if (n == 0) norm[n++] = '/';
    if (jlen > 1 && joined[jlen - 1] == '/' && norm[n - 1] != '/') norm[n++] = '/';
    norm[n] = 0;

    if (n + 1 > size) return (unsigned long)(n + 1);
    memcpy(out, norm, n + 1);
    return (unsigned long)n;
}

unsigned long plat_real_path(const char *path, char *out, unsigned long size) {
    if (!path || !*path || !out || size == 0) return 0;
    char *real = realpath(path, nullptr);
    if (!real) return 0;
    size_t n = strlen(real);
    unsigned long rc = (unsigned long)n;
    if (n + 1 > size)
        rc = (unsigned long)(n + 1);
    else
        memcpy(out, real, n + 1);
    free(real);
    return rc;
}

int plat_file_id(const char *path, PlatFileId *id) {
    struct stat st;
    if (!path || stat(path, &st) != 0) return 0;
    id->volume = (uint64_t)st.st_dev;
    id->index = (uint64_t)st.st_ino;
    return 1;
}

int plat_dir_open(PlatDir *d, const char *dir) {
    d->handle = nullptr;
    d->first_pending = 0;
    d->name[0] = 0;
    d->is_dir = 0;
    d->is_link = 0;
    size_t len = strlen(dir);
    if (len >= sizeof d->dir) return 0;
    memcpy(d->dir, dir, len + 1);
    DIR *h = opendir(dir);
    if (!h) return 0;
    d->handle = h;
    return 1;
}

int plat_dir_next(PlatDir *d) {
    DIR *h = (DIR *)d->handle;
    if (!h) return 0;
    struct dirent *e = readdir(h);
    if (!e) return 0;
    snprintf(d->name, sizeof d->name, "%s", e->d_name);
    d->is_dir = 0;
    d->is_link = e->d_type == DT_LNK;
    if (e->d_type == DT_DIR) {
        d->is_dir = 1;
    } else if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
        // A link to a folder counts as a folder, as a junction does on Windows.
        char child[2600];
        int w = snprintf(child, sizeof child, "%s/%s", d->dir, e->d_name);
        struct stat st;
        if (w > 0 && (size_t)w < sizeof child) {
            if (e->d_type == DT_UNKNOWN && lstat(child, &st) == 0) d->is_link = S_ISLNK(st.st_mode);
            if (stat(child, &st) == 0 && S_ISDIR(st.st_mode)) d->is_dir = 1;
        }
    }
    return 1;
}

void plat_dir_close(PlatDir *d) {
    if (d->handle) closedir((DIR *)d->handle);
    d->handle = nullptr;
}

// ---- environment and time ---------------------------------------------------

char **plat_environ() {
    return environ;
}

long long plat_now() {
    return (long long)time(nullptr);
}

void plat_utc_text(long long t, char *out, size_t size) {
    time_t tt = (time_t)t;
    struct tm tmv;
    if (!gmtime_r(&tt, &tmv) || strftime(out, size, "%Y-%m-%dT%H:%M:%SZ", &tmv) == 0)
        snprintf(out, size, "%s", "1970-01-01T00:00:00Z");
}

int plat_cpu_count() {
#if defined(__linux__)
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int n = CPU_COUNT(&set);
        if (n > 0) return n;
    }
#endif
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? (int)n : 1;
}

// ---- child processes --------------------------------------------------------

static long long now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

static int open_process_waiter(pid_t pid) {
#if defined(__linux__) && defined(SYS_pidfd_open)
    long fd = syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0) {
        fcntl((int)fd, F_SETFD, FD_CLOEXEC);
        return (int)fd;
    }
#else
    (void)pid;
#endif
    return -1;
}

// The child starts a new session: it has no controlling terminal (git can
// never stop to ask for a password there) and it leads a process group of
// its own, so a time-out can end it together with every helper it started.
int plat_child_start(PlatChild *c, const char *const *argv, int argc, const char *cmdline,
                     const char *const *envp) {
    (void)cmdline;
    memset(c, 0, sizeof *c);
    c->pipe = -1;
    c->waiter = -1;
    if (argc < 1) return -1;

    const char *args[64];
    if (argc > 63) argc = 63;
    for (int i = 0; i < argc; i++) args[i] = argv[i];
    args[argc] = nullptr;

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    SpawnSpec spec = {args, envp, 1, fds[1], fds[1], 1};
    pid_t pid = -1;
    // glibc reports a program that cannot be executed as an error here
    // (never as exit status 127), so "git missing" is told apart from a run.
    int rc = spawn_child(&spec, &pid);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        return -1;
    }
    c->process = pid;
    c->pipe = fds[0];
    c->waiter = open_process_waiter(pid);
    return 0;
}

static int reap(PlatChild *c, int options) {
    if (c->ended) return 1;
    int st = 0;
    pid_t r;
    do {
        r = waitpid((pid_t)c->process, &st, options);
    } while (r < 0 && errno == EINTR);
    if (r != (pid_t)c->process) return 0;
    c->ended = 1;
    if (WIFEXITED(st))
        c->status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st))
        c->status = 128 + WTERMSIG(st);
    else
        c->status = 1;
    return 1;
}

static long bytes_waiting(int fd) {
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0) return -1;
    return n;
}

long plat_child_peek(PlatChild *c) {
    if (c->pipe_eof || c->pipe < 0) return -1;
    long n = bytes_waiting((int)c->pipe);
    if (n != 0) return n;
    struct pollfd p = {(int)c->pipe, POLLIN, 0};
    if (poll(&p, 1, 0) > 0) {
        n = bytes_waiting((int)c->pipe);
        if (n != 0) return n;
        c->pipe_eof = 1; // readable with nothing to read: every writer is gone
        return -1;
    }
    return 0;
}

long plat_child_read(PlatChild *c, char *buf, long n) {
    ssize_t r;
    do {
        r = read((int)c->pipe, buf, (size_t)n);
    } while (r < 0 && errno == EINTR);
    return (long)r;
}

int plat_child_wait(PlatChild *c, int ms, int wake_on_output) {
    long long deadline = now_ms() + ms;
    for (;;) {
        if (reap(c, WNOHANG)) return 1;
        long long remaining = deadline - now_ms();
        if (remaining <= 0) return 0;
        struct pollfd p[2];
        int np = 0, pipe_at = -1;
        if (wake_on_output && !c->pipe_eof && c->pipe >= 0) {
            pipe_at = np;
            p[np++] = {(int)c->pipe, POLLIN, 0};
        }
        if (c->waiter >= 0) p[np++] = {(int)c->waiter, POLLIN, 0};
        if (np == 0) {
            struct timespec ts = {0, 2 * 1000000L};
            nanosleep(&ts, nullptr);
            continue;
        }
        int r = poll(p, (nfds_t)np, (int)remaining);
        if (r <= 0) continue;
        if (pipe_at >= 0 && p[pipe_at].revents) {
            if (bytes_waiting((int)c->pipe) > 0) return -1; // output arrived
            c->pipe_eof = 1;
        }
    }
}

void plat_child_kill(PlatChild *c, int code) {
    if (c->ended) return;
    kill(-(pid_t)c->process, SIGKILL);
    kill((pid_t)c->process, SIGKILL);
    c->killed = 1;
    c->kill_code = code;
}

int plat_child_exit_status(PlatChild *c, int *status) {
    if (!reap(c, WNOHANG)) return 0;
    *status = c->killed ? c->kill_code : c->status;
    return 1;
}

void plat_child_close(PlatChild *c) {
    if (c->pipe >= 0) close((int)c->pipe);
    c->pipe = -1;
    if (c->waiter >= 0) close((int)c->waiter);
    c->waiter = -1;
    if (c->process > 0 && !c->ended) {
        // Never leave a child behind: a run that gave up on it ends it.
        kill(-(pid_t)c->process, SIGKILL);
        kill((pid_t)c->process, SIGKILL);
        reap(c, 0);
    }
}
