// The listing: every repository below every allowlisted root.
#include "actions/actions.h"
#include "cgi/reply.h"
#include "platform/platform.h"
#include "repo/repo.h"
#include "roots/roots.h"

#include <cstdlib>

#define JOBS_DEFAULT_MAX 8

// QUARLO_JOBS when it is a positive whole number, else the processor count
// (at most 8).
int listing_jobs() {
    const char *v = getenv("QUARLO_JOBS");
    if (v && *v) {
        char *end = nullptr;
        long n = strtol(v, &end, 10);
        if (*end == 0 && n > 0 && v[0] >= '0' && v[0] <= '9')
            return n > QUERY_JOBS_MAX ? QUERY_JOBS_MAX : (int)n;
    }
    int cpus = plat_cpu_count();
    return cpus < JOBS_DEFAULT_MAX ? cpus : JOBS_DEFAULT_MAX;
}

// The working copies found below the roots, before they enter the table.
static FoundRepo g_found[REPO_MAX];

// Walks every existing root and enters what it finds into the table, grouped
// by root in discovery order. A folder reached twice is entered once.
void listing_discover() {
    g_repo_count = 0;
    Walk w = {g_found, REPO_MAX, 0, 0, 0, 0, 0, 0, nullptr, nullptr, 0};
    for (int i = 0; i < g_root_count; i++) {
        Root *root = &g_roots[i];
        w.first = w.count;
        w.dirs = w.stop = w.dropped = w.deeper = 0;
        root->exists = plat_exists(root->start);
        if (root->exists) walk_dir(root->start, &w);
        for (int k = w.first; k < w.count; k++)
            repo_append(g_found[k].path, base_name(g_found[k].path), root_match_text(root));
        root->count = w.count - w.first;
        root->truncated = w.stop || w.dropped;
        root->depth_limited = w.deeper;
    }
}

void listing_collect() {
    listing_discover();
    query_repos(g_repos, g_repo_count, MODE_LISTING, listing_jobs());
    if (g_repo_count > 1) qsort(g_repos, (size_t)g_repo_count, sizeof g_repos[0], repo_cmp);
}

void listing_document(Buf *b) {
    RepoSummary s;
    repo_summarize(g_repos, g_repo_count, &s);
    char checked_at[UTC_TEXT_SIZE];
    plat_utc_text(plat_now(), checked_at, sizeof checked_at);

    buf_printf(b, "{\"ok\":true,\"action\":\"repos\",\"count\":%d", g_repo_count);
    buf_printf(b, ",\"table_capped\":%s", json_bool(g_repo_count > REPO_MAX - 1));
    buf_printf(b,
               ",\"summary\":{\"dirty\":%d,\"ahead\":%d,\"behind\":%d,\"stashes\":%d,"
               "\"detached\":%d,\"errors\":%d,\"gone\":%d,\"in_progress\":%d,\"unpushed\":%d,"
               "\"no_remote\":%d,\"needs_you\":%d}",
               s.dirty, s.ahead, s.behind, s.stashes, s.detached, s.errors, s.gone, s.in_progress,
               s.unpushed, s.no_remote, s.needs_you);
    buf_puts(b, ",\"checked_at\":");
    json_str(b, checked_at);
    buf_puts(b, ",\"roots\":[");
    for (int i = 0; i < g_root_count; i++) {
        const Root *root = &g_roots[i];
        buf_puts(b, i ? ",{\"root\":" : "{\"root\":");
        json_str(b, root_match_text(root));
        buf_printf(b, ",\"exists\":%s,\"count\":%d,\"truncated\":%s,\"depth_limited\":%s}",
                   json_bool(root->exists), root->count, json_bool(root->truncated),
                   json_bool(root->depth_limited));
    }
    buf_puts(b, "],\"repos\":[");
    for (int i = 0; i < g_repo_count; i++) {
        if (i) buf_add(b, ",", 1);
        emit_repo(b, &g_repos[i]);
    }
    buf_puts(b, "]}\n");
}

void action_repos() {
    collect_roots();
    listing_collect();
    Buf b;
    buf_init(&b, DOC_MAX);
    listing_document(&b);
    reply_document(&b);
    buf_free(&b);
}
