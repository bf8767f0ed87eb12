// Every fixed size of the program, named once. A buffer or a table whose size
// is given here is declared with its name, and a function that fills a
// caller's buffer takes the name in its contract (or the size as a parameter,
// checked). Changing one of these changes every place that depends on it.
#pragma once

// ---- paths ------------------------------------------------------------------

// The longest repository path the program holds, in bytes; a longer one is
// refused or, found by discovery, left out and said through its root.
#define ALLOWED_PATH_MAX 1023
// A repository path with its terminator (a record's path, a requested path).
#define PATH_SIZE (ALLOWED_PATH_MAX + 1)
// A full path while it is resolved or walked: room for a path past
// ALLOWED_PATH_MAX (a longer folder is walked to tell that it is too long)
// and for a root's "\\?\" form on Windows.
#define FULL_PATH_SIZE 1400
// A root as given and as resolved: roots are folders near the top of a disk.
#define ROOT_TEXT_SIZE 768
// One name in a folder: 255 UTF-16 units become at most 765 UTF-8 bytes on
// Windows, 255 bytes on Linux.
#define DIR_NAME_SIZE 1024
// A folder and one of its names while a link is examined (POSIX).
#define CHILD_PATH_SIZE (FULL_PATH_SIZE + DIR_NAME_SIZE + 176)
// A path in lexical resolution (POSIX: the current folder and the path joined).
#define RESOLVE_PATH_SIZE 8192
// A path with every link resolved, as git sees its working folder.
#define REAL_PATH_SIZE 4096
// A path in UTF-16 (Windows), long paths included.
#define WIDE_PATH_SIZE 4096

// ---- tables -----------------------------------------------------------------

// Allowlisted roots: a handful of folders, more are ignored.
#define ROOT_MAX 8
// Repositories a listing holds at most: far beyond what one person keeps
// (a mirror of a whole organisation included). The table grows with what the
// walk finds; at the ceiling its records take about 100 MB.
#define REPO_MAX 20000
// Folders the walk enters below one root at most: what a home folder holds,
// package caches and build trees included. It bounds the walk's time (each
// folder is listed and probed for ".git": seconds for the whole budget with
// a warm cache) and its memory (the paths of the folders queued for the next
// level, some tens of megabytes at most).
#define WALK_DIRS_MAX 500000
// Git queries that run at once at most (QUARLO_JOBS is capped to it).
#define QUERY_JOBS_MAX 64
// Children the POSIX layer tracks at once for its signal handler: at least
// QUERY_JOBS_MAX.
#define CHILD_SLOTS 256

// ---- a record's texts -------------------------------------------------------

#define REPO_NAME_SIZE 256   // a path's last component
#define BRANCH_SIZE 256      // a branch name
#define UPSTREAM_SIZE 512    // an upstream ref ("origin/main")
#define URL_SIZE 512         // a remote URL, its credentials taken out
#define HASH_SIZE 65         // an object name: 64 hex digits (sha-256) and terminator
#define SHORT_HASH_SIZE 12   // the listing's short hash: 11 digits
#define SUBJECT_SIZE 300     // a commit's subject, cut
#define ERROR_TEXT_SIZE 1200 // a record's error line, at most 1199 bytes
#define OPERATION_SIZE 16    // an operation's name: "cherry-pick" is the longest
#define UTC_TEXT_SIZE 40     // "YYYY-MM-DDTHH:MM:SSZ" with room for any year
#define PASSWORD_SIZE 256    // the node password as sent
#define ACTION_NAME_SIZE 64  // the action and format parameters

// ---- the terminal commands --------------------------------------------------

#define UTF8_CHAR_SIZE 4      // the longest UTF-8 sequence of one character
#define PROGRESS_TEXT_SIZE 96 // the fetch's progress line on the terminal
#define AGE_TEXT_SIZE 16      // an age in the terminal table ("11mo", "120y")
#define STATE_TEXT_SIZE 1600  // the state cell of the terminal table, an error line included

// ---- git output and command lines ------------------------------------------

#define STATUS_LINE_SIZE 1200 // one header line of git status, at most 1199 bytes
#define QUOTED_ARG_SIZE 1200  // one quoted Windows argument, quotes included
#define CMDLINE_SIZE 4096     // a Windows command line
#define RUN_GIT_ARGS_MAX 11   // arguments after `git -C dir`
#define SPAWN_ARGS_MAX 64     // arguments of a child (POSIX)
#define READ_CHUNK_SIZE 4096  // bytes read from a child at once
#define ENV_NAME_SIZE 256     // a variable name git lists as local (git has none longer)
// The stack a POSIX child runs on between its start and exec: its set-up
// calls only, a few frames deep.
#define CHILD_STACK_BYTES (256 * 1024)
#define CANDIDATE_PATH_MAX 4096 // a folder of PATH with a program's name (longer: passed over)
#define FORMAT_LOCAL_SIZE 2048  // a formatted text built on the stack first
#define BUF_INITIAL 4096        // a buffer's first block

// ---- growable texts (a Buf's ceiling) ---------------------------------------

// A run's output never grows past this many bytes (64 MiB), its text and
// terminator together: a child whose output would not fit is stopped.
#define RUN_OUTPUT_MAX (64ull << 20)
// A JSON document or another text the program builds: the listing at
// REPO_MAX repositories is about 12 megabytes, so this is never reached but
// through a fault, which then answers 500 instead of a document cut short.
#define DOC_MAX (64ull << 20)

// ---- the object store (git/objects/) ---------------------------------------

// The largest object (a commit, or a delta or base on its way) read from a
// repository's object store: commits are a few hundred bytes; a larger one is
// left to git, which keeps the memory of many queries at once small.
#define OBJECT_SIZE_MAX (1u << 20)
// Delta bases followed at most for one object (git's default chain is at
// most 50 deep); a longer chain, or a loop in a corrupt pack, is left to git.
#define DELTA_DEPTH_MAX 100
// Packs of one store (git packs again at 50); the rest are not searched.
#define PACKS_MAX 256
// Object folders searched: the repository's and those its alternates name.
#define OBJECT_DIRS_MAX 8
// Compressed bytes read from a file at once while inflating.
#define INFLATE_CHUNK_SIZE 16384
// A small text file of a git folder read whole (alternates, config).
#define SMALL_FILE_MAX 65536
// A pack's file name ("pack-" and 64 hex digits, ".idx"), with room.
#define PACK_NAME_SIZE 128
