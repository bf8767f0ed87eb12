// Reading `.git` files and `commondir` files: git's rules, nothing guessed.
#include "git/gitdir/gitdir.h"
#include "platform/platform.h"
#include "text/text.h"

#include <cstring>

// A `.git` or `commondir` file is one path and a line feed; a longer file is
// not one git wrote.
#define GIT_LINK_FILE_MAX (FULL_PATH_SIZE + 16)

// Reads the whole small file `path` into `text` (GIT_LINK_FILE_MAX bytes) and
// removes the line ends and blanks after its content. Returns 1; -1 when it
// is missing; 0 when it cannot be opened or read (a FIFO, a folder), is
// empty, or is longer than a path file can be.
static int read_link_file(const char *path, char *text) {
    PlatFile f;
    if (!plat_file_open(&f, path)) return plat_exists(path) ? 0 : -1;
    long long size = plat_file_size(&f);
    long long got = -1;
    if (size > 0 && size < GIT_LINK_FILE_MAX)
        got = plat_file_read_at(&f, 0, text, (unsigned long long)size);
    plat_file_close(&f);
    if (got != size || got <= 0) return 0;
    text[got] = 0;
    // A zero byte inside ends the text: the path stops there for git too.
    size_t n = strlen(text);
    while (n > 0 && (unsigned char)text[n - 1] <= ' ') text[--n] = 0;
    return n > 0;
}

static int is_absolute(const char *p) {
#if defined(_WIN32)
    if (((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':') return 1;
#endif
    return plat_is_sep(p[0]);
}

// The folder `target` names, read from a file in `base`: an absolute path as
// it is; a relative one from `base`, resolved to its real path. Returns 1
// with `out` (FULL_PATH_SIZE bytes) filled when that folder exists.
static int resolve_named_dir(const char *base, const char *target, char *out) {
    if (is_absolute(target)) {
        if (strlen(target) >= FULL_PATH_SIZE) return 0;
        str_copy(out, FULL_PATH_SIZE, target);
        return plat_is_dir(out);
    }
    char joined[FULL_PATH_SIZE];
    if (!plat_path_join(joined, sizeof joined, base, target)) return 0;
    unsigned long n = plat_real_path(joined, out, FULL_PATH_SIZE);
    return n > 0 && n < FULL_PATH_SIZE && plat_is_dir(out);
}

// The folder holding `path` (its text up to the last separator).
static void parent_of(const char *path, char *out) {
    str_copy(out, FULL_PATH_SIZE, path);
    size_t n = strlen(out);
    while (n > 0 && !plat_is_sep(out[n - 1])) n--;
    while (n > 1 && plat_is_sep(out[n - 1])) n--;
    out[n] = 0;
}

int gitdir_find(const char *worktree, GitDirs *out) {
    char dot_git[FULL_PATH_SIZE];
    out->git[0] = out->common[0] = 0;
    if (!worktree || !plat_path_join(dot_git, sizeof dot_git, worktree, ".git")) return 0;
    if (plat_is_dir(dot_git)) {
        str_copy(out->git, sizeof out->git, dot_git);
    } else {
        char text[GIT_LINK_FILE_MAX], base[FULL_PATH_SIZE];
        if (read_link_file(dot_git, text) != 1 || strncmp(text, "gitdir: ", 8) != 0) return 0;
        parent_of(dot_git, base);
        if (!resolve_named_dir(base, text + 8, out->git)) {
            out->git[0] = 0;
            return 0;
        }
    }
    // A linked worktree's own folder names the shared one in `commondir`.
    char commondir[FULL_PATH_SIZE], text[GIT_LINK_FILE_MAX];
    int read = plat_path_join(commondir, sizeof commondir, out->git, "commondir")
                   ? read_link_file(commondir, text)
                   : 0;
    if (read == -1) {
        str_copy(out->common, sizeof out->common, out->git);
        return 1;
    }
    if (read == 1 && resolve_named_dir(out->git, text, out->common)) return 1;
    out->git[0] = out->common[0] = 0;
    return 0;
}
