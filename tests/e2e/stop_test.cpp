// The program stopped by a signal in the middle of a listing: the git
// children it runs (each in a session of its own, out of reach of a signal
// to the program's group) end with it, together with what they started.
#include "harness.h"
#include "unit_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <set>
#include <sstream>

namespace {

std::set<pid_t> pids_in(const std::string &file) {
    std::set<pid_t> pids;
    std::istringstream in(read_file(file));
    for (long pid; in >> pid;) pids.insert((pid_t)pid);
    return pids;
}

// Gives the test process (and so the program it starts) the default action
// for `sig` while it lives: a signal ignored at the start stays ignored in
// the program, and a test run in the background may have SIGINT ignored.
class DefaultAction {
  public:
    explicit DefaultAction(int sig) : sig_(sig) { old_ = signal(sig, SIG_DFL); }
    ~DefaultAction() { signal(sig_, old_); }

  private:
    int sig_;
    void (*old_)(int);
};

const int JOBS = 8;

TEST(Stop, SignalEndsEveryRunningGitWithWhatItStarted) {
    TempDir base;
    const std::string root = base.sub("root");
    for (int i = 0; i < 2 * JOBS; i++) sh("git init -q " + shq(root + "/r" + std::to_string(i)));

    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        DefaultAction dfl(sig);
        // The stand-in git says its version; in a repository it starts a
        // helper in its group, records both, and hangs. The last of the
        // listing's JOBS gits to start stops the program, while every query
        // has its git running.
        const std::string pids = base.sub("pids-" + std::to_string(sig));
        const std::string bin = base.sub("bin-" + std::to_string(sig));
        write_file(bin + "/git",
                   "#!/bin/sh\n"
                   "[ \"$1\" = --version ] && { echo 'git version 2.39.5'; exit 0; }\n"
                   "sleep 300 &\n"
                   "echo $$ $! >>" +
                       shq(pids) +
                       "\n"
                       "[ $(wc -l <" +
                       shq(pids) + ") -ge " + std::to_string(JOBS) + " ] && kill -" +
                       std::to_string(sig) +
                       " $PPID\n"
                       "wait\n",
                   0755);

        CgiRequest req;
        req.query = "action=repos";
        req.path_prefix = bin;
        req.timeout_seconds = 60;
        req.env = {{"QUARLO_ONLY_ROOTS", "1"},
                   {"QUARLO_ROOTS", root},
                   {"QUARLO_JOBS", std::to_string(JOBS)}};
        auto start = std::chrono::steady_clock::now();
        CgiResult r = run_cgi(req);
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

        // Ended by the signal itself, long before any git's own limit.
        EXPECT_EQ(r.exit_status, 128 + sig) << r.err;
        EXPECT_LT(seconds, 15.0);
        std::set<pid_t> started = pids_in(pids);
        EXPECT_GE(started.size(), (size_t)(2 * JOBS));
        for (pid_t pid : started) {
            EXPECT_TRUE(unit::gone_soon(pid)) << "still running: " << pid;
            if (!unit::process_gone(pid)) kill(pid, SIGKILL);
        }
    }
}

// Killed outright (SIGKILL: no handler runs), the program still leaves no
// git behind: each git it started dies with it. The stand-in git hangs in
// place (exec, so the hanging process is the git the program started); the
// last of the listing's gits to start kills the program.
TEST(Stop, KilledProgramLeavesNoGit) {
    TempDir base;
    const std::string root = base.sub("root");
    for (int i = 0; i < JOBS; i++) sh("git init -q " + shq(root + "/r" + std::to_string(i)));
    const std::string pids = base.sub("pids"), bin = base.sub("bin");
    write_file(bin + "/git",
               "#!/bin/sh\n"
               "[ \"$1\" = --version ] && { echo 'git version 2.39.5'; exit 0; }\n"
               "echo $$ >>" +
                   shq(pids) + "\n[ $(wc -l <" + shq(pids) + ") -ge " + std::to_string(JOBS) +
                   " ] && kill -KILL $PPID\n"
                   "exec sleep 300\n",
               0755);
    CgiRequest req;
    req.query = "action=repos";
    req.path_prefix = bin;
    req.timeout_seconds = 60;
    req.env = {
        {"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root}, {"QUARLO_JOBS", std::to_string(JOBS)}};
    CgiResult r = run_cgi(req);
    EXPECT_EQ(r.exit_status, 128 + SIGKILL) << r.err;
    std::set<pid_t> started = pids_in(pids);
    EXPECT_EQ(started.size(), (size_t)JOBS);
    for (pid_t pid : started) {
        EXPECT_TRUE(unit::gone_soon(pid)) << "still running: " << pid;
        if (!unit::process_gone(pid)) kill(pid, SIGKILL);
    }
}

} // namespace
