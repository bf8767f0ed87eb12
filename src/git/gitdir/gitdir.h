// Finding a working copy's git folders by reading the file system as git
// itself does, without running git: `.git` is a folder, or a file whose
// `gitdir: PATH` line names the folder; a linked worktree's folder has a
// `commondir` file naming the folder it shares with the main copy.
#pragma once

#include "base/sizes.h"

// A working copy's git folders as git itself finds them (DESIGN.md "Finding
// a repository's git folder without git").
struct GitDirs {
    // The working copy's own git folder (a linked worktree's own folder).
    char git[FULL_PATH_SIZE];
    // Where objects, refs, config live (== git unless a commondir file names
    // another).
    char common[FULL_PATH_SIZE];
};

// Returns 1 with both filled; 0 when `.git` is missing, or a file that cannot be read or is not
// understood.
//
// Not understood: a `.git` file that does not start with "gitdir: ", that is
// longer than a path, or whose folder (or the folder its `commondir` names)
// does not exist; a path that does not fit GitDirs. A relative `gitdir:` or
// `commondir` path is read from the folder holding the file, and such a
// folder is given as its real path (links resolved), as git gives it.
int gitdir_find(const char *worktree, GitDirs *out);
