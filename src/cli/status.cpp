// The terminal table of the listing: one line per repository, those that
// need their user first, cut to the terminal's width, then a summary line.
#include "cli/status.h"

#include "base/sizes.h"
#include "platform/platform.h"
#include "text/text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#define GAP 2              // spaces between columns
#define NAME_COL_MAX 32    // widest name column, before the subject gets room
#define BRANCH_COL_MAX 24  // widest branch column
#define STATE_COL_MAX 56   // widest state column
#define BRANCH_COL_FAIR 12 // a branch column narrowed before the others
#define NAME_COL_FAIR 16   // a name column narrowed next
#define STATE_COL_FAIR 20  // the state column, narrowed last
#define COL_MIN 8          // a column is never made narrower than this
#define SUBJECT_MIN 12     // room kept for the subject while others shrink

// The part of `path` below `root`, or null when `path` does not start there.
static const char *below_root(const char *path, const char *root) {
    size_t n = strlen(root);
    if (n == 0 || strncmp(path, root, n) != 0) return nullptr;
    if (plat_is_sep(root[n - 1])) return path[n] ? path + n : nullptr;
    if (plat_is_sep(path[n]) && path[n + 1]) return path + n + 1;
    return nullptr;
}

static const char *relative_name(const Repo *r) {
    const char *rel = below_root(r->path, r->root);
    return rel ? rel : r->path;
}

const char *table_name(const Repo *repos, int count, int i) {
    const Repo *r = &repos[i];
    int repeated = 0;
    for (int k = 0; k < count && !repeated; k++)
        repeated = k != i && strcmp(repos[k].name, r->name) == 0;
    if (!repeated) return r->name;
    const char *rel = relative_name(r);
    for (int k = 0; k < count; k++)
        if (k != i && strcmp(repos[k].name, r->name) == 0 &&
            strcmp(relative_name(&repos[k]), rel) == 0)
            return r->path;
    return rel;
}

// One coloured part of the state cell.
struct Part {
    char text[STATE_TEXT_SIZE];
    const char *sgr;
};

// The colour of a state's step: red for what needs the user, yellow for
// work not saved anywhere else, dim for nothing to do.
static const char *step_colour(int state) {
    if (state <= STATE_LAST_NEEDING_USER) return SGR_RED;
    if (state == STATE_CHANGES || state == STATE_UNPUSHED || state == STATE_NO_REMOTE)
        return SGR_YELLOW;
    if (state == STATE_CLEAN) return SGR_DIM;
    return SGR_MAGENTA;
}

// The tags of unpushed work, a missing remote and gone branches, where the
// step (`state`, -1 for none) does not tell them already. The checked-out
// branch's gone upstream alone is told as "upstream gone".
static int unpushed_parts(const Repo *r, int state, int only_here, Part *parts) {
    int n = 0;
    if (r->no_remote) {
        if (state != STATE_NO_REMOTE) {
            str_copy(parts[n].text, sizeof parts[n].text, "no remote");
            parts[n++].sgr = SGR_YELLOW;
        }
    } else if (r->unpushed > 0 && state != STATE_UNPUSHED) {
        snprintf(parts[n].text, sizeof parts[n].text, "%d unpushed on %d %s", r->unpushed,
                 r->unpushed_branches, r->unpushed_branches == 1 ? "branch" : "branches");
        parts[n++].sgr = SGR_MAGENTA;
    }
    if (!only_here && r->gone_branches > (r->upstream_gone ? 1 : 0)) {
        snprintf(parts[n].text, sizeof parts[n].text, "%d gone %s", r->gone_branches,
                 r->gone_branches == 1 ? "branch" : "branches");
        parts[n++].sgr = SGR_YELLOW;
    }
    return n;
}

// What exists only in this working copy: changes, untracked files, stashes,
// unpushed commits, no remote.
static int only_here_parts(const Repo *r, Part *parts) {
    int n = 0;
    if (r->dirty - r->untracked > 0) {
        snprintf(parts[n].text, sizeof parts[n].text, "%d changed", r->dirty - r->untracked);
        parts[n++].sgr = SGR_YELLOW;
    }
    if (r->untracked > 0) {
        snprintf(parts[n].text, sizeof parts[n].text, "%d untracked", r->untracked);
        parts[n++].sgr = SGR_YELLOW;
    }
    if (r->stash > 0) {
        snprintf(parts[n].text, sizeof parts[n].text, "%d stashed", r->stash);
        parts[n++].sgr = SGR_BLUE;
    }
    return n + unpushed_parts(r, -1, 1, parts + n);
}

// The step first, then the facts it does not already tell: an operation's
// conflicts are in its step, a change count in "Commit or stash 2 changes".
static int state_parts(const Repo *r, long long now, int only_here, Part *parts) {
    int n = 0;
    if (only_here && !r->error[0]) return only_here_parts(r, parts);
    int state = repo_state(r, now);
    repo_step(r, now, parts[n].text, sizeof parts[n].text);
    parts[n++].sgr = step_colour(state);
    if (state == STATE_UNREADABLE) return n;
    if (r->conflicted > 0 && state != STATE_CONFLICTS &&
        !(state == STATE_OPERATION && strcmp(r->operation, "bisect") != 0)) {
        snprintf(parts[n].text, sizeof parts[n].text, "%d conflicted", r->conflicted);
        parts[n++].sgr = SGR_RED;
    }
    if (r->dirty > 0 && state != STATE_CHANGES) {
        snprintf(parts[n].text, sizeof parts[n].text, "%d changed", r->dirty);
        parts[n++].sgr = SGR_YELLOW;
    }
    if (r->upstream_gone && state != STATE_GONE) {
        str_copy(parts[n].text, sizeof parts[n].text, "upstream gone");
        parts[n++].sgr = SGR_YELLOW;
    }
    int ahead = r->ahead > 0 && state != STATE_UNPUSHED;
    int behind = r->behind > 0 && state != STATE_BEHIND;
    if (ahead || behind) {
        char ab[STATE_TEXT_SIZE] = "";
        if (ahead) snprintf(ab, sizeof ab, "\xe2\x86\x91%d", r->ahead);
        if (behind)
            snprintf(ab + strlen(ab), sizeof ab - strlen(ab), "%s\xe2\x86\x93%d", ahead ? " " : "",
                     r->behind);
        str_copy(parts[n].text, sizeof parts[n].text, ab);
        parts[n++].sgr = SGR_MAGENTA;
    }
    // How old ahead and behind are, where the step does not say it.
    if ((state == STATE_UNPUSHED || state == STATE_BEHIND || ahead || behind) &&
        r->fetched_at > 0) {
        char when[64];
        age_words(r->fetched_at, now, when, sizeof when);
        snprintf(parts[n].text, sizeof parts[n].text, "fetched %s", when);
        parts[n++].sgr = SGR_DIM;
    }
    if (r->stash > 0 && state != STATE_STASHED) {
        snprintf(parts[n].text, sizeof parts[n].text, "%d stashed", r->stash);
        parts[n++].sgr = SGR_BLUE;
    }
    n += unpushed_parts(r, state, 0, parts + n);
    // What git could not tell, in its first words ("renames not detected");
    // `quarlo show` has the whole line.
    if (r->notice[0]) {
        const char *colon = strchr(r->notice, ':');
        size_t len = colon ? (size_t)(colon - r->notice) : strlen(r->notice);
        if (len >= sizeof parts[n].text) len = sizeof parts[n].text - 1;
        memcpy(parts[n].text, r->notice, len);
        parts[n].text[len] = 0;
        parts[n++].sgr = SGR_DIM;
    }
    return n;
}

#define STATE_PARTS_MAX 12

int state_cell(Buf *b, const Term *t, const Repo *r, long long now, int max, int only_here) {
    Part parts[STATE_PARTS_MAX];
    int n = state_parts(r, now, only_here, parts);
    int cells = 0;
    for (int i = 0; i < n; i++) {
        // The step, then "; " and the other facts joined by ", " (only the
        // facts, joined by ", ", when the cell tells what is only here).
        const char *sep = i == 0 ? "" : i == 1 && !only_here ? "; " : ", ";
        int sep_cells = (int)strlen(sep);
        if (max >= 0 && cells + sep_cells >= max) break;
        buf_puts(b, sep);
        cells += sep_cells;
        int left = max < 0 ? -1 : max - cells;
        term_on(b, t, parts[i].sgr);
        cells += term_cell(b, parts[i].text, left, 0);
        term_off(b, t);
    }
    return cells;
}

// Columns of the whole state cell, as state_cell writes it without a limit.
static int state_cells(const Repo *r, long long now, int only_here) {
    Part parts[STATE_PARTS_MAX];
    int n = state_parts(r, now, only_here, parts);
    int cells = 0;
    for (int i = 0; i < n; i++) cells += (i ? 2 : 0) + text_cells(parts[i].text);
    return cells;
}

static void pad(Buf *b, int n) {
    for (; n > 0; n--) buf_add(b, " ", 1);
}

// Removes the blanks at the end of the line being built (from `start`).
static void trim_line(Buf *b, unsigned long long start) {
    if (!buf_ok(b)) return;
    while (b->len > start && b->data[b->len - 1] == ' ') b->data[--b->len] = 0;
}

static void summary_line(Buf *b, const Term *t, const Repo *repos, int count) {
    RepoSummary s;
    repo_summarize(repos, count, &s);
    int need = s.needs_you;
    // The parts, joined by ", "; a line that would pass the width goes on
    // below, indented.
    char head[STATE_TEXT_SIZE];
    snprintf(head, sizeof head, "%d %s", count, count == 1 ? "repository" : "repositories");
    term_on(b, t, SGR_BOLD);
    buf_puts(b, head);
    term_off(b, t);
    int used = (int)strlen(head);
    std::vector<std::string> parts;
    char part[STATE_TEXT_SIZE];
    if (count) {
        snprintf(part, sizeof part, "%d need%s you", need, need == 1 ? "s" : "");
        parts.push_back(part);
    }
    struct {
        int n;
        const char *one, *many;
    } items[] = {{s.errors, "unreadable", "unreadable"},
                 {s.in_progress, "operation in progress", "operations in progress"},
                 {s.conflicted, "with conflicts", "with conflicts"},
                 {s.dirty, "changed", "changed"},
                 {s.gone, "upstream gone", "upstreams gone"},
                 {s.ahead, "ahead", "ahead"},
                 {s.behind, "behind", "behind"},
                 {s.detached, "detached", "detached"},
                 {s.stashes, "stash", "stashes"},
                 {s.unpushed, "with unpushed commits", "with unpushed commits"},
                 {s.no_remote, "without a remote", "without a remote"}};
    for (auto &it : items)
        if (it.n > 0) {
            snprintf(part, sizeof part, "%d %s", it.n, it.n == 1 ? it.one : it.many);
            parts.push_back(part);
        }
    for (const std::string &p : parts) {
        int w = (int)p.size();
        if (t->width > 0 && used + 2 + w + 1 > t->width) {
            buf_puts(b, ",\n  ");
            used = 2;
        } else {
            buf_puts(b, ", ");
            used += 2;
        }
        buf_puts(b, p.c_str());
        used += w;
    }
    buf_puts(b, "\n");
}

void status_table(Buf *b, const Term *t, const Repo *repos, int count, int only_here) {
    long long now = plat_now();
    // Those that need their user first, each group in the order given (the
    // listing's order puts them first already).
    std::vector<int> order((size_t)count);
    for (int i = 0; i < count; i++) order[(size_t)i] = i;
    std::stable_sort(order.begin(), order.end(), [&](int x, int y) {
        return repo_needs_user(&repos[x]) > repo_needs_user(&repos[y]);
    });

    int nw = 0, bw = 0, sw = 0, aw = 0;
    std::vector<int> state_w((size_t)count);
    for (int i = 0; i < count; i++) {
        const Repo *r = &repos[i];
        char age[AGE_TEXT_SIZE];
        age_text(r->last_ct, now, age);
        nw = std::max(nw, text_cells(table_name(repos, count, i)));
        bw = std::max(bw, text_cells(r->branch));
        state_w[(size_t)i] = state_cells(r, now, only_here);
        if (!r->error[0]) sw = std::max(sw, state_w[(size_t)i]);
        aw = std::max(aw, (int)strlen(age));
    }
    if (t->width > 0) {
        nw = std::min(nw, NAME_COL_MAX);
        bw = std::min(bw, BRANCH_COL_MAX);
        sw = std::min(sw, STATE_COL_MAX);
        int avail = t->width - 4 * GAP - aw - SUBJECT_MIN;
        // Narrowed in the order of what matters least: the branch, the name,
        // then the state; first to a fair width, then to the least.
        struct Step {
            int *col;
            int floor;
        } steps[] = {{&bw, BRANCH_COL_FAIR}, {&nw, NAME_COL_FAIR}, {&sw, STATE_COL_FAIR},
                     {&bw, COL_MIN},         {&nw, COL_MIN},       {&sw, COL_MIN}};
        for (const Step &s : steps)
            while (nw + bw + sw > avail && *s.col > s.floor) --*s.col;
    }

    for (int k = 0; k < count; k++) {
        int i = order[(size_t)k];
        const Repo *r = &repos[i];
        unsigned long long start = b->len;
        // Columns left on the line (-1: no limit).
        int left = t->width > 0 ? t->width : -1;
        auto cell = [&](const char *text, const char *sgr, int width, int last) {
            int max = left < 0 ? (last ? -1 : width) : std::min(width < 0 ? left : width, left);
            if (max == 0) return;
            term_on(b, t, sgr);
            int used = term_cell(b, text, max, 0);
            if (*sgr) term_off(b, t);
            int padded = last ? used : std::max(used, width);
            if (!last) pad(b, padded - used);
            if (left >= 0) left -= padded;
            if (!last) {
                int g = left < 0 ? GAP : std::min(GAP, left);
                pad(b, g);
                if (left >= 0) left -= g;
            }
        };
        cell(table_name(repos, count, i), SGR_BOLD, nw, 0);
        cell(r->branch, SGR_CYAN, bw, 0);
        if (r->error[0]) {
            // The error takes the rest of the line.
            int used = state_cell(b, t, r, now, left, only_here);
            (void)used;
        } else {
            int max = left < 0 ? -1 : std::min(sw, left);
            if (max != 0) {
                int used = state_cell(b, t, r, now, max, only_here);
                int padded = std::max(used, sw);
                pad(b, padded - used);
                if (left >= 0) left -= padded;
                int g = left < 0 ? GAP : std::min(GAP, left);
                pad(b, g);
                if (left >= 0) left -= g;
            }
            char age[AGE_TEXT_SIZE];
            age_text(r->last_ct, now, age);
            if (left != 0) {
                // Ages right-aligned, so that units line up.
                int a = (int)strlen(age);
                int lead = aw - a;
                if (left >= 0) lead = std::min(lead, left);
                pad(b, lead);
                if (left >= 0) left -= lead;
                cell(age, SGR_DIM, a, 0);
            }
            if (left != 0) cell(r->last_subject, "", -1, 1);
        }
        trim_line(b, start);
        buf_puts(b, "\n");
    }
    summary_line(b, t, repos, count);
}
