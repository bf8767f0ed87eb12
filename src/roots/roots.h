// The allowlisted root folders, the gate for client paths, and discovery.
#pragma once

#include <cstddef>

#define ROOT_MAX 8

// One allowlisted folder.
struct Root {
    char root[768];     // as given (environment item or default), cut to 767 bytes
    char resolved[768]; // its full path; the given text where resolution failed
    int exists;         // set by the listing
    int count;          // repositories the listing recorded below it
    int truncated;      // the listing's walk stopped at the folder limit
};

extern Root g_roots[ROOT_MAX];
extern int g_root_count;

// Copies at most size - 1 bytes of `src` (null counts as empty) into `dst`
// and always terminates it; a null `dst` does nothing.
void str_copy(char *dst, size_t size, const char *src);

// Empties the root table and fills it from the environment and the defaults.
void collect_roots();
// Adds the roots listed in QUARLO_ROOTS, in the order written.
void roots_from_env();
// Adds one root; ignores null, empty, duplicate texts and a ninth root.
void root_add(const char *path);

// The text a requested path is matched against: `resolved`, else `root`.
const char *root_match_text(const Root *r);

// Index of the first root whose matching text is a prefix of `full` followed
// by the end of the text, '/' or '\'; -1 when none.
int root_index_for(const char *full);

// The one gate for a repository path from a client. Returns 1 and writes the
// normalised full path to `out` (at least 1400 bytes) when `path` lies in or
// is an allowlisted root and holds ".git"; otherwise 0 and `out` is untouched.
int path_allowed(const char *path, char *out);

// The part of `path` after its last '/' or '\' (the whole path without one).
const char *base_name(const char *path);

// Enters every working copy found below `dir` into the repository table.
// `dirs` counts the folders entered for one root; `stop` becomes 1 when the
// folder limit ended the walk.
void walk_dir(const char *dir, const char *root, int depth, int *dirs, int *stop);
