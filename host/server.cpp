#include "server.h"

#include "cgi.h"
#include "os.h"

#include <microhttpd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// Where a connection is in its current request.
enum class Stage {
    HEAD,    // waiting for a request's head (its request line may have come)
    BODY,    // the head has arrived; reading the body
    RUNNING, // served on a thread of its own; the connection is suspended
    ANSWER,  // the answer is being sent
    LATE,    // past its deadline: ended by the watchdog
};

struct Request;

// One connection, from its accept to its close.
struct Conn {
    int fd = -1;
    std::mutex lock; // guards what follows
    Stage stage = Stage::HEAD;
    Clock::time_point since;    // the start of the current stage's deadline
    Request *request = nullptr; // the request under way, once its line has come
    int answered = 0;           // answers queued on this connection
};

// One request, from its request line to its completion.
struct Request {
    HostRequest r;
    Conn *conn = nullptr;
    bool head_seen = false;
    bool refused = false; // `answer` refuses it; its body is read and dropped first
    bool started = false;
    unsigned long long body_len = 0;
    std::shared_ptr<const Answer> answer; // set by the serving thread
    int status = 0;                       // of the answer sent, 0 for none
};

struct Server {
    ServerLimits limits;
    ServerHandlers handlers;
    struct MHD_Daemon *daemon = nullptr;
    std::mutex conns_lock;
    std::set<Conn *> conns;
};

Server *g_server = nullptr;

Conn *conn_of(struct MHD_Connection *con) {
    const union MHD_ConnectionInfo *info =
        MHD_get_connection_info(con, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? (Conn *)info->socket_context : nullptr;
}

void on_connection(void *, struct MHD_Connection *con, void **socket_context,
                   enum MHD_ConnectionNotificationCode code) {
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        Conn *c = new Conn;
        const union MHD_ConnectionInfo *info =
            MHD_get_connection_info(con, MHD_CONNECTION_INFO_CONNECTION_FD);
        c->fd = info ? info->connect_fd : -1;
        c->since = Clock::now();
        *socket_context = c;
        std::lock_guard<std::mutex> lock(g_server->conns_lock);
        g_server->conns.insert(c);
    } else if (code == MHD_CONNECTION_NOTIFY_CLOSED && *socket_context) {
        Conn *c = (Conn *)*socket_context;
        {
            std::lock_guard<std::mutex> lock(g_server->conns_lock);
            g_server->conns.erase(c);
        }
        delete c;
        *socket_context = nullptr;
    }
}

// Called once a request line has been read: the raw target, as sent.
void *on_request_line(void *, const char *uri, struct MHD_Connection *con) {
    Request *req = new Request;
    req->r.target = uri ? uri : "";
    req->r.received = Clock::now();
    req->conn = conn_of(con);
    if (req->conn) {
        std::lock_guard<std::mutex> lock(req->conn->lock);
        req->conn->request = req;
    }
    return req;
}

void on_completed(void *, struct MHD_Connection *, void **con_cls,
                  enum MHD_RequestTerminationCode) {
    Request *req = (Request *)*con_cls;
    if (!req) return;
    *con_cls = nullptr;
    int status = 0;
    if (req->conn) {
        std::lock_guard<std::mutex> lock(req->conn->lock);
        status = req->status;
        req->conn->request = nullptr;
        if (req->conn->stage != Stage::LATE) {
            req->conn->stage = Stage::HEAD;
            req->conn->since = Clock::now();
        }
    }
    if (status && g_server->handlers.log) g_server->handlers.log(req->r, status);
    delete req;
}

MHD_Result add_header(void *cls, enum MHD_ValueKind, const char *key, const char *value) {
    ((HeaderList *)cls)->emplace_back(key ? key : "", value ? value : "");
    return MHD_YES;
}

void release_answer(void *holder) {
    delete (std::shared_ptr<const Answer> *)holder;
}

// Queues `answer` for `req`; the connection ends after it when it refused
// the request before its body, or when the connection has had its share.
MHD_Result queue_answer(struct MHD_Connection *con, Request *req,
                        std::shared_ptr<const Answer> answer, bool close) {
    auto *holder = new std::shared_ptr<const Answer>(answer);
    // The library only reads the body; the callback releases it with its holder.
    struct MHD_Response *res = MHD_create_response_from_buffer_with_free_callback_cls(
        answer->body.size(), const_cast<char *>(answer->body.data()), release_answer, holder);
    if (!res) {
        delete holder;
        return MHD_NO;
    }
    if (!answer->content_type.empty())
        MHD_add_response_header(res, MHD_HTTP_HEADER_CONTENT_TYPE, answer->content_type.c_str());
    for (const auto &h : answer->headers)
        MHD_add_response_header(res, h.first.c_str(), h.second.c_str());
    Conn *c = req->conn;
    {
        std::lock_guard<std::mutex> lock(c->lock);
        if (++c->answered >= g_server->limits.keep_alive_max) close = true;
        c->stage = Stage::ANSWER;
        c->since = Clock::now();
    }
    if (close) MHD_add_response_header(res, MHD_HTTP_HEADER_CONNECTION, "close");
    MHD_Result ok = MHD_queue_response(con, (unsigned)answer->status, res);
    MHD_destroy_response(res);
    if (ok == MHD_YES) {
        std::lock_guard<std::mutex> lock(c->lock);
        req->status = answer->status;
    }
    return ok;
}

// The most of a refused request's body that is read and dropped before its
// answer: a connection closed with bytes unread is reset, and the reset can
// discard the answer before the client has read it.
const unsigned long long DRAIN_MAX = 4ull << 20;

// Refuses `req` with `answer`: at once when asked (a body whose framing
// cannot be trusted), when the client waits for a go ahead (100-continue) or
// announced a body too large to drop, else once its body has been read.
MHD_Result refuse(struct MHD_Connection *con, Request *req, Answer answer, bool at_once = false) {
    auto shared = std::make_shared<const Answer>(std::move(answer));
    std::string length = req->r.header("Content-Length");
    bool expects = same_name(req->r.header("Expect"), "100-continue");
    if (at_once || expects ||
        (!length.empty() && strtoull(length.c_str(), nullptr, 10) > DRAIN_MAX))
        return queue_answer(con, req, shared, true);
    req->refused = true;
    req->answer = shared;
    return MHD_YES;
}

std::string too_large_text() {
    return "413 Content Too Large: the body is larger than " +
           std::to_string(g_server->limits.body_max) + " bytes";
}

bool is_token(const std::string &s) {
    static const char OTHERS[] = "!#$%&'*+-.^_`|~";
    if (s.empty()) return false;
    for (char c : s)
        if (!isalnum((unsigned char)c) && !strchr(OTHERS, c)) return false;
    return true;
}

std::string trimmed(const std::string &s) {
    size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// Why the body of `req` cannot be framed safely, where the library leaves
// the decision to the server: a header name that is not a token (a space
// before its colon), a transfer coding other than chunked (501), one in an
// HTTP/1.0 request, one beside a Content-Length (a smuggling attempt), or
// Content-Length values that differ. 0 when it can.
int framing_fault(const HostRequest &req, const std::string &version, std::string *why) {
    for (const auto &h : req.headers)
        if (!is_token(h.first)) {
            *why = "a header name that is not one";
            return 400;
        }
    size_t te = req.header_count("Transfer-Encoding");
    if (te) {
        if (version == "HTTP/1.0") {
            *why = "Transfer-Encoding in an HTTP/1.0 request";
            return 400;
        }
        if (req.header_count("Content-Length")) {
            *why = "both Transfer-Encoding and Content-Length";
            return 400;
        }
        if (te > 1 || !same_name(trimmed(req.header("Transfer-Encoding")), "chunked")) {
            *why = "a transfer coding other than chunked";
            return 501;
        }
    }
    std::string length;
    for (const auto &h : req.headers) {
        if (!same_name(h.first, "Content-Length")) continue;
        if (!length.empty() && trimmed(h.second) != length) {
            *why = "Content-Length values that differ";
            return 400;
        }
        length = trimmed(h.second);
    }
    return 0;
}

// The first call for a request, once its head has arrived.
MHD_Result on_head(struct MHD_Connection *con, Request *req, const char *method,
                   const char *version) {
    {
        std::lock_guard<std::mutex> lock(req->conn->lock);
        if (req->conn->stage == Stage::LATE) return MHD_NO;
        req->conn->stage = Stage::BODY;
    }
    req->r.method = method ? method : "";
    MHD_get_connection_values(con, MHD_HEADER_KIND, add_header, &req->r.headers);
    const union MHD_ConnectionInfo *info =
        MHD_get_connection_info(con, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    req->r.client = host_address_text(info ? info->client_addr : nullptr);
    std::string why;
    if (int status = framing_fault(req->r, version ? version : "", &why))
        return refuse(con, req,
                      answer_plain(status, std::to_string(status) + " " +
                                               (status == 501 ? "Not Implemented" : "Bad Request") +
                                               ": " + why),
                      true);
    if (!split_target(req->r.target, &req->r))
        return refuse(con, req,
                      answer_plain(400, "400 Bad Request: a request target this host cannot read"));
    Answer refusal;
    if (g_server->handlers.check && g_server->handlers.check(req->r, refusal))
        return refuse(con, req, std::move(refusal));
    std::string length = req->r.header("Content-Length");
    if (!length.empty() && strtoull(length.c_str(), nullptr, 10) > g_server->limits.body_max)
        return refuse(con, req, answer_plain(413, too_large_text()));
    return MHD_YES;
}

MHD_Result on_request(void *, struct MHD_Connection *con, const char *, const char *method,
                      const char *version, const char *, size_t *upload_size, void **con_cls) {
    Request *req = (Request *)*con_cls;
    if (!req || !req->conn) return MHD_NO;
    if (!req->head_seen) {
        req->head_seen = true;
        return on_head(con, req, method, version);
    }
    if (*upload_size) {
        // The program reads no body: it is counted, and dropped.
        req->body_len += *upload_size;
        *upload_size = 0;
        if (req->refused) return req->body_len > DRAIN_MAX ? MHD_NO : MHD_YES;
        if (req->body_len > g_server->limits.body_max)
            return refuse(con, req, answer_plain(413, too_large_text()));
        return MHD_YES;
    }
    if (req->answer) return queue_answer(con, req, req->answer, req->refused);
    if (req->started) return MHD_YES;
    req->started = true;
    {
        std::lock_guard<std::mutex> lock(req->conn->lock);
        if (req->conn->stage == Stage::LATE) return MHD_NO;
        req->conn->stage = Stage::RUNNING;
    }
    MHD_suspend_connection(con);
    std::thread([con, req] {
        std::shared_ptr<const Answer> answer;
        try {
            answer = g_server->handlers.serve(req->r);
        } catch (...) {
        }
        if (!answer)
            answer = std::make_shared<const Answer>(answer_plain(500, "500 Internal Server Error"));
        req->answer = answer;
        MHD_resume_connection(con);
    }).detach();
    return MHD_YES;
}

// Ends every connection past its deadline: a request's head and body that
// have not arrived in time (with 408 when its request line had come), an
// answer not taken in time.
void watch_deadlines() {
    const ServerLimits &l = g_server->limits;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Clock::time_point now = Clock::now();
        std::lock_guard<std::mutex> all(g_server->conns_lock);
        for (Conn *c : g_server->conns) {
            std::lock_guard<std::mutex> lock(c->lock);
            int limit_s = c->stage == Stage::HEAD || c->stage == Stage::BODY ? l.request_timeout_s
                          : c->stage == Stage::ANSWER                        ? l.answer_timeout_s
                                                                             : 0;
            if (!limit_s || now - c->since < std::chrono::seconds(limit_s)) continue;
            std::string late;
            if (c->stage != Stage::ANSWER && c->request) {
                std::string text = "408 Request Timeout: the request did not arrive within " +
                                   std::to_string(l.request_timeout_s) + " s\n";
                late = "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\n"
                       "Content-Type: text/plain; charset=utf-8\r\nContent-Length: " +
                       std::to_string(text.size()) + "\r\n\r\n" + text;
                c->request->status = 408;
            }
            c->stage = Stage::LATE;
            host_end_connection(c->fd, late);
        }
    }
}

} // namespace

bool server_start(int listener, const ServerLimits &limits, const ServerHandlers &handlers,
                  std::string *error) {
    g_server = new Server;
    g_server->limits = limits;
    g_server->handlers = handlers;
    g_server->daemon = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr, on_request,
        nullptr, MHD_OPTION_LISTEN_SOCKET, listener, MHD_OPTION_CONNECTION_LIMIT,
        limits.connections_max, MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.per_address_max,
        MHD_OPTION_CONNECTION_TIMEOUT, (unsigned)limits.idle_timeout_s,
        MHD_OPTION_STRICT_FOR_CLIENT, 0, MHD_OPTION_URI_LOG_CALLBACK, on_request_line, nullptr,
        MHD_OPTION_NOTIFY_COMPLETED, on_completed, nullptr, MHD_OPTION_NOTIFY_CONNECTION,
        on_connection, nullptr, MHD_OPTION_END);
    if (!g_server->daemon) {
        *error = "the HTTP server did not start";
        return false;
    }
    std::thread(watch_deadlines).detach();
    return true;
}

void server_stop_accepting() {
    if (g_server && g_server->daemon) MHD_quiesce_daemon(g_server->daemon);
}
