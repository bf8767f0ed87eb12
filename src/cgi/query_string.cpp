#include "cgi/query_string.h"

#include <cstring>

static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The raw value of the first parameter whose raw name is `key`; null when
// there is none.
// `seps` are the bytes that end a parameter.
static const char *find_value(const char *query, const char *key, const char *seps = "&") {
    size_t k = strlen(key);
    for (const char *p = query;;) {
        if (strncmp(p, key, k) == 0 && p[k] == '=') return p + k + 1;
        const char *end = p + strcspn(p, seps);
        if (!*end) return nullptr;
        p = end + 1;
    }
}

// Copies the raw value at `v` (up to its first byte in `seps`, cut to size
// - 1 bytes) into `dst` and decodes it in place.
static void copy_decoded(const char *v, const char *seps, char *dst, size_t size) {
    size_t n = 0;
    while (v[n] && !strchr(seps, v[n]) && n < size - 1) n++;
    memcpy(dst, v, n);
    dst[n] = 0;

    // Decode in place; the decoded text never outgrows the raw one.
    size_t r = 0, w = 0;
    while (r < n) {
        char c = dst[r];
        int hi, lo;
        if (c == '%' && r + 2 < n && (hi = hex_value(dst[r + 1])) >= 0 &&
            (lo = hex_value(dst[r + 2])) >= 0) {
            dst[w++] = (char)(hi * 16 + lo);
            r += 3;
        } else {
            dst[w++] = c == '+' ? ' ' : c;
            r++;
        }
    }
    dst[w] = 0;
}

int get_query_val(const char *query, const char *key, char *dst, size_t size) {
    if (!query) return 0;
    dst[0] = 0;
    const char *v = find_value(query, key);
    if (!v) return 0;
    copy_decoded(v, "&", dst, size);
    return 1;
}

int get_address_val(const char *query, const char *key, char *dst, size_t size) {
    if (!query) return 0;
    dst[0] = 0;
    const char *v = find_value(query, key, "&?");
    if (!v) return 0;
    copy_decoded(v, "&?", dst, size);
    return 1;
}

int get_query_whole(const char *query, const char *key, char *dst, size_t size) {
    dst[0] = 0;
    if (!query || size == 0) return 0;
    const char *v = find_value(query, key);
    if (!v) return 0;
    // Decode the whole raw value; it must fit, and hold no zero byte.
    size_t w = 0;
    while (*v && *v != '&') {
        char c = *v;
        int hi, lo;
        if (c == '%' && (hi = hex_value(v[1])) >= 0 && (lo = hex_value(v[2])) >= 0) {
            c = (char)(hi * 16 + lo);
            v += 3;
        } else {
            if (c == '+') c = ' ';
            v++;
        }
        if (c == 0 || w + 1 >= size) {
            dst[0] = 0;
            return 0;
        }
        dst[w++] = c;
    }
    dst[w] = 0;
    return 1;
}
