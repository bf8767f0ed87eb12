// A git that hangs in one repository holds up only that repository's query
// when the listing runs its queries in parallel.
#include "harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>

namespace {

TEST(ListingJobs, HangingGitDelaysOnlyItsOwnRepository) {
    TempDir base;
    const std::string root = base.sub("root");
    for (const char *name : {"a", "b", "c", "hang", "d", "e"}) {
        sh("git init -q " + shq(root + "/" + name));
        write_file(root + "/" + name + "/f", "x");
        git(root + "/" + name, "add f");
        commit_at(root + "/" + name, std::string("subject ") + name, 1700000000);
    }
    // The stand-in runs the real git except for `status` in the "hang"
    // repository, where it records its pid and sleeps past every limit.
    const std::string real_git = sh("command -v git");
    const std::string bin = base.sub("bin");
    write_file(bin + "/git", "#!/bin/sh\n"
                             "if [ \"$2\" = " +
                                 shq(root + "/hang") +
                                 " ] && [ \"$3\" = status ]; then\n"
                                 "  echo $$ >" +
                                 shq(base.sub("pid")) +
                                 "\n"
                                 "  exec sleep 600\n"
                                 "fi\n"
                                 "exec " +
                                 real_git.substr(0, real_git.size() - 1) + " \"$@\"\n");
    sh("chmod +x " + shq(bin + "/git"));

    CgiRequest req;
    req.query = "action=repos";
    req.path_prefix = bin;
    req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root}, {"QUARLO_JOBS", "3"}};
    auto start = std::chrono::steady_clock::now();
    CgiResult r = run_cgi_ok(req);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("listing with one hanging status: %.1f s\n", seconds);

    std::string err;
    Json j = parse_json(r.body, &err);
    ASSERT_EQ(err, "") << r.body;
    ASSERT_EQ(j["count"].num(), 6);
    for (size_t i = 0; i < j["repos"].size(); i++) {
        const Json &repo = j["repos"][i];
        SCOPED_TRACE(repo["name"].str());
        // Every query completed. The repository whose git hung says so, and
        // its query ran no further command after the stopped one.
        bool hung = repo["name"].str() == "hang";
        EXPECT_EQ(repo["last_commit"]["subject"].str(),
                  hung ? "" : "subject " + repo["name"].str());
        EXPECT_EQ(repo["branch"].str(), hung ? "" : "main");
        EXPECT_EQ(repo["error"].str(), hung ? "git did not answer within 20 s" : "");
    }
    // The stopped git is gone, together with what it ran.
    std::string pid = read_file(base.sub("pid"));
    ASSERT_FALSE(pid.empty());
    EXPECT_NE(kill(std::stoi(pid), 0), 0);
}

} // namespace
