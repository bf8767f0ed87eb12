// The status query with the real git on a folder that is no repository:
// git's error text must not be read as data, and it is the record's error.
#if !defined(_WIN32)
#include "repo/repo.h"
#include "git/runner/runner.h"

#include "unit_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(QueryRepo, FailingGitLeavesTheStatusZeroAndSaysWhy) {
    unit::TempDir tmp;
    // git runs there and fails with a message (on standard error, apart
    // from its answer) that would count as a stash line.
    const char *stash[] = {"stash", "list", "--format=%gd", nullptr};
    Buf out, err;
    buf_init(&out, RUN_OUTPUT_MAX);
    buf_init(&err, RUN_OUTPUT_MAX);
    EXPECT_GT(run_git(tmp.path().c_str(), stash, &out, RUN_LIMIT_S, nullptr, &err), 0);
    EXPECT_EQ(out.len, 0u);
    EXPECT_NE(strstr(err.data, "fatal"), nullptr) << err.data;
    buf_free(&out);
    buf_free(&err);

    for (int mode : {MODE_VERSION_ONCE, MODE_STASH_LIST}) {
        SCOPED_TRACE(mode);
        Repo r;
        memset(&r, 0, sizeof r);
        strcpy(r.path, tmp.path().c_str());
        query_repo(&r, mode);
        Repo zero;
        memset(&zero, 0, sizeof zero);
        strcpy(zero.path, r.path);
        strcpy(zero.error, "fatal: not a git repository (or any of the parent directories): .git");
        // Field by field for a readable failure, then every byte.
        EXPECT_STREQ(r.branch, "");
        EXPECT_STREQ(r.remote, "");
        EXPECT_EQ(r.stash, 0);
        EXPECT_EQ(r.dirty, 0);
        EXPECT_EQ(r.no_upstream, 0);
        EXPECT_STREQ(r.last_hash, "");
        EXPECT_STREQ(r.error, zero.error);
        EXPECT_EQ(memcmp(&r, &zero, sizeof r), 0);
    }
}

} // namespace
#endif
