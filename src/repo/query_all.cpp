// Runs the status queries of many records at once, on a few threads.
#include "repo/repo.h"

#include <atomic>
#include <thread>

struct QueryWork {
    Repo *repos;
    int count;
    int mode;
    std::atomic<int> next;
};

// Each worker takes the next unqueried record until none is left. A query
// runs its commands one after another, so a worker has at most one git child.
static void query_worker(QueryWork *w) {
    for (int i; (i = w->next.fetch_add(1)) < w->count;) query_repo(&w->repos[i], w->mode);
}

void query_repos(Repo *repos, int count, int mode, int jobs) {
    QueryWork w;
    w.repos = repos;
    w.count = count;
    w.mode = mode;
    w.next = 0;
    if (jobs > count) jobs = count;
    if (jobs > QUERY_JOBS_MAX) jobs = QUERY_JOBS_MAX;

    std::thread helpers[QUERY_JOBS_MAX];
    int started = 0;
    for (; started < jobs - 1; started++) {
        try {
            helpers[started] = std::thread(query_worker, &w);
        } catch (...) {
            break; // fewer threads: the records are still all queried below
        }
    }
    query_worker(&w);
    for (int i = 0; i < started; i++) helpers[i].join();
}
