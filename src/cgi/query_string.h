// Reads one parameter of the raw query string.
#pragma once

#include <cstddef>

// Finds the first parameter whose raw name equals `key` and decodes its value
// (%XX escapes, '+' as space) into `dst` of `size` bytes, the raw value cut to
// size - 1 bytes before decoding. Returns 1 when found (even when empty), else
// 0 with `dst` empty. A null `query` returns 0 and leaves `dst` untouched.
int get_query_val(const char *query, const char *key, char *dst, size_t size);
