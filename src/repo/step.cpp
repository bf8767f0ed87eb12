// The one vocabulary of states and next steps: for each repository the state
// that matters most and, in plain words, the step it asks for. The listing,
// the page and the terminal all say it this way.
#include "text/text.h"
#include "repo/repo.h"

#include <cstdio>
#include <cstring>

// The states by urgency: the first that applies is a repository's state.
// The first four need the user before anything else: git cannot read the
// repository, an operation stopped half way, files are in conflict, or the
// branch follows an upstream that was deleted.
static const char *const STATE_KEYS[STATE_COUNT] = {
    "unreadable", "operation", "conflicts", "gone",    "changes", "unpushed",    "behind",
    "no_remote",  "stale",     "detached",  "stashed", "unborn",  "no_upstream", "clean"};

const char *repo_state_key(int state) {
    return state >= 0 && state < STATE_COUNT ? STATE_KEYS[state] : "";
}

// Whether the ahead and behind figures are old: there is an upstream to
// compare with and it was last fetched more than STALE_AFTER_S ago, or never.
int repo_sync_stale(const Repo *r, long long now) {
    if (r->error[0] || !r->upstream[0] || r->upstream_gone) return 0;
    return r->fetched_at <= 0 || now - r->fetched_at > STALE_AFTER_S;
}

int repo_state(const Repo *r, long long now) {
    if (r->error[0]) return STATE_UNREADABLE;
    if (r->operation[0]) return STATE_OPERATION;
    if (r->conflicted > 0) return STATE_CONFLICTS;
    if (r->upstream_gone) return STATE_GONE;
    if (r->dirty > 0) return STATE_CHANGES;
    if (r->ahead > 0 || (r->unpushed > 0 && !r->no_remote)) return STATE_UNPUSHED;
    if (r->behind > 0) return STATE_BEHIND;
    if (r->no_remote) return STATE_NO_REMOTE;
    if (repo_sync_stale(r, now)) return STATE_STALE;
    if (r->detached) return STATE_DETACHED;
    if (r->stash > 0) return STATE_STASHED;
    if (r->unborn) return STATE_UNBORN;
    if (r->no_upstream) return STATE_NO_UPSTREAM;
    return STATE_CLEAN;
}

int repo_needs_user(const Repo *r) {
    // None of the states that need the user depends on the time.
    return repo_state(r, 0) <= STATE_LAST_NEEDING_USER;
}

int repo_only_here(const Repo *r) {
    // A repository git could not read may hold anything: nothing says it
    // holds no such work, so it is not left out of the answer.
    if (r->error[0]) return 1;
    return r->dirty > 0 || r->stash > 0 || r->unpushed > 0 || r->no_remote;
}

void age_words(long long then, long long now, char *out, size_t size) {
    static const struct {
        long long below, unit;
        const char *name;
    } STEPS[] = {{3600, 60, "minute"},
                 {86400, 3600, "hour"},
                 {2592000, 86400, "day"},
                 {31536000, 2592000, "month"},
                 {0, 31536000, "year"}};
    long long s = now - then;
    if (s < 60) {
        snprintf(out, size, "just now");
        return;
    }
    for (const auto &step : STEPS)
        if (step.below == 0 || s < step.below) {
            long long n = s / step.unit;
            snprintf(out, size, "%lld %s%s ago", n, step.name, n == 1 ? "" : "s");
            return;
        }
}

// "1 commit", "2 commits".
static const char *counted(int n, const char *one, const char *many, char *out, size_t size) {
    snprintf(out, size, "%d %s", n, n == 1 ? one : many);
    return out;
}

void repo_step(const Repo *r, long long now, char *out, size_t size) {
    char n[64], when[64];
    switch (repo_state(r, now)) {
    case STATE_UNREADABLE:
        snprintf(out, size, "Unreadable: %s", r->error);
        return;
    case STATE_OPERATION:
        if (strcmp(r->operation, "bisect") == 0) {
            snprintf(out, size, "Bisect in progress: finish with git bisect reset");
        } else if (r->conflicted > 0) {
            snprintf(out, size, "Resolve %s, then git %s --continue",
                     counted(r->conflicted, "conflict", "conflicts", n, sizeof n), r->operation);
        } else {
            // "Rebase of topic stopped", "Merge stopped", "git am stopped".
            char what[OPERATION_SIZE + BRANCH_SIZE + 8];
            if (strcmp(r->operation, "am") == 0)
                snprintf(what, sizeof what, "git am");
            else if (r->operation_branch[0])
                snprintf(what, sizeof what, "%c%s of %s", r->operation[0] - 'a' + 'A',
                         r->operation + 1, r->operation_branch);
            else
                snprintf(what, sizeof what, "%c%s", r->operation[0] - 'a' + 'A', r->operation + 1);
            snprintf(out, size, "%s stopped: continue or abort", what);
        }
        return;
    case STATE_CONFLICTS:
        snprintf(out, size, "Resolve %s",
                 counted(r->conflicted, "conflict", "conflicts", n, sizeof n));
        return;
    case STATE_GONE:
        snprintf(out, size, "Upstream deleted: switch branch or delete %s", r->branch);
        return;
    case STATE_CHANGES:
        snprintf(out, size, "Commit or stash %s",
                 counted(r->dirty, "change", "changes", n, sizeof n));
        return;
    case STATE_UNPUSHED: {
        // Every commit on no remote, on whichever branch; at least the
        // current branch's ahead count.
        int commits = r->unpushed > r->ahead ? r->unpushed : r->ahead;
        if (r->unpushed_branches > 1)
            snprintf(out, size, "Push %s (%d branches)",
                     counted(commits, "commit", "commits", n, sizeof n), r->unpushed_branches);
        else
            snprintf(out, size, "Push %s", counted(commits, "commit", "commits", n, sizeof n));
        return;
    }
    case STATE_BEHIND:
        snprintf(out, size, "Pull %s", counted(r->behind, "commit", "commits", n, sizeof n));
        return;
    case STATE_NO_REMOTE:
        snprintf(out, size, "No remote: everything is only here");
        return;
    case STATE_STALE:
        if (r->fetched_at <= 0) {
            snprintf(out, size, "Never fetched");
        } else {
            age_words(r->fetched_at, now, when, sizeof when);
            snprintf(out, size, "Fetched %s", when);
        }
        return;
    case STATE_DETACHED:
        snprintf(out, size, "Detached HEAD: check out a branch");
        return;
    case STATE_STASHED:
        snprintf(out, size, "Apply or drop %s", counted(r->stash, "stash", "stashes", n, sizeof n));
        return;
    case STATE_NO_UPSTREAM:
        snprintf(out, size, "No upstream: git push -u");
        return;
    case STATE_UNBORN:
        snprintf(out, size, "No commits yet");
        return;
    default:
        snprintf(out, size, "Nothing to do");
        return;
    }
}
