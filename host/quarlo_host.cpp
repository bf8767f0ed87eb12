// quarlo-host: serves the quarlo program over HTTP on this machine, standing
// in for the bot. Every request to /plugin_quarlo, or to the bot's proxied
// form /plugins?plugin=quarlo?action=..., starts the program once as a CGI
// program and turns its response into the HTTP answer.
//
//   quarlo-host [--bind ADDR] [--port N] [--program PATH] [--timeout SECONDS]
//               [--max-runs N] [--queue N] [--insecure-open]
//
// The program inherits the host's environment, so BOT_PASSWORD and the
// QUARLO_ variables configure it. One line per request goes to stderr.
//
// It stays responsive under slow and heavy clients (server.h): a request's
// head and body must arrive within REQUEST_TIMEOUT_S, an answer be taken
// within ANSWER_TIMEOUT_S; at most --max-runs program runs go at once,
// --queue more wait up to QUEUE_WAIT_S and the rest get 503; GET requests
// identical in all the program sees share one run. It answers only under its
// own names (Host), and takes a POST only from its own pages (Origin). Bound
// to an address other than loopback it refuses to start without
// BOT_PASSWORD, unless --insecure-open says the operator means it; answers
// to wrong passwords are held back a little longer each time.
//
// On SIGTERM, SIGINT (Ctrl-C) or SIGHUP it takes no more requests, asks every
// program it runs to stop, kills what is left of them after STOP_GRACE_MS,
// and only then ends, as the signal asks. A program it runs also dies with
// it when the host is killed outright.
#include "cgi.h"
#include "origin.h"
#include "os.h"
#include "runs.h"
#include "server.h"

#include "git/runner/runner.h"
#include "platform/platform.h"
#include "text/buf.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const char PLUGIN[] = "quarlo";
const size_t MAX_OUTPUT = 64u << 20;
// The most program runs and waiting requests that may be asked for.
const int RUNS_LIMIT = 64;
// Connections at once, and from one address when the host is bound to
// anything but loopback (where every client has the same address).
const unsigned CONNECTIONS_MAX = 512;
const unsigned PER_ADDRESS_MAX = 64;
const int REQUEST_TIMEOUT_S = 10; // a request's head and body
const int ANSWER_TIMEOUT_S = 60;  // the writing of an answer
const int QUEUE_WAIT_S = 10;      // the longest wait for a program run
const char RETRY_AFTER_S[] = "2";
const int KEEP_ALIVE_MAX = 5; // requests per connection
const int IDLE_TIMEOUT_S = 5; // longest silence of a connection, reading or writing
const size_t BODY_MAX = 1u << 20;
const int STOP_GRACE_MS =
    2000; // from SIGTERM to SIGKILL, at the time limit and when the host stops

struct Options {
    std::string bind = "127.0.0.1";
    int port = 8099;
    std::string program;
    int timeout_s = 120;
    int max_runs = 4;
    int queue = 32;
    bool insecure_open = false;
};

Options g_opt;
int g_port = 0; // the port served
std::vector<std::string> g_base_env;
std::mutex g_log_lock;
std::unique_ptr<RunGate> g_gate;
SharedRuns g_shared;
WrongPasswords g_wrong_passwords;

void usage(FILE *to) {
    fprintf(to,
            "usage: quarlo-host [--bind ADDR] [--port N] [--program PATH] "
            "[--timeout SECONDS] [--max-runs N] [--queue N]\n"
            "                   [--insecure-open]\n"
            "  --bind      address to listen on (default 127.0.0.1)\n"
            "  --port      port to listen on; 0 picks a free one (default 8099)\n"
            "  --program   the CGI program to run (default: quarlo beside this host)\n"
            "  --timeout   seconds a request may run before it gets 504 (default 120)\n"
            "  --max-runs  program runs at once (default 4)\n"
            "  --queue     requests that may wait for a run, up to %d s each; more get\n"
            "              503 (default 32)\n"
            "  --insecure-open  serve on an address other than loopback without\n"
            "              BOT_PASSWORD: anyone who reaches it sees every repository\n",
            QUEUE_WAIT_S);
}

bool parse_int(const char *s, int lo, int hi, int *out) {
    char *end = nullptr;
    long v = strtol(s, &end, 10);
    if (!*s || *end || v < lo || v > hi) return false;
    *out = (int)v;
    return true;
}

bool parse_options(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            exit(0);
        }
        if (a == "--insecure-open") {
            g_opt.insecure_open = true;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char *v = argv[++i];
        if (a == "--bind")
            g_opt.bind = v;
        else if (a == "--program")
            g_opt.program = v;
        else if (a == "--port") {
            if (!parse_int(v, 0, 65535, &g_opt.port)) return false;
        } else if (a == "--timeout") {
            if (!parse_int(v, 1, 86400, &g_opt.timeout_s)) return false;
        } else if (a == "--max-runs") {
            if (!parse_int(v, 1, RUNS_LIMIT, &g_opt.max_runs)) return false;
        } else if (a == "--queue") {
            if (!parse_int(v, 0, RUNS_LIMIT, &g_opt.queue)) return false;
        } else
            return false;
    }
    return true;
}

std::atomic<bool> g_stopping{false};

void log_line(const std::string &line) {
    std::lock_guard<std::mutex> lock(g_log_lock);
    fprintf(stderr, "%s\n", line.c_str());
    fflush(stderr);
}

// What the program wrote on its standard error, one log line per line.
void log_program_messages(const std::string &messages) {
    size_t from = 0;
    while (from < messages.size()) {
        size_t nl = messages.find('\n', from);
        if (nl == std::string::npos) nl = messages.size();
        log_line("quarlo-host: program: " + log_text(messages.substr(from, nl - from)));
        from = nl + 1;
    }
}

// Runs the program once for `req` and makes its answer.
Answer program_answer(const CgiRequest &req) {
    std::vector<std::string> env = g_base_env;
    for (std::string &v : cgi_request_env(req)) env.push_back(std::move(v));
    std::vector<const char *> envp;
    for (const std::string &e : env) envp.push_back(e.c_str());
    envp.push_back(nullptr);
    const char *argv[] = {g_opt.program.c_str(), nullptr};

    Buf out, err;
    buf_init(&out, RUN_OUTPUT_MAX + 1);
    buf_init(&err, RUN_OUTPUT_MAX + 1);
    RunEnd end = RUN_NOT_STARTED;
    int status = run_argv_env(argv, envp.data(), &out, g_opt.timeout_s, &end, &err, STOP_GRACE_MS);
    std::string output = buf_ok(&out) ? std::string(out.data, out.len) : "";
    if (buf_ok(&err) && err.len) log_program_messages(std::string(err.data, err.len));
    buf_free(&out);
    buf_free(&err);
    if (g_stopping) return answer_plain(503, "503 Service Unavailable: the host is stopping");
    switch (end) {
    case RUN_NOT_STARTED:
        return answer_plain(502, "502 Bad Gateway: could not start " + g_opt.program +
                                     " (missing, not executable, or out of resources)");
    case RUN_TIMED_OUT:
        return answer_plain(504, "504 Gateway Timeout: the program ran longer than " +
                                     std::to_string(g_opt.timeout_s) + " s and was stopped");
    case RUN_TOO_LARGE:
        return answer_plain(502, "502 Bad Gateway: the program wrote more than 64 MiB");
    case RUN_NO_MEMORY:
        return answer_plain(502, "502 Bad Gateway: the program's answer could not be kept");
    case RUN_EXITED:
        break;
    }
    if (status > 128)
        return answer_plain(502, "502 Bad Gateway: the program was ended by signal " +
                                     std::to_string(status - 128));
    if (status != 0)
        return answer_plain(502, "502 Bad Gateway: the program exited with status " +
                                     std::to_string(status));
    CgiResponse cgi;
    std::string why;
    if (!cgi_parse(output, &cgi, &why))
        return answer_plain(502,
                            "502 Bad Gateway: the program wrote no valid CGI head (" + why + ")");
    Answer a;
    a.status = cgi.status;
    for (auto &h : cgi.headers) {
        if (same_name(h.first, "Content-Type")) a.content_type = h.second;
        // The host frames the answer and decides about the connection itself.
        else if (!same_name(h.first, "Content-Length") && !same_name(h.first, "Connection") &&
                 !same_name(h.first, "Transfer-Encoding") && !same_name(h.first, "Keep-Alive") &&
                 !same_name(h.first, "Date"))
            a.headers.push_back(std::move(h));
    }
    if (a.content_type.empty()) a.content_type = "application/octet-stream";
    a.body = std::move(cgi.body);
    return a;
}

// Runs the program for `req` once a run may go; 503 when none became free.
Answer gated_answer(const CgiRequest &req) {
    Answer busy;
    switch (g_gate->enter()) {
    case RunGate::ENTERED: {
        struct Leave {
            ~Leave() { g_gate->leave(); }
        } leave;
        return program_answer(req);
    }
    case RunGate::FULL:
        busy = answer_plain(503, "503 Service Unavailable: the host is busy (" +
                                     std::to_string(g_opt.max_runs) + " program runs at once, " +
                                     std::to_string(g_opt.queue) + " waiting); try again shortly");
        break;
    case RunGate::TIMEOUT:
        busy = answer_plain(503, "503 Service Unavailable: no program run became free within " +
                                     std::to_string(QUEUE_WAIT_S) + " s; try again shortly");
        break;
    }
    busy.headers.emplace_back("Retry-After", RETRY_AFTER_S);
    return busy;
}

// Answers `req` with the program run for `query` as its QUERY_STRING, or
// with the answer of an identical request's run that is going. A wrong
// password's answer is held back (WrongPasswords); a right one never is.
std::shared_ptr<const Answer> run_program(const HostRequest &req, const std::string &query) {
    CgiRequest cgi;
    cgi.method = req.method;
    cgi.query = query;
    if (req.header_count("X-Bot-Password")) cgi.password = req.header("X-Bot-Password");
    if (req.header_count("Authorization")) cgi.authorization = req.header("Authorization");
    bool credentials = cgi.password || cgi.authorization || query_has_password(query);

    return g_shared.answer(cgi_share_key(cgi), [&] {
        Answer a = gated_answer(cgi);
        if (a.status == 401)
            std::this_thread::sleep_for(
                g_wrong_passwords.failed(req.client, std::chrono::steady_clock::now()));
        else if (credentials)
            g_wrong_passwords.passed(req.client);
        return a;
    });
}

// Answers a request by its path: the program's two routes and the redirect
// of "/"; 404 for any other path, 405 for a method none of them takes.
std::shared_ptr<const Answer> route(const HostRequest &req) {
    bool get = req.method == "GET" || req.method == "HEAD";
    bool post = req.method == "POST";
    Answer res;
    if (req.path == ROUTE && (get || post)) return run_program(req, req.query);
    if (req.path == "/plugins" && (get || post)) {
        std::string query;
        if (proxied_query(req.query, PLUGIN, &query)) return run_program(req, query);
        res = answer_plain(404, std::string("404 Not Found: this host serves only the plugin \"") +
                                    PLUGIN + "\"");
    } else if (req.path == "/" && get) {
        res.status = 302;
        res.headers.emplace_back("Location",
                                 std::string(ROUTE) + (req.query.empty() ? "" : "?" + req.query));
    } else if (req.path == ROUTE || req.path == "/plugins" || req.path == "/") {
        res = answer_plain(405, "405 Method Not Allowed");
        res.headers.emplace_back("Allow", req.path == "/" ? "GET, HEAD" : "GET, HEAD, POST");
    } else {
        res = answer_plain(404, "404 Not Found");
    }
    return std::make_shared<const Answer>(std::move(res));
}

void log_request(const HostRequest &req, int status) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - req.received)
                  .count();
    std::string method = req.method.empty() ? "-" : req.method;
    std::string target = req.target.empty() ? "-" : redact_target(req.target);
    log_line(log_text(method + " " + target) + " " + std::to_string(status) + " " +
             std::to_string(ms) + "ms");
}

// Refuses a request without exactly one Host header (400), under a foreign
// Host name (421), and a POST from another site's page or with more than
// one Origin (403), before its body is read; the connection then ends. An
// absolute-form target names the host itself, in place of the Host header.
bool check_origin(const HostRequest &req, Answer &res) {
    if (req.header_count("Host") != 1) {
        res = answer_plain(400, "400 Bad Request: a request needs exactly one Host header");
        return true;
    }
    std::string host = req.authority.empty() ? req.header("Host") : req.authority;
    if (!is_served_host(host, g_opt.bind, g_port)) {
        std::string names;
        for (const std::string &n : served_names(g_opt.bind))
            names += (names.empty() ? "" : ", ") + n;
        res = answer_plain(421, "421 Misdirected Request: this host answers only as " + names);
        return true;
    }
    size_t origins = req.header_count("Origin");
    if (req.method != "GET" && req.method != "HEAD" && origins &&
        (origins > 1 || !is_served_origin(req.header("Origin"), g_opt.bind, g_port))) {
        res = answer_plain(403, "403 Forbidden: a request from another site's page");
        return true;
    }
    return false;
}

} // namespace

int main(int argc, char **argv) {
    if (!parse_options(argc, argv)) {
        usage(stderr);
        return 2;
    }
    if (g_opt.program.empty()) {
        std::string dir = host_executable_dir();
        g_opt.program = (dir.empty() ? std::string(".") : dir) + "/quarlo";
    }
    const char *password = getenv("BOT_PASSWORD");
    bool loopback = host_is_loopback(g_opt.bind);
    if (!loopback && (!password || !*password) && !g_opt.insecure_open) {
        fprintf(stderr,
                "quarlo-host: refusing to serve on %s without BOT_PASSWORD: anyone who reaches "
                "that address would see every repository. Set BOT_PASSWORD, bind 127.0.0.1, or "
                "pass --insecure-open if you mean it.\n",
                g_opt.bind.c_str());
        return 2;
    }
    if (!host_is_executable(g_opt.program))
        fprintf(stderr,
                "quarlo-host: warning: %s is not an executable file; requests will get 502\n",
                g_opt.program.c_str());
    for (const std::string &e : host_environment())
        if (!cgi_is_request_variable(e)) g_base_env.push_back(e);
    host_ignore_sigpipe();

    g_gate.reset(new RunGate(g_opt.max_runs, g_opt.queue, std::chrono::seconds(QUEUE_WAIT_S)));

    // Before any thread starts, so that every thread leaves them to the
    // watcher below.
    host_block_stop_signals();

    std::string error;
    int listener = host_listen(g_opt.bind, g_opt.port, &g_port, &error);
    if (listener < 0) {
        fprintf(stderr, "quarlo-host: cannot listen on %s port %d: %s\n", g_opt.bind.c_str(),
                g_opt.port, error.c_str());
        return 1;
    }
    ServerLimits limits;
    limits.connections_max = CONNECTIONS_MAX;
    limits.per_address_max = loopback ? 0 : PER_ADDRESS_MAX;
    limits.idle_timeout_s = IDLE_TIMEOUT_S;
    limits.request_timeout_s = REQUEST_TIMEOUT_S;
    limits.answer_timeout_s = ANSWER_TIMEOUT_S;
    limits.keep_alive_max = KEEP_ALIVE_MAX;
    limits.body_max = BODY_MAX;
    ServerHandlers handlers;
    handlers.check = check_origin;
    handlers.serve = route;
    handlers.log = log_request;
    if (!server_start(listener, limits, handlers, &error)) {
        fprintf(stderr, "quarlo-host: %s\n", error.c_str());
        return 1;
    }
    std::string host =
        g_opt.bind.find(':') != std::string::npos ? "[" + g_opt.bind + "]" : g_opt.bind;
    printf("quarlo-host: serving %s\nOpen http://%s:%d%s\n", g_opt.program.c_str(), host.c_str(),
           g_port, ROUTE);
    fflush(stdout);

    int sig = host_wait_for_stop_signal();
    g_stopping = true;
    server_stop_accepting();
    plat_children_stop(STOP_GRACE_MS);
    log_line("quarlo-host: stopped by signal " + std::to_string(sig));
    host_end_by_signal(sig);
}
