#include "front/entry.h"

#include "base/sizes.h"
#include "actions/actions.h"
#include "cli/cli.h"
#include "cgi/query_string.h"
#include "cgi/reply.h"
#include "page/page.h"
#include "git/runner/runner.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

int is_post_request() {
    const char *m = getenv("REQUEST_METHOD");
    return m && strcmp(m, "POST") == 0;
}

// 1 when the text `given` is the password `want`. Every byte of `want` is
// compared whatever the texts hold, so the time taken tells nothing of how
// much of a guess was right (only `want`'s length, which is not secret here).
static int password_equal(const char *given, const char *want) {
    size_t ng = strlen(given), nw = strlen(want);
    volatile unsigned char diff = ng != nw;
    for (size_t i = 0; i < nw; i++) diff |= (unsigned char)(want[i] ^ given[i < ng ? i : ng]);
    return diff == 0;
}

int password_ok() {
    const char *want = env_value("BOT_PASSWORD");
    if (!want) return 1;

    const char *header = getenv("HTTP_X_BOT_PASSWORD");
    if (header && password_equal(header, want)) return 1;

    const char *auth = getenv("HTTP_AUTHORIZATION");
    if (auth) {
        while (*auth == ' ') auth++;
        if (strncmp(auth, "Bearer ", 7) == 0) {
            auth += 7;
            while (*auth == ' ') auth++;
            if (password_equal(auth, want)) return 1;
        }
    }

    const char *q = getenv("QUERY_STRING");
    char pwd[PASSWORD_SIZE];
    if (q && get_address_val(q, "pwd", pwd, sizeof pwd) && password_equal(pwd, want)) return 1;
    return 0;
}

// The JSON actions, chosen by the decoded value of the `action` parameter.
static void json_dispatch(const char *q, const char *action) {
    if (strcmp(action, "repo") == 0) {
        action_repo(q);
    } else if (strcmp(action, "fetch") == 0) {
        if (!is_post_request()) {
            json_reply(400, BODY_FETCH_POST_ONLY);
            return;
        }
        // A path that does not fit whole is refused as the empty one.
        char path[PATH_SIZE];
        get_query_whole(q, "path", path, sizeof path);
        action_fetch(path);
    } else if (!*action || strcmp(action, "repos") == 0 || strcmp(action, "all") == 0) {
        action_repos();
    } else {
        json_reply(0, BODY_UNKNOWN_ACTION);
    }
}

int front_main(int argc, char **argv) {
    if (argc > 1 && strcmp(argv[1], "--meta") == 0) {
        reply_meta();
        return 0;
    }
    if (argc > 1 && strcmp(argv[1], "--version") == 0) {
        reply_version();
        return 0;
    }
    const char *meta = getenv("KS_PLUGIN_META");
    if (meta && *meta) {
        reply_meta();
        return 0;
    }
    // Run by a person (no CGI gateway) with a word as its first argument, or
    // asking for help: a terminal command. A CGI request ignores its
    // arguments as it always has, and so does a run with any other first
    // argument ("--META", "--meta=1", an empty one): it serves as CGI.
    const char *gateway = getenv("GATEWAY_INTERFACE");
    if (argc > 1 && !(gateway && *gateway) &&
        ((argv[1][0] && argv[1][0] != '-') || strcmp(argv[1], "--help") == 0 ||
         strcmp(argv[1], "-h") == 0))
        return cli_main(argc, argv);
    // Routing reads the parameters once, as parsed and decoded: a request
    // with an `action` parameter, with `format` "json", or any POST gets
    // JSON; every other request gets the page.
    const char *env_q = getenv("QUERY_STRING");
    const char *q = env_q ? env_q : "";
    char action[ACTION_NAME_SIZE], format[ACTION_NAME_SIZE];
    int has_action = get_query_val(q, "action", action, sizeof action);
    get_query_val(q, "format", format, sizeof format);
    int json = has_action || strcmp(format, "json") == 0 || is_post_request();
    if (!password_ok()) {
        // A person opening the page is asked for the password; JSON callers
        // get the fixed reply.
        if (json)
            reply_unauthorized();
        else
            serve_password_page();
        return 0;
    }
    if (json)
        json_dispatch(q, action);
    else
        serve_page();
    return 0;
}
