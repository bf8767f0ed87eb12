// The growable text buffer in which every JSON document and every git output
// is collected, and the JSON string encoder.
#pragma once

#include "base/sizes.h"

#include <cstddef>

// A growable byte text with a ceiling.
//
// A Buf is created with the largest size it may reach, `max` (its text and
// terminator together). While `data` is not null: `len` + 1 <= `cap` <= `max`,
// the byte at data[len] is zero, and `cap` is BUF_INITIAL times a power of
// two, or `max`. An append that would grow it past `max`, or whose block
// cannot be obtained, releases the block and marks the Buf `failed`: from
// then on `data` is null, every append does nothing and returns 0. A failed
// text is never shown as if it were whole: the writer checks buf_ok before it
// uses the text (a document answers 500, a command's output is an error). A
// Buf belongs to the one operation that builds a document or runs a command;
// that operation releases it with buf_free.
struct Buf {
    char *data;
    unsigned long long len;
    unsigned long long cap;
    unsigned long long max;
    int failed; // an append or the first block failed; `data` is null
};

// Creates an empty Buf that may grow to `max` bytes. Returns 1, or 0 when
// its first block cannot be obtained (the Buf is failed).
int buf_init(Buf *b, unsigned long long max);
// Releases the block; the Buf is empty and failed (inert) afterwards.
void buf_free(Buf *b);
// 1 while the Buf holds all that was appended to it.
int buf_ok(const Buf *b);
// Each append returns 1, or 0 when the Buf is failed (then or before).
int buf_add(Buf *b, const char *src, size_t n);
int buf_puts(Buf *b, const char *s);
int buf_printf(Buf *b, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

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
// buffer is failed).
void buf_write_stdout(const Buf *b);
