#include "cgi/query_string.h"

#include <cstring>

static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int get_query_val(const char *query, const char *key, char *dst, size_t size) {
    if (!query) return 0;
    dst[0] = 0;
    size_t k = strlen(key);
    const char *p = query;
    for (;;) {
        if (!*p) return 0;
        if (strncmp(p, key, k) == 0 && p[k] == '=') break;
        const char *amp = strchr(p, '&');
        if (!amp) return 0;
        p = amp + 1;
    }
    const char *v = p + k + 1;
    size_t n = 0;
    while (v[n] && v[n] != '&' && n < size - 1) n++;
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
    return 1;
}
