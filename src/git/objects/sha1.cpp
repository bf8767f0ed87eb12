// SHA-1 (FIPS 180-4), for checking an object read from the store against
// its name. Not used for anything that needs a secure hash.
#include "git/objects/objects.h"
#include "text/text.h"

#include <cstring>

static uint32_t rol(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

static void sha1_block(Sha1 *s, const unsigned char *p) {
    uint32_t w[80];
    for (int i = 0; i < 16; i++)
        w[i] = (uint32_t)p[4 * i] << 24 | (uint32_t)p[4 * i + 1] << 16 |
               (uint32_t)p[4 * i + 2] << 8 | (uint32_t)p[4 * i + 3];
    for (int i = 16; i < 80; i++) w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = s->h[0], b = s->h[1], c = s->h[2], d = s->h[3], e = s->h[4];
    for (int i = 0; i < 80; i++) {
        uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        uint32_t t = rol(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rol(b, 30);
        b = a;
        a = t;
    }
    s->h[0] += a;
    s->h[1] += b;
    s->h[2] += c;
    s->h[3] += d;
    s->h[4] += e;
}

void sha1_init(Sha1 *s) {
    static const uint32_t START[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    memcpy(s->h, START, sizeof START);
    s->length = 0;
    s->used = 0;
}

void sha1_update(Sha1 *s, const void *data, size_t n) {
    const unsigned char *p = (const unsigned char *)data;
    s->length += n;
    while (n) {
        size_t take = SHA1_BLOCK - s->used;
        if (take > n) take = n;
        memcpy(s->block + s->used, p, take);
        s->used += take;
        p += take;
        n -= take;
        if (s->used == SHA1_BLOCK) {
            sha1_block(s, s->block);
            s->used = 0;
        }
    }
}

void sha1_final(Sha1 *s, unsigned char out[SHA1_LEN]) {
    uint64_t bits = s->length * 8;
    unsigned char pad = 0x80;
    sha1_update(s, &pad, 1);
    pad = 0;
    while (s->used != SHA1_BLOCK - 8) sha1_update(s, &pad, 1);
    unsigned char len[8];
    for (int i = 0; i < 8; i++) len[i] = (unsigned char)(bits >> (56 - 8 * i));
    sha1_update(s, len, 8);
    for (int i = 0; i < 5; i++) {
        out[4 * i] = (unsigned char)(s->h[i] >> 24);
        out[4 * i + 1] = (unsigned char)(s->h[i] >> 16);
        out[4 * i + 2] = (unsigned char)(s->h[i] >> 8);
        out[4 * i + 3] = (unsigned char)s->h[i];
    }
}

int sha1_from_hex(const char *hex, unsigned char out[SHA1_LEN]) {
    for (int i = 0; i < SHA1_LEN; i++) {
        int hi = hex_digit_value(hex[2 * i]);
        int lo = hi < 0 ? -1 : hex_digit_value(hex[2 * i + 1]);
        if (lo < 0) return 0;
        out[i] = (unsigned char)(hi << 4 | lo);
    }
    return hex[SHA1_HEX_LEN] == 0;
}

void sha1_to_hex(const unsigned char name[SHA1_LEN], char out[SHA1_HEX_LEN + 1]) {
    static const char DIGITS[] = "0123456789abcdef";
    for (int i = 0; i < SHA1_LEN; i++) {
        out[2 * i] = DIGITS[name[i] >> 4];
        out[2 * i + 1] = DIGITS[name[i] & 15];
    }
    out[SHA1_HEX_LEN] = 0;
}
