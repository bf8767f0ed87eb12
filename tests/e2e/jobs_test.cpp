// A git that hangs in one repository holds up only that repository's query
// when the listing runs its queries in parallel.
#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <sstream>

namespace {

// A root of committed repositories named `names`, listed through a stand-in
// git that runs the real one except for `status` in a repository whose name
// begins with "hang": there it writes its pid and start time (seconds) to
// <base>/hung-<name> and sleeps past every limit.
struct HangingListing {
    TempDir base;
    std::string root = base.sub("root");
    CgiRequest req;

    HangingListing(std::initializer_list<const char *> names, const char *jobs) {
        for (const char *name : names) {
            sh("git init -q " + shq(root + "/" + name));
            write_file(root + "/" + name + "/f", "x");
            git(root + "/" + name, "add f");
            commit_at(root + "/" + name, std::string("subject ") + name, 1700000000);
        }
        std::string real_git = sh("command -v git");
        real_git.pop_back();
        const std::string bin = base.sub("bin");
        write_file(bin + "/git",
                   "#!/bin/sh\n"
                   "case \"$2\" in " +
                       shq(root) +
                       "/hang*) if [ \"$3\" = status ]; then\n"
                       "  echo $$ $(date +%s.%N) >" +
                       shq(base.path()) +
                       "/hung-\"${2##*/}\"\n"
                       "  exec sleep 600\n"
                       "fi;;\n"
                       "esac\n"
                       "exec " +
                       shq(real_git) + " \"$@\"\n",
                   0755);
        req.query = "action=repos";
        req.path_prefix = bin;
        req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root}, {"QUARLO_JOBS", jobs}};
        use_git_limits(&req);
    }

    // Lists the root, EXPECTs every query completed (a hung one with its
    // error and no status from a command after the stopped one), and returns
    // the listing's wall time in seconds.
    double list_and_check(int count) {
        auto start = std::chrono::steady_clock::now();
        CgiResult r = run_cgi_ok(req);
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::string err;
        Json j = parse_json(r.body, &err);
        EXPECT_EQ(err, "") << r.body;
        EXPECT_EQ(j["count"].get<long long>(), count);
        const std::string timed_out =
            "git did not answer within " + std::to_string(git_limits().run_s) + " s";
        for (size_t i = 0; i < j["repos"].size(); i++) {
            const Json &repo = j["repos"][i];
            SCOPED_TRACE(repo["name"].get<std::string>());
            bool hung = repo["name"].get<std::string>().compare(0, 4, "hang") == 0;
            EXPECT_EQ(repo["last_commit"]["subject"].get<std::string>(),
                      hung ? "" : "subject " + repo["name"].get<std::string>());
            EXPECT_EQ(repo["branch"].get<std::string>(), hung ? "" : "main");
            EXPECT_EQ(repo["error"].get<std::string>(), hung ? timed_out : "");
        }
        return seconds;
    }

    // The pid and start time the hung status in repository `name` wrote; the
    // stopped git is gone, together with what it ran.
    double hung_start(const std::string &name) {
        std::istringstream in(read_file(base.sub("hung-" + name)));
        int pid = 0;
        double started = 0;
        in >> pid >> started;
        EXPECT_GT(pid, 0) << name << "'s status never started";
        if (pid > 0) {
            EXPECT_NE(kill(pid, 0), 0) << name << "'s status still runs";
        }
        return started;
    }
};

TEST(ListingJobs, HangingGitDelaysOnlyItsOwnRepository) {
    HangingListing l({"a", "b", "c", "hang", "d", "e"}, "3");
    std::printf("listing with one hanging status: %.1f s\n", l.list_and_check(6));
    l.hung_start("hang");
}

// Two hanging repositories and two jobs: both statuses hang at once, so the
// listing waits one limit; run one after another they would wait two, the
// second status starting a whole limit after the first.
TEST(ListingJobs, TwoHangingGitsAreWaitedForTogether) {
    HangingListing l({"hang1", "hang2"}, "2");
    double seconds = l.list_and_check(2);
    std::printf("listing with two hanging statuses: %.1f s\n", seconds);
    double apart = std::abs(l.hung_start("hang1") - l.hung_start("hang2"));
    EXPECT_LT(apart, git_limits().run_s / 2.0)
        << "the second status started " << apart << " s after the first: the queries ran one "
        << "after another";
}

} // namespace
