// Helpers of the unit tests on Linux: the shared file and environment helpers
// (tests/support/files.h) and a few of their own for scripts and processes.
#pragma once

#include "files.h"

#include <string>

#if !defined(_WIN32)
#include <cerrno>
#include <chrono>
#include <signal.h>
#include <sys/types.h>
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
// true when it is.
inline bool gone_soon(pid_t pid) {
    for (int i = 0; i < 250; i++) {
        if (process_gone(pid)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

} // namespace unit
#endif
