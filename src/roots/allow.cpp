#include "text/text.h"
#include "platform/platform.h"
#include "roots/roots.h"

#include <cstring>

// 1 when a component of `path` is exactly "..". A name that merely holds two
// dots ("v1..v2") is a name like any other.
static int has_parent_component(const char *path) {
    for (const char *p = path; *p;) {
        const char *end = p;
        while (*end && !plat_is_sep(*end)) end++;
        if (end - p == 2 && p[0] == '.' && p[1] == '.') return 1;
        p = *end ? end + 1 : end;
    }
    return 0;
}

int path_allowed(const char *path, char *out) {
    if (!path || !*path) return 0;
    if (has_parent_component(path)) return 0;

    char full[FULL_PATH_SIZE];
    unsigned long n = plat_full_path(path, full, sizeof full);
    if (n >= sizeof full) return 0; // a full path that does not fit is refused
    if (n == 0) str_copy(full, sizeof full, path);
    // Held whole everywhere it goes, or refused: a path cut to the record's
    // size would name another folder.
    if (strlen(full) > ALLOWED_PATH_MAX) return 0;

    if (root_index_for(full) < 0) return 0;
    char probe[FULL_PATH_SIZE];
    if (!path_join(probe, sizeof probe, full, ".git")) return 0; // it would name another path
    if (!plat_exists(probe)) return 0;
    str_copy(out, FULL_PATH_SIZE, full);
    return 1;
}
