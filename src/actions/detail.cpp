// The detail action: one allowlisted repository with its changed files and
// recent commits.
#include "actions/actions.h"
#include "cgi/query_string.h"
#include "cgi/reply.h"
#include "text/text.h"
#include "repo/repo.h"
#include "roots/roots.h"

#include <cstdlib>
#include <cstring>

#define CHANGED_MAX 500
#define COMMITS_MAX 20

static_assert(sizeof(Repo::path) > ALLOWED_PATH_MAX, "an allowed path fits a record whole");

// The change entries of git's porcelain status (its -z form, `len` bytes),
// read as the status query reads them: each entry whole, however long, with
// its path as it is on disk.
static void emit_changes(Buf *b, const char *text, size_t len, int *seen, int *truncated) {
    StatusLine l;
    int listed = 0;
    for (const char *p = text; status_next_line(&p, text + len, &l);) {
        if (l.text[0] == '#') continue;
        ++*seen;
        if (listed >= CHANGED_MAX) {
            *truncated = 1;
            continue;
        }
        buf_puts(b, listed ? ",{\"code\":" : "{\"code\":");
        json_str(b, l.code);
        buf_puts(b, ",\"path\":");
        json_strn(b, l.path, l.path_len);
        buf_add(b, "}", 1);
        listed++;
    }
}

static void emit_commits(Buf *b, const char *text) {
    char line[COMMIT_LINE_SIZE];
    int listed = 0;
    for (const char *p = text; listed < COMMITS_MAX && text_next_line(&p, line, sizeof line, 1);) {
        if (!line[0]) continue;
        char *t1 = strchr(line, '\t');
        char *t2 = t1 ? strchr(t1 + 1, '\t') : nullptr;
        if (!t2) continue;
        *t1 = 0;
        *t2 = 0;
        char *author = t2 + 1;
        char *subject = strchr(author, '\t');
        if (subject)
            *subject++ = 0;
        else
            subject = (char *)"";
        buf_puts(b, listed ? ",{\"hash\":" : "{\"hash\":");
        json_str(b, line);
        buf_printf(b, ",\"ct\":%lld,\"author\":", strtoll(t1 + 1, nullptr, 10));
        json_str(b, author);
        buf_puts(b, ",\"subject\":");
        json_str(b, subject);
        buf_add(b, "}", 1);
        listed++;
    }
}

// The local branches: each with its upstream, how far it is from it, its
// commits on no remote-tracking branch and its last commit.
static void emit_branches(Buf *b, const std::vector<BranchRow> &rows) {
    for (size_t i = 0; i < rows.size(); i++) {
        const BranchRow &w = rows[i];
        buf_puts(b, i ? ",{\"name\":" : "{\"name\":");
        json_str(b, w.name);
        buf_puts(b, ",\"upstream\":");
        json_str(b, w.upstream);
        buf_printf(b, ",\"ahead\":%d,\"behind\":%d,\"gone\":%s,\"unpushed\":%d", w.ahead, w.behind,
                   json_bool(w.gone), w.unpushed);
        buf_puts(b, ",\"last_commit\":{\"hash\":");
        json_str(b, w.hash);
        buf_printf(b, ",\"ct\":%lld,\"subject\":", w.ct);
        json_str(b, w.subject);
        buf_puts(b, "}}");
    }
}

int detail_document(const char *requested, Buf *b) {
    char full[FULL_PATH_SIZE];
    int root = -1;
    if (!path_allowed(requested, full, &root)) return 0;
    // The one record of this request, below the root that admitted the path,
    // named as the listing names it.
    Repo rec;
    Repo *r = &rec;
    repo_init(r, full, base_name(full), root_match_text(&g_roots[root]));
    // One status serves the record and the changed list, one log the
    // record's last commit and the commit list.
    Buf status, log;
    query_repo_detail(r, &status, &log);
    std::vector<BranchRow> branches;
    if (!r->error[0]) query_branches(r, &branches);

    // A repository git could not read answers with its record and error, no
    // changes and no commits: nothing of a failed command is listed.
    Buf changes, commits;
    buf_init(&changes, DOC_MAX);
    buf_init(&commits, DOC_MAX);
    int seen = 0, truncated = 0;
    if (!r->error[0] && status.data)
        emit_changes(&changes, status.data, (size_t)status.len, &seen, &truncated);
    if (!r->error[0] && !r->unborn && log.data) emit_commits(&commits, log.data);
    buf_free(&status);
    buf_free(&log);
    int readable = !r->error[0];
    if (!readable) seen = truncated = 0;

    buf_puts(b, "{\"ok\":true,\"action\":\"repo\",\"repo\":");
    emit_repo(b, r);
    buf_puts(b, ",\"changed\":[");
    // A part that could not be kept fails the whole document (a 500), never
    // a shorter list.
    if (readable && !buf_ok(&changes)) buf_free(b);
    if (readable && buf_ok(&changes)) buf_add(b, changes.data, (size_t)changes.len);
    buf_printf(b, "],\"changed_count\":%d,\"changed_truncated\":%s", seen, json_bool(truncated));
    buf_puts(b, ",\"commits\":[");
    if (readable && !buf_ok(&commits)) buf_free(b);
    if (readable && buf_ok(&commits)) buf_add(b, commits.data, (size_t)commits.len);
    buf_puts(b, "],\"branches\":[");
    if (!r->error[0]) emit_branches(b, branches);
    buf_puts(b, "]}\n");
    buf_free(&changes);
    buf_free(&commits);
    return 1;
}

void action_repo(const char *query) {
    char requested[PATH_SIZE];
    collect_roots();
    // A path that does not fit whole (or holds a zero byte) is refused with
    // the empty one, never answered for the part of it that fits.
    get_query_whole(query, "path", requested, sizeof requested);
    Buf b;
    buf_init(&b, DOC_MAX);
    if (detail_document(requested, &b))
        reply_document(&b);
    else
        json_reply(403, BODY_PATH_REFUSED);
    buf_free(&b);
}
