// Reading a commit from a repository's object store, without git: a loose
// object (zlib), or an object in a pack found through the pack's .idx
// (version 2), offset and reference deltas followed, and the stores named in
// objects/info/alternates. What is read is checked against its name before
// it is used, and anything not understood is refused, so that the caller can
// ask git instead: the answer is either the one `git log -1` gives or none.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/sizes.h"

// ---- SHA-1 ------------------------------------------------------------------

#define SHA1_LEN 20     // bytes of a SHA-1 object name
#define SHA1_HEX_LEN 40 // its hexadecimal form
#define SHA1_BLOCK 64   // bytes SHA-1 hashes at a time

struct Sha1 {
    uint32_t h[5];
    uint64_t length; // bytes hashed so far
    unsigned char block[SHA1_BLOCK];
    size_t used; // bytes waiting in `block`
};

void sha1_init(Sha1 *s);
void sha1_update(Sha1 *s, const void *data, size_t n);
void sha1_final(Sha1 *s, unsigned char out[SHA1_LEN]);

// Reads 40 hexadecimal digits (either case) into 20 bytes. Returns 1, or 0
// when `hex` is not exactly that (a terminator or any other byte must follow).
int sha1_from_hex(const char *hex, unsigned char out[SHA1_LEN]);
// Writes the 40 lower-case digits of `name` and a terminator.
void sha1_to_hex(const unsigned char name[SHA1_LEN], char out[SHA1_HEX_LEN + 1]);

// ---- a commit ---------------------------------------------------------------

// What the listing shows of a commit, as `git log -1 --format=%H%x09%ct%x09%s`
// gives it (the subject cut and trimmed as the record keeps it).
struct CommitSummary {
    char hash[HASH_SIZE];
    long long ct;
    char subject[SUBJECT_SIZE];
};

// Reads the summary of a commit's content (the object without its
// "commit <size>\0" header). Returns 1, or 0 for any form whose answer git
// might give otherwise: no single well-formed committer line, an `encoding`
// header other than UTF-8, a zero byte in the message.
int commit_summary_parse(const unsigned char *content, size_t len, CommitSummary *out);

// ---- the object store -------------------------------------------------------

// Reads the commit named `hex` (40 digits) from the object store of the git
// folder `common` (the one that holds objects/, refs/ and config) and checks
// it against its name. Returns 1 with `out` filled, or 0 when the commit
// cannot be read directly and `git log -1` must be asked: the repository
// replaces objects (refs/replace/, a grafts file), keeps refs in a form not
// read here, or uses another object format; the object is missing, corrupt,
// not a commit, larger than OBJECT_SIZE_MAX, or in a form not understood;
// or a config file (the common one, the main working copy's config.worktree
// or that of the working copy's own git folder `own_git`, when given) sets an
// output encoding or includes another file.
int objects_read_commit(const char *common, const char *hex, CommitSummary *out,
                        const char *own_git = nullptr);

// 1 when the repository of the git folder `common` may be a partial clone
// (its config mentions a promisor remote or a partial clone), whose missing
// objects git would fetch on its own; 0 only when it surely is not.
int objects_store_may_be_partial(const char *common);

// 1 when the ref `name` ("refs/stash") may exist in the git folder `common`:
// its file is there, or packed-refs names it, or packed-refs cannot be read
// through; 0 only when it surely does not.
int objects_ref_may_exist(const char *common, const char *name);
