#include "platform/platform.h"
#include "repo/repo.h"
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

void walk_dir(const char *dir, const char *root, int depth, int *dirs, int *stop) {
    if (*stop) return;

    // A probe or child path that does not fit its buffer would name another
    // file, so such a folder is not taken for a working copy nor entered.
    char probe[1200];
    int w = snprintf(probe, sizeof probe, "%s/.git", dir);
    if (w > 0 && (size_t)w < sizeof probe && plat_exists(probe)) {
        repo_append(dir, base_name(dir), root);
        return; // a working copy is never searched further
    }
    if (depth == WALK_DEPTH_MAX) return;

    PlatDir d;
    if (!plat_dir_open(&d, dir)) return;
    while (plat_dir_next(&d)) {
        if (skipped_folder(d.name) || !d.is_dir) continue;
        if (++*dirs > WALK_DIRS_MAX) {
            *stop = 1;
            break;
        }
        char child[1400];
        w = snprintf(child, sizeof child, "%s" PATH_SEP_STR "%s", dir, d.name);
        if (w > 0 && (size_t)w < sizeof child) walk_dir(child, root, depth + 1, dirs, stop);
    }
    plat_dir_close(&d);
}
