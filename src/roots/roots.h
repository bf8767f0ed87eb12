// The allowlisted root folders, the gate for client paths, and discovery.
#pragma once

#include "base/sizes.h"
#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// One allowlisted folder.
struct Root {
    char root[ROOT_TEXT_SIZE]; // as given (environment item or default); a longer one is dropped
    char resolved[ROOT_TEXT_SIZE]; // its full path ("." and ".." folded, relative made
                                   // absolute); the given text where resolution failed.
                                   // The listing names the root so, and every path
                                   // below it begins with it.
    char start[ROOT_TEXT_SIZE];    // `resolved` without final separators (a volume's
                                   // root keeps its own: "/", "C:\"): the folder the
                                   // walk starts from, and the path of a root that is
                                   // itself a working copy
    int exists;                    // set by the listing
    int count;                     // repositories the listing recorded below it
    int truncated;                 // the listing's walk stopped at the folder limit or left
                                   // repositories out (full table, path too long)
    int depth_limited;             // folders at the walk's depth limit hold folders not searched
};

// The allowlisted roots of one run, in the order given.
struct Roots {
    Root list[ROOT_MAX];
    int count = 0;
};

// Empties `roots` and fills it from the environment and the defaults.
void collect_roots(Roots *roots);
// Adds the roots listed in QUARLO_ROOTS, in the order written.
void roots_from_env(Roots *roots);
// Adds one root; ignores null, empty, duplicate texts and a ninth root.
void root_add(Roots *roots, const char *path);

// The text a requested path is matched against: `resolved`, else `root`.
const char *root_match_text(const Root *r);

// The one gate for a repository path from a client, checked against `roots`.
// A path is accepted exactly
// where the listing's walk would find it: below a root (compared as the
// system compares paths) by at most the walk's depth, through folders the
// walk enters (no name it skips, no working copy on the way, no link it
// refuses), at a working copy whose path fits ALLOWED_PATH_MAX. A ".."
// component refuses it. Returns 1, writes the path as the listing spells it
// (the root's `start`, then each name as the folder holds it; where the path
// passed a link, the spelling under which the listing lists that folder:
// its first root, the fewest links, the shortest path) to `out`
// (FULL_PATH_SIZE bytes) and the index of the root that admitted it to
// *root (when `root` is not null); otherwise 0 and nothing is written.
int path_allowed(const Roots *roots, const char *path, char *out, int *root);

// The part of `path` after its last separator ('/', and on Windows '\'; the
// whole path without one).
const char *base_name(const char *path);

// One working copy that discovery found.
struct FoundRepo {
    std::string path;
    PlatFileId id; // the folder's identity, when has_id
    int has_id;
    int links; // links (junctions) passed on the way down from the root
};

// What discovery found below the roots, and how the walk of one root went.
// The listing walks its roots one after another with the same Walk
// (walk_next_root).
struct Walk {
    std::vector<FoundRepo> found; // those of earlier roots included
    int cap = 1;                  // entries stored at most: the table's ceiling
    int dirs_max = WALK_DIRS_MAX; // folders entered per root at most
    int first = 0;                // the first entry of the root being walked
    int dirs = 0;                 // folders counted so far
    int stop = 0;                 // 1 once the folder limit ended the walk
    int dropped = 0;              // working copies left out (`cap` reached, path longer
                                  // than ALLOWED_PATH_MAX) and folders not searched because
                                  // their path is too long or the system cannot take it
                                  // or its name
    int deeper = 0;               // 1 when folders at the depth limit hold folders not searched
    const char *top = nullptr;    // the root being walked (set by walk_dir)
    const char *const *along = nullptr; // null: the whole tree; else only the folders
                                        // these names lead to, one per level
    int along_count = 0;                // names in `along`
    // The entry of `found` for each folder identity (device or volume, then
    // inode or file index), so that a folder reached again is found at once.
    std::map<std::pair<uint64_t, uint64_t>, size_t> by_id;
};

// Searches the root folder `dir` for working copies and stores them in `w`,
// breadth first: every folder one level below the root before any two levels
// below it, and so on, so that the folder limit is spent on the shallow
// folders first and a big folder cannot hide a working copy beside it.
// Every folder counted against the limit is looked into (a working copy
// there is found); once the limit is spent no further folder is listed.
// A working copy is never searched further. A folder that is already stored
// (the same folder reached again through a link, or below an earlier root)
// is stored once: under the earlier root, else by the path through fewer
// links. A link to a folder on the way down from the root, to the root or
// to one of its parents is not entered: nothing above the root is listed.
void walk_dir(const char *dir, Walk *w);

// Walks `root` as the next root of the listing's walk `w`: its entries
// start at `w->first`, its counters start at 0, and a root folder that does
// not exist is not walked. Returns 1 when the folder exists.
int walk_next_root(const Root *root, Walk *w);

// 1 when the walk of the root folder `root` finds a working copy at the
// names of `rest` (components separated as in a path; none for the root
// itself), by the same rules as the listing's walk, and writes its path as
// the walk spells it to `out` (FULL_PATH_SIZE bytes) and the links passed on
// the way to *links (when not null); else 0, `out` untouched.
int walk_reaches(const char *root, const char *rest, char *out, int *links = nullptr);
