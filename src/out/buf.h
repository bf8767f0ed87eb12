// The growable text buffer in which every JSON document and every git output
// is collected, and the JSON string encoder.
#pragma once

#include <cstddef>

#define BUF_INITIAL 4096

// A growable byte text.
//
// While `data` is not null: `len` + 1 <= `cap`, the byte at data[len] is zero,
// and `cap` is BUF_INITIAL times a power of two. A Buf whose `data` is null
// (the block could not be obtained, or was released) is inert: every append
// does nothing. A Buf belongs to the one operation that builds a document or
// runs a command; that operation releases it with buf_free.
struct Buf {
    char *data;
    unsigned long long len;
    unsigned long long cap;
};

void buf_init(Buf *b);
void buf_free(Buf *b);
void buf_add(Buf *b, const char *src, size_t n);
void buf_puts(Buf *b, const char *s);
void buf_printf(Buf *b, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Appends `s` as one JSON string literal, quotes included; null gives "".
// '"', '\\' and bytes 0x01-0x1F are escaped. The literal is always valid
// UTF-8: well-formed UTF-8 sequences are copied unchanged, and every byte
// that does not belong to one (a Latin-1 name, a byte 0xFF, a sequence cut
// short) is replaced by U+FFFD, one for each longest ill-formed start.
void json_str(Buf *b, const char *s);
// The same for the `n` bytes at `s` (a zero byte among them is escaped).
void json_strn(Buf *b, const char *s, size_t n);

// Appends `s` as one JSON string literal holding its bytes percent-encoded
// for a query string: every byte but ASCII letters, digits, '-', '_', '.',
// '~' and '/' as %XX. It names the very bytes of `s` where json_str had to
// replace some.
void json_url_param(Buf *b, const char *s);

// The JSON literal of a flag: "true" for non-zero, else "false".
const char *json_bool(int v);

// Writes the buffer's text to standard output in one write (nothing when the
// buffer is inert).
void buf_write_stdout(const Buf *b);
