#include "out/text.h"
#include "platform/platform.h"
#include "roots/roots.h"

#include <cstdio>
#include <cstring>

#define WALK_DEPTH_MAX 4
#define WALK_DIRS_MAX 20000

const char *base_name(const char *path) {
    const char *slash = strrchr(path, '/');
    const char *back = strrchr(path, '\\');
    const char *last = slash > back ? slash : back;
    return last ? last + 1 : path;
}

static int skipped_folder(const char *name) {
    return name[0] == '.' || strcmp(name, "node_modules") == 0 || strcmp(name, "__pycache__") == 0;
}

void walk_dir(const char *dir, int depth, Walk *w) {
    if (w->stop) return;

    // A probe or child path that does not fit its buffer would name another
    // file, so such a folder is not taken for a working copy nor entered.
    char probe[1200];
    int n = snprintf(probe, sizeof probe, "%s/.git", dir);
    if (n > 0 && (size_t)n < sizeof probe && plat_exists(probe)) {
        if (w->count < w->cap) str_copy(w->found[w->count++], FOUND_PATH_SIZE, dir);
        return; // a working copy is never searched further
    }
    if (depth == WALK_DEPTH_MAX) return;

    PlatDir d;
    if (!plat_dir_open(&d, dir)) return;
    while (plat_dir_next(&d)) {
        if (skipped_folder(d.name) || !d.is_dir) continue;
        if (++w->dirs > WALK_DIRS_MAX) {
            w->stop = 1;
            break;
        }
        char child[1400];
        n = snprintf(child, sizeof child, "%s" PATH_SEP_STR "%s", dir, d.name);
        if (n > 0 && (size_t)n < sizeof child) walk_dir(child, depth + 1, w);
    }
    plat_dir_close(&d);
}
