// The terminal form of one repository's detail, rendered from the same value
// as the detail document so that the two always tell the same.
#include "cli/show.h"

#include "actions/actions.h"
#include "base/sizes.h"
#include "cli/status.h"
#include "platform/platform.h"
#include "text/text.h"

#include <cstring>
#include <string>

#define LABEL_WIDTH 9 // "upstream" and a space
#define HASH_SHOWN 9  // digits of a commit's hash in the commit list
#define AUTHOR_COL_MAX 20

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
}
