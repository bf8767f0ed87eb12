// The allowlisted root folders, the gate for client paths, and discovery.
#pragma once

#include "base/sizes.h"
#include "platform/platform.h"

#include <cstddef>

// One allowlisted folder.
struct Root {
    char root[ROOT_TEXT_SIZE]; // as given (environment item or default); a longer one is dropped
    char resolved[ROOT_TEXT_SIZE]; // its full path; the given text where resolution failed
    int exists;                    // set by the listing
    int count;                     // repositories the listing recorded below it
    int truncated;                 // the listing's walk stopped at the folder limit or left
                                   // repositories out (full table, path too long)
    int depth_limited;             // folders at the walk's depth limit hold folders not searched
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
// normalised full path to `out` (FULL_PATH_SIZE bytes) when `path` lies in or
// is an allowlisted root, holds ".git", has no ".." component and its full
// path is at most ALLOWED_PATH_MAX bytes; otherwise 0 and `out` is untouched.
int path_allowed(const char *path, char *out);

// The part of `path` after its last separator ('/', and on Windows '\'; the
// whole path without one).
const char *base_name(const char *path);

// Writes `dir` and `name` joined by the platform's separator to `out`
// (`size` bytes); no separator is added where `dir` ends in one ("C:\",
// "/srv/code/"): a "\\?\" path would read a doubled one as an empty name.
// Returns 1, or 0 when the whole text does not fit (then `out` holds a cut
// text that must not be used).
int path_join(char *out, size_t size, const char *dir, const char *name);

// One working copy that discovery found.
struct FoundRepo {
    char path[PATH_SIZE];
    PlatFileId id; // the folder's identity, when has_id
    int has_id;
    int links; // links (junctions) passed on the way down from the root
};

// What discovery found below the roots, and how the walk of one root went.
// The listing walks its roots one after another with the same `found` array,
// setting `first` to `count` and the counters to 0 before each root.
struct Walk {
    FoundRepo *found; // the caller's array of `cap` entries
    int cap;
    int count;   // entries stored, those of earlier roots included
    int first;   // the first entry of the root being walked
    int dirs;    // folders counted so far
    int stop;    // 1 once the folder limit ended the walk
    int dropped; // working copies left out (array full, path longer than
                 // ALLOWED_PATH_MAX) and folders not searched because their
                 // path is too long or the system cannot take it or its name
    int deeper;  // 1 when folders at the depth limit hold folders not searched
};

// Searches `dir` (at `depth` below its root) for working copies and stores
// them in `w`. A working copy is never searched further. A folder that is
// already stored (the same folder reached again through a link, or below an
// earlier root) is stored once: under the earlier root, else by the path
// through fewer links. A link back to a folder that encloses it is not
// entered.
void walk_dir(const char *dir, int depth, Walk *w);
