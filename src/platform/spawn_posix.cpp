#include "platform/spawn_posix.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <spawn.h>

int spawn_child(const SpawnSetup *setup, pid_t *pid) {
    posix_spawn_file_actions_t fa;
    posix_spawnattr_t attr;
    int rc = posix_spawn_file_actions_init(&fa);
    if (rc != 0) return rc;
    rc = posix_spawnattr_init(&attr);
    if (rc != 0) {
        posix_spawn_file_actions_destroy(&fa);
        return rc;
    }

    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    static const int DEFAULT_SIGNALS[] = {SIGPIPE, SIGINT, SIGTERM, SIGHUP};
    for (int sig : DEFAULT_SIGNALS) sigaddset(&defaults, sig);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
#ifdef POSIX_SPAWN_SETSID
    flags |= setup->new_session ? POSIX_SPAWN_SETSID : POSIX_SPAWN_SETPGROUP;
#else
    flags |= POSIX_SPAWN_SETPGROUP;
#endif
    // Each set-up step must hold: a child started without its redirections
    // or its own process group would write into the wrong place or escape
    // the kill at a time-out.
    if (rc == 0) rc = posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&fa, setup->out_fd, 1);
    if (rc == 0 && setup->err_fd >= 0) rc = posix_spawn_file_actions_adddup2(&fa, setup->err_fd, 2);
    if (rc == 0) rc = posix_spawnattr_setsigmask(&attr, &none);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(&attr, &defaults);
    if (rc == 0) rc = posix_spawnattr_setpgroup(&attr, 0);
    if (rc == 0) rc = posix_spawnattr_setflags(&attr, flags);
    if (rc == 0) {
        char *const *argv = (char *const *)setup->argv;
        char *const *envp = (char *const *)setup->envp;
        rc = setup->search_path ? posix_spawnp(pid, setup->argv[0], &fa, &attr, argv, envp)
                                : posix_spawn(pid, setup->argv[0], &fa, &attr, argv, envp);
    }
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    return rc;
}
