#include "os.h"

#include "platform/spawn_posix.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? (int)left.count() : 0;
}

// Reads what `fd` gives before the deadline into `buf`: the number of bytes,
// 0 at the end of the output, -1 at the deadline.
ssize_t read_until(int fd, char *buf, size_t size, Clock::time_point deadline) {
    for (;;) {
        int left = ms_left(deadline);
        if (left == 0) return -1;
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) continue; // interrupted, or the deadline above
        ssize_t got = read(fd, buf, size);
        if (got < 0 && errno == EINTR) continue;
        return got < 0 ? 0 : got; // a read error ends the output too
    }
}

// The programs started and not yet collected, by process id (each leads a
// process group of that id). A child is signalled only while it is here, so
// never after it was collected, when its id could be another's. Once the
// host stops (g_stopping), host_stop_children collects them all.
std::mutex g_children_lock;
std::set<pid_t> g_children;
bool g_stopping = false;

// Sends `sig` to the process group of the child `pid` unless it was collected.
void signal_group(pid_t pid, int sig) {
    std::lock_guard<std::mutex> lock(g_children_lock);
    if (g_children.count(pid)) kill(-pid, sig);
}

// True once the child `pid` has ended (collected or not).
bool has_ended(pid_t pid) {
    siginfo_t info;
    info.si_pid = 0;
    int rc = waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT);
    if (rc != 0) return errno != EINTR; // ECHILD: collected already
    return info.si_pid == pid;
}

// Collects the ended child `pid` into *status. False when the host is
// stopping: host_stop_children collects it then.
bool collect(pid_t pid, int *status) {
    std::lock_guard<std::mutex> lock(g_children_lock);
    if (g_stopping) return false;
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
    g_children.erase(pid);
    return true;
}

enum class Waited { COLLECTED, RUNNING, STOPPING };

// Waits for the child until the deadline and collects it.
Waited wait_until(pid_t pid, Clock::time_point deadline, int *status) {
    for (;;) {
        if (has_ended(pid)) return collect(pid, status) ? Waited::COLLECTED : Waited::STOPPING;
        if (ms_left(deadline) == 0) return Waited::RUNNING;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Asks the process group of the child `pid` to stop (SIGTERM) and gives it
// `grace_ms` to end, reading and dropping what it still writes to `fd` so
// that it never hangs on a full pipe. Then kills what is left of the group
// (SIGKILL) and collects the child. The child is collected only after that
// kill: until then its process group cannot be another's.
void stop_group(pid_t pid, int fd, int grace_ms, int *status) {
    signal_group(pid, SIGTERM);
    auto deadline = Clock::now() + std::chrono::milliseconds(grace_ms);
    char buf[4096];
    while (read_until(fd, buf, sizeof buf, deadline) > 0) {
    }
    while (!has_ended(pid) && ms_left(deadline) > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    signal_group(pid, SIGKILL);
    while (!has_ended(pid)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    collect(pid, status);
}

} // namespace

ChildRun child_run(const std::string &program, const std::vector<std::string> &env, int timeout_ms,
                   int grace_ms, size_t max_output) {
    ChildRun run;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        run.error = std::string("pipe: ") + strerror(errno);
        return run;
    }

    std::vector<const char *> envp;
    for (const std::string &e : env) envp.push_back(e.c_str());
    envp.push_back(nullptr);

    const char *argv[] = {program.c_str(), nullptr};
    SpawnSetup setup = {argv, envp.data(), 0, fds[1], -1, 0};
    pid_t pid = -1;
    int rc = 0;
    bool stopping = false;
    {
        std::lock_guard<std::mutex> lock(g_children_lock);
        stopping = g_stopping;
        if (!stopping && (rc = spawn_child(&setup, &pid)) == 0) g_children.insert(pid);
    }
    close(fds[1]);
    if (stopping) {
        close(fds[0]);
        run.outcome = ChildRun::STOPPED;
        return run;
    }
    if (rc != 0) {
        close(fds[0]);
        run.error = strerror(rc);
        return run;
    }

    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    run.outcome = ChildRun::EXITED;
    char buf[65536];
    for (;;) {
        ssize_t got = read_until(fds[0], buf, sizeof buf, deadline);
        if (got < 0) {
            run.outcome = ChildRun::TIMED_OUT;
            break;
        }
        if (got == 0) break; // end of output
        run.output.append(buf, (size_t)got);
        if (run.output.size() > max_output) {
            run.outcome = ChildRun::TOO_LARGE;
            break;
        }
    }

    int status = 0;
    if (run.outcome == ChildRun::EXITED) {
        Waited w = wait_until(pid, deadline, &status);
        if (w == Waited::RUNNING) run.outcome = ChildRun::TIMED_OUT;
        if (w == Waited::STOPPING) {
            close(fds[0]);
            run.outcome = ChildRun::STOPPED;
            return run;
        }
    }
    if (run.outcome != ChildRun::EXITED) {
        stop_group(pid, fds[0], grace_ms, &status);
        close(fds[0]);
        return run;
    }
    close(fds[0]);
    if (WIFEXITED(status)) run.exit_code = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) run.signal = WTERMSIG(status);
    return run;
}

std::vector<std::string> host_environment() {
    std::vector<std::string> env;
    for (char **e = environ; e && *e; e++) env.emplace_back(*e);
    return env;
}

std::string host_executable_dir() {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "";
    path[n] = 0;
    std::string s(path);
    size_t slash = s.rfind('/');
    return slash == std::string::npos ? "" : s.substr(0, slash);
}

bool host_is_executable(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(path.c_str(), X_OK) == 0;
}

void host_ignore_sigpipe() {
    signal(SIGPIPE, SIG_IGN);
}

// ---- serving ----------------------------------------------------------------

namespace {

std::atomic<bool> g_serving_stopped{false};
int g_stop_pipe[2] = {-1, -1}; // host_stop_serving writes a byte to wake the accept loop
std::once_flag g_stop_pipe_once;

void make_stop_pipe() {
    std::call_once(g_stop_pipe_once, [] {
        if (pipe2(g_stop_pipe, O_CLOEXEC | O_NONBLOCK) != 0) g_stop_pipe[0] = g_stop_pipe[1] = -1;
    });
}

bool wait_fd(int fd, short events, int timeout_ms) {
    for (;;) {
        struct pollfd p = {fd, events, 0};
        int n = poll(&p, 1, timeout_ms);
        if (n < 0 && errno == EINTR) continue;
        return n > 0;
    }
}

// A connection's socket as the HTTP server reads and writes it. Every read
// and write waits at most the connection's timeouts for the socket, and never
// past the request's deadline (reading its head and body) or the answer's
// (writing it): a client that sends or takes a byte now and then cannot hold
// a worker longer than those.
class SocketConn : public HttpConn {
  public:
    SocketConn(int sock, const ConnLimits &limits) : sock_(sock), limits_(limits) {}

    bool next_request() override {
        if (g_serving_stopped) return false;
        buf_.erase(0, pos_);
        pos_ = 0;
        if (buf_.empty() && !wait_fd(sock_, POLLIN, limits_.keep_alive_timeout_s * 1000))
            return false;
        read_deadline_ = Clock::now() + std::chrono::seconds(limits_.request_timeout_s);
        return !g_serving_stopped;
    }

    Read read_line(std::string *line, size_t max) override {
        for (size_t from = pos_;;) {
            size_t nl = buf_.find('\n', from);
            if (nl != std::string::npos) {
                if (nl - pos_ > max) return TOO_LONG;
                size_t end = nl > pos_ && buf_[nl - 1] == '\r' ? nl - 1 : nl;
                line->assign(buf_, pos_, end - pos_);
                pos_ = nl + 1;
                return OK;
            }
            if (buf_.size() - pos_ > max) return TOO_LONG;
            from = buf_.size();
            Read r = fill();
            if (r != OK) return r;
        }
    }

    Read read_bytes(std::string *out, size_t n) override {
        while (buf_.size() - pos_ < n) {
            Read r = fill();
            if (r != OK) return r;
        }
        out->append(buf_, pos_, n);
        pos_ += n;
        return OK;
    }

    bool write(const std::string &data) override {
        auto deadline = Clock::now() + std::chrono::seconds(limits_.answer_timeout_s);
        for (size_t done = 0; done < data.size();) {
            int left = ms_left(deadline);
            if (left == 0 ||
                !wait_fd(sock_, POLLOUT, std::min(left, limits_.write_timeout_s * 1000)))
                return false;
            ssize_t n = send(sock_, data.data() + done, data.size() - done, MSG_NOSIGNAL);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n <= 0) return false;
            done += (size_t)n;
        }
        return true;
    }

  private:
    // Reads what the socket has into the buffer.
    Read fill() {
        int left = ms_left(read_deadline_);
        if (left == 0 || !wait_fd(sock_, POLLIN, std::min(left, limits_.read_timeout_s * 1000)))
            return LATE;
        char tmp[16384];
        for (;;) {
            ssize_t n = recv(sock_, tmp, sizeof tmp, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return CLOSED;
            buf_.append(tmp, (size_t)n);
            return OK;
        }
    }

    int sock_;
    ConnLimits limits_;
    std::string buf_; // read and not yet taken from pos_ on
    size_t pos_ = 0;
    Clock::time_point read_deadline_;
};

// Closes a connection so that the client gets the whole answer: closed with
// bytes unread (the body of a refused request, the rest of a late one), a
// socket would be reset, and the reset can discard the answer before the
// client has read it. So the host ends its side first and reads what still
// comes, until the client closes or for at most LINGER_MS.
void close_gracefully(int sock) {
    const int LINGER_MS = 2000;
    shutdown(sock, SHUT_WR);
    auto deadline = Clock::now() + std::chrono::milliseconds(LINGER_MS);
    char buf[16384];
    for (size_t drained = 0; drained < (4u << 20);) {
        int left = ms_left(deadline);
        if (left == 0 || !wait_fd(sock, POLLIN, left)) break;
        ssize_t n = recv(sock, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        drained += (size_t)n;
    }
    close(sock);
}

// The accepted connections waiting for a worker.
struct ConnQueue {
    std::mutex lock;
    std::condition_variable added;
    std::deque<int> socks;
};

} // namespace

int host_listen(const std::string &bind, int port, int *bound, std::string *error) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    struct addrinfo *list = nullptr;
    int rc = getaddrinfo(bind.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (rc != 0) {
        *error = gai_strerror(rc);
        return -1;
    }
    int sock = -1;
    *error = "no address";
    for (struct addrinfo *a = list; a && sock < 0; a = a->ai_next) {
        sock = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (sock < 0) {
            *error = strerror(errno);
            continue;
        }
        int yes = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(sock, a->ai_addr, a->ai_addrlen) != 0 || listen(sock, SOMAXCONN) != 0) {
            *error = strerror(errno);
            close(sock);
            sock = -1;
        }
    }
    freeaddrinfo(list);
    if (sock < 0) return -1;
    struct sockaddr_storage addr;
    socklen_t len = sizeof addr;
    char serv[NI_MAXSERV];
    if (getsockname(sock, (struct sockaddr *)&addr, &len) != 0 ||
        getnameinfo((struct sockaddr *)&addr, len, nullptr, 0, serv, sizeof serv, NI_NUMERICSERV) !=
            0) {
        *error = strerror(errno);
        close(sock);
        return -1;
    }
    *bound = atoi(serv);
    return sock;
}

void host_serve(int listener, int workers, const ConnLimits &limits,
                const std::function<void(HttpConn &)> &serve) {
    make_stop_pipe();
    // Shared with the workers, which are never joined: the host ends by
    // host_end_by_signal while they may still be in a connection.
    auto queue = std::make_shared<ConnQueue>();
    auto work = std::make_shared<std::function<void(HttpConn &)>>(serve);
    for (int i = 0; i < workers; i++) {
        std::thread([queue, work, limits] {
            for (;;) {
                int sock;
                {
                    std::unique_lock<std::mutex> lock(queue->lock);
                    queue->added.wait(lock, [&] { return !queue->socks.empty(); });
                    sock = queue->socks.front();
                    queue->socks.pop_front();
                }
                {
                    SocketConn conn(sock, limits);
                    (*work)(conn);
                }
                close_gracefully(sock);
            }
        }).detach();
    }
    while (!g_serving_stopped) {
        struct pollfd p[2] = {{listener, POLLIN, 0}, {g_stop_pipe[0], POLLIN, 0}};
        int n = poll(p, g_stop_pipe[0] < 0 ? 1 : 2, g_stop_pipe[0] < 0 ? 200 : -1);
        if (n <= 0 || g_serving_stopped || !(p[0].revents & POLLIN)) continue;
        int sock = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (sock < 0) {
            // Out of descriptors: the workers free some as connections end.
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(queue->lock);
            queue->socks.push_back(sock);
        }
        queue->added.notify_one();
    }
    close(listener);
}

void host_stop_serving() {
    make_stop_pipe();
    g_serving_stopped = true;
    if (g_stop_pipe[1] >= 0) {
        char c = 0;
        while (::write(g_stop_pipe[1], &c, 1) < 0 && errno == EINTR) {
        }
    }
}

// ---- stopping -----------------------------------------------------------------

namespace {
sigset_t g_stop_signals;
bool g_any_stop_signal = false;
} // namespace

void host_block_stop_signals() {
    sigemptyset(&g_stop_signals);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        // One ignored when the host started (nohup, a background job) stays ignored.
        struct sigaction old;
        if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN) continue;
        sigaddset(&g_stop_signals, sig);
        g_any_stop_signal = true;
    }
    pthread_sigmask(SIG_BLOCK, &g_stop_signals, nullptr);
}

int host_wait_for_stop_signal() {
    if (!g_any_stop_signal)
        for (;;) pause();
    for (;;) {
        int sig = 0;
        if (sigwait(&g_stop_signals, &sig) == 0) return sig;
    }
}

void host_stop_children(int grace_ms) {
    std::vector<pid_t> pids;
    {
        std::lock_guard<std::mutex> lock(g_children_lock);
        g_stopping = true;
        for (pid_t pid : g_children) {
            kill(-pid, SIGTERM);
            pids.push_back(pid);
        }
    }
    // The children stay uncollected until the end, so that their process
    // groups stay theirs for the kill below.
    auto deadline = Clock::now() + std::chrono::milliseconds(grace_ms);
    while (ms_left(deadline) > 0 && !std::all_of(pids.begin(), pids.end(), has_ended))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::lock_guard<std::mutex> lock(g_children_lock);
    for (pid_t pid : g_children) kill(-pid, SIGKILL);
    for (pid_t pid : g_children) {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    g_children.clear();
}

void host_end_by_signal(int sig) {
    fflush(stdout);
    fflush(stderr);
    signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(sig);
    _exit(128 + sig);
}
