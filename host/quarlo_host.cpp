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
#include "cgi.h"
#include "origin.h"
#include "os.h"
#include "runs.h"

#include <httplib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
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
const int STOP_GRACE_MS = 2000; // from SIGTERM to SIGKILL at the time limit

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
thread_local std::chrono::steady_clock::time_point t_request_start;
thread_local ConnRequestState *t_conn = nullptr; // the request this thread serves

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
            "              503 (default 32)\n",
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

Answer plain(int status, const std::string &text) {
    Answer a;
    a.status = status;
    a.content_type = "text/plain; charset=utf-8";
    a.body = text + "\n";
    return a;
}

void give(const Answer &a, httplib::Response &res) {
    res.status = a.status;
    for (const auto &h : a.headers) res.set_header(h.first.c_str(), h.second);
    res.set_content(a.body, a.content_type);
}

// Runs the program once for `req` and makes its answer.
Answer program_answer(const CgiRequest &req) {
    std::vector<std::string> env = g_base_env;
    for (std::string &v : cgi_request_env(req)) env.push_back(std::move(v));

    ChildRun run = child_run(g_opt.program, env, g_opt.timeout_s * 1000, STOP_GRACE_MS, MAX_OUTPUT);
    switch (run.outcome) {
    case ChildRun::NOT_STARTED:
        return plain(502,
                     "502 Bad Gateway: could not start " + g_opt.program + " (" + run.error + ")");
    case ChildRun::TIMED_OUT:
        return plain(504, "504 Gateway Timeout: the program ran longer than " +
                              std::to_string(g_opt.timeout_s) + " s and was stopped");
    case ChildRun::TOO_LARGE:
        return plain(502, "502 Bad Gateway: the program wrote more than 64 MiB");
    case ChildRun::EXITED:
        break;
    }
    if (run.signal)
        return plain(502, "502 Bad Gateway: the program was ended by signal " +
                              std::to_string(run.signal));
    if (run.exit_code != 0)
        return plain(502, "502 Bad Gateway: the program exited with status " +
                              std::to_string(run.exit_code));
    CgiResponse cgi;
    std::string why;
    if (!cgi_parse(run.output, &cgi, &why))
        return plain(502, "502 Bad Gateway: the program wrote no valid CGI head (" + why + ")");
    Answer a;
    a.status = cgi.status;
    for (auto &h : cgi.headers) {
        if (same_name(h.first, "Content-Type"))
            a.content_type = h.second;
        else
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
        busy = plain(503, "503 Service Unavailable: the host is busy (" +
                              std::to_string(g_opt.max_runs) + " program runs at once, " +
                              std::to_string(g_opt.queue) + " waiting); try again shortly");
        break;
    case RunGate::TIMEOUT:
        busy = plain(503, "503 Service Unavailable: no program run became free within " +
                              std::to_string(QUEUE_WAIT_S) + " s; try again shortly");
        break;
    }
    busy.headers.emplace_back("Retry-After", RETRY_AFTER_S);
    return busy;
}

// Answers `req` with the program run for `query` as its QUERY_STRING, or
// with the answer of an identical request's run that is going.
void run_program(const httplib::Request &req, httplib::Response &res, const std::string &query) {
    CgiRequest cgi;
    cgi.method = req.method;
    cgi.query = query;
    if (req.has_header("X-Bot-Password")) cgi.password = req.get_header_value("X-Bot-Password");
    if (req.has_header("Authorization")) cgi.authorization = req.get_header_value("Authorization");

    give(*g_shared.answer(cgi_share_key(cgi), [&cgi] { return gated_answer(cgi); }), res);
}

// The raw query of the request target ("" without one).
std::string raw_query(const httplib::Request &req) {
    size_t q = req.target.find('?');
    return q == std::string::npos ? "" : req.target.substr(q + 1);
}

void handle_direct(const httplib::Request &req, httplib::Response &res) {
    run_program(req, res, raw_query(req));
}

void handle_proxied(const httplib::Request &req, httplib::Response &res) {
    std::string query;
    if (!proxied_query(raw_query(req), PLUGIN, &query)) {
        give(plain(404, std::string("404 Not Found: this host serves only the plugin \"") + PLUGIN +
                            "\""),
             res);
        return;
    }
    run_program(req, res, query);
}

void log_request(const httplib::Request &req, const httplib::Response &res) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - t_request_start)
                  .count();
    std::string target = redact_target(req.target.empty() ? req.path : req.target);
    std::lock_guard<std::mutex> lock(g_log_lock);
    fprintf(stderr, "%s %s %d %lldms\n", req.method.c_str(), target.c_str(), res.status,
            (long long)ms);
    fflush(stderr);
}

// Ends the connection after this answer, and says so in the answer unless
// the library does (for a client that asked for it, or on the connection's
// last request).
void close_after(const httplib::Request &req, httplib::Response &res) {
    if (!t_conn) return;
    t_conn->close = true;
    if (!t_conn->last && req.get_header_value("Connection") != "close")
        res.set_header("Connection", "close");
}

// Refuses a request under a foreign Host name (421) and a POST from another
// site's page (403), before its body is read; the connection then ends.
httplib::Server::HandlerResponse check_origin(const httplib::Request &req, httplib::Response &res) {
    if (req.get_header_value_count("Host") != 1 ||
        !is_served_host(req.get_header_value("Host"), g_opt.bind, g_port)) {
        std::string names;
        for (const std::string &n : served_names(g_opt.bind))
            names += (names.empty() ? "" : ", ") + n;
        give(plain(421, "421 Misdirected Request: this host answers only as " + names), res);
    } else if (req.method != "GET" && req.method != "HEAD" && req.has_header("Origin") &&
               !is_served_origin(req.get_header_value("Origin"), g_opt.bind, g_port)) {
        give(plain(403, "403 Forbidden: a request from another site's page"), res);
    } else {
        return httplib::Server::HandlerResponse::Unhandled;
    }
    close_after(req, res);
    return httplib::Server::HandlerResponse::Handled;
}

// A request whose head or body did not arrive in time gets 408, not the
// library's 400 for a broken request.
httplib::Server::HandlerResponse answer_late_request(const httplib::Request &req,
                                                     httplib::Response &res) {
    if (!t_conn || !t_conn->read_expired) return httplib::Server::HandlerResponse::Unhandled;
    give(plain(408, "408 Request Timeout: the request did not arrive within " +
                        std::to_string(REQUEST_TIMEOUT_S) + " s"),
         res);
    close_after(req, res);
    return httplib::Server::HandlerResponse::Handled;
}

// The library's server, with this host's reading of connections (see
// serve_connection), so that a target with a second '?' reaches the handlers
// and slow clients are dropped.
class HostServer : public httplib::Server {
    bool process_and_close_socket(socket_t sock) override {
        ConnLimits limits = {(int)keep_alive_max_count_, (int)keep_alive_timeout_sec_,
                             (int)read_timeout_sec_,     (int)write_timeout_sec_,
                             REQUEST_TIMEOUT_S,          ANSWER_TIMEOUT_S};
        return serve_connection(
            sock, limits, svr_sock_,
            [this](httplib::Stream &strm, ConnRequestState &state, bool &closed) {
                t_request_start = std::chrono::steady_clock::now();
                t_conn = &state;
                bool ok =
                    process_request(strm, state.last, closed, [&state](httplib::Request &req) {
                        req.target = state.raw_target;
                    });
                t_conn = nullptr;
                return ok;
            });
    }
};

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

    HostServer svr;
    svr.new_task_queue = [] { return new httplib::ThreadPool(WORKERS); };
    svr.set_payload_max_length(1u << 20);
    svr.set_logger(log_request);
    svr.set_pre_routing_handler(check_origin);
    svr.set_error_handler(httplib::Server::HandlerWithResponse(answer_late_request));
    svr.Get(ROUTE, handle_direct);
    svr.Post(ROUTE, handle_direct);
    svr.Get("/plugins", handle_proxied);
    svr.Post("/plugins", handle_proxied);
    svr.Get("/", [](const httplib::Request &req, httplib::Response &res) {
        std::string q = raw_query(req);
        res.set_redirect(std::string(ROUTE) + (q.empty() ? "" : "?" + q), 302);
    });

    int port = g_opt.port;
    if (port == 0) {
        port = svr.bind_to_any_port(g_opt.bind);
        if (port < 0) port = 0;
    } else if (!svr.bind_to_port(g_opt.bind, port)) {
        port = 0;
    }
    if (port == 0) {
        fprintf(stderr, "quarlo-host: cannot listen on %s port %d\n", g_opt.bind.c_str(),
                g_opt.port);
        return 1;
    }
    g_port = port;
    std::string host =
        g_opt.bind.find(':') != std::string::npos ? "[" + g_opt.bind + "]" : g_opt.bind;
    printf("quarlo-host: serving %s\nOpen http://%s:%d%s\n", g_opt.program.c_str(), host.c_str(),
           port, ROUTE);
    fflush(stdout);
    return svr.listen_after_bind() ? 0 : 1;
}
