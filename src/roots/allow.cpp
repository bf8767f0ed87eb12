#include "out/text.h"
#include "platform/platform.h"
#include "roots/roots.h"

#include <cstdio>
#include <cstring>

int path_allowed(const char *path, char *out) {
    if (!path || !*path) return 0;
    if (strstr(path, "..")) return 0;

    char full[1400];
    unsigned long n = plat_full_path(path, full, sizeof full);
    if (n >= sizeof full) return 0; // a full path that does not fit is refused
    if (n == 0) str_copy(full, sizeof full, path);

    if (root_index_for(full) < 0) return 0;
    char probe[1200];
    int w = snprintf(probe, sizeof probe, "%s/.git", full);
    if (w < 0 || (size_t)w >= sizeof probe) return 0; // the probe would name another path
    if (!plat_exists(probe)) return 0;
    str_copy(out, 1400, full);
    return 1;
}
