// The detail action: one allowlisted repository with its changed files and
// recent commits.
#include "actions/actions.h"
#include "cgi/query_string.h"
#include "cgi/reply.h"
#include "out/text.h"
#include "repo/repo.h"
#include "roots/roots.h"

#include <cstdlib>
#include <cstring>

#define CHANGED_MAX 500
#define COMMITS_MAX 20
#define CHANGE_PATH_SIZE 900
#define COMMIT_LINE_SIZE 1500

// Passes `n` space-separated fields and the spaces after each.
static const char *skip_fields(const char *s, int n) {
    for (int i = 0; i < n && *s; i++) {
        while (*s && *s != ' ') s++;
        while (*s == ' ') s++;
    }
    return s;
}

// The change code and path of one porcelain v2 status entry.
static void change_of_line(const char *line, char code[3], char *path) {
    const char *rest = line;
    int rename = 0;
    str_copy(code, 3, "--");
    switch (line[0]) {
    case '?':
    case '!':
        code[0] = code[1] = line[0];
        rest = strlen(line) >= 2 ? line + 2 : "";
        break;
    case 'u':
        str_copy(code, 3, "UU");
        rest = skip_fields(line, 10);
        break;
    case '1':
    case '2':
        rename = line[0] == '2';
        if (line[1] == ' ') str_copy(code, 3, line + 2);
        rest = skip_fields(line, rename ? 9 : 8);
        break;
    default:
        break;
    }
    str_copy(path, CHANGE_PATH_SIZE, rest);
    if (rename) {
        // "new<TAB>old": the entry is listed under the path it had before.
        char *tab = strchr(path, '\t');
        if (tab) memmove(path, tab + 1, strlen(tab + 1) + 1);
    }
}

static void emit_changes(Buf *b, const char *text, int *seen, int *truncated) {
    char line[STATUS_LINE_SIZE], path[CHANGE_PATH_SIZE], code[3];
    int listed = 0;
    for (const char *p = text; text_next_line(&p, line, sizeof line, 0);) {
        str_trim(line);
        if (!line[0] || line[0] == '#') continue;
        ++*seen;
        if (listed >= CHANGED_MAX) {
            *truncated = 1;
            continue;
        }
        change_of_line(line, code, path);
        buf_puts(b, listed ? ",{\"code\":" : "{\"code\":");
        json_str(b, code);
        buf_puts(b, ",\"path\":");
        json_str(b, path);
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

void action_repo(const char *query) {
    static const char *const STATUS[] = {"status", "--porcelain=v2", "--untracked-files=normal",
                                         nullptr};
    static const char *const LOG[] = {"log", "-20", "--format=%H%x09%ct%x09%an%x09%s", nullptr};
    char requested[1024], full[1400];
    collect_roots();
    get_query_val(query, "path", requested, sizeof requested);
    if (!path_allowed(requested, full)) {
        json_reply(403, BODY_PATH_REFUSED);
        return;
    }
    // The one record of this request, below the root that admitted the path.
    Repo rec;
    Repo *r = &rec;
    int root = root_index_for(full);
    repo_init(r, full, base_name(full), root >= 0 ? g_roots[root].root : "");
    query_repo(r, MODE_DETAIL);

    json_header(0);
    Buf b, out;
    buf_init(&b);
    buf_puts(&b, "{\"ok\":true,\"action\":\"repo\",\"repo\":");
    emit_repo(&b, r);

    int seen = 0, truncated = 0;
    buf_puts(&b, ",\"changed\":[");
    buf_init(&out);
    if (run_git(r->path, STATUS, &out, RUN_LIMIT_S) >= 0 && out.data)
        emit_changes(&b, out.data, &seen, &truncated);
    buf_free(&out);
    buf_printf(&b, "],\"changed_count\":%d,\"changed_truncated\":%s", seen, json_bool(truncated));

    buf_puts(&b, ",\"commits\":[");
    buf_init(&out);
    if (run_git(r->path, LOG, &out, RUN_LIMIT_S) >= 0 && out.data) emit_commits(&b, out.data);
    buf_free(&out);
    buf_puts(&b, "]}\n");
    buf_write_stdout(&b);
    buf_free(&b);
}
