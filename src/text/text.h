// Helpers for fixed-width texts and lines of text, shared by every subsystem.
#pragma once

#include <cstddef>

// Copies at most size - 1 bytes of `src` (null counts as empty) into `dst`
// and always terminates it; a null `dst` or a zero `size` does nothing.
void str_copy(char *dst, size_t size, const char *src);

// 1 for a blank byte: a value from 1 to 32 (space, tab, line ends and the
// other control characters).
int is_blank(char c);

// str_copy for UTF-8 text: a text cut to the field ends before the character
// that did not fit whole, never inside it.
void str_copy_text(char *dst, size_t size, const char *src);

// The commit time git prints (%ct) in the `n` bytes at `s`: their value where
// they are all digits and fit a long long; 0 where there are none (git had no
// time to show) or the value does not fit.
long long parse_commit_time(const char *s, size_t n);

// Removes every byte with a value from 1 to 32 from both ends of `s` in place.
void str_trim(char *s);

// Copies the next line of the text at *p (without its line feed, at most
// size - 1 bytes) into `line` and moves *p past it. The rest of a longer line
// is read as a line of its own, or with `drop_rest` skipped up to its line
// feed. Returns 0 at the end of the text.
int text_next_line(const char **p, char *line, size_t size, int drop_rest);

// Reads a whole decimal int (an optional '+' or '-', then digits) from `s`.
// Returns 1 with the value in *out; 0 when `s` is not such a number, or when
// it does not fit an int, leaving *out unchanged. *end, when given, receives
// the first byte after the number.
int parse_int(const char *s, int *out, const char **end);

// The value of the hex digit `c` ('0'-'9', 'a'-'f', 'A'-'F'); -1 for any
// other byte.
int hex_digit_value(char c);

// Decodes one unit of the `n` bytes at `src` from src[*i] (*i < n): a "%XX"
// escape whose two hex digits lie within the `n` bytes as its byte, with
// `plus_as_space` a '+' as a space, any other byte (a '%' without two hex
// digits after it included) as itself. Moves *i past what it read and
// returns the decoded byte.
char percent_decode_next(const char *src, size_t n, size_t *i, int plus_as_space);

// Decodes the `n` bytes at `src` as percent_decode_next does, unit by unit,
// into `dst` (room for `n` bytes; it may be `src` itself: the decoded text
// never outgrows the raw one). Returns the decoded length; writes no
// terminator.
size_t percent_decode(const char *src, size_t n, char *dst, int plus_as_space);
