// The repository object of every JSON answer, and the table's sort order.
#include "text/text.h"
#include "platform/platform.h"
#include "repo/repo.h"

#include <cstring>

void emit_repo(Buf *b, const Repo *r) {
    char at[UTC_TEXT_SIZE];
    plat_utc_text(r->last_ct, at, sizeof at);
    char short_hash[SHORT_HASH_SIZE];
    str_copy(short_hash, sizeof short_hash, r->last_hash);

    buf_add(b, "{\"path\":", 8);
    json_str(b, r->path);
    buf_puts(b, ",\"name\":");
    json_str(b, r->name);
    buf_puts(b, ",\"root\":");
    json_str(b, r->root);
    buf_puts(b, ",\"branch\":");
    json_str(b, r->branch);
    buf_puts(b, ",\"upstream\":");
    json_str(b, r->upstream); // redacted when it was read
    buf_puts(b, ",\"remote\":");
    json_str(b, r->remote);
    buf_printf(b,
               ",\"ahead\":%d,\"behind\":%d,\"dirty\":%d,\"untracked\":%d,\"staged\":%d,"
               "\"conflicted\":%d,\"stash\":%d",
               r->ahead, r->behind, r->dirty, r->untracked, r->staged, r->conflicted, r->stash);
    buf_printf(b, ",\"detached\":%s,\"no_upstream\":%s,\"unborn\":%s", json_bool(r->detached),
               json_bool(r->no_upstream), json_bool(r->unborn));
    buf_puts(b, ",\"last_commit\":{\"hash\":");
    json_str(b, r->last_hash);
    buf_puts(b, ",\"short\":");
    json_str(b, short_hash);
    buf_printf(b, ",\"ct\":%lld,\"at\":", r->last_ct);
    json_str(b, at);
    buf_puts(b, ",\"subject\":");
    json_str(b, r->last_subject);
    // The path's very bytes, for a client to send back as the path parameter
    // where "path" had to replace some that are not UTF-8.
    buf_puts(b, "},\"path_param\":");
    json_url_param(b, r->path);
    buf_puts(b, ",\"error\":");
    json_str(b, r->error);
    buf_printf(b, ",\"upstream_gone\":%s,\"operation\":", json_bool(r->upstream_gone));
    json_str(b, r->operation);
    buf_puts(b, ",\"operation_branch\":");
    json_str(b, r->operation_branch);
    buf_printf(b, ",\"fetched_at\":%lld", r->fetched_at);
    buf_printf(b,
               ",\"unpushed\":%d,\"unpushed_branches\":%d,\"gone_branches\":%d,\"no_remote\":%s}",
               r->unpushed, r->unpushed_branches, r->gone_branches, json_bool(r->no_remote));
}

// What needs the user first: a repository git could not read, then one with
// an operation in progress, then one with conflicts. Then dirty
// repositories (more changes first), then newer last commit, then path in
// byte order.
int repo_cmp(const void *pa, const void *pb) {
    const Repo *a = (const Repo *)pa;
    const Repo *b = (const Repo *)pb;
    if ((a->error[0] != 0) != (b->error[0] != 0)) return a->error[0] ? -1 : 1;
    if ((a->operation[0] != 0) != (b->operation[0] != 0)) return a->operation[0] ? -1 : 1;
    if ((a->conflicted > 0) != (b->conflicted > 0)) return a->conflicted > 0 ? -1 : 1;
    if ((a->dirty > 0) != (b->dirty > 0)) return a->dirty > 0 ? -1 : 1;
    if (a->dirty != b->dirty) return b->dirty - a->dirty;
    if (a->last_ct != b->last_ct) return a->last_ct > b->last_ct ? -1 : 1;
    return strcmp(a->path, b->path);
}
