#include "text/text.h"

#include <climits>
#include <cstring>

void str_copy(char *dst, size_t size, const char *src) {
    if (!dst || size == 0) return;
    if (!src) src = "";
    size_t n = strlen(src);
    if (n > size - 1) n = size - 1;
    memcpy(dst, src, n);
    dst[n] = 0;
}

void str_copy_text(char *dst, size_t size, const char *src) {
    if (!dst || size == 0) return;
    if (!src) src = "";
    size_t n = strlen(src);
    if (n > size - 1) {
        n = size - 1;
        // Back to the first byte of the character that was cut.
        size_t back = 0;
        while (back < 3 && n - back > 0 && ((unsigned char)src[n - back] & 0xC0) == 0x80) back++;
        if (((unsigned char)src[n - back] & 0xC0) != 0x80) n -= back;
    }
    memcpy(dst, src, n);
    dst[n] = 0;
}

long long parse_commit_time(const char *s, size_t n) {
    long long v = 0;
    for (size_t i = 0; i < n; i++) {
        if (s[i] < '0' || s[i] > '9') return 0;
        int d = s[i] - '0';
        if (v > (LLONG_MAX - d) / 10) return 0;
        v = v * 10 + d;
    }
    return v;
}

int is_blank(char c) {
    return (unsigned char)c >= 1 && (unsigned char)c <= 32;
}

void str_trim(char *s) {
    if (!s) return;
    if (is_blank(s[0])) {
        char *p = s;
        while (is_blank(*p)) p++;
        memmove(s, p, strlen(p) + 1);
    }
    size_t n = strlen(s);
    while (n > 0 && (unsigned char)s[n - 1] <= 32) s[--n] = 0;
}

int text_next_line(const char **p, char *line, size_t size, int drop_rest) {
    const char *s = *p;
    if (!*s) return 0;
    size_t n = 0;
    while (s[n] && s[n] != '\n' && n < size - 1) n++;
    memcpy(line, s, n);
    line[n] = 0;
    s += n;
    if (drop_rest && *s != '\n') {
        const char *nl = strchr(s, '\n');
        if (nl) s = nl;
    }
    if (*s == '\n') s++;
    *p = s;
    return 1;
}

int parse_int(const char *s, int *out, const char **end) {
    int negative = 0;
    if (*s == '+' || *s == '-') negative = *s++ == '-';
    if (*s < '0' || *s > '9') return 0;
    long long v = 0;
    for (; *s >= '0' && *s <= '9'; s++) {
        v = v * 10 + (*s - '0');
        if (v > (long long)INT_MAX + 1) return 0;
    }
    if (negative) v = -v;
    if (v > INT_MAX || v < INT_MIN) return 0;
    *out = (int)v;
    if (end) *end = s;
    return 1;
}

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

char percent_decode_next(const char *src, size_t n, size_t *i, int plus_as_space) {
    size_t at = *i;
    int hi, lo;
    if (src[at] == '%' && at + 2 < n && (hi = hex_digit_value(src[at + 1])) >= 0 &&
        (lo = hex_digit_value(src[at + 2])) >= 0) {
        *i = at + 3;
        return (char)(hi * 16 + lo);
    }
    *i = at + 1;
    return plus_as_space && src[at] == '+' ? ' ' : src[at];
}

size_t percent_decode(const char *src, size_t n, char *dst, int plus_as_space) {
    size_t r = 0, w = 0;
    while (r < n) dst[w++] = percent_decode_next(src, n, &r, plus_as_space);
    return w;
}
