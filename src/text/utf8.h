// UTF-8: one decoder and one encoder for every text the program reads or
// writes character by character.
#pragma once

#include <cstddef>

#define UTF8_REPLACEMENT 0xFFFDu

// Decodes the character at `s` (at most `n` bytes, n >= 1). Returns the
// length of its well-formed sequence (1 to 4) with the code point in *cp;
// where `s` holds none, minus the length of its longest ill-formed start (the
// bytes one U+FFFD stands for, as Unicode recommends) with *cp U+FFFD.
// Overlong forms, surrogates and code points above U+10FFFF are ill-formed.
int utf8_decode(const char *s, size_t n, unsigned *cp);

// Writes the UTF-8 form of the code point `cp` (up to U+10FFFF) to `out`,
// which has room for UTF8_CHAR_SIZE bytes; returns its length.
int utf8_encode(unsigned cp, char *out);
