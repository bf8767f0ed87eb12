// git fetch --prune in many repositories at once, with a progress line and a
// table of what moved.
#include "cli/fetch_all.h"

#include "actions/actions.h"
#include "cli/status.h"
#include "platform/platform.h"
#include "git/runner/runner.h"
#include "text/text.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#define GAP 2

struct FetchWork {
    FetchJob *jobs;
    int count;
    std::atomic<int> next;
    std::mutex lock; // guards done, failed and the progress line
    int done;
    int failed;
    int progress;
};

static void show_progress(FetchWork *w) {
    char line[PROGRESS_TEXT_SIZE];
    int n =
        snprintf(line, sizeof line, "\rfetching %d/%d, %d failed ", w->done, w->count, w->failed);
    if (n > 0 && n < (int)sizeof line) plat_write_text(PLAT_STDERR, line, (size_t)n);
}

// 1 when git lists a remote for the repository (a failure counts as one:
// the fetch then tells what is wrong).
static int has_remote(const char *path) {
    static const char *const REMOTE[] = {"remote", nullptr};
    Buf out;
    buf_init(&out, RUN_OUTPUT_MAX);
    RunEnd end;
    int code = run_git(path, REMOTE, &out, run_limit_s(), &end);
    int listed = end != RUN_EXITED || code != 0 || !out.data;
    if (!listed) {
        for (const char *p = out.data; *p && !listed; p++) listed = *p > ' ';
    }
    buf_free(&out);
    return listed;
}

static void fetch_one(FetchJob *j) {
    Repo *b = &j->before;
    if (j->query_before) query_repo(b, MODE_VERSION_ONCE);
    if (j->only_with_remote && !has_remote(b->path)) {
        j->skipped = 1;
        return;
    }
    Buf out;
    buf_init(&out, RUN_OUTPUT_MAX);
    fetch_run(b->path, &out, j->why, sizeof j->why);
    buf_free(&out);
    repo_init(&j->after, b->path, b->name, b->root);
    query_repo(&j->after, MODE_VERSION_ONCE);
    if (!j->why[0] && j->after.error[0]) str_copy(j->why, sizeof j->why, j->after.error);
    j->failed = j->why[0] != 0;
}

static void fetch_worker(FetchWork *w) {
    for (int i; (i = w->next.fetch_add(1)) < w->count;) {
        fetch_one(&w->jobs[i]);
        std::lock_guard<std::mutex> hold(w->lock);
        w->done++;
        w->failed += w->jobs[i].failed;
        if (w->progress) show_progress(w);
    }
}

void fetch_jobs(FetchJob *jobs, int count, int parallel, int progress) {
    FetchWork w;
    w.jobs = jobs;
    w.count = count;
    w.next = 0;
    w.done = w.failed = 0;
    w.progress = progress && count > 0;
    if (parallel > count) parallel = count;
    if (parallel > QUERY_JOBS_MAX) parallel = QUERY_JOBS_MAX;
    if (w.progress) show_progress(&w);
    std::vector<std::thread> helpers;
    for (int i = 0; i < parallel - 1; i++) {
        try {
            helpers.emplace_back(fetch_worker, &w);
        } catch (...) {
            break; // fewer at once: every job is still done below
        }
    }
    fetch_worker(&w);
    for (auto &h : helpers) h.join();
    if (w.progress) {
        // Clears the progress line.
        std::string blank = "\r" + std::string(PROGRESS_TEXT_SIZE / 2, ' ') + "\r";
        plat_write_text(PLAT_STDERR, blank.c_str(), blank.size());
    }
}

int fetch_moved(const FetchJob *j) {
    return !j->skipped && !j->failed &&
           (j->before.ahead != j->after.ahead || j->before.behind != j->after.behind ||
            strcmp(j->before.branch, j->after.branch) != 0);
}

static std::string ahead_behind(const Repo *r) {
    if (r->error[0]) return "?";
    if (r->no_upstream && !r->ahead && !r->behind) return "no upstream";
    char t[STATE_TEXT_SIZE];
    snprintf(t, sizeof t, "\xe2\x86\x91%d \xe2\x86\x93%d", r->ahead, r->behind);
    return t;
}

int fetch_table(Buf *b, const Term *t, const FetchJob *jobs, int count, int all_rows) {
    std::vector<Repo> names; // the records shown, for their names
    std::vector<const FetchJob *> rows;
    int fetched = 0, failed = 0, moved = 0, skipped = 0;
    for (int i = 0; i < count; i++) {
        const FetchJob *j = &jobs[i];
        skipped += j->skipped;
        fetched += !j->skipped;
        failed += j->failed;
        moved += fetch_moved(j);
        if (j->skipped) continue;
        if (all_rows || j->failed || fetch_moved(j)) rows.push_back(j);
    }
    // Failures first, then what moved, each in the order given.
    std::stable_sort(rows.begin(), rows.end(),
                     [](const FetchJob *x, const FetchJob *y) { return x->failed > y->failed; });
    for (const FetchJob *j : rows) names.push_back(j->before);

    int nw = 0, bw = 0;
    for (size_t i = 0; i < rows.size(); i++) {
        nw = std::max(nw, text_cells(table_name(names.data(), (int)names.size(), (int)i)));
        bw = std::max(bw, text_cells(rows[i]->after.branch[0] ? rows[i]->after.branch
                                                              : rows[i]->before.branch));
    }
    if (t->width > 0) {
        nw = std::min(nw, std::max(t->width / 3, 8));
        bw = std::min(bw, std::max(t->width / 5, 8));
    }
    for (size_t i = 0; i < rows.size(); i++) {
        const FetchJob *j = rows[i];
        int used = 0;
        auto limit = [&](int want) {
            if (t->width <= 0) return want;
            int left = t->width - used;
            return left <= 0 ? 0 : (want < 0 ? left : std::min(want, left));
        };
        term_on(b, t, SGR_BOLD);
        used += term_cell(b, table_name(names.data(), (int)names.size(), (int)i), limit(nw), 0);
        term_off(b, t);
        for (; used < nw + GAP; used++) buf_add(b, " ", 1);
        const char *branch = j->after.branch[0] ? j->after.branch : j->before.branch;
        term_on(b, t, SGR_CYAN);
        int bu = term_cell(b, branch, limit(bw), 0);
        term_off(b, t);
        used += bu;
        for (; bu < bw + GAP; bu++, used++) buf_add(b, " ", 1);
        std::string what;
        const char *sgr;
        if (j->failed) {
            what = std::string("error: ") + j->why;
            sgr = SGR_RED;
        } else if (fetch_moved(j)) {
            what = ahead_behind(&j->before) + " \xe2\x86\x92 " + ahead_behind(&j->after);
            sgr = SGR_MAGENTA;
        } else {
            what = "up to date, " + ahead_behind(&j->after);
            sgr = SGR_GREEN;
        }
        term_on(b, t, sgr);
        term_cell(b, what.c_str(), limit(-1), 0);
        term_off(b, t);
        // No blanks at the end of the line.
        while (buf_ok(b) && b->len && b->data[b->len - 1] == ' ') b->data[--b->len] = 0;
        buf_puts(b, "\n");
    }
    term_on(b, t, SGR_BOLD);
    buf_printf(b, "fetched %d %s", fetched, fetched == 1 ? "repository" : "repositories");
    term_off(b, t);
    buf_printf(b, ", %d failed, %d moved", failed, moved);
    if (skipped) buf_printf(b, ", %d without a remote", skipped);
    buf_puts(b, "\n");
    return failed;
}
