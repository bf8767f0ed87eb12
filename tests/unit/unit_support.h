// Helpers of the unit tests on Linux: the shared file and environment helpers
// (tests/support/files.h) and a few of their own for scripts and processes.
#pragma once

#include "files.h"

#include <string>

#if !defined(_WIN32)
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>
#include <thread>

namespace unit {

using namespace testfs;

// Writes an executable /bin/sh script.
inline void write_script(const std::string &path, const std::string &body) {
    write_file(path, "#!/bin/sh\n" + body, 0755);
}

// Replaces every "$T" in `text` with `dir`.
inline std::string with_dir(std::string text, const std::string &dir) {
    for (size_t at; (at = text.find("$T")) != std::string::npos;) text.replace(at, 2, dir);
    return text;
}

// True when no live process has this id (a zombie left for an unrelated
// parent to reap counts as gone: it runs nothing and holds no pipe).
inline bool process_gone(pid_t pid) {
    if (kill(pid, 0) != 0) return errno == ESRCH;
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

// Waits up to five seconds for `pid` to be gone (killing is asynchronous);
// true when it is. The wait is on the process's own exit, through a pidfd
// (any process, not only a child), never a fixed sleep.
inline bool gone_soon(pid_t pid) {
    int fd = (int)syscall(SYS_pidfd_open, pid, 0);
    if (fd < 0) return errno == ESRCH || process_gone(pid);
    struct pollfd p = {fd, POLLIN, 0};
    int ready;
    do ready = poll(&p, 1, 5000);
    while (ready < 0 && errno == EINTR);
    close(fd);
    return ready > 0 || process_gone(pid);
}

} // namespace unit
#endif
