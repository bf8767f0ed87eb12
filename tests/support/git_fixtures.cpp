#include "git_fixtures.h"

#include "files.h"

#include <gtest/gtest.h>

namespace {

// git's home folder, shared by the test process: its .gitconfig names the
// default branch and the author, and lets a local clone use file URLs.
const std::string &git_home() {
    static testfs::TempDir home;
    static bool made = false;
    if (!made) {
        made = true;
        testfs::write_file(home.sub(".gitconfig"), "[init]\n"
                                                   "\tdefaultBranch = main\n"
                                                   "[user]\n"
                                                   "\tname = Test Author\n"
                                                   "\temail = author@example.com\n"
                                                   "[advice]\n"
                                                   "\tdetachedHead = false\n"
                                                   "[protocol \"file\"]\n"
                                                   "\tallow = always\n");
    }
    return home.path();
}

std::string describe(const std::vector<std::string> &argv) {
    std::string s;
    for (const auto &a : argv) {
        if (!s.empty()) s += ' ';
        s += shq(a);
    }
    return s;
}

} // namespace

EnvList git_env() {
    return {
        {"HOME", git_home()},
        {"GIT_CONFIG_NOSYSTEM", "1"},
        {"GIT_AUTHOR_NAME", "Test Author"},
        {"GIT_AUTHOR_EMAIL", "author@example.com"},
        {"GIT_COMMITTER_NAME", "Test Author"},
        {"GIT_COMMITTER_EMAIL", "author@example.com"},
        {"GIT_TERMINAL_PROMPT", "0"},
        {"LANG", "C"},
        {"LC_ALL", "C"},
        {"TZ", "UTC"},
    };
}

std::string sh(const std::string &cmd, const std::string &cwd) {
    ProcResult r = run_process({"/bin/sh", "-c", cmd}, cwd, git_env());
    if (r.exit_status != 0)
        ADD_FAILURE() << "command failed (" << r.exit_status << "): " << cmd << "\n" << r.err;
    return r.out;
}

std::string git_out(const std::string &dir, const std::string &args) {
    return sh("git -C " + shq(dir) + " " + args);
}

void git(const std::string &dir, const std::string &args) {
    git_out(dir, args);
}

std::string git_argv(const std::string &dir, const std::vector<std::string> &args) {
    std::vector<std::string> argv{"git", "-C", dir};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcResult r = run_process(argv, "", git_env());
    if (r.exit_status != 0)
        ADD_FAILURE() << "command failed (" << r.exit_status << "): " << describe(argv) << "\n"
                      << r.err;
    return r.out;
}

void commit_at(const std::string &dir, const std::string &msg, long long when) {
    std::string date = "@" + std::to_string(when) + " +0000";
    EnvList env = git_env();
    env.emplace_back("GIT_AUTHOR_DATE", date);
    env.emplace_back("GIT_COMMITTER_DATE", date);
    std::vector<std::string> argv{"git",           "-C",          dir,  "commit", "-q",
                                  "--allow-empty", "--no-verify", "-m", msg};
    ProcResult r = run_process(argv, "", env);
    if (r.exit_status != 0)
        ADD_FAILURE() << "commit failed (" << r.exit_status << ") in " << dir << "\n" << r.err;
}

std::string commit_raw(const std::string &dir, const std::string &message, long long when) {
    std::string tree = git_out(dir, "write-tree");
    while (!tree.empty() && tree.back() == '\n') tree.pop_back();
    ProcResult head =
        run_process({"git", "-C", dir, "rev-parse", "-q", "--verify", "HEAD"}, "", git_env());
    std::string parent = head.exit_status == 0 ? head.out : "";
    while (!parent.empty() && parent.back() == '\n') parent.pop_back();
    std::string stamp = std::to_string(when) + " +0000";
    std::string object = "tree " + tree + "\n";
    if (!parent.empty()) object += "parent " + parent + "\n";
    object += "author Test Author <author@example.com> " + stamp + "\n";
    object += "committer Test Author <author@example.com> " + stamp + "\n\n";
    object += message;
    ProcResult made = run_process(
        {"git", "-C", dir, "hash-object", "-t", "commit", "-w", "--literally", "--stdin"}, "",
        git_env(), object);
    std::string hash = made.out;
    while (!hash.empty() && hash.back() == '\n') hash.pop_back();
    if (made.exit_status != 0 || hash.empty()) {
        ADD_FAILURE() << "hash-object failed in " << dir << "\n" << made.err;
        return "";
    }
    git_argv(dir, {"update-ref", "HEAD", hash});
    return hash;
}

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return s;
}

std::string logging_git(const std::string &dir) {
    const std::string real = trimmed(sh("command -v git")), log = dir + "/runs.log";
    testfs::write_file(dir + "/git",
                       "#!/bin/sh\necho \"$*\" >>" + shq(log) + "\nexec " + shq(real) + " \"$@\"\n",
                       0755);
    return log;
}
