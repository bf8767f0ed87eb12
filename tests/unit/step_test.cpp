// The vocabulary of states and steps: which state of a record matters most,
// the step it asks for, and which states need the user.
#include "repo/repo.h"
#include "text/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const long long NOW = 1700000000;
const long long DAY = 86400;

Repo record() {
    Repo r;
    repo_init(&r, "/src/app", "app", "/src");
    str_copy(r.branch, sizeof r.branch, "topic");
    return r;
}

std::string step(const Repo &r) {
    char out[STEP_TEXT_SIZE];
    repo_step(&r, NOW, out, sizeof out);
    return out;
}

// Each case adds one fact to a record that already holds every fact below it
// in urgency: the new fact's state must win, with its own step.
TEST(Vocabulary, TheMostUrgentStateWinsWithItsStep) {
    struct Case {
        void (*set)(Repo *);
        const char *state;
        const char *step;
        int needs_you;
    } cases[] = {
        // An upstream fetched three days ago: nothing to do.
        {[](Repo *r) {
             str_copy(r->upstream, sizeof r->upstream, "origin/topic");
             r->fetched_at = NOW - 3 * DAY;
         },
         "clean", "Nothing to do", 0},
        {[](Repo *r) { r->no_upstream = 1; }, "no_upstream", "No upstream: git push -u", 0},
        {[](Repo *r) { r->unborn = 1; }, "unborn", "No commits yet", 0},
        {[](Repo *r) { r->stash = 1; }, "stashed", "Apply or drop 1 stash", 0},
        {[](Repo *r) { r->detached = 1; }, "detached", "Detached HEAD: check out a branch", 0},
        {[](Repo *r) { r->fetched_at = NOW - 12 * DAY - 3600; }, "stale", "Fetched 12 days ago", 0},
        {[](Repo *r) { r->no_remote = 1; }, "no_remote", "No remote: everything is only here", 0},
        {[](Repo *r) { r->behind = 1; }, "behind", "Pull 1 commit", 0},
        {[](Repo *r) { r->ahead = 2; }, "unpushed", "Push 2 commits", 0},
        {[](Repo *r) { r->unpushed = 5, r->unpushed_branches = 2; }, "unpushed",
         "Push 5 commits (2 branches)", 0},
        {[](Repo *r) { r->dirty = 4; }, "changes", "Commit or stash 4 changes", 0},
        {[](Repo *r) { r->upstream_gone = 1; }, "gone",
         "Upstream deleted: switch branch or delete topic", 1},
        {[](Repo *r) { r->conflicted = 2; }, "conflicts", "Resolve 2 conflicts", 1},
        {[](Repo *r) { str_copy(r->operation, sizeof r->operation, "merge"); }, "operation",
         "Resolve 2 conflicts, then git merge --continue", 1},
        {[](Repo *r) { str_copy(r->error, sizeof r->error, "fatal: index file corrupt"); },
         "unreadable", "Unreadable: fatal: index file corrupt", 1},
    };
    Repo r = record();
    int rank = STATE_COUNT;
    for (const Case &c : cases) {
        c.set(&r);
        int state = repo_state(&r, NOW);
        EXPECT_STREQ(repo_state_key(state), c.state) << c.step;
        EXPECT_EQ(step(r), c.step);
        EXPECT_EQ(repo_needs_user(&r), c.needs_you) << c.step;
        // Urgency never goes down as facts are added.
        EXPECT_LE(state, rank) << c.step;
        rank = state;
    }
    // An upstream never fetched: its figures say nothing.
    Repo never = record();
    str_copy(never.upstream, sizeof never.upstream, "origin/topic");
    EXPECT_STREQ(repo_state_key(repo_state(&never, NOW)), "stale");
    EXPECT_EQ(step(never), "Never fetched");
}

// The steps of an operation that stopped: with conflicts, without, and the
// operations with steps of their own.
TEST(Vocabulary, AnOperationSaysHowToGoOn) {
    struct Case {
        const char *operation, *branch;
        int conflicted;
        const char *step;
    } cases[] = {
        {"rebase", "topic", 1, "Resolve 1 conflict, then git rebase --continue"},
        {"rebase", "topic", 0, "Rebase of topic stopped: continue or abort"},
        {"rebase", "", 0, "Rebase stopped: continue or abort"},
        {"merge", "", 0, "Merge stopped: continue or abort"},
        {"cherry-pick", "", 3, "Resolve 3 conflicts, then git cherry-pick --continue"},
        {"revert", "", 0, "Revert stopped: continue or abort"},
        {"am", "", 0, "git am stopped: continue or abort"},
        {"bisect", "", 0, "Bisect in progress: finish with git bisect reset"},
    };
    for (const Case &c : cases) {
        Repo r = record();
        str_copy(r.operation, sizeof r.operation, c.operation);
        str_copy(r.operation_branch, sizeof r.operation_branch, c.branch);
        r.conflicted = c.conflicted;
        EXPECT_EQ(step(r), c.step) << c.operation;
        EXPECT_TRUE(repo_needs_user(&r)) << c.operation;
    }
}

TEST(Vocabulary, AgesInWords) {
    struct Case {
        long long ago;
        const char *text;
    } cases[] = {{0, "just now"},
                 {59, "just now"},
                 {60, "1 minute ago"},
                 {3599, "59 minutes ago"},
                 {3600, "1 hour ago"},
                 {86399, "23 hours ago"},
                 {86400, "1 day ago"},
                 {12 * DAY + 3600, "12 days ago"},
                 {30 * DAY, "1 month ago"},
                 {365 * DAY, "1 year ago"},
                 {3 * 365 * DAY, "3 years ago"},
                 {-500, "just now"}};
    for (const Case &c : cases) {
        char out[64];
        age_words(NOW - c.ago, NOW, out, sizeof out);
        EXPECT_STREQ(out, c.text) << c.ago;
    }
}

// The listing's order puts every repository that needs the user first.
TEST(Vocabulary, TheListingOrderPutsThoseThatNeedYouFirst) {
    static Repo repos[4];
    for (Repo &r : repos) r = record();
    repos[0].dirty = 9, repos[0].last_ct = NOW;       // changes, newest
    repos[1].upstream_gone = 1, repos[1].last_ct = 1; // gone, oldest
    repos[2].last_ct = NOW - 1;                       // clean
    repos[3].conflicted = 1;                          // conflicts
    qsort(repos, 4, sizeof repos[0], repo_cmp);
    EXPECT_EQ(repos[0].conflicted, 1);
    EXPECT_EQ(repos[1].upstream_gone, 1);
    EXPECT_EQ(repos[2].dirty, 9);
}

} // namespace
