// Linux implementation of the platform layer. It relies on Linux calls
// (pipe2, pidfd_open, sched_getaffinity) and builds on Linux only.
#include "platform/platform.h"
#include "platform/spawn_posix.h"

#include <atomic>
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

// ---- terminal -----------------------------------------------------------------

void plat_main_args(int *, char ***) {}

static int stream_fd(int stream) {
    return stream == PLAT_STDERR ? 2 : 1;
}

int plat_is_terminal(int stream) {
    return isatty(stream_fd(stream)) == 1;
}

int plat_terminal_columns(int stream) {
    struct winsize ws;
    if (!plat_is_terminal(stream)) return 0;
    if (ioctl(stream_fd(stream), TIOCGWINSZ, &ws) != 0) return 0;
    return ws.ws_col;
}

int plat_terminal_prepare(int stream) {
    return plat_is_terminal(stream);
}

int plat_write_text(int stream, const char *s, size_t n) {
    FILE *f = stream == PLAT_STDERR ? stderr : stdout;
    if (n && fwrite(s, 1, n, f) != n) return 0;
    return fflush(f) == 0;
}

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
    char joined[RESOLVE_PATH_SIZE];
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
    char norm[RESOLVE_PATH_SIZE];
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

int plat_same_path(const char *a, const char *b) {
    size_t na = strlen(a), nb = strlen(b);
    while (na > 0 && a[na - 1] == '/') na--;
    while (nb > 0 && b[nb - 1] == '/') nb--;
    return na == nb && memcmp(a, b, na) == 0;
}

int plat_path_below(const char *path, const char *root, char *rest, size_t size) {
    size_t n = strlen(root);
    while (n > 0 && root[n - 1] == '/') n--;
    if (strncmp(path, root, n) != 0 || (path[n] && path[n] != '/')) return 0;
    size_t len = strlen(path + n);
    if (len >= size) return 0;
    memcpy(rest, path + n, len + 1);
    return 1;
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

unsigned long plat_long_path(const char *, char *, unsigned long) {
    return 0;
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
    d->name_unusable = 0; // a name is bytes here: every one can be handed on
    size_t len = strlen(dir);
    if (len >= sizeof d->dir) return PLAT_DIR_UNUSABLE;
    memcpy(d->dir, dir, len + 1);
    DIR *h = opendir(dir);
    if (!h) return errno == ENAMETOOLONG ? PLAT_DIR_UNUSABLE : 0;
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
        char child[CHILD_PATH_SIZE];
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

// ---- reading files ----------------------------------------------------------

int plat_is_dir(const char *path) {
    struct stat st;
    return path && stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

int plat_file_mtime(const char *path, long long *t) {
    struct stat st;
    if (!path || stat(path, &st) != 0) return 0;
    *t = (long long)st.st_mtime;
    return 1;
}

// Opened without waiting (a FIFO would wait for a writer forever), and kept
// only when it is a regular file: a FIFO or a device planted in a
// repository's git folder is refused, never read.
int plat_file_open(PlatFile *f, const char *path) {
    int fd = path ? open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY) : -1;
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        fd = -1;
    }
    f->handle = fd;
    return fd >= 0;
}

long long plat_file_size(PlatFile *f) {
    struct stat st;
    return fstat((int)f->handle, &st) == 0 ? (long long)st.st_size : -1;
}

long long plat_file_read_at(PlatFile *f, unsigned long long offset, void *buf,
                            unsigned long long n) {
    unsigned long long got = 0;
    while (got < n) {
        ssize_t r =
            pread((int)f->handle, (char *)buf + got, (size_t)(n - got), (off_t)(offset + got));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) return -1;
        if (r == 0) break;
        got += (unsigned long long)r;
    }
    return (long long)got;
}

void plat_file_close(PlatFile *f) {
    if (f->handle >= 0) close((int)f->handle);
    f->handle = -1;
}

// The entry as plat_dir_next gives one of unknown type: lstat tells a link,
// stat (following it) a folder.
int plat_dir_find(PlatDir *d, const char *dir, const char *name) {
    d->handle = nullptr;
    d->first_pending = 0;
    d->name_unusable = 0;
    d->dir[0] = 0;
    char child[CHILD_PATH_SIZE];
    int w = snprintf(child, sizeof child, "%s/%s", dir, name);
    struct stat st;
    if (!*name || strchr(name, '/') || w < 0 || (size_t)w >= sizeof child ||
        strlen(name) >= sizeof d->name || lstat(child, &st) != 0)
        return 0;
    snprintf(d->name, sizeof d->name, "%s", name);
    d->is_link = S_ISLNK(st.st_mode);
    d->is_dir = stat(child, &st) == 0 && S_ISDIR(st.st_mode);
    return 1;
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

// The process groups of the running children, so that a stop signal can end
// them with the program. A child runs in a session of its own, out of reach
// of a signal to this program's process group (as a host sends one), so
// nothing else would.
//
// An entry holds a child's pid (its group's id) from its start until it has
// been reaped; 0 is a free entry, -1 one taken for a child being started.
// The id is removed before the child is reaped, so an id in the registry is
// never that of another process. Children are started from several threads
// at once (the listing's) while the handler may run on any of them; both
// sides use lock-free atomics only:
// - a starting thread counts itself in `g_starting` and only then looks at
//   `g_stopping`, and leaves the count only after its child is registered;
// - the handler sets `g_stopping` and only then waits for `g_starting` to
//   be 0, so every child either is never started or is registered when the
//   handler ends the registered groups.
// A thread blocks the stop signals while it starts a child, so the handler
// never runs on a thread that is inside that window (it would wait on
// itself).
static std::atomic<int> g_child_groups[CHILD_SLOTS];
static std::atomic<int> g_starting;
static std::atomic<int> g_stopping;
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");

static const int STOP_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

static void kill_registered_groups() {
    for (std::atomic<int> &entry : g_child_groups) {
        int pid = entry.load();
        if (pid > 0) kill(-pid, SIGKILL);
    }
}

// Async-signal-safe: atomics, kill, nanosleep, sigaction and raise only.
static void stop_children_and_exit(int sig) {
    g_stopping.store(1);
    kill_registered_groups();
    while (g_starting.load() > 0) {
        struct timespec ts = {0, 1000000L};
        nanosleep(&ts, nullptr);
    }
    kill_registered_groups();
    // End as the signal asks: with its default action, delivered as soon as
    // this handler returns.
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigaction(sig, &dfl, nullptr);
    raise(sig);
}

void plat_children_init() {
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = stop_children_and_exit;
    sigemptyset(&sa.sa_mask);
    for (int sig : STOP_SIGNALS) sigaddset(&sa.sa_mask, sig);
    for (int sig : STOP_SIGNALS) {
        // A signal ignored at the start (nohup) stays ignored.
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaction(sig, &sa, nullptr);
    }
}

// Takes a free registry entry for a child about to start; -1 when none is
// left or the program is stopping (then no child may start).
static int registry_reserve() {
    if (g_stopping.load()) return -1;
    for (int i = 0; i < CHILD_SLOTS; i++) {
        int free_entry = 0;
        if (g_child_groups[i].compare_exchange_strong(free_entry, -1)) return i;
    }
    return -1;
}

static void registry_remove(pid_t pid) {
    for (std::atomic<int> &entry : g_child_groups) {
        int expected = (int)pid;
        if (entry.compare_exchange_strong(expected, 0)) return;
    }
}

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

// Starts the child and enters it in the registry, with the stop signals
// blocked in this thread (see the registry). Returns 0 or an error number.
static int spawn_registered(const SpawnSetup *setup, pid_t *pid) {
    sigset_t stop, old;
    sigemptyset(&stop);
    for (int sig : STOP_SIGNALS) sigaddset(&stop, sig);
    pthread_sigmask(SIG_BLOCK, &stop, &old);
    g_starting.fetch_add(1);
    int rc = EAGAIN;
    int slot = registry_reserve();
    if (slot >= 0) {
        rc = spawn_child(setup, pid, 1);
        g_child_groups[slot].store(rc == 0 ? (int)*pid : 0);
    }
    g_starting.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return rc;
}

static void close_pipes(PlatChild *c) {
    for (int &fd : c->pipes) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

// The child starts a new session: it has no controlling terminal (git can
// never stop to ask for a password there) and it leads a process group of
// its own, so a time-out can end it together with every helper it started.
// It is killed when the thread that starts it ends (see spawn_child), which
// the runner never lets happen before it has ended the child itself: so a
// program killed outright (SIGKILL) leaves no git behind.
int plat_child_start(PlatChild *c, const char *const *argv, int argc, const char *cmdline,
                     const char *const *envp) {
    (void)cmdline;
    memset(c, 0, sizeof *c);
    c->pipes[PLAT_CHILD_STDOUT] = c->pipes[PLAT_CHILD_STDERR] = -1;
    c->pidfd = -1;
    if (argc < 1) return -1;

    const char *args[SPAWN_ARGS_MAX];
    if (argc > 63) argc = 63;
    for (int i = 0; i < argc; i++) args[i] = argv[i];
    args[argc] = nullptr;

    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0) return -1;
    if (pipe2(err, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return -1;
    }
    SpawnSetup setup = {args, envp, 1, out[1], err[1], 1};
    pid_t pid = -1;
    // A program that cannot be executed is reported here (never as exit
    // status 127), so "git missing" is told apart from a run.
    int rc = spawn_registered(&setup, &pid);
    close(out[1]);
    close(err[1]);
    c->pipes[PLAT_CHILD_STDOUT] = out[0];
    c->pipes[PLAT_CHILD_STDERR] = err[0];
    if (rc != 0) {
        close_pipes(c);
        return -1;
    }
    c->pid = pid;
    c->pidfd = open_process_waiter(pid);
    return 0;
}

// Notes the child's end and exit status without reaping it: until
// plat_child_close reaps it, its id (and so its group's) stays its own.
static int child_ended(PlatChild *c, int options) {
    if (c->ended) return 1;
    siginfo_t info;
    memset(&info, 0, sizeof info);
    int r;
    do {
        r = waitid(P_PID, (id_t)c->pid, &info, WEXITED | WNOWAIT | options);
    } while (r < 0 && errno == EINTR);
    if (r != 0 || info.si_pid != c->pid) return 0;
    c->ended = 1;
    if (info.si_code == CLD_EXITED)
        c->status = info.si_status;
    else if (info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED)
        c->status = 128 + info.si_status;
    else
        c->status = 1;
    return 1;
}

static long bytes_waiting(int fd) {
    int n = 0;
    if (ioctl(fd, FIONREAD, &n) != 0) return -1;
    return n;
}

long plat_child_peek(PlatChild *c, int stream) {
    int fd = c->pipes[stream];
    if (c->pipe_eof[stream] || fd < 0) return -1;
    long n = bytes_waiting(fd);
    if (n != 0) return n;
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 0) > 0) {
        n = bytes_waiting(fd);
        if (n != 0) return n;
        c->pipe_eof[stream] = 1; // readable with nothing to read: every writer is gone
        return -1;
    }
    return 0;
}

long plat_child_read(PlatChild *c, char *buf, long n, int stream) {
    ssize_t r;
    do {
        r = read(c->pipes[stream], buf, (size_t)n);
    } while (r < 0 && errno == EINTR);
    return (long)r;
}

int plat_child_wait(PlatChild *c, int ms, int wake_on_output) {
    long long deadline = now_ms() + ms;
    for (;;) {
        if (child_ended(c, WNOHANG)) return 1;
        long long remaining = deadline - now_ms();
        if (remaining <= 0) return 0;
        struct pollfd p[3];
        int np = 0, pipe_at[2] = {-1, -1};
        for (int s = 0; s < 2; s++) {
            if (!wake_on_output || c->pipe_eof[s] || c->pipes[s] < 0) continue;
            pipe_at[s] = np;
            p[np++] = {c->pipes[s], POLLIN, 0};
        }
        if (c->pidfd >= 0) p[np++] = {c->pidfd, POLLIN, 0};
        if (np == 0) {
            struct timespec ts = {0, 2 * 1000000L};
            nanosleep(&ts, nullptr);
            continue;
        }
        int r = poll(p, (nfds_t)np, (int)remaining);
        if (r <= 0) continue;
        int arrived = 0;
        for (int s = 0; s < 2; s++) {
            if (pipe_at[s] < 0 || !p[pipe_at[s]].revents) continue;
            if (bytes_waiting(c->pipes[s]) > 0)
                arrived = 1;
            else
                c->pipe_eof[s] = 1;
        }
        if (arrived) return -1; // output arrived
    }
}

// Sends `sig` to the child's process group and to the child itself (which
// may have left its group). Only while the child is not collected: until
// then the group's id cannot be another's.
static void signal_child_group(PlatChild *c, int sig) {
    if (c->pid <= 0) return;
    kill(-c->pid, sig);
    kill(c->pid, sig);
}

int plat_child_terminate(PlatChild *c) {
    if (!c->ended) signal_child_group(c, SIGTERM);
    return 1;
}

void plat_child_kill(PlatChild *c, int code) {
    if (c->ended) return;
    signal_child_group(c, SIGKILL);
    c->killed = 1;
    c->kill_code = code;
}

int plat_child_exit_status(PlatChild *c, int *status) {
    if (!child_ended(c, WNOHANG)) return 0;
    *status = c->killed ? c->kill_code : c->status;
    return 1;
}

// How long closing waits for a child it has just killed.
#define CLOSE_WAIT_MS 2000

// Ends what is left of the child's process group (helpers that outlived
// it, or the child itself when a run gave up on it) while the child is not
// yet reaped, so that the group's id cannot belong to anyone else; then
// removes it from the registry and reaps it. A child that even SIGKILL does
// not end in time (stuck in the kernel on a hung network mount) is left as
// it is, still registered, rather than waited on without end.
void plat_child_close(PlatChild *c) {
    close_pipes(c);
    if (c->pid > 0) {
        pid_t pid = c->pid;
        // Leftovers only: the status stays as the run found it.
        signal_child_group(c, SIGKILL);
        if (plat_child_wait(c, CLOSE_WAIT_MS, 0) == 1) {
            registry_remove(pid);
            while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
        }
    }
    c->pid = 0;
    if (c->pidfd >= 0) close(c->pidfd);
    c->pidfd = -1;
}

// Whether the child `pid` has ended, without collecting it.
static int registered_child_ended(pid_t pid) {
    siginfo_t info;
    memset(&info, 0, sizeof info);
    if (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0) return 1;
    return info.si_pid == pid;
}

// The children stay uncollected here (their runners collect them), so that
// every registered group stays theirs for the signals below.
void plat_children_stop(int grace_ms) {
    g_stopping.store(1);
    while (g_starting.load() > 0) {
        struct timespec ts = {0, 1000000L};
        nanosleep(&ts, nullptr);
    }
    for (std::atomic<int> &entry : g_child_groups) {
        int pid = entry.load();
        if (pid > 0) kill(-pid, SIGTERM);
    }
    long long deadline = now_ms() + grace_ms;
    for (;;) {
        int running = 0;
        for (std::atomic<int> &entry : g_child_groups) {
            int pid = entry.load();
            if (pid > 0 && !registered_child_ended(pid)) running++;
        }
        if (!running || now_ms() >= deadline) break;
        struct timespec ts = {0, 10 * 1000000L};
        nanosleep(&ts, nullptr);
    }
    kill_registered_groups();
}
