#include "text/text.h"
#include "platform/platform.h"
#include "roots/roots.h"

#include <cstdio>
#include <cstring>

#define WALK_DEPTH_MAX 4
#define WALK_DIRS_MAX 20000

const char *base_name(const char *path) {
    const char *last = nullptr;
    for (const char *p = path; *p; p++)
        if (plat_is_sep(*p)) last = p;
    return last ? last + 1 : path;
}

int path_join(char *out, size_t size, const char *dir, const char *name) {
    size_t len = strlen(dir);
    const char *sep = len > 0 && plat_is_sep(dir[len - 1]) ? "" : PATH_SEP_STR;
    int n = snprintf(out, size, "%s%s%s", dir, sep, name);
    return n >= 0 && (size_t)n < size;
}

static int skipped_folder(const char *name) {
    return name[0] == '.' || strcmp(name, "node_modules") == 0 || strcmp(name, "__pycache__") == 0;
}

// One folder on the way down from the root; its identity is read only when
// a link below it needs to be compared with it.
struct WalkLevel {
    const char *dir;
    WalkLevel *up;
    PlatFileId id;
    int id_state; // 0 not read yet, 1 read, -1 unreadable
};

static int same_id(const PlatFileId &a, const PlatFileId &b) {
    return a.volume == b.volume && a.index == b.index;
}

// 1 when the folder `id` is one of the folders from `level` up to the root:
// a link back to it would walk the same folders again, deeper each time.
static int encloses(WalkLevel *level, const PlatFileId &id) {
    for (; level; level = level->up) {
        if (level->id_state == 0) level->id_state = plat_file_id(level->dir, &level->id) ? 1 : -1;
        if (level->id_state == 1 && same_id(level->id, id)) return 1;
    }
    return 0;
}

// Stores the working copy `dir`, once per folder.
static void found_repo(const char *dir, int links, Walk *w) {
    size_t len = strlen(dir);
    if (len > ALLOWED_PATH_MAX) {
        w->dropped++;
        return;
    }
    FoundRepo f;
    f.has_id = plat_file_id(dir, &f.id);
    f.links = links;
    if (f.has_id) {
        for (int i = 0; i < w->count; i++) {
            FoundRepo *e = &w->found[i];
            if (!e->has_id || !same_id(e->id, f.id)) continue;
            // Reached before: an earlier root keeps it; in this root the path
            // through fewer links, then the shorter path, names it.
            if (i >= w->first &&
                (links < e->links || (links == e->links && len < strlen(e->path)))) {
                str_copy(e->path, sizeof e->path, dir);
                e->links = links;
            }
            return;
        }
    }
    if (w->count >= w->cap) {
        w->dropped++;
        return;
    }
    FoundRepo *e = &w->found[w->count++];
    str_copy(e->path, sizeof e->path, dir);
    e->id = f.id;
    e->has_id = f.has_id;
    e->links = links;
}

// 1 when `dir` holds a folder that the walk would enter.
static int has_walkable_folder(const char *dir) {
    PlatDir d;
    int found = 0;
    if (plat_dir_open(&d, dir) != 1) return 0;
    while (!found && plat_dir_next(&d)) found = !skipped_folder(d.name) && d.is_dir;
    plat_dir_close(&d);
    return found;
}

static void walk_level(const char *dir, int depth, int links, WalkLevel *up, Walk *w) {
    if (w->stop) return;

    // A probe or child path that does not fit its buffer would name another
    // file, so such a folder is not taken for a working copy nor entered.
    char probe[FULL_PATH_SIZE + 8];
    if (path_join(probe, sizeof probe, dir, ".git") && plat_exists(probe)) {
        found_repo(dir, links, w);
        return; // a working copy is never searched further
    }
    if (depth == WALK_DEPTH_MAX) {
        if (!w->deeper) w->deeper = has_walkable_folder(dir);
        return;
    }

    WalkLevel here = {dir, up, {0, 0}, 0};
    PlatDir d;
    // A folder gone or closed to this user is passed over, as the system
    // keeps it from everyone; one whose path or name the system cannot take
    // may hold repositories, so leaving it out is said.
    int opened = plat_dir_open(&d, dir);
    if (opened != 1) {
        if (opened == PLAT_DIR_UNUSABLE) w->dropped++;
        return;
    }
    while (plat_dir_next(&d)) {
        if (skipped_folder(d.name) || !d.is_dir) continue;
        if (d.name_unusable) {
            w->dropped++; // neither it nor what it holds can be reached by its path
            continue;
        }
        if (++w->dirs > WALK_DIRS_MAX) {
            w->stop = 1;
            break;
        }
        char child[FULL_PATH_SIZE];
        if (!path_join(child, sizeof child, dir, d.name)) {
            w->dropped++; // what it holds could not be named whole
            continue;
        }
        if (d.is_link) {
            PlatFileId id;
            if (plat_file_id(child, &id) && encloses(&here, id)) continue;
        }
        walk_level(child, depth + 1, links + d.is_link, &here, w);
    }
    plat_dir_close(&d);
}

void walk_dir(const char *dir, int depth, Walk *w) {
    walk_level(dir, depth, 0, nullptr, w);
}
