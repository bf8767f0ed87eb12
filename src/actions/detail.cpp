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
#include <string>
#include <utility>

static_assert(sizeof(Repo::path) > ALLOWED_PATH_MAX, "an allowed path fits a record whole");

// The change entries of git's porcelain status (its -z form, `len` bytes),
// read as the status query reads them: each entry whole, however long, with
// its path as it is on disk.
static void collect_changes(Detail *d, const char *text, size_t len) {
    StatusLine l;
    for (const char *p = text; status_next_line(&p, text + len, &l);) {
        if (l.text[0] == '#') continue;
        ++d->changed_count;
        if (d->changed.size() >= DETAIL_CHANGED_MAX) {
            d->changed_truncated = 1;
            continue;
        }
        DetailChange c;
        memcpy(c.code, l.code, sizeof c.code);
        c.path.assign(l.path, l.path_len);
        d->changed.push_back(std::move(c));
    }
}

// The log's "%H%x09%ct%x09%an%x09%s" lines; a line without its first two
// tabs is passed over.
static void collect_commits(Detail *d, const char *text) {
    char line[COMMIT_LINE_SIZE];
    for (const char *p = text;
         d->commits.size() < DETAIL_COMMITS_MAX && text_next_line(&p, line, sizeof line, 1);) {
        LogLine l;
        if (!log_line_read(line, line + strlen(line), 1, &l) || !l.author) continue;
        d->commits.push_back({std::string(l.hash, l.hash_len), l.ct,
                              std::string(l.author, l.author_len),
                              l.subject ? std::string(l.subject, l.subject_len) : std::string()});
    }
}

int detail_collect(const Roots *roots, const char *requested, Detail *d) {
    char full[FULL_PATH_SIZE];
    int root = -1;
    if (!path_allowed(roots, requested, full, &root)) return 0;
    // The one record of this request, below the root that admitted the path,
    // named as the listing names it.
    Repo *r = &d->repo;
    repo_init(r, full, base_name(full), root_match_text(&roots->list[root]));
    d->changed.clear();
    d->commits.clear();
    d->changed_count = d->changed_truncated = 0;
    // One status serves the record and the changed list, one log the
    // record's last commit and the commit list.
    Buf status, log;
    query_repo_detail(r, &status, &log);
    // A repository git could not read has its record and error, no changes,
    // no commits and no branches: nothing of a failed command is listed.
    d->branches.clear();
    if (!r->error[0]) query_branches(r, &d->branches);
    if (!r->error[0] && status.data) collect_changes(d, status.data, (size_t)status.len);
    if (!r->error[0] && !r->unborn && log.data) collect_commits(d, log.data);
    buf_free(&status);
    buf_free(&log);
    return 1;
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

void detail_emit(Buf *b, const Detail *d) {
    buf_puts(b, "{\"ok\":true,\"action\":\"repo\",\"repo\":");
    emit_repo(b, &d->repo);
    buf_puts(b, ",\"changed\":[");
    for (size_t i = 0; i < d->changed.size(); i++) {
        const DetailChange &c = d->changed[i];
        buf_puts(b, i ? ",{\"code\":" : "{\"code\":");
        json_str(b, c.code);
        buf_puts(b, ",\"path\":");
        json_strn(b, c.path.data(), c.path.size());
        buf_add(b, "}", 1);
    }
    buf_printf(b, "],\"changed_count\":%d,\"changed_truncated\":%s", d->changed_count,
               json_bool(d->changed_truncated));
    buf_puts(b, ",\"commits\":[");
    for (size_t i = 0; i < d->commits.size(); i++) {
        const DetailCommit &c = d->commits[i];
        buf_puts(b, i ? ",{\"hash\":" : "{\"hash\":");
        json_str(b, c.hash.c_str());
        buf_printf(b, ",\"ct\":%lld,\"author\":", c.ct);
        json_str(b, c.author.c_str());
        buf_puts(b, ",\"subject\":");
        json_str(b, c.subject.c_str());
        buf_add(b, "}", 1);
    }
    buf_puts(b, "],\"branches\":[");
    emit_branches(b, d->branches);
    buf_puts(b, "]}\n");
}

void action_repo(const char *query) {
    char requested[PATH_SIZE];
    Roots roots;
    collect_roots(&roots);
    // A path that does not fit whole (or holds a zero byte) is refused with
    // the empty one, never answered for the part of it that fits.
    get_query_whole(query, "path", requested, sizeof requested);
    Detail d;
    if (!detail_collect(&roots, requested, &d)) {
        json_reply(403, BODY_PATH_REFUSED);
        return;
    }
    Buf b;
    buf_init(&b, DOC_MAX);
    detail_emit(&b, &d);
    reply_document(&b);
    buf_free(&b);
}
