#include "text/utf8.h"

int utf8_decode(const char *s, size_t n, unsigned *cp) {
    const unsigned char *p = (const unsigned char *)s;
    unsigned c = p[0];
    int len;
    unsigned char lo = 0x80, hi = 0xBF; // range of the second byte
    if (c < 0x80) {
        *cp = c;
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        c &= 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0; // no overlong forms
        else if (c == 0xED)
            hi = 0x9F; // no surrogates
        c &= 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90; // no overlong forms
        else if (c == 0xF4)
            hi = 0x8F; // nothing above U+10FFFF
        c &= 0x07;
    } else {
        *cp = UTF8_REPLACEMENT;
        return -1;
    }
    for (int i = 1; i < len; i++) {
        unsigned char min = i == 1 ? lo : 0x80, max = i == 1 ? hi : 0xBF;
        if ((size_t)i >= n || p[i] < min || p[i] > max) {
            *cp = UTF8_REPLACEMENT;
            return -i;
        }
        c = (c << 6) | (p[i] & 0x3Fu);
    }
    *cp = c;
    return len;
}

int utf8_encode(unsigned cp, char *out) {
    if (cp < 0x80) {
        out[0] = (char)cp;
        return 1;
    }
    if (cp < 0x800) {
        out[0] = (char)(0xC0 | (cp >> 6));
        out[1] = (char)(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = (char)(0xE0 | (cp >> 12));
        out[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        out[2] = (char)(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | (cp >> 18));
    out[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
    out[3] = (char)(0x80 | (cp & 0x3F));
    return 4;
}
