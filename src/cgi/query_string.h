// Reads one parameter of the raw query string.
#pragma once

#include <cstddef>

// Finds the first parameter whose raw name equals `key` and decodes its value
// (%XX escapes, '+' as space) into `dst` of `size` bytes, the raw value cut to
// size - 1 bytes before decoding. Returns 1 when found (even when empty), else
// 0 with `dst` empty. A null `query` returns 0 and leaves `dst` untouched.
int get_query_val(const char *query, const char *key, char *dst, size_t size);

// The same as get_query_val, with the parameters of the address as the bot
// links to the page: after its own parameters, the plugin's own follow a
// second '?' ("plugin=quarlo?theme=dark?pwd=x"), so '?' separates them as
// '&' does. For a value that never holds a raw '?' (the password); a path
// is read with get_query_whole.
int get_address_val(const char *query, const char *key, char *dst, size_t size);

// Finds the parameter as get_query_val does and decodes its whole raw value
// into `dst`. Returns 1 only when the decoded value fits in size - 1 bytes
// and holds no zero byte; otherwise 0 with `dst` empty. For a value that must
// never be taken cut short, such as a repository path.
int get_query_whole(const char *query, const char *key, char *dst, size_t size);
