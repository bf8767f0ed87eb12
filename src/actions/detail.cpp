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

static void emit_commits(Buf *b, const char *text, size_t len) {
    LogRecord c;
    int listed = 0;
    for (const char *p = text; listed < COMMITS_MAX && log_next_record(&p, text + len, &c);) {
        buf_puts(b, listed ? ",{\"hash\":" : "{\"hash\":");
        json_strn(b, c.hash.text, c.hash.len);
        buf_printf(b, ",\"ct\":%lld,\"author\":", parse_commit_time(c.ct.text, c.ct.len));
        json_strn(b, c.author.text, c.author.len);
        buf_puts(b, ",\"subject\":");
        json_strn(b, c.subject.text, c.subject.len);
        buf_add(b, "}", 1);
        listed++;
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

    // A repository git could not read answers with its record and error, no
    // changes and no commits: nothing of a failed command is listed.
    Buf changes, commits;
    buf_init(&changes, DOC_MAX);
    buf_init(&commits, DOC_MAX);
    int seen = 0, truncated = 0;
    if (!r->error[0] && status.data)
        emit_changes(&changes, status.data, (size_t)status.len, &seen, &truncated);
    if (!r->error[0] && !r->unborn && log.data) emit_commits(&commits, log.data, (size_t)log.len);
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
