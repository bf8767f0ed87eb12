#include "front/entry.h"

#include "actions/actions.h"
#include "front/query.h"
#include "front/reply.h"
#include "page/page.h"
#include "roots/roots.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int is_post_request() {
    const char *m = getenv("REQUEST_METHOD");
    return m && strcmp(m, "POST") == 0;
}

int password_ok() {
    const char *want = getenv("BOT_PASSWORD");
    if (!want || !*want) return 1;

    const char *header = getenv("HTTP_X_BOT_PASSWORD");
    if (header && strcmp(header, want) == 0) return 1;

    const char *auth = getenv("HTTP_AUTHORIZATION");
    if (auth) {
        while (*auth == ' ') auth++;
        if (strncmp(auth, "Bearer ", 7) == 0) {
            auth += 7;
            while (*auth == ' ') auth++;
            if (strcmp(auth, want) == 0) return 1;
        }
    }

    const char *q = getenv("QUERY_STRING");
    char pwd[256];
    if (q && get_query_val(q, "pwd", pwd, sizeof pwd) && strcmp(pwd, want) == 0) return 1;
    return 0;
}

static int fetch_road(const char *q) {
    char path[1024];
    collect_roots();
    get_query_val(q, "path", path, sizeof path);
    return do_fetch(path);
}

static int json_dispatch(const char *q) {
    char action[64];
    get_query_val(q, "action", action, sizeof action);
    if (strcmp(action, "repo") == 0) {
        action_repo(q);
    } else if (strcmp(action, "fetch") == 0) {
        if (is_post_request()) return fetch_road(q);
        json_reply(400, BODY_FETCH_POST_ONLY);
    } else if (!*action || strcmp(action, "repos") == 0 || strcmp(action, "all") == 0) {
        action_repos();
    } else {
        json_reply(0, BODY_UNKNOWN_ACTION);
    }
    return 0;
}

int front_main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "--meta") == 0) {
        reply_meta();
        return 0;
    }
    const char *meta = getenv("KS_PLUGIN_META");
    if (meta && *meta) {
        reply_meta();
        return 0;
    }
    const char *env_q = getenv("QUERY_STRING");
    const char *q = env_q ? env_q : "";
    int post = is_post_request();
    int json = strstr(q, "action=") || strstr(q, "format=json") || post;
    if (!password_ok()) {
        // A person opening the page is asked for the password; JSON callers
        // get the fixed reply.
        if (json)
            reply_unauthorized();
        else
            serve_password_page();
        return 0;
    }

    if (post && strstr(q, "action=fetch")) return fetch_road(q);
    if (json) return json_dispatch(q);
    serve_page();
    return 0;
}
