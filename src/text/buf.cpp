#include "text/buf.h"

#include "text/utf8.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void buf_free(Buf *b) {
    free(b->data);
    b->data = nullptr;
    b->len = 0;
    b->cap = 0;
    b->failed = 1;
}

int buf_init(Buf *b, unsigned long long max) {
    b->len = 0;
    b->max = max;
    b->failed = 0;
    b->cap = BUF_INITIAL < max ? BUF_INITIAL : max;
    b->data = b->cap ? (char *)malloc(b->cap) : nullptr;
    if (!b->data) {
        buf_free(b);
        return 0;
    }
    b->data[0] = 0;
    return 1;
}

int buf_ok(const Buf *b) {
    return b->data && !b->failed;
}

int buf_add(Buf *b, const char *src, size_t n) {
    if (!buf_ok(b)) return 0;
    if (n >= b->max - b->len) { // len + n + 1 > max, without overflow
        buf_free(b);
        return 0;
    }
    unsigned long long need = b->len + n + 1;
    if (need > b->cap) {
        unsigned long long cap = b->cap;
        while (cap < need && cap <= b->max / 2) cap *= 2;
        if (cap < need) cap = b->max;
        char *grown = (char *)realloc(b->data, cap);
        if (!grown) {
            buf_free(b);
            return 0;
        }
        b->data = grown;
        b->cap = cap;
    }
    memcpy(b->data + b->len, src, n);
    b->len += n;
    b->data[b->len] = 0;
    return 1;
}

int buf_puts(Buf *b, const char *s) {
    return s ? buf_add(b, s, strlen(s)) : buf_ok(b);
}

int buf_printf(Buf *b, const char *fmt, ...) {
    char local[FORMAT_LOCAL_SIZE];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(local, sizeof local, fmt, ap);
    va_end(ap);
    if (n < 0) return buf_ok(b);
    if (n < (int)sizeof local) return buf_add(b, local, (size_t)n);
    char *big = (char *)malloc((size_t)n + 1);
    if (!big) {
        buf_free(b);
        return 0;
    }
    va_start(ap, fmt);
    vsnprintf(big, (size_t)n + 1, fmt, ap);
    va_end(ap);
    int ok = buf_add(b, big, (size_t)n);
    free(big);
    return ok;
}

void json_strn(Buf *b, const char *s, size_t n) {
    static const char REPLACEMENT[] = "\xEF\xBF\xBD"; // U+FFFD
    if (!s) {
        s = "";
        n = 0;
    }
    buf_add(b, "\"", 1);
    // Copy runs of plain bytes and well-formed UTF-8 in one append; escape
    // or replace the rest.
    const unsigned char *p = (const unsigned char *)s, *end = p + n;
    const unsigned char *run = p;
    while (p < end) {
        unsigned char c = *p;
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            p++;
            continue;
        }
        unsigned cp;
        int seq = c >= 0x80 ? utf8_decode((const char *)p, (size_t)(end - p), &cp) : 0;
        if (seq > 0) {
            p += seq;
            continue;
        }
        buf_add(b, (const char *)run, (size_t)(p - run));
        if (seq < 0) {
            buf_add(b, REPLACEMENT, 3);
            p += -seq;
            run = p;
            continue;
        }
        char esc[sizeof "\\u0000"];
        switch (c) {
        case '"':
            buf_add(b, "\\\"", 2);
            break;
        case '\\':
            buf_add(b, "\\\\", 2);
            break;
        case '\n':
            buf_add(b, "\\n", 2);
            break;
        case '\r':
            buf_add(b, "\\r", 2);
            break;
        case '\t':
            buf_add(b, "\\t", 2);
            break;
        default:
            snprintf(esc, sizeof esc, "\\u%04x", c);
            buf_add(b, esc, 6);
        }
        run = ++p;
    }
    buf_add(b, (const char *)run, (size_t)(p - run));
    buf_add(b, "\"", 1);
}

void json_str(Buf *b, const char *s) {
    json_strn(b, s, s ? strlen(s) : 0);
}

void json_url_param(Buf *b, const char *s) {
    static const char HEX[] = "0123456789ABCDEF";
    buf_add(b, "\"", 1);
    for (const unsigned char *p = (const unsigned char *)(s ? s : ""); *p; p++) {
        unsigned char c = *p;
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            buf_add(b, (const char *)p, 1);
        } else {
            const char esc[] = {'%', HEX[c >> 4], HEX[c & 15]};
            buf_add(b, esc, sizeof esc);
        }
    }
    buf_add(b, "\"", 1);
}

void buf_write_stdout(const Buf *b) {
    if (buf_ok(b) && b->len) fwrite(b->data, 1, (size_t)b->len, stdout);
}

const char *json_bool(int v) {
    return v ? "true" : "false";
}
