// The listing: every repository below every allowlisted root.
#include "actions/actions.h"
#include "cgi/reply.h"
#include "platform/platform.h"
#include "repo/repo.h"
#include "roots/roots.h"

#include <cstdlib>

// The default number of queries at once: the processor count, but at least
// 8, because a first listing after the disk cache went cold waits on the
// disk rather than the processors, and more queries at once overlap those
// waits (at 1,000 repositories on two processors, cold: 64 s with 2 at
// once, 25 s with 8; warm, the processor time stays the same); at most 16.
#define JOBS_DEFAULT_MIN 8
#define JOBS_DEFAULT_MAX 16

// QUARLO_JOBS when it is a positive whole number, else the default above.
int listing_jobs() {
    const char *v = getenv("QUARLO_JOBS");
    if (v && *v) {
        char *end = nullptr;
        long n = strtol(v, &end, 10);
        if (*end == 0 && n > 0 && v[0] >= '0' && v[0] <= '9')
            return n > QUERY_JOBS_MAX ? QUERY_JOBS_MAX : (int)n;
    }
    int cpus = plat_cpu_count();
    if (cpus < JOBS_DEFAULT_MIN) return JOBS_DEFAULT_MIN;
    return cpus < JOBS_DEFAULT_MAX ? cpus : JOBS_DEFAULT_MAX;
}

// Walks every existing root of `l->roots` and enters what it finds into the
// table, grouped by root in discovery order. A folder reached twice is
// entered once.
static void discover_repos(Listing *l, ListingLimits limits) {
    Walk w;
    // One entry more than the table holds: a table that is exactly full left
    // nothing out, one that found more did.
    w.cap = limits.repos + 1;
    w.dirs_max = limits.dirs_per_root;
    for (int i = 0; i < l->roots.count; i++) {
        Root *root = &l->roots.list[i];
        root->exists = walk_next_root(root, &w);
        root->count = (int)w.found.size() - w.first;
        root->truncated = w.stop || w.dropped;
        root->depth_limited = w.deeper;
    }
    // More found than the table holds: the last one goes, and its root says
    // that it lost some, as the roots after it do (their finds were dropped).
    l->table_capped = w.found.size() > (size_t)limits.repos;
    if (l->table_capped) {
        w.found.pop_back();
        for (int i = l->roots.count - 1; i >= 0; i--) {
            Root *root = &l->roots.list[i];
            if (root->count == 0) continue;
            root->count--;
            root->truncated = 1;
            break;
        }
    }
    l->repos.resize(w.found.size());
    size_t k = 0; // each root's entries follow those of the roots before it
    for (int i = 0; i < l->roots.count; i++) {
        const char *root = root_match_text(&l->roots.list[i]);
        for (int n = 0; n < l->roots.list[i].count; n++, k++) {
            const char *path = w.found[k].path.c_str();
            repo_init(&l->repos[k], path, base_name(path), root);
        }
    }
}

void listing_discover(const Roots *roots, Listing *out, ListingLimits limits) {
    out->roots = *roots;
    out->repos.clear();
    out->table_capped = 0;
    discover_repos(out, limits);
}

void listing_collect(const Roots *roots, Listing *out, ListingLimits limits) {
    listing_discover(roots, out, limits);
    int count = (int)out->repos.size();
    query_repos(out->repos.data(), count, MODE_VERSION_ONCE, listing_jobs());
    if (count > 1) repos_sort(out->repos.data(), count);
}

void listing_document(const Listing *l, Buf *b) {
    const Repo *repos = l->repos.data();
    int count = (int)l->repos.size();
    RepoSummary s;
    repo_summarize(repos, count, &s);
    char checked_at[UTC_TEXT_SIZE];
    plat_utc_text(plat_now(), checked_at, sizeof checked_at);

    buf_printf(b, "{\"ok\":true,\"action\":\"repos\",\"count\":%d", count);
    buf_printf(b, ",\"table_capped\":%s", json_bool(l->table_capped));
    buf_printf(b,
               ",\"summary\":{\"dirty\":%d,\"ahead\":%d,\"behind\":%d,\"stashes\":%d,"
               "\"detached\":%d,\"errors\":%d,\"gone\":%d,\"in_progress\":%d,\"unpushed\":%d,"
               "\"no_remote\":%d,\"needs_you\":%d}",
               s.dirty, s.ahead, s.behind, s.stashes, s.detached, s.errors, s.gone, s.in_progress,
               s.unpushed, s.no_remote, s.needs_you);
    buf_puts(b, ",\"checked_at\":");
    json_str(b, checked_at);
    buf_puts(b, ",\"roots\":[");
    for (int i = 0; i < l->roots.count; i++) {
        const Root *root = &l->roots.list[i];
        buf_puts(b, i ? ",{\"root\":" : "{\"root\":");
        json_str(b, root_match_text(root));
        buf_printf(b, ",\"exists\":%s,\"count\":%d,\"truncated\":%s,\"depth_limited\":%s}",
                   json_bool(root->exists), root->count, json_bool(root->truncated),
                   json_bool(root->depth_limited));
    }
    buf_puts(b, "],\"repos\":[");
    for (int i = 0; i < count; i++) {
        if (i) buf_add(b, ",", 1);
        emit_repo(b, &repos[i]);
    }
    buf_puts(b, "]}\n");
}

void action_repos() {
    Roots roots;
    collect_roots(&roots);
    Listing l;
    listing_collect(&roots, &l);
    Buf b;
    buf_init(&b, DOC_MAX);
    listing_document(&l, &b);
    reply_document(&b);
    buf_free(&b);
}
