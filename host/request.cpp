#include "request.h"

#include "cgi.h"
#include "text/text.h"

#include <cstdio>

namespace {

// `s` with every "%XX" as its byte; any other '%' stays as it is.
std::string percent_decoded(const std::string &s) {
    std::string out(s.size(), '\0');
    out.resize(percent_decode(s.data(), s.size(), &out[0], 0));
    return out;
}

// The length of the valid UTF-8 sequence at `s[i]` with its code point in
// *cp; 0 when there is none.
size_t utf8_next(const std::string &s, size_t i, unsigned long *cp) {
    unsigned char c = (unsigned char)s[i];
    size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    unsigned long v = n == 1 ? c : n == 2 ? (c & 0x1f) : n == 3 ? (c & 0x0f) : (c & 0x07);
    for (size_t k = 1; k < n; k++) {
        unsigned char t = (unsigned char)s[i + k];
        if ((t >> 6) != 2) return 0;
        v = (v << 6) | (t & 0x3f);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static const unsigned long MIN[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < MIN[n] || (v >= 0xd800 && v <= 0xdfff) || v > 0x10ffff) return 0;
    *cp = v;
    return n;
}

bool shown_as_bytes(unsigned long cp) {
    return cp < 0x20 || cp == 0x7f || cp == '\\' || (cp >= 0x80 && cp <= 0x9f) || cp == 0x61c ||
           cp == 0x200e || cp == 0x200f || (cp >= 0x202a && cp <= 0x202e) ||
           (cp >= 0x2066 && cp <= 0x2069);
}

} // namespace

size_t HostRequest::header_count(const char *name) const {
    size_t n = 0;
    for (const auto &h : headers)
        if (same_name(h.first, name)) n++;
    return n;
}

std::string HostRequest::header(const char *name) const {
    for (const auto &h : headers)
        if (same_name(h.first, name)) return h.second;
    return "";
}

Answer answer_plain(int status, const std::string &text) {
    Answer a;
    a.status = status;
    a.content_type = "text/plain; charset=utf-8";
    a.body = text + "\n";
    return a;
}

bool split_target(const std::string &target, HostRequest *req) {
    static const char SCHEME[] = "http://";
    const size_t n = sizeof SCHEME - 1;
    for (char c : target)
        if ((unsigned char)c <= 0x20 || c == 0x7f) return false;
    std::string rest = target;
    req->authority.clear();
    if (target.size() >= n && same_name(target.substr(0, n), SCHEME)) {
        size_t end = target.find_first_of("/?", n);
        req->authority = target.substr(n, end == std::string::npos ? end : end - n);
        if (req->authority.empty()) return false;
        rest = end == std::string::npos ? "/" : target.substr(end);
        if (rest[0] == '?') rest = "/" + rest;
    } else if (target.empty() || target[0] != '/') {
        return false;
    }
    size_t q = rest.find('?');
    req->path = percent_decoded(rest.substr(0, q));
    req->query = q == std::string::npos ? "" : rest.substr(q + 1);
    return true;
}

std::string log_text(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        unsigned long cp = 0;
        size_t n = utf8_next(text, i, &cp);
        bool bytes = n == 0 || shown_as_bytes(cp);
        if (n == 0) n = 1;
        if (!bytes) {
            out.append(text, i, n);
        } else {
            for (size_t k = 0; k < n; k++) {
                char hex[5];
                snprintf(hex, sizeof hex, "\\x%02x", (unsigned char)text[i + k]);
                out += hex;
            }
        }
        i += n;
    }
    return out;
}
