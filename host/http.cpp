#include "http.h"

#include "cgi.h"

#include <cstdint>
#include <cstring>

namespace {

bool is_token_char(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
           (c && std::strchr("!#$%&'*+-.^_`|~", c));
}

bool is_token(const std::string &s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!is_token_char(c)) return false;
    return true;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// `s` with every "%XX" as its byte; any other '%' stays as it is.
std::string percent_decode(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        int hi = 0, lo = 0;
        if (s[i] == '%' && i + 2 < s.size() && (hi = hex_value(s[i + 1])) >= 0 &&
            (lo = hex_value(s[i + 2])) >= 0) {
            out += (char)(hi * 16 + lo);
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string trim(const std::string &s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// The framing of a request's body.
enum class Body { NONE, LENGTH, CHUNKED, BAD };

// How the body of `req` is framed; its length for LENGTH.
Body body_framing(const HttpRequest &req, uint64_t *length) {
    size_t te = req.header_count("Transfer-Encoding");
    size_t cl = req.header_count("Content-Length");
    if (te > 0) {
        // Both framings at once is how requests are smuggled past a proxy.
        if (cl > 0 || te > 1) return Body::BAD;
        std::string coding = trim(req.header("Transfer-Encoding"));
        return same_name(coding, "chunked") ? Body::CHUNKED : Body::BAD;
    }
    if (cl == 0) return Body::NONE;
    // Several Content-Length headers must say the same.
    std::string first;
    for (const auto &h : req.headers) {
        if (!same_name(h.first, "Content-Length")) continue;
        std::string v = trim(h.second);
        if (first.empty()) first = v;
        if (v != first) return Body::BAD;
    }
    if (first.empty() || first.size() > 18) return Body::BAD;
    uint64_t n = 0;
    for (char c : first) {
        if (c < '0' || c > '9') return Body::BAD;
        n = n * 10 + (uint64_t)(c - '0');
    }
    *length = n;
    return n == 0 ? Body::NONE : Body::LENGTH;
}

// The outcome of reading a request's head or body.
enum class Got { OK, CLOSED, ANSWER };

HttpResponse late_answer(const HttpLimits &limits) {
    return http_plain(408, "408 Request Timeout: the request did not arrive within " +
                               std::to_string(limits.request_timeout_s) + " s");
}

// Reads a chunked body into `req.body`, trailers dropped. On ANSWER `res`
// says why it could not be read.
Got read_chunked(HttpConn &conn, const HttpLimits &limits, HttpRequest &req, HttpResponse &res) {
    for (;;) {
        std::string line;
        HttpConn::Read r = conn.read_line(&line, limits.header_line_max);
        if (r == HttpConn::OK) {
            // The size in hexadecimal, then perhaps ";extension".
            std::string size = trim(line.substr(0, line.find(';')));
            uint64_t n = 0;
            bool ok = !size.empty() && size.size() <= 8;
            for (char c : size) {
                int v = hex_value(c);
                if (v < 0) ok = false;
                n = n * 16 + (uint64_t)(v < 0 ? 0 : v);
            }
            if (!ok) {
                res = http_plain(400, "400 Bad Request: a chunk size that is not one");
                return Got::ANSWER;
            }
            if (n == 0) break;
            if (req.body.size() + n > limits.body_max) {
                res = http_plain(413, "413 Content Too Large: the body is larger than " +
                                          std::to_string(limits.body_max) + " bytes");
                return Got::ANSWER;
            }
            r = conn.read_bytes(&req.body, (size_t)n);
            if (r == HttpConn::OK) r = conn.read_line(&line, 2);
            if (r == HttpConn::OK && !line.empty()) r = HttpConn::TOO_LONG;
        }
        if (r == HttpConn::LATE) {
            res = late_answer(limits);
            return Got::ANSWER;
        }
        if (r == HttpConn::TOO_LONG) {
            res = http_plain(400, "400 Bad Request: a chunk that is not one");
            return Got::ANSWER;
        }
        if (r != HttpConn::OK) return Got::CLOSED;
    }
    // Trailer lines, up to the empty line.
    for (size_t count = 0;; count++) {
        std::string line;
        HttpConn::Read r = conn.read_line(&line, limits.header_line_max);
        if (r == HttpConn::LATE) {
            res = late_answer(limits);
            return Got::ANSWER;
        }
        if (r == HttpConn::TOO_LONG || count > limits.header_count_max) {
            res = http_plain(431, "431 Request Header Fields Too Large");
            return Got::ANSWER;
        }
        if (r != HttpConn::OK) return Got::CLOSED;
        if (line.empty()) return Got::OK;
    }
}

// Reads the head after the request line into `req`.
Got read_head(HttpConn &conn, const HttpLimits &limits, HttpRequest &req, HttpResponse &res) {
    for (;;) {
        std::string line;
        HttpConn::Read r = conn.read_line(&line, limits.header_line_max);
        if (r == HttpConn::LATE) {
            res = late_answer(limits);
            return Got::ANSWER;
        }
        if (r == HttpConn::TOO_LONG ||
            (r == HttpConn::OK && !line.empty() && req.headers.size() >= limits.header_count_max)) {
            res = http_plain(431, "431 Request Header Fields Too Large");
            return Got::ANSWER;
        }
        if (r != HttpConn::OK) return Got::CLOSED;
        if (line.empty()) return Got::OK;
        std::string name, value;
        if (!http_parse_header_line(line, &name, &value)) {
            res = http_plain(400, "400 Bad Request: a header line that is not one");
            return Got::ANSWER;
        }
        req.headers.emplace_back(std::move(name), std::move(value));
    }
}

// Reads the body of `req`, as its head frames it.
Got read_body(HttpConn &conn, const HttpLimits &limits, HttpRequest &req, HttpResponse &res) {
    uint64_t length = 0;
    Body body = body_framing(req, &length);
    if (body == Body::NONE) return Got::OK;
    if (body == Body::BAD) {
        res = http_plain(400, "400 Bad Request: the body's length cannot be told");
        return Got::ANSWER;
    }
    if (body == Body::LENGTH && length > limits.body_max) {
        res = http_plain(413, "413 Content Too Large: the body is larger than " +
                                  std::to_string(limits.body_max) + " bytes");
        return Got::ANSWER;
    }
    // A client that asked waits for this before it sends the body.
    if (req.version == "HTTP/1.1" && same_name(trim(req.header("Expect")), "100-continue") &&
        !conn.write("HTTP/1.1 100 Continue\r\n\r\n"))
        return Got::CLOSED;
    if (body == Body::CHUNKED) return read_chunked(conn, limits, req, res);
    HttpConn::Read r = conn.read_bytes(&req.body, (size_t)length);
    if (r == HttpConn::LATE) {
        res = late_answer(limits);
        return Got::ANSWER;
    }
    return r == HttpConn::OK ? Got::OK : Got::CLOSED;
}

} // namespace

size_t HttpRequest::header_count(const char *name) const {
    size_t n = 0;
    for (const auto &h : headers)
        if (same_name(h.first, name)) n++;
    return n;
}

std::string HttpRequest::header(const char *name) const {
    for (const auto &h : headers)
        if (same_name(h.first, name)) return h.second;
    return "";
}

HttpResponse http_plain(int status, const std::string &text) {
    HttpResponse res;
    res.status = status;
    res.content_type = "text/plain; charset=utf-8";
    res.body = text + "\n";
    return res;
}

const char *http_reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 201:
        return "Created";
    case 202:
        return "Accepted";
    case 204:
        return "No Content";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 304:
        return "Not Modified";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 413:
        return "Content Too Large";
    case 414:
        return "URI Too Long";
    case 418:
        return "I'm a teapot";
    case 421:
        return "Misdirected Request";
    case 429:
        return "Too Many Requests";
    case 431:
        return "Request Header Fields Too Large";
    case 500:
        return "Internal Server Error";
    case 501:
        return "Not Implemented";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    case 504:
        return "Gateway Timeout";
    default:
        return "Unknown";
    }
}

bool http_parse_request_line(const std::string &line, HttpRequest *req) {
    size_t sp1 = line.find(' ');
    if (sp1 == std::string::npos) return false;
    size_t sp2 = line.find(' ', sp1 + 1);
    if (sp2 == std::string::npos || line.find(' ', sp2 + 1) != std::string::npos) return false;
    std::string method = line.substr(0, sp1);
    std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string version = line.substr(sp2 + 1);
    if (!is_token(method) || target.empty() || target[0] != '/') return false;
    for (char c : target)
        if ((unsigned char)c <= 0x20 || c == 0x7f) return false;
    if (version != "HTTP/1.1" && version != "HTTP/1.0") return false;
    size_t q = target.find('?');
    req->method = std::move(method);
    req->path = percent_decode(target.substr(0, q));
    req->query = q == std::string::npos ? "" : target.substr(q + 1);
    req->target = std::move(target);
    req->version = std::move(version);
    return true;
}

bool http_parse_header_line(const std::string &line, std::string *name, std::string *value) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) return false;
    std::string n = line.substr(0, colon);
    if (!is_token(n)) return false;
    std::string v = trim(line.substr(colon + 1));
    for (char c : v)
        if (((unsigned char)c < 0x20 && c != '\t') || c == 0x7f) return false;
    *name = std::move(n);
    *value = std::move(v);
    return true;
}

std::string http_response_text(const HttpRequest &req, const HttpResponse &res, bool close) {
    std::string out =
        "HTTP/1.1 " + std::to_string(res.status) + " " + http_reason(res.status) + "\r\n";
    if (!res.content_type.empty()) out += "Content-Type: " + res.content_type + "\r\n";
    for (const auto &h : res.headers) out += h.first + ": " + h.second + "\r\n";
    out += "Content-Length: " + std::to_string(res.body.size()) + "\r\n";
    if (close) out += "Connection: close\r\n";
    out += "\r\n";
    if (req.method != "HEAD") out += res.body;
    return out;
}

void http_serve_connection(HttpConn &conn, const HttpLimits &limits, const HttpHandlers &handlers) {
    for (int count = 1; count <= limits.keep_alive_max; count++) {
        if (!conn.next_request()) return;
        HttpRequest req;
        HttpResponse res;
        req.received = std::chrono::steady_clock::now();
        bool close = count == limits.keep_alive_max;

        std::string line;
        HttpConn::Read r = conn.read_line(&line, limits.request_line_max);
        // Empty lines before a request are left over from the one before it.
        for (int skipped = 0; r == HttpConn::OK && line.empty() && skipped < 4; skipped++)
            r = conn.read_line(&line, limits.request_line_max);
        Got got = Got::OK;
        if (r == HttpConn::TOO_LONG) {
            res = http_plain(414, "414 URI Too Long");
            got = Got::ANSWER;
        } else if (r != HttpConn::OK) {
            return; // no request line: nothing to answer
        } else if (!http_parse_request_line(line, &req)) {
            res = http_plain(400, "400 Bad Request: not a request line this host takes");
            got = Got::ANSWER;
        } else {
            got = read_head(conn, limits, req, res);
        }
        if (got == Got::CLOSED) return;

        if (got == Got::OK) {
            if (req.version == "HTTP/1.0" || same_name(trim(req.header("Connection")), "close"))
                close = true;
            if (handlers.check && handlers.check(req, res))
                got = Got::ANSWER; // refused before its body is read
            else
                got = read_body(conn, limits, req, res);
            if (got == Got::CLOSED) return;
        }
        if (got == Got::OK) {
            try {
                handlers.serve(req, res);
            } catch (...) {
                res = http_plain(500, "500 Internal Server Error");
            }
        } else {
            close = true;
        }
        bool written = conn.write(http_response_text(req, res, close));
        if (handlers.log) handlers.log(req, res);
        if (!written || close) return;
    }
}
