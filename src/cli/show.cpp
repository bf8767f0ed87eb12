// The terminal form of one repository's detail, read back from the detail
// document so that the two always tell the same.
#include "cli/show.h"

#include "base/sizes.h"
#include "cli/json_read.h"
#include "cli/status.h"
#include "platform/platform.h"
#include "text/text.h"

#include <algorithm>
#include <cstring>
#include <string>

#define LABEL_WIDTH 9 // "upstream" and a space
#define HASH_SHOWN 9  // digits of a commit's hash in the commit list
#define AUTHOR_COL_MAX 20
#define BRANCH_NAME_COL_MAX 32 // widest branch name column
#define UPSTREAM_COL_MAX 28    // widest upstream column

static void repo_from_json(const JsonValue &j, Repo *r) {
    repo_init(r, j.get("path").s.c_str(), j.get("name").s.c_str(), j.get("root").s.c_str());
    str_copy(r->branch, sizeof r->branch, j.get("branch").s.c_str());
    str_copy(r->upstream, sizeof r->upstream, j.get("upstream").s.c_str());
    str_copy(r->remote, sizeof r->remote, j.get("remote").s.c_str());
    r->ahead = (int)j.get("ahead").n;
    r->behind = (int)j.get("behind").n;
    r->dirty = (int)j.get("dirty").n;
    r->untracked = (int)j.get("untracked").n;
    r->staged = (int)j.get("staged").n;
    r->conflicted = (int)j.get("conflicted").n;
    r->stash = (int)j.get("stash").n;
    r->detached = j.get("detached").b;
    r->no_upstream = j.get("no_upstream").b;
    r->unborn = j.get("unborn").b;
    const JsonValue &last = j.get("last_commit");
    r->last_ct = last.get("ct").n;
    str_copy(r->last_hash, sizeof r->last_hash, last.get("hash").s.c_str());
    str_copy(r->last_subject, sizeof r->last_subject, last.get("subject").s.c_str());
    str_copy(r->error, sizeof r->error, j.get("error").s.c_str());
    r->upstream_gone = j.get("upstream_gone").b;
    str_copy(r->operation, sizeof r->operation, j.get("operation").s.c_str());
    str_copy(r->operation_branch, sizeof r->operation_branch, j.get("operation_branch").s.c_str());
    r->fetched_at = j.get("fetched_at").n;
    r->unpushed = (int)j.get("unpushed").n;
    r->unpushed_branches = (int)j.get("unpushed_branches").n;
    r->gone_branches = (int)j.get("gone_branches").n;
    r->no_remote = j.get("no_remote").b;
}

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

// How a branch stands against its upstream: "↑2 ↓1", "gone", "in sync";
// empty without an upstream.
static std::string branch_sync(const JsonValue &br) {
    if (br.get("upstream").s.empty()) return "";
    if (br.get("gone").b) return "gone";
    std::string text;
    if (br.get("ahead").n > 0) text += "\xe2\x86\x91" + std::to_string(br.get("ahead").n);
    if (br.get("behind").n > 0)
        text += (text.empty() ? "" : " ") + std::string("\xe2\x86\x93") +
                std::to_string(br.get("behind").n);
    return text.empty() ? "in sync" : text;
}

// The table of local branches: the checked-out one marked with '*', its
// upstream and how it stands, its unpushed commits, its last commit.
static void branch_table(Buf *b, const Term *t, const JsonValue &branches, const Repo *r,
                         long long now) {
    if (branches.items.empty()) return;
    buf_puts(b, "\n");
    term_on(b, t, SGR_BOLD);
    buf_printf(b, "branches (%d)", (int)branches.items.size());
    term_off(b, t);
    buf_puts(b, "\n");
    int nw = 0, uw = 0, sw = 0, pw = 0, aw = 0;
    for (const JsonValue &br : branches.items) {
        char age[AGE_TEXT_SIZE];
        age_text(br.get("last_commit").get("ct").n, now, age);
        nw = std::max(nw, text_cells(br.get("name").s.c_str()));
        uw = std::max(uw, text_cells(br.get("upstream").s.c_str()));
        sw = std::max(sw, text_cells(branch_sync(br).c_str()));
        long long u = br.get("unpushed").n;
        if (u > 0) pw = std::max(pw, (int)std::to_string(u).size() + 9); // "N unpushed"
        aw = std::max(aw, (int)strlen(age));
    }
    nw = std::min(nw, BRANCH_NAME_COL_MAX);
    uw = std::min(uw, UPSTREAM_COL_MAX);
    for (const JsonValue &br : branches.items) {
        const JsonValue &last = br.get("last_commit");
        int current = !r->detached && br.get("name").s == r->branch;
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
        column(br.get("name").s, current ? SGR_CYAN : "", nw);
        column(br.get("upstream").s, "", uw);
        std::string sync = branch_sync(br);
        column(sync, br.get("gone").b ? SGR_YELLOW : SGR_MAGENTA, sw);
        long long u = br.get("unpushed").n;
        column(u > 0 ? std::to_string(u) + " unpushed" : "", SGR_MAGENTA, pw);
        term_on(b, t, SGR_YELLOW);
        used += term_cell(b, last.get("hash").s.substr(0, HASH_SHOWN).c_str(), -1, HASH_SHOWN);
        term_off(b, t);
        gap(2);
        char age[AGE_TEXT_SIZE];
        age_text(last.get("ct").n, now, age);
        gap(aw - (int)strlen(age));
        term_on(b, t, SGR_DIM);
        used += term_cell(b, age, -1, 0);
        term_off(b, t);
        gap(2);
        term_cell(b, last.get("subject").s.c_str(), rest(t, used), 0);
        buf_puts(b, "\n");
    }
}

int show_detail(Buf *b, const Term *t, const char *doc) {
    JsonValue d;
    if (!json_read(doc, &d) || d.kind != JsonValue::OBJECT) return 0;
    static Repo rec;
    Repo *r = &rec;
    repo_from_json(d.get("repo"), r);
    long long now = plat_now();

    term_on(b, t, SGR_BOLD);
    term_cell(b, r->name, rest(t, 0), 0);
    term_off(b, t);
    buf_puts(b, "\n");
    field(b, t, "path", r->path, "");
    field(b, t, "branch", r->branch, SGR_CYAN);
    field(b, t, "upstream", r->upstream, "");
    field(b, t, "remote", r->remote, "");
    label(b, t, "state");
    state_cell(b, t, r, now, rest(t, LABEL_WIDTH));
    buf_puts(b, "\n");
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

    const JsonValue &changed = d.get("changed");
    long long changed_count = d.get("changed_count").n;
    if (changed_count > 0) {
        buf_puts(b, "\n");
        term_on(b, t, SGR_BOLD);
        buf_printf(b, "changed files (%lld)", changed_count);
        term_off(b, t);
        buf_puts(b, "\n");
        for (const JsonValue &c : changed.items) {
            buf_puts(b, "  ");
            const char *code = c.get("code").s.c_str();
            const char *sgr = strcmp(code, "??") == 0   ? SGR_DIM
                              : strcmp(code, "UU") == 0 ? SGR_RED
                                                        : SGR_YELLOW;
            term_on(b, t, sgr);
            term_cell(b, code, -1, 2);
            term_off(b, t);
            buf_puts(b, "  ");
            term_cell(b, c.get("path").s.c_str(), rest(t, 6), 0);
            buf_puts(b, "\n");
        }
        long long more = changed_count - (long long)changed.items.size();
        if (more > 0) buf_printf(b, "  ... and %lld more\n", more);
    }

    const JsonValue &commits = d.get("commits");
    if (!commits.items.empty()) {
        buf_puts(b, "\n");
        term_on(b, t, SGR_BOLD);
        buf_puts(b, "recent commits");
        term_off(b, t);
        buf_puts(b, "\n");
        int aw = 0, auth = 0;
        for (const JsonValue &c : commits.items) {
            char age[AGE_TEXT_SIZE];
            age_text(c.get("ct").n, now, age);
            int a = (int)strlen(age), w = text_cells(c.get("author").s.c_str());
            aw = a > aw ? a : aw;
            auth = w > auth ? w : auth;
        }
        if (auth > AUTHOR_COL_MAX) auth = AUTHOR_COL_MAX;
        for (const JsonValue &c : commits.items) {
            char age[AGE_TEXT_SIZE];
            age_text(c.get("ct").n, now, age);
            int used = 2;
            buf_puts(b, "  ");
            term_on(b, t, SGR_YELLOW);
            used += term_cell(b, c.get("hash").s.substr(0, HASH_SHOWN).c_str(), -1, HASH_SHOWN + 2);
            term_off(b, t);
            for (int i = (int)strlen(age); i < aw; i++, used++) buf_add(b, " ", 1);
            term_on(b, t, SGR_DIM);
            used += term_cell(b, age, -1, 0);
            term_off(b, t);
            buf_puts(b, "  ");
            used += 2;
            used += term_cell(b, c.get("author").s.c_str(), auth, auth);
            buf_puts(b, "  ");
            used += 2;
            term_cell(b, c.get("subject").s.c_str(), rest(t, used), 0);
            buf_puts(b, "\n");
        }
    }
    branch_table(b, t, d.get("branches"), r, now);
    return 1;
}
