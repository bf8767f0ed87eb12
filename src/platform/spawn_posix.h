// Starting a child process on Linux, shared by the program's runner and the
// local host (which links this file too).
#pragma once

#include <sys/types.h>

// How spawn_child sets up the child.
struct SpawnSetup {
    const char *const *argv; // argv[0] names the program; null-terminated
    const char *const *envp; // "NAME=value", null-terminated
    int search_path;         // find argv[0] on PATH (else it is a path)
    int out_fd;              // becomes standard output
    int err_fd;              // becomes standard error; -1 keeps the parent's
    int new_session;         // 1: a session of its own; 0: a process group of its own
};

// Starts the child with standard input from /dev/null, an empty signal mask
// and the default action for SIGPIPE, SIGINT, SIGTERM and SIGHUP (whatever
// the parent ignores or catches), as a process-group leader so that it can
// be ended with every helper it starts. Returns 0 with *pid set, or the error
// number; a program that cannot be executed is such an error, never a child
// that exits 127 (the failed exec is reported through a close-on-exec pipe).
// With `die_with_parent` the child gets SIGKILL when the thread that started
// it ends (however the process ends, even by SIGKILL): the caller keeps that
// thread alive for as long as the child runs. A program found on PATH is
// searched in the parent's PATH.
int spawn_child(const SpawnSetup *setup, pid_t *pid, int die_with_parent = 0);
