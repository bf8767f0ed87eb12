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

// The one gate for a repository path from a client, checked against the root
// table as the caller built it (collect_roots). Returns 1 and writes the
// normalised full path to `out` (at least 1400 bytes) when `path` lies in or
// is an allowlisted root and holds ".git"; otherwise 0 and `out` is untouched.
int path_allowed(const char *path, char *out);

// The part of `path` after its last '/' or '\' (the whole path without one).
const char *base_name(const char *path);

// What discovery found below one root: the paths of the working copies, in
// the caller's array, and how the walk went.
#define FOUND_PATH_SIZE 1400 // as long as the walk's own child paths
struct Walk {
    char (*found)[FOUND_PATH_SIZE]; // the caller's array of `cap` paths
    int cap;
    int count; // paths stored; a working copy found when the array is full is
               // not stored, and the walk goes on
    int dirs;  // folders counted so far
    int stop;  // 1 once the folder limit ended the walk
};

// Searches `dir` (at `depth` below its root) for working copies and stores
// their paths in `w`. A working copy is never searched further.
void walk_dir(const char *dir, int depth, Walk *w);
