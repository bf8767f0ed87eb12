// The fetch action: git fetch --prune in one allowlisted repository, where
// the node operator has switched it on.
#include "actions/actions.h"
#include "cgi/reply.h"
#include "repo/repo.h"
#include "git/runner/runner.h"
#include "roots/roots.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static int fetch_enabled() {
    const char *v = getenv("QUARLO_ALLOW_FETCH");
    return v && strcmp(v, "1") == 0;
}

int fetch_run(const char *full, Buf *out, char *why, size_t why_size) {
    static const char *const FETCH[] = {"fetch", "--prune", nullptr};
    RunEnd end;
    // The fetch's output is shown as git wrote it: both streams, as they came.
    int code = run_git_fetch(full, FETCH, out, fetch_limit_s(), &end, out);
    if (why_size) why[0] = 0;
    if (end != RUN_EXITED || code != 0)
        run_failure_text(end, code, out->data, fetch_limit_s(), why, why_size);
    return code;
}

void action_fetch(const char *path) {
    char full[FULL_PATH_SIZE];
    Roots roots;
    collect_roots(&roots);
    if (!path_allowed(&roots, path, full, nullptr)) {
        json_reply(403, BODY_PATH_REFUSED);
        return;
    }
    if (!fetch_enabled()) {
        json_header(0);
        fputs("{\"ok\":false,\"error\":\"fetch is disabled on this node\","
              "\"hint\":\"set QUARLO_ALLOW_FETCH=1 to enable git fetch --prune\"}\n",
              stdout);
        return;
    }

    Buf out;
    buf_init(&out, RUN_OUTPUT_MAX);
    char why[ERROR_TEXT_SIZE];
    int code = fetch_run(full, &out, why, sizeof why);

    // The action's own record: ahead and behind as the fetch left them (also
    // after a fetch stopped at its limit, which mostly waited on a remote).
    Repo r;
    repo_init(&r, full, "", "");
    query_repo(&r, MODE_STASH_LIST);

    Buf b;
    buf_init(&b, DOC_MAX);
    buf_printf(&b, "{\"ok\":%s,\"action\":\"fetch\",\"exit\":%d", json_bool(code == 0), code);
    buf_puts(&b, ",\"path\":");
    json_str(&b, full);
    buf_puts(&b, ",\"output\":");
    json_str(&b, out.data);
    buf_printf(&b, ",\"ahead\":%d,\"behind\":%d,\"branch\":", r.ahead, r.behind);
    json_str(&b, r.branch);
    // What failed: the fetch, else the status query after it.
    buf_puts(&b, ",\"error\":");
    json_str(&b, why[0] ? why : r.error);
    buf_puts(&b, "}\n");
    reply_document(&b);
    buf_free(&b);
    buf_free(&out);
}
