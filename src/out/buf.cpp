#include "out/buf.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void buf_init(Buf *b) {
    b->len = 0;
    b->cap = BUF_INITIAL;
    b->data = (char *)malloc(BUF_INITIAL);
    if (b->data)
        b->data[0] = 0;
    else
        b->cap = 0;
}

void buf_free(Buf *b) {
    free(b->data);
    b->data = nullptr;
    b->len = 0;
    b->cap = 0;
}

void buf_add(Buf *b, const char *src, size_t n) {
    if (!b->data) return;
    unsigned long long need = b->len + n + 1;
    if (need > b->cap) {
        unsigned long long cap = b->cap;
        while (cap < need) cap *= 2;
        char *grown = (char *)realloc(b->data, cap);
        if (!grown) return; // these bytes are lost; the text so far stays
        b->data = grown;
        b->cap = cap;
    }
    memcpy(b->data + b->len, src, n);
    b->len += n;
    b->data[b->len] = 0;
}

void buf_puts(Buf *b, const char *s) {
    if (s) buf_add(b, s, strlen(s));
}

void buf_printf(Buf *b, const char *fmt, ...) {
    char local[2048];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(local, sizeof local, fmt, ap);
    va_end(ap);
    if (n < 0) return;
    if (n <= 2047) {
        buf_add(b, local, (size_t)n);
        return;
    }
    char *big = (char *)malloc((size_t)n + 1);
    if (!big) return;
    va_start(ap, fmt);
    vsnprintf(big, (size_t)n + 1, fmt, ap);
    va_end(ap);
    buf_add(b, big, (size_t)n);
    free(big);
}

void json_str(Buf *b, const char *s) {
    buf_add(b, "\"", 1);
    if (s) {
        // Copy runs of plain bytes in one append; escape the rest.
        const char *run = s;
        for (const char *p = s;; p++) {
            unsigned char c = (unsigned char)*p;
            if (c >= 0x20 && c != '"' && c != '\\') continue;
            buf_add(b, run, (size_t)(p - run));
            if (c == 0) break;
            char esc[8];
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
            run = p + 1;
        }
    }
    buf_add(b, "\"", 1);
}

void buf_write_stdout(const Buf *b) {
    if (b->data && b->len) fwrite(b->data, 1, (size_t)b->len, stdout);
}

const char *json_bool(int v) {
    return v ? "true" : "false";
}
