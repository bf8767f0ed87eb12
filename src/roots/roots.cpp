#include "roots/roots.h"

#include "text/text.h"
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>

Root g_roots[ROOT_MAX];
int g_root_count;

// Windows-only default folders of code checkouts; POSIX has none.
static const char *const DEFAULT_CODEBASES[] = {
#if defined(_WIN32)
    "D:\\codebases", "C:\\codebases",
#endif
    nullptr};

// 1 when an environment variable has a value that is not empty.
static int env_value_given(const char *v) {
    return v && *v;
}

// 1 when `path` starts with a drive letter and its colon ("C:"); never on
// POSIX, which has no drives.
static int drive_prefix(const char *path) {
#if defined(_WIN32)
    char c = path[0];
    return ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) && path[1] == ':';
#else
    (void)path;
    return 0;
#endif
}

// 1 for a drive letter and its colon alone ("C:"). Windows reads that as the
// drive's current folder; as a root it means the drive, "C:\".
static int bare_drive(const char *path) {
    return drive_prefix(path) && !path[2];
}

void root_add(const char *given) {
    if (!given || !*given) return;
    if (g_root_count >= ROOT_MAX) return;
    char drive[] = {given[0], ':', PATH_SEP, 0};
    const char *path = bare_drive(given) ? drive : given;
    // A root that does not fit its field is dropped: cut short, it could name
    // a folder above the one meant and widen the allowlist.
    if (strlen(path) > sizeof g_roots[0].root - 1) return;
    Root *r = &g_roots[g_root_count];
    unsigned long n = plat_full_path(path, r->resolved, sizeof r->resolved);
    // A full path that does not fit counts as a failed resolution.
    if (n == 0 || n >= sizeof r->resolved) str_copy(r->resolved, sizeof r->resolved, path);
    // One folder is one root, however it is spelt ("R:\proj", "r:\proj\").
    for (int i = 0; i < g_root_count; i++)
        if (plat_same_path(g_roots[i].resolved, r->resolved)) return;
    str_copy(r->root, sizeof r->root, path);
    // The walk starts from the resolved root, so that every path below it
    // is one the gate takes as it stands ("/srv/code/../app" would not be).
    // A final separator is dropped, but not the one of a volume's root.
    str_copy(r->start, sizeof r->start, r->resolved);
    size_t len = strlen(r->start);
    while (len > 1 && plat_is_sep(r->start[len - 1]) && r->start[len - 2] != ':')
        r->start[--len] = 0;
    r->exists = 0;
    r->count = 0;
    r->truncated = 0;
    r->depth_limited = 0;
    g_root_count++;
}

// On POSIX a ':' always separates (there are no drive letters). On Windows a
// ':' is a drive letter's where a '\' or '/' follows it, and where it ends a
// bare drive ("C:", an item of one letter and the colon).
static int colon_is_separator(const char *item, const char *colon) {
#if defined(_WIN32)
    char next = colon[1];
    if (next == '\\' || next == '/') return 0;
    int ends_drive = colon == item + 1 && drive_prefix(item);
    return !(ends_drive && (!next || next == ';' || next == ':' || is_blank(next)));
#else
    (void)item;
    (void)colon;
    return 1;
#endif
}

void roots_from_env() {
    const char *v = getenv("QUARLO_ROOTS");
    if (!env_value_given(v)) return;
    // Each item is taken whole from the value, however long the value is, and
    // trimmed; an item longer than a root's field is dropped by root_add.
    for (const char *p = v;;) {
        const char *first = p;
        while (is_blank(*first)) first++;
        const char *end = first;
        while (*end && *end != ';' && !(*end == ':' && colon_is_separator(first, end))) end++;
        const char *last = end;
        while (last > first && is_blank(last[-1])) last--;
        char item[sizeof g_roots[0].root + 1];
        size_t n = (size_t)(last - first);
        if (n > 0) {
            if (n > sizeof item - 1) n = sizeof item - 1; // too long still: root_add drops it
            memcpy(item, first, n);
            item[n] = 0;
            root_add(item);
        }
        if (!*end) break;
        p = end + 1;
    }
}

void collect_roots() {
    const char *only = getenv("QUARLO_ONLY_ROOTS");
    g_root_count = 0;
    if (env_value_given(only) && strcmp(only, "0") != 0) {
        roots_from_env();
        return;
    }
    const char *home = getenv("USERPROFILE");
    if (!env_value_given(home)) home = getenv("HOMEDRIVE");
#if !defined(_WIN32)
    if (!env_value_given(home)) home = getenv("HOME");
#endif
    if (env_value_given(home)) root_add(home);
    for (int i = 0; DEFAULT_CODEBASES[i]; i++)
        if (plat_exists(DEFAULT_CODEBASES[i])) root_add(DEFAULT_CODEBASES[i]);
    roots_from_env();
}

const char *root_match_text(const Root *r) {
    return r->resolved[0] ? r->resolved : r->root;
}
