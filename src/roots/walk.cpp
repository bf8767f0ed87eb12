#include "text/text.h"
#include "platform/platform.h"
#include "roots/roots.h"

#include <cstdio>
#include <cstring>

#define WALK_DEPTH_MAX 4

const char *base_name(const char *path) {
    const char *last = nullptr;
    for (const char *p = path; *p; p++)
        if (plat_is_sep(*p)) last = p;
    return last ? last + 1 : path;
}

static int skipped_folder(const char *name) {
    return name[0] == '.' || strcmp(name, "node_modules") == 0 || strcmp(name, "__pycache__") == 0;
}

// One folder the walk has queued: its path, the links passed on the way
// down to it and the folder above it (an index into the walk's list; -1 for
// the root). Its identity is read only when a link below it needs to be
// compared with it.
struct WalkNode {
    std::string dir;
    int up;
    int links;
    PlatFileId id;
    int id_state; // 0 not read yet, 1 read, -1 unreadable
};

static int same_id(const PlatFileId &a, const PlatFileId &b) {
    return a.volume == b.volume && a.index == b.index;
}

// 1 when the folder `id` is one of the folders whose paths are the parents
// of `path` by its text ("/srv" and "/" for "/srv/code"; "C:\" for "C:\x").
// A text that names no folder ("\\?\" of "\\?\C:\x") matches nothing.
static int parent_of(const char *path, const PlatFileId &id) {
    char p[REAL_PATH_SIZE];
    if (strlen(path) >= sizeof p) return 0;
    str_copy(p, sizeof p, path);
    for (size_t n = strlen(p);;) {
        while (n > 0 && plat_is_sep(p[n - 1])) n--;
        while (n > 0 && !plat_is_sep(p[n - 1])) n--;
        if (n == 0) return 0;
        p[n] = 0; // the parent with its final separator: "/", "C:\"
        PlatFileId pid;
        if (plat_file_id(p, &pid) && same_id(pid, id)) return 1;
    }
}

// 1 when the folder `id` is the root or one of its parents, by the root's
// path or by its real path (the root may be, or lie below, a link): a link
// to it would list what lies above the root.
static int root_or_above(const char *root, const PlatFileId &id) {
    if (parent_of(root, id)) return 1;
    char real[REAL_PATH_SIZE];
    unsigned long n = plat_real_path(root, real, sizeof real);
    return n > 0 && n < sizeof real && parent_of(real, id);
}

// 1 when a link that leads to the folder `id` must not be entered: it is one
// of the folders from `nodes[at]` up to the root (a link back to it would
// walk the same folders again, deeper each time) or a parent of the root.
static int link_refused(std::vector<WalkNode> &nodes, int at, const PlatFileId &id, const Walk *w) {
    for (; at >= 0; at = nodes[(size_t)at].up) {
        WalkNode &n = nodes[(size_t)at];
        if (n.id_state == 0) n.id_state = plat_file_id(n.dir.c_str(), &n.id) ? 1 : -1;
        if (n.id_state == 1 && same_id(n.id, id)) return 1;
    }
    return root_or_above(w->top, id);
}

// Stores the working copy `dir`, once per folder.
static void found_repo(const char *dir, int links, Walk *w) {
    size_t len = strlen(dir);
    if (len > ALLOWED_PATH_MAX) {
        w->dropped++;
        return;
    }
    PlatFileId id = {0, 0};
    int has_id = plat_file_id(dir, &id);
    if (has_id) {
        auto seen = w->by_id.find({id.volume, id.index});
        if (seen != w->by_id.end()) {
            // Reached before: an earlier root keeps it; in this root the path
            // through fewer links, then the shorter path, names it.
            FoundRepo &e = w->found[seen->second];
            if (seen->second >= (size_t)w->first &&
                (links < e.links || (links == e.links && len < e.path.size()))) {
                e.path = dir;
                e.links = links;
            }
            return;
        }
    }
    if (w->found.size() >= (size_t)w->cap) {
        w->dropped++;
        return;
    }
    if (has_id) w->by_id[{id.volume, id.index}] = w->found.size();
    w->found.push_back(FoundRepo{dir, id, has_id, links});
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

// The walk's rule for one entry `d` of the folder `nodes[at]`: a folder whose
// name is not skipped, that its name reaches, and that is not a link back to
// the way down or above the root, is queued for the next level. Returns 0
// once the folder limit ends the walk.
static int walk_entry(const PlatDir *d, std::vector<WalkNode> &nodes, int at, Walk *w) {
    if (skipped_folder(d->name) || !d->is_dir) return 1;
    if (d->name_unusable) {
        w->dropped++; // neither it nor what it holds can be reached by its path
        return 1;
    }
    if (++w->dirs > w->dirs_max) {
        w->stop = 1;
        return 0;
    }
    char child[FULL_PATH_SIZE];
    if (!plat_path_join(child, sizeof child, nodes[(size_t)at].dir.c_str(), d->name)) {
        w->dropped++; // what it holds could not be named whole
        return 1;
    }
    if (d->is_link) {
        PlatFileId id;
        if (plat_file_id(child, &id) && link_refused(nodes, at, id, w)) return 1;
    }
    nodes.push_back(WalkNode{child, at, nodes[(size_t)at].links + d->is_link, {0, 0}, 0});
    return 1;
}

// Looks into the queued folder `nodes[at]`, `depth` levels below the root:
// stores it when it is a working copy, else queues the folders it holds.
static void walk_folder(std::vector<WalkNode> &nodes, int at, int depth, Walk *w) {
    // The path is copied: queuing a folder may move the list.
    const std::string dir = nodes[(size_t)at].dir;

    // A probe or child path that does not fit its buffer would name another
    // file, so such a folder is not taken for a working copy nor entered.
    char probe[FULL_PATH_SIZE + 8];
    if (plat_path_join(probe, sizeof probe, dir.c_str(), ".git") && plat_exists(probe)) {
        // A working copy is never searched further; one on the way to the
        // folder a path names is not that folder.
        if (!w->along || depth == w->along_count)
            found_repo(dir.c_str(), nodes[(size_t)at].links, w);
        return;
    }
    if (w->stop) return; // the folder limit is spent: nothing more is listed
    if (depth == WALK_DEPTH_MAX) {
        if (!w->deeper && !w->along) w->deeper = has_walkable_folder(dir.c_str());
        return;
    }

    PlatDir d;
    if (w->along) {
        // Only the entry the path names next, as the listing of `dir` would
        // give it (its name as the folder holds it).
        if (depth < w->along_count && plat_dir_find(&d, dir.c_str(), w->along[depth]) == 1)
            walk_entry(&d, nodes, at, w);
        return;
    }
    // A folder gone or closed to this user is passed over, as the system
    // keeps it from everyone; one whose path or name the system cannot take
    // may hold repositories, so leaving it out is said.
    int opened = plat_dir_open(&d, dir.c_str());
    if (opened != 1) {
        if (opened == PLAT_DIR_UNUSABLE) w->dropped++;
        return;
    }
    while (plat_dir_next(&d))
        if (!walk_entry(&d, nodes, at, w)) break;
    plat_dir_close(&d);
}

void walk_dir(const char *dir, Walk *w) {
    w->top = dir;
    // Every folder queued so far, level after level; a level's folders are
    // looked into in the order their parents listed them.
    std::vector<WalkNode> nodes;
    nodes.push_back(WalkNode{dir, -1, 0, {0, 0}, 0});
    size_t level = 0;
    for (int depth = 0; level < nodes.size(); depth++) {
        size_t next = nodes.size();
        for (size_t at = level; at < next; at++) walk_folder(nodes, (int)at, depth, w);
        level = next;
    }
}

int walk_reaches(const char *root, const char *rest, char *out, int *links) {
    // The names below the root, each a component of `rest`; more names than
    // the walk goes deep are never reached.
    char names[FULL_PATH_SIZE];
    const char *along[WALK_DEPTH_MAX];
    int count = 0;
    if (strlen(rest) >= sizeof names) return 0;
    str_copy(names, sizeof names, rest);
    for (char *p = names; *p;) {
        while (plat_is_sep(*p)) *p++ = 0;
        if (!*p) break;
        if (count == WALK_DEPTH_MAX) return 0;
        along[count++] = p;
        while (*p && !plat_is_sep(*p)) p++;
    }
    Walk w;
    w.along = along;
    w.along_count = count;
    walk_dir(root, &w);
    if (w.found.size() != 1) return 0;
    str_copy(out, FULL_PATH_SIZE, w.found[0].path.c_str());
    if (links) *links = w.found[0].links;
    return 1;
}

int walk_next_root(const Root *root, Walk *w) {
    w->first = (int)w->found.size();
    w->dirs = w->stop = w->dropped = w->deeper = 0;
    if (!plat_exists(root->start)) return 0;
    walk_dir(root->start, w);
    return 1;
}
