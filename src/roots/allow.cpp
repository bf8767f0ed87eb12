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

// Where the listing lists the working copy `dir` (reached through a link, so
// that another spelling of the same folder may name it): walks every root
// as the listing does and writes the path it keeps for that folder to `out`
// and its root to *root. Returns 0 (nothing written) when the folder has no
// identity or the listing would not hold it.
static int listing_spelling(const Roots *roots, const char *dir, char *out, int *root) {
    PlatFileId id;
    if (!plat_file_id(dir, &id)) return 0;
    Walk w;
    w.cap = REPO_MAX;
    for (int i = 0; i < roots->count; i++) {
        walk_next_root(&roots->list[i], &w);
        auto seen = w.by_id.find({id.volume, id.index});
        if (seen == w.by_id.end()) continue;
        // Later roots never rename a folder an earlier root holds.
        str_copy(out, FULL_PATH_SIZE, w.found[seen->second].path.c_str());
        *root = i;
        return 1;
    }
    return 0;
}

int path_allowed(const Roots *roots, const char *path, char *out, int *root) {
    if (!path || !*path) return 0;
    if (has_parent_component(path)) return 0;

    char full[FULL_PATH_SIZE];
    unsigned long n = plat_full_path(path, full, sizeof full);
    if (n >= sizeof full) return 0; // a full path that does not fit is refused
    if (n == 0) str_copy(full, sizeof full, path);

    // The first root whose walk reaches it admits it, as the listing lists a
    // folder under the first root that reaches it. The answer is spelt from
    // that root, whatever spelling of it the client sent.
    for (int i = 0; i < roots->count; i++) {
        const Root *r = &roots->list[i];
        char rest[FULL_PATH_SIZE], found[FULL_PATH_SIZE], long_root[FULL_PATH_SIZE];
        const char *match = root_match_text(r);
        if (!plat_path_below(full, match, rest, sizeof rest)) {
            // A root given in 8.3 short form ("C:\PROGRA~1\code") is the
            // same folder as its long spelling, which a client may send. The
            // names below the root are still taken only as the walk spells
            // them.
            unsigned long ln = plat_long_path(match, long_root, sizeof long_root);
            if (ln == 0 || ln >= sizeof long_root ||
                !plat_path_below(full, long_root, rest, sizeof rest))
                continue;
        }
        int links = 0;
        if (!walk_reaches(r->start, rest, found, &links)) continue;
        // Reached through a link, the folder may have another name in the
        // listing: the answer names it as the listing does.
        int at = i;
        if (links > 0 && listing_spelling(roots, found, out, &at)) {
            if (root) *root = at;
            return 1;
        }
        str_copy(out, FULL_PATH_SIZE, found);
        if (root) *root = i;
        return 1;
    }
    return 0;
}
