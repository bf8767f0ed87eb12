#include "cgi/query_string.h"

#include "text/text.h"

#include <cstring>

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
    // Decode in place; the decoded text never outgrows the raw one.
    dst[percent_decode(dst, n, dst, 1)] = 0;
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
    size_t n = strcspn(v, "&"), w = 0;
    for (size_t r = 0; r < n;) {
        char c = percent_decode_next(v, n, &r, 1);
        if (c == 0 || w + 1 >= size) {
            dst[0] = 0;
            return 0;
        }
        dst[w++] = c;
    }
    dst[w] = 0;
    return 1;
}
