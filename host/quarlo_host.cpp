// quarlo-host: serves the quarlo program over HTTP on this machine, standing
// in for the bot. Every request to /plugin_quarlo, or to the bot's proxied
// form /plugins?plugin=quarlo?action=..., starts the program once as a CGI
// program and turns its response into the HTTP answer.
//
//   quarlo-host [--bind ADDR] [--port N] [--program PATH] [--timeout SECONDS]
//               [--max-runs N] [--queue N]
//
// The program inherits the host's environment, so BOT_PASSWORD and the
// QUARLO_ variables configure it. One line per request goes to stderr.
//
// It stays responsive under slow and heavy clients: a request's head and body
// must arrive within REQUEST_TIMEOUT_S, an answer be taken within
// ANSWER_TIMEOUT_S; at most --max-runs program runs go at once, --queue more
// wait up to QUEUE_WAIT_S and the rest get 503; GET requests identical in all
// the program sees share one run. It answers only under its own names (Host),
// and takes a POST only from its own pages (Origin).
//
// On SIGTERM, SIGINT (Ctrl-C) or SIGHUP it takes no more requests, asks every
// program it runs to stop, kills what is left of them after STOP_GRACE_MS,
// and only then ends, as the signal asks: no program outlives it.
#include "cgi.h"
#include "http.h"
#include "origin.h"
#include "os.h"
#include "runs.h"

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
// Connections served at once: enough that slow clients, each dropped within
// the time limits below, leave workers for everyone else.
const int WORKERS = 64;
const int REQUEST_TIMEOUT_S = 10; // a request's head and body
const int ANSWER_TIMEOUT_S = 60;  // the writing of an answer
const int QUEUE_WAIT_S = 10;      // the longest wait for a program run
const char RETRY_AFTER_S[] = "2";
const int KEEP_ALIVE_MAX = 5;  // requests per connection
const int KEEP_ALIVE_S = 5;    // idle time before a connection's next request
const int READ_TIMEOUT_S = 5;  // longest silence while a request arrives
const int WRITE_TIMEOUT_S = 5; // longest wait to write while answering
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
};

Options g_opt;
int g_port = 0; // the port served
std::vector<std::string> g_base_env;
std::mutex g_log_lock;
std::unique_ptr<RunGate> g_gate;
SharedRuns g_shared;

void usage(FILE *to) {
    fprintf(to,
            "usage: quarlo-host [--bind ADDR] [--port N] [--program PATH] "
            "[--timeout SECONDS] [--max-runs N] [--queue N]\n"
            "  --bind      address to listen on (default 127.0.0.1)\n"
            "  --port      port to listen on; 0 picks a free one (default 8099)\n"
            "  --program   the CGI program to run (default: quarlo beside this host)\n"
            "  --timeout   seconds a request may run before it gets 504 (default 120)\n"
            "  --max-runs  program runs at once (default 4)\n"
            "  --queue     requests that may wait for a run, up to %d s each; more get\n"
            "              503 (default 32)\n"
            "  --help, -h  this text\n",
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
            if (!parse_int(v, 1, WORKERS, &g_opt.max_runs)) return false;
        } else if (a == "--queue") {
            if (!parse_int(v, 0, WORKERS, &g_opt.queue)) return false;
        } else
            return false;
    }
    return true;
}

// Runs the program once for `req` and makes its answer.
Answer program_answer(const CgiRequest &req) {
    std::vector<std::string> env = g_base_env;
    for (std::string &v : cgi_request_env(req)) env.push_back(std::move(v));

    ChildRun run = child_run(g_opt.program, env, g_opt.timeout_s * 1000, STOP_GRACE_MS, MAX_OUTPUT);
    switch (run.outcome) {
    case ChildRun::NOT_STARTED:
        return http_plain(502, "502 Bad Gateway: could not start " + g_opt.program + " (" +
                                   run.error + ")");
    case ChildRun::TIMED_OUT:
        return http_plain(504, "504 Gateway Timeout: the program ran longer than " +
                                   std::to_string(g_opt.timeout_s) + " s and was stopped");
    case ChildRun::TOO_LARGE:
        return http_plain(502, "502 Bad Gateway: the program wrote more than 64 MiB");
    case ChildRun::STOPPED:
        return http_plain(503, "503 Service Unavailable: the host is stopping");
    case ChildRun::EXITED:
        break;
    }
    if (run.signal)
        return http_plain(502, "502 Bad Gateway: the program was ended by signal " +
                                   std::to_string(run.signal));
    if (run.exit_code != 0)
        return http_plain(502, "502 Bad Gateway: the program exited with status " +
                                   std::to_string(run.exit_code));
    CgiResponse cgi;
    std::string why;
    if (!cgi_parse(run.output, &cgi, &why))
        return http_plain(502,
                          "502 Bad Gateway: the program wrote no valid CGI head (" + why + ")");
    Answer a;
    a.status = cgi.status;
    for (auto &h : cgi.headers) {
        if (same_name(h.first, "Content-Type")) a.content_type = h.second;
        // The host frames the answer and decides about the connection itself.
        else if (!same_name(h.first, "Content-Length") && !same_name(h.first, "Connection") &&
                 !same_name(h.first, "Transfer-Encoding") && !same_name(h.first, "Keep-Alive"))
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
        busy = http_plain(503, "503 Service Unavailable: the host is busy (" +
                                   std::to_string(g_opt.max_runs) + " program runs at once, " +
                                   std::to_string(g_opt.queue) + " waiting); try again shortly");
        break;
    case RunGate::TIMEOUT:
        busy = http_plain(503, "503 Service Unavailable: no program run became free within " +
                                   std::to_string(QUEUE_WAIT_S) + " s; try again shortly");
        break;
    }
    busy.headers.emplace_back("Retry-After", RETRY_AFTER_S);
    return busy;
}

// Answers `req` with the program run for `query` as its QUERY_STRING, or
// with the answer of an identical request's run that is going.
void run_program(const HttpRequest &req, HttpResponse &res, const std::string &query) {
    CgiRequest cgi;
    cgi.method = req.method;
    cgi.query = query;
    if (req.header_count("X-Bot-Password")) cgi.password = req.header("X-Bot-Password");
    if (req.header_count("Authorization")) cgi.authorization = req.header("Authorization");

    res = *g_shared.answer(cgi_share_key(cgi), [&cgi] { return gated_answer(cgi); });
}

// Answers a request by its path: the program's two routes and the redirect
// of "/"; 404 for any other path, 405 for a method none of them takes.
void route(const HttpRequest &req, HttpResponse &res) {
    bool get = req.method == "GET" || req.method == "HEAD";
    bool post = req.method == "POST";
    if (req.path == ROUTE && (get || post)) {
        run_program(req, res, req.query);
    } else if (req.path == "/plugins" && (get || post)) {
        std::string query;
        if (proxied_query(req.query, PLUGIN, &query))
            run_program(req, res, query);
        else
            res =
                http_plain(404, std::string("404 Not Found: this host serves only the plugin \"") +
                                    PLUGIN + "\"");
    } else if (req.path == "/" && get) {
        res.status = 302;
        res.headers.emplace_back("Location",
                                 std::string(ROUTE) + (req.query.empty() ? "" : "?" + req.query));
    } else if (req.path == ROUTE || req.path == "/plugins" || req.path == "/") {
        res = http_plain(405, "405 Method Not Allowed");
        res.headers.emplace_back("Allow", req.path == "/" ? "GET, HEAD" : "GET, HEAD, POST");
    } else {
        res = http_plain(404, "404 Not Found");
    }
}

void log_request(const HttpRequest &req, const HttpResponse &res) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - req.received)
                  .count();
    std::string method = req.method.empty() ? "-" : req.method;
    std::string target = req.target.empty() ? "-" : redact_target(req.target);
    std::lock_guard<std::mutex> lock(g_log_lock);
    fprintf(stderr, "%s %s %d %lldms\n", method.c_str(), target.c_str(), res.status, (long long)ms);
    fflush(stderr);
}

// Refuses a request under a foreign Host name (421) and a POST from another
// site's page (403), before its body is read; the connection then ends.
bool check_origin(const HttpRequest &req, HttpResponse &res) {
    if (req.header_count("Host") != 1 || !is_served_host(req.header("Host"), g_opt.bind, g_port)) {
        std::string names;
        for (const std::string &n : served_names(g_opt.bind))
            names += (names.empty() ? "" : ", ") + n;
        res = http_plain(421, "421 Misdirected Request: this host answers only as " + names);
        return true;
    }
    if (req.method != "GET" && req.method != "HEAD" && req.header_count("Origin") &&
        !is_served_origin(req.header("Origin"), g_opt.bind, g_port)) {
        res = http_plain(403, "403 Forbidden: a request from another site's page");
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
    std::string host =
        g_opt.bind.find(':') != std::string::npos ? "[" + g_opt.bind + "]" : g_opt.bind;
    printf("quarlo-host: serving %s\nOpen http://%s:%d%s\n", g_opt.program.c_str(), host.c_str(),
           g_port, ROUTE);
    fflush(stdout);

    std::thread watcher([] {
        int sig = host_wait_for_stop_signal();
        host_stop_serving();
        host_stop_children(STOP_GRACE_MS);
        {
            std::lock_guard<std::mutex> lock(g_log_lock);
            fprintf(stderr, "quarlo-host: stopped by signal %d\n", sig);
        }
        host_end_by_signal(sig);
    });

    HttpLimits limits;
    limits.keep_alive_max = KEEP_ALIVE_MAX;
    limits.body_max = BODY_MAX;
    limits.request_timeout_s = REQUEST_TIMEOUT_S;
    HttpHandlers handlers;
    handlers.check = check_origin;
    handlers.serve = route;
    handlers.log = log_request;
    ConnLimits conn = {KEEP_ALIVE_S, READ_TIMEOUT_S, WRITE_TIMEOUT_S, REQUEST_TIMEOUT_S,
                       ANSWER_TIMEOUT_S};
    host_serve(listener, WORKERS, conn,
               [&limits, &handlers](HttpConn &c) { http_serve_connection(c, limits, handlers); });
    // Only a stop signal ends the serving; the watcher ends the host.
    watcher.join();
    return 0;
}
