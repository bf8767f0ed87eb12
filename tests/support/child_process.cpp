#include "child_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char **environ;

namespace {

const char *const kDefaultPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

int decode_status(int st) {
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

long long now_ms() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
}

// A file holding `input`, opened for reading at its start (unlinked: it goes
// away with its last descriptor); -1 when it cannot be made.
int input_file(const std::string &input) {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quarlo-test-in-XXXXXX";
    int fd = mkostemp(&tmpl[0], O_CLOEXEC);
    if (fd < 0) return -1;
    unlink(tmpl.c_str());
    for (size_t off = 0; off < input.size();) {
        ssize_t w = write(fd, input.data() + off, input.size() - off);
        if (w <= 0) break;
        off += static_cast<size_t>(w);
    }
    lseek(fd, 0, SEEK_SET);
    return fd;
}

// A fresh pseudo-terminal: its controller in *master, the name of the other
// side in *name. False when there is none.
bool open_terminal(int *master, std::string *name) {
    *master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*master < 0) return false;
    if (grantpt(*master) != 0 || unlockpt(*master) != 0 || !ptsname(*master)) {
        close(*master);
        *master = -1;
        return false;
    }
    *name = ptsname(*master);
    return true;
}

// In the child after fork: only async-signal-safe calls up to execve.
// `programs` are the paths to try, in order.
[[noreturn]] void exec_child(const ChildCommand &run, const std::vector<std::string> &programs,
                             char **args, char **envp, int in_fd, int out_fd, int err_fd,
                             const char *terminal) {
    if (terminal) {
        setsid();
        int tty = open(terminal, O_RDWR);
        if (tty < 0 || ioctl(tty, TIOCSCTTY, 0) != 0) _exit(126);
        close(tty);
    } else {
        setpgid(0, 0);
    }
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    if (!run.cwd.empty() && chdir(run.cwd.c_str()) != 0) _exit(126);
    for (const std::string &program : programs) execve(program.c_str(), args, envp);
    _exit(127);
}

} // namespace

void env_set(EnvList &env, const std::string &name, const std::string &value) {
    for (auto &e : env) {
        if (e.first == name) {
            e.second = value;
            return;
        }
    }
    env.emplace_back(name, value);
}

EnvList inherited_env() {
    EnvList env;
    for (char **e = environ; *e; ++e) {
        const char *eq = strchr(*e, '=');
        if (!eq) continue;
        env.emplace_back(std::string(*e, static_cast<size_t>(eq - *e)), std::string(eq + 1));
    }
    return env;
}

ChildResult run_child(const ChildCommand &run) {
    ChildResult r;
    if (run.argv.empty()) return r;

    // Everything the child needs, made before fork.
    std::vector<std::string> env_text, argv_copy = run.argv;
    for (const auto &e : run.env) env_text.push_back(e.first + "=" + e.second);
    std::vector<char *> envp, args;
    for (auto &e : env_text) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    for (auto &a : argv_copy) args.push_back(&a[0]);
    args.push_back(nullptr);
    // The child's PATH, searched here: execvpe would search the test's.
    std::vector<std::string> programs;
    if (run.argv[0].find('/') != std::string::npos) {
        programs.push_back(run.argv[0]);
    } else {
        std::string path_value = kDefaultPath;
        for (const auto &e : run.env)
            if (e.first == "PATH") path_value = e.second;
        for (size_t start = 0; start <= path_value.size();) {
            size_t end = path_value.find(':', start);
            if (end == std::string::npos) end = path_value.size();
            std::string dir = path_value.substr(start, end - start);
            programs.push_back((dir.empty() ? "." : dir) + "/" + run.argv[0]);
            start = end + 1;
        }
    }

    int master = -1;
    std::string terminal;
    if (run.on_terminal && !open_terminal(&master, &terminal)) return r;
    int in_fd = input_file(run.input);
    int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    if (in_fd < 0 || pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(err_pipe, O_CLOEXEC) != 0) {
        for (int fd : {master, in_fd, out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            if (fd >= 0) close(fd);
        return r;
    }

    pid_t pid = fork();
    if (pid == 0)
        exec_child(run, programs, args.data(), envp.data(), in_fd, out_pipe[1], err_pipe[1],
                   run.on_terminal ? terminal.c_str() : nullptr);
    close(in_fd);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) {
        for (int fd : {master, out_pipe[0], err_pipe[0]})
            if (fd >= 0) close(fd);
        return r;
    }

    // Read until standard output and standard error are at their end; the
    // terminal is read alongside and never waited for (no writer may be left).
    const long long deadline = now_ms() + run.timeout_seconds * 1000LL;
    struct pollfd fds[3] = {
        {out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}, {master, POLLIN, 0}};
    std::string *sinks[3] = {&r.out, &r.err, &r.terminal};
    char buf[65536];
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
        long long left = deadline - now_ms();
        if (left <= 0) {
            r.timed_out = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            break;
        }
        int pr = poll(fds, 3, static_cast<int>(left > 1000 ? 1000 : left));
        if (pr < 0 && errno != EINTR) break;
        for (int i = 0; pr > 0 && i < 3; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                // A terminal without a process that holds it reads as an error.
                if (i < 2) close(fds[i].fd);
                fds[i].fd = -1;
            }
        }
    }
    for (int i = 0; i < 2; ++i)
        if (fds[i].fd >= 0) close(fds[i].fd);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (master >= 0) {
        // What the child wrote to the terminal just before its end.
        fcntl(master, F_SETFL, O_NONBLOCK);
        for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
            r.terminal.append(buf, static_cast<size_t>(n));
        close(master);
    }
    r.exit_status = decode_status(st);
    return r;
}

std::string shq(const std::string &word) {
    std::string q = "'";
    for (char c : word) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

ProcResult run_process(const std::vector<std::string> &argv, const std::string &cwd,
                       const EnvList &env, const std::string &input) {
    ChildCommand run;
    run.argv = argv;
    run.env = inherited_env();
    for (const auto &e : env) env_set(run.env, e.first, e.second);
    run.cwd = cwd;
    run.input = input;
    ChildResult r = run_child(run);
    if (r.timed_out) {
        std::string words;
        for (const auto &a : argv) words += (words.empty() ? "" : " ") + shq(a);
        ADD_FAILURE() << "did not end: " << words;
    }
    return {std::move(r.out), std::move(r.err), r.exit_status};
}
