#include "os.h"

#include "platform/spawn_posix.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <limits.h>
#include <netdb.h>
#include <poll.h>
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

// Waits for the child until the deadline; true with the status collected.
bool wait_until(pid_t pid, Clock::time_point deadline, int *status) {
    for (;;) {
        pid_t r = waitpid(pid, status, WNOHANG);
        if (r == pid) return true;
        if (r < 0 && errno != EINTR) return false;
        if (ms_left(deadline) == 0) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

// Asks the process group of the child `pid` to stop (SIGTERM) and gives it
// `grace_ms` to end, reading and dropping what it still writes to `fd` so
// that it never hangs on a full pipe. Then kills what is left of the group
// (SIGKILL) and collects the child. The child is collected only after that
// kill: until then its process group cannot be another's.
void stop_group(pid_t pid, int fd, int grace_ms, int *status) {
    kill(-pid, SIGTERM);
    auto deadline = Clock::now() + std::chrono::milliseconds(grace_ms);
    char buf[4096];
    while (read_until(fd, buf, sizeof buf, deadline) > 0) {
    }
    for (;;) {
        siginfo_t info;
        info.si_pid = 0;
        int rc = waitid(P_PID, (id_t)pid, &info, WEXITED | WNOHANG | WNOWAIT);
        if (rc != 0 && errno != EINTR) break;
        if (info.si_pid == pid || ms_left(deadline) == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(-pid, SIGKILL);
    while (waitpid(pid, status, 0) < 0 && errno == EINTR) {
    }
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
    int rc = spawn_child(&setup, &pid);
    close(fds[1]);
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
    if (run.outcome == ChildRun::EXITED && !wait_until(pid, deadline, &status))
        run.outcome = ChildRun::TIMED_OUT;
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

// ---- connections ------------------------------------------------------------

namespace {

const size_t REQUEST_LINE_MAX = 8192;

bool wait_fd(int fd, short events, int timeout_ms) {
    for (;;) {
        struct pollfd p = {fd, events, 0};
        int n = poll(&p, 1, timeout_ms);
        if (n < 0 && errno == EINTR) continue;
        return n > 0;
    }
}

void address_of(int sock, bool peer, std::string &ip, int &port) {
    struct sockaddr_storage addr;
    socklen_t len = sizeof addr;
    int rc = peer ? getpeername(sock, (struct sockaddr *)&addr, &len)
                  : getsockname(sock, (struct sockaddr *)&addr, &len);
    ip.clear();
    port = -1;
    if (rc != 0) return;
    char host[NI_MAXHOST], serv[NI_MAXSERV];
    if (getnameinfo((struct sockaddr *)&addr, len, host, sizeof host, serv, sizeof serv,
                    NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
        ip = host;
        port = atoi(serv);
    }
}

// A connection's byte stream for the library. At the start of each request it
// reads the request line itself (one byte at a time, so nothing of what
// follows is taken), keeps the target and hands the library the line with
// every further '?' of the target written "%3F".
//
// Every read and write waits at most the connection's timeouts for the
// socket, and never past the request's deadline (reading its head and body)
// or the answer's (writing it): a client that sends or takes a byte now and
// then cannot hold a worker longer than those.
class ConnStream : public httplib::Stream {
  public:
    ConnStream(int sock, const ConnLimits &limits) : sock_(sock), limits_(limits) {}

    // Reads and rewrites the next request line; false when none arrived.
    bool start_request() {
        line_.clear();
        line_pos_ = 0;
        state_ = ConnRequestState();
        read_deadline_ = Clock::now() + std::chrono::seconds(limits_.request_timeout_s);
        answering_ = false;
        std::string raw;
        while (raw.size() < REQUEST_LINE_MAX) {
            char c;
            if (!is_readable_socket()) return false;
            ssize_t n = recv(sock_, &c, 1, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            raw += c;
            if (c == '\n') break;
        }
        size_t sp1 = raw.find(' ');
        size_t sp2 = sp1 == std::string::npos ? sp1 : raw.find(' ', sp1 + 1);
        if (sp2 == std::string::npos) {
            line_ = raw; // not a request line the library accepts; it answers
            return true;
        }
        std::string &target = state_.raw_target;
        target = raw.substr(sp1 + 1, sp2 - sp1 - 1);
        std::string rewritten;
        bool seen = false;
        for (char c : target) {
            if (c == '?' && seen) {
                rewritten += "%3F";
                continue;
            }
            if (c == '?') seen = true;
            rewritten += c;
        }
        line_ = raw.substr(0, sp1 + 1) + rewritten + raw.substr(sp2);
        return true;
    }

    ConnRequestState &state() { return state_; }

    bool is_readable() const override { return line_pos_ < line_.size() || is_readable_socket(); }
    bool is_writable() const override {
        if (!answering_) {
            answering_ = true;
            write_deadline_ = Clock::now() + std::chrono::seconds(limits_.answer_timeout_s);
        }
        return wait_socket(POLLOUT, limits_.write_timeout_s, write_deadline_);
    }
    ssize_t read(char *ptr, size_t size) override {
        if (line_pos_ < line_.size()) {
            size_t n = std::min(size, line_.size() - line_pos_);
            memcpy(ptr, line_.data() + line_pos_, n);
            line_pos_ += n;
            return (ssize_t)n;
        }
        if (!is_readable_socket()) return -1;
        for (;;) {
            ssize_t n = recv(sock_, ptr, size, 0);
            if (n < 0 && errno == EINTR) continue;
            return n;
        }
    }
    ssize_t write(const char *ptr, size_t size) override {
        if (!is_writable()) return -1;
        for (;;) {
            ssize_t n = send(sock_, ptr, size, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            return n;
        }
    }
    void get_remote_ip_and_port(std::string &ip, int &port) const override {
        address_of(sock_, true, ip, port);
    }
    void get_local_ip_and_port(std::string &ip, int &port) const override {
        address_of(sock_, false, ip, port);
    }
    socket_t socket() const override { return sock_; }

  private:
    bool is_readable_socket() const {
        if (wait_socket(POLLIN, limits_.read_timeout_s, read_deadline_)) return true;
        if (ms_left(read_deadline_) == 0) state_.read_expired = true;
        return false;
    }

    // Waits up to `timeout_s` for the socket, and never past `deadline`.
    bool wait_socket(short events, int timeout_s, Clock::time_point deadline) const {
        int left = ms_left(deadline);
        return left > 0 && wait_fd(sock_, events, std::min(left, timeout_s * 1000));
    }

    int sock_;
    ConnLimits limits_;
    std::string line_;
    size_t line_pos_ = 0;
    mutable ConnRequestState state_;
    Clock::time_point read_deadline_;
    mutable Clock::time_point write_deadline_;
    mutable bool answering_ = false;
};

} // namespace

bool serve_connection(int sock, const ConnLimits &limits, const std::atomic<int> &listening,
                      const ConnRequest &serve) {
    ConnStream strm(sock, limits);
    bool ok = true;
    for (int count = limits.keep_alive_max; count > 0 && listening != -1; count--) {
        if (!wait_fd(sock, POLLIN, limits.keep_alive_timeout_s * 1000)) break;
        if (!strm.start_request()) break;
        bool closed = false;
        ConnRequestState &state = strm.state();
        state.last = count == 1;
        ok = serve(strm, state, closed);
        if (!ok || closed || state.close || state.read_expired) break;
    }
    shutdown(sock, SHUT_RDWR);
    close(sock);
    return ok;
}
