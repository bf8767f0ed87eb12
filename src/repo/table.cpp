#include "text/text.h"
#include "repo/repo.h"

#include <algorithm>
#include <cstring>
#include <vector>

void repo_init(Repo *r, const char *path, const char *name, const char *root) {
    memset(r, 0, sizeof *r);
    str_copy(r->path, sizeof r->path, path);
    str_copy(r->name, sizeof r->name, name);
    str_copy(r->root, sizeof r->root, root);
}

void repo_fail(Repo *r, const char *text) {
    Repo kept;
    repo_init(&kept, r->path, r->name, r->root);
    str_copy(kept.error, sizeof kept.error, r->error[0] ? r->error : text);
    if (!kept.error[0]) str_copy(kept.error, sizeof kept.error, "git failed");
    *r = kept;
}

void repo_summarize(const Repo *repos, int count, RepoSummary *s) {
    *s = RepoSummary{};
    for (int i = 0; i < count; i++) {
        const Repo *r = &repos[i];
        s->dirty += r->dirty > 0;
        s->ahead += r->ahead > 0;
        s->behind += r->behind > 0;
        if (r->stash > 0) s->stashes += r->stash;
        s->detached += r->detached != 0;
        s->errors += r->error[0] != 0;
        s->gone += r->upstream_gone != 0;
        s->in_progress += r->operation[0] != 0;
        s->conflicted += r->conflicted > 0;
        s->unpushed += r->unpushed > 0 && !r->no_remote;
        s->no_remote += r->no_remote != 0;
    }
}

void repos_sort(Repo *repos, int count) {
    std::vector<int> order((size_t)count);
    for (int i = 0; i < count; i++) order[(size_t)i] = i;
    std::sort(order.begin(), order.end(),
              [repos](int a, int b) { return repo_cmp(&repos[a], &repos[b]) < 0; });
    // Position i takes record order[i]: each cycle of the permutation is
    // followed once, with one record set aside.
    std::vector<char> placed((size_t)count);
    for (int i = 0; i < count; i++) {
        if (placed[(size_t)i] || order[(size_t)i] == i) continue;
        Repo held = repos[i];
        int to = i;
        for (int from = order[(size_t)to]; from != i; from = order[(size_t)to]) {
            repos[to] = repos[from];
            placed[(size_t)to] = 1;
            to = from;
        }
        repos[to] = held;
        placed[(size_t)to] = 1;
    }
}
