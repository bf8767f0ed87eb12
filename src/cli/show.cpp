// The terminal form of one repository's detail, rendered from the same value
// as the detail document so that the two always tell the same.
#include "cli/show.h"

#include "actions/actions.h"
#include "base/sizes.h"
#include "cli/status.h"
#include "platform/platform.h"
#include "text/text.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#define LABEL_WIDTH 9 // "upstream" and a space
#define HASH_SHOWN 9  // digits of a commit's hash in the commit list
#define AUTHOR_COL_MAX 20
#define BRANCH_NAME_COL_MAX 32 // widest branch name column
#define UPSTREAM_COL_MAX 28    // widest upstream column

// Columns left after `used` on a line of the terminal's width (-1: no limit).
static int rest(const Term *t, int used) {
    if (t->width <= 0) return -1;
    return t->width > used ? t->width - used : 0;
}

static void label(Buf *b, const Term *t, const char *text) {
    term_on(b, t, SGR_DIM);
    term_cell(b, text, -1, 0);
    term_off(b, t);
    for (int i = (int)strlen(text); i < LABEL_WIDTH; i++) buf_add(b, " ", 1);
}

// A "label value" line; nothing for an empty value.
static void field(Buf *b, const Term *t, const char *name, const char *value, const char *sgr) {
    if (!value || !*value) return;
    label(b, t, name);
    term_on(b, t, sgr);
    term_cell(b, value, rest(t, LABEL_WIDTH), 0);
    if (sgr && *sgr) term_off(b, t);
    buf_puts(b, "\n");
}

// How a branch stands against its upstream: "↑2 ↓1", "upstream gone", "in sync";
// empty without an upstream.
static std::string branch_sync(const BranchRow &br) {
    if (!br.upstream[0]) return "";
    if (br.gone) return "upstream gone";
    std::string text;
    if (br.ahead > 0) text += "\xe2\x86\x91" + std::to_string(br.ahead);
    if (br.behind > 0)
        text += (text.empty() ? "" : " ") + std::string("\xe2\x86\x93") + std::to_string(br.behind);
    return text.empty() ? "in sync" : text;
}

// The table of local branches: the checked-out one marked with '*', its
// upstream and how it stands, its unpushed commits, its last commit.
static void branch_table(Buf *b, const Term *t, const std::vector<BranchRow> &branches,
                         const Repo *r, long long now) {
    if (branches.empty()) return;
    buf_puts(b, "\n");
    term_on(b, t, SGR_BOLD);
    buf_printf(b, "branches (%d)", (int)branches.size());
    term_off(b, t);
    buf_puts(b, "\n");
    int nw = 0, uw = 0, sw = 0, pw = 0, aw = 0;
    for (const BranchRow &br : branches) {
        char age[AGE_TEXT_SIZE];
        age_text(br.ct, now, age);
        nw = std::max(nw, text_cells(br.name));
        uw = std::max(uw, text_cells(br.upstream));
        sw = std::max(sw, text_cells(branch_sync(br).c_str()));
        if (br.unpushed > 0)
            pw = std::max(pw, (int)std::to_string(br.unpushed).size() + 9); // "N unpushed"
        aw = std::max(aw, (int)strlen(age));
    }
    nw = std::min(nw, BRANCH_NAME_COL_MAX);
    uw = std::min(uw, UPSTREAM_COL_MAX);
    for (const BranchRow &br : branches) {
        int current = !r->detached && strcmp(br.name, r->branch) == 0;
        int used = 0;
        auto gap = [&](int n) {
            for (int i = 0; i < n; i++) buf_add(b, " ", 1);
            used += n;
        };
        // A column of `width` cells, then two blanks; nothing for a width of 0.
        auto column = [&](const std::string &text, const char *sgr, int width) {
            if (width == 0) return;
            term_on(b, t, sgr);
            used += term_cell(b, text.c_str(), width, width);
            if (*sgr) term_off(b, t);
            gap(2);
        };
        buf_puts(b, current ? "* " : "  ");
        used += 2;
        column(br.name, current ? SGR_CYAN : "", nw);
        column(br.upstream, "", uw);
        std::string sync = branch_sync(br);
        column(sync, br.gone ? SGR_YELLOW : SGR_MAGENTA, sw);
        column(br.unpushed > 0 ? std::to_string(br.unpushed) + " unpushed" : "", SGR_MAGENTA, pw);
        term_on(b, t, SGR_YELLOW);
        used += term_cell(b, std::string(br.hash).substr(0, HASH_SHOWN).c_str(), -1, HASH_SHOWN);
        term_off(b, t);
        gap(2);
        char age[AGE_TEXT_SIZE];
        age_text(br.ct, now, age);
        gap(aw - (int)strlen(age));
        term_on(b, t, SGR_DIM);
        used += term_cell(b, age, -1, 0);
        term_off(b, t);
        gap(2);
        term_cell(b, br.subject, rest(t, used), 0);
        buf_puts(b, "\n");
    }
}

void show_detail(Buf *b, const Term *t, const Detail *d) {
    const Repo *r = &d->repo;
    long long now = plat_now();

    // First what to do (the step, then the facts it does not tell), as the
    // table says it; then the record.
    state_cell(b, t, r, now, rest(t, 0));
    buf_puts(b, "\n");
    term_on(b, t, SGR_BOLD);
    term_cell(b, r->name, rest(t, 0), 0);
    term_off(b, t);
    buf_puts(b, "\n");
    field(b, t, "path", r->path, "");
    // During a rebase HEAD is detached: the branch line names the branch
    // being rebased.
    field(b, t, "branch", r->operation_branch[0] ? r->operation_branch : r->branch, SGR_CYAN);
    field(b, t, "doing", r->operation, SGR_RED);
    field(b, t, "upstream", r->upstream, "");
    field(b, t, "remote", r->remote, "");
    // What git could not tell of this repository (renames, the commit list).
    field(b, t, "note", r->notice, SGR_YELLOW);
    if (r->last_hash[0]) {
        char age[AGE_TEXT_SIZE];
        age_text(r->last_ct, now, age);
        label(b, t, "last");
        std::string line =
            std::string(r->last_hash).substr(0, HASH_SHOWN) + " " +
            (strcmp(age, "now") == 0 ? std::string("just now") : std::string(age) + " ago") + "  " +
            r->last_subject;
        term_cell(b, line.c_str(), rest(t, LABEL_WIDTH), 0);
        buf_puts(b, "\n");
    }

    if (d->changed_count > 0) {
        buf_puts(b, "\n");
        term_on(b, t, SGR_BOLD);
        buf_printf(b, "changed files (%d)", d->changed_count);
        term_off(b, t);
        buf_puts(b, "\n");
        for (const DetailChange &c : d->changed) {
            buf_puts(b, "  ");
            const char *code = c.code;
            const char *sgr = strcmp(code, "??") == 0   ? SGR_DIM
                              : strcmp(code, "UU") == 0 ? SGR_RED
                                                        : SGR_YELLOW;
            term_on(b, t, sgr);
            term_cell(b, code, -1, 2);
            term_off(b, t);
            buf_puts(b, "  ");
            term_cell_n(b, c.path.data(), c.path.size(), rest(t, 6), 0);
            buf_puts(b, "\n");
        }
        long long more = d->changed_count - (long long)d->changed.size();
        if (more > 0) buf_printf(b, "  ... and %lld more\n", more);
    }

    if (!d->commits.empty()) {
        buf_puts(b, "\n");
        term_on(b, t, SGR_BOLD);
        buf_puts(b, "recent commits");
        term_off(b, t);
        buf_puts(b, "\n");
        int aw = 0, auth = 0;
        for (const DetailCommit &c : d->commits) {
            char age[AGE_TEXT_SIZE];
            age_text(c.ct, now, age);
            int a = (int)strlen(age), w = text_cells(c.author.c_str());
            aw = a > aw ? a : aw;
            auth = w > auth ? w : auth;
        }
        if (auth > AUTHOR_COL_MAX) auth = AUTHOR_COL_MAX;
        for (const DetailCommit &c : d->commits) {
            char age[AGE_TEXT_SIZE];
            age_text(c.ct, now, age);
            int used = 2;
            buf_puts(b, "  ");
            term_on(b, t, SGR_YELLOW);
            used += term_cell(b, c.hash.substr(0, HASH_SHOWN).c_str(), -1, HASH_SHOWN + 2);
            term_off(b, t);
            for (int i = (int)strlen(age); i < aw; i++, used++) buf_add(b, " ", 1);
            term_on(b, t, SGR_DIM);
            used += term_cell(b, age, -1, 0);
            term_off(b, t);
            buf_puts(b, "  ");
            used += 2;
            used += term_cell(b, c.author.c_str(), auth, auth);
            buf_puts(b, "  ");
            used += 2;
            term_cell(b, c.subject.c_str(), rest(t, used), 0);
            buf_puts(b, "\n");
        }
    }
    branch_table(b, t, d->branches, r, now);
}
