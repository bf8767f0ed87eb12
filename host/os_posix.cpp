#include "os.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <arpa/inet.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

extern char **environ;

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

namespace {

bool is_loopback_address(const struct sockaddr *a) {
    if (a->sa_family == AF_INET)
        return (ntohl(((const struct sockaddr_in *)a)->sin_addr.s_addr) >> 24) == 127;
    if (a->sa_family != AF_INET6) return false;
    const struct in6_addr *v6 = &((const struct sockaddr_in6 *)a)->sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(v6) || (IN6_IS_ADDR_V4MAPPED(v6) && v6->s6_addr[12] == 127);
}

} // namespace

bool host_is_loopback(const std::string &bind) {
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    struct addrinfo *list = nullptr;
    if (getaddrinfo(bind.c_str(), nullptr, &hints, &list) != 0) return false;
    bool loopback = list != nullptr;
    for (struct addrinfo *a = list; a; a = a->ai_next)
        loopback = loopback && is_loopback_address(a->ai_addr);
    freeaddrinfo(list);
    return loopback;
}

std::string host_address_text(const void *addr) {
    const struct sockaddr *a = (const struct sockaddr *)addr;
    if (!a) return "";
    socklen_t len =
        a->sa_family == AF_INET6 ? sizeof(struct sockaddr_in6) : sizeof(struct sockaddr_in);
    char text[NI_MAXHOST];
    if (getnameinfo(a, len, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) return "";
    return text;
}

void host_end_connection(int fd, const std::string &answer) {
    if (!answer.empty()) {
        ssize_t n;
        do {
            n = send(fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
    }
    shutdown(fd, SHUT_RDWR);
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
