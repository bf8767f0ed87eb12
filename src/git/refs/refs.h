// Reading a repository's branches without git: the loose refs below
// refs/heads and refs/remotes, packed-refs, and each branch's upstream from
// the repository's config, where git's own rules make the answer exact.
// Anything not understood (a reftable store, a symbolic branch, a config
// form read otherwise by git) is refused, so that the caller asks git.
#pragma once

#include <string>
#include <vector>

struct GitDirs;

// One ref with what is known of it.
struct RefTip {
    std::string name;           // "refs/heads/main"
    std::string oid;            // the commit it names (hexadecimal)
    std::string upstream;       // the upstream's ref ("refs/remotes/origin/main"); empty: none
    std::string upstream_short; // its short form ("origin/main"), where git told it
    int gone = 0;               // an upstream is configured and its ref does not exist
    int ahead = 0, behind = 0;  // against the upstream, where git told it
    int head = 0;               // the branch checked out in the working copy
    long long ct = 0;           // its last commit's time, where git told it
    std::string subject;        // its last commit's subject, where git told it
    int unpushed = 0;           // its commits on no remote-tracking branch
    int described = 0;          // git told `ahead` (for-each-ref, or the status for the
                                // checked-out branch)
};

// The local branches and the tips of the remote-tracking branches.
struct RefTable {
    std::vector<RefTip> heads;
    std::vector<std::string> remote_oids;
};

// Fills `t` with the branches of the git folders `d` and each branch's
// upstream and whether it is gone. Returns 1; 0 when anything is not
// understood (then `t` is to be asked of git).
int refs_read_table(const GitDirs *d, RefTable *t);
