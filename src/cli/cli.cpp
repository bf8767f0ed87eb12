// The terminal commands: argument parsing and the three commands.
#include "cli/cli.h"

#include "actions/actions.h"
#include "base/sizes.h"
#include "cgi/reply.h"
#include "cli/fetch_all.h"
#include "cli/json_read.h"
#include "cli/show.h"
#include "cli/status.h"
#include "cli/term.h"
#include "platform/platform.h"
#include "repo/repo.h"
#include "roots/roots.h"
#include "text/text.h"

#include <cstdio>
#include <cstring>
#include <vector>

static const char USAGE[] = "usage: quarlo status [--json] [--only-here] [--exit-code] [ROOT...]\n"
                            "       quarlo show [--json] PATH\n"
                            "       quarlo fetch (--all | PATH...)\n"
                            "       quarlo --help | --version\n";

static const char HELP[] =
    "quarlo: the status of every git repository below a few folders.\n"
    "\n"
    "Without arguments it answers one CGI request (the bot's plugin); with a\n"
    "command it answers at the terminal:\n"
    "\n"
    "  quarlo status [--json] [--only-here] [--exit-code] [ROOT...]\n"
    "      One line per repository below the ROOT folders (without any, the\n"
    "      roots QUARLO_ROOTS names, as the CGI listing): name, branch, what\n"
    "      needs you (errors, conflicts, changes, ahead and behind, stashes,\n"
    "      unpushed commits on any branch, no remote, gone branches), the age\n"
    "      and subject of the last commit; those that need you first, then a\n"
    "      summary line. Lines are cut to COLUMNS, else to the terminal's\n"
    "      width; written to a pipe or a file they are whole. Colour only on a\n"
    "      terminal and when NO_COLOR is not set. --json prints the listing\n"
    "      document of the CGI action \"repos\". --only-here lists just the\n"
    "      repositories holding work that exists only on this machine\n"
    "      (changes, untracked files, stashes, unpushed commits, no remote),\n"
    "      with what that is in each. --exit-code exits 1 when any listed\n"
    "      repository needs you or holds work only here.\n"
    "\n"
    "  quarlo show [--json] PATH\n"
    "      One repository in depth: its record, changed files, recent commits\n"
    "      and every local branch. PATH must lie in a root. --json prints the detail document\n"
    "      of the CGI action \"repo\".\n"
    "\n"
    "  quarlo fetch --all\n"
    "  quarlo fetch PATH...\n"
    "      git fetch --prune in every listed repository that has a remote, or\n"
    "      in the repositories named, several at once (QUARLO_JOBS), with the\n"
    "      fetch action's limits; then a table of what moved and the errors.\n"
    "\n"
    "Exit status: 0 when the command did its work; 1 when a repository could\n"
    "not be read, a fetch failed or a path was refused (or, with --exit-code,\n"
    "a repository needs you or holds work only here); 2 for a wrong command\n"
    "line.\n";

static int usage_error(const char *why) {
    term_error(why);
    plat_write_text(PLAT_STDERR, USAGE, strlen(USAGE));
    return CLI_USAGE;
}

// Writes `b` to standard output and returns `rc`, or CLI_FAILED when the
// text could not be written whole.
static int print_or_fail(const Buf *b, int rc) {
    return term_write(b, PLAT_STDOUT) ? rc : CLI_FAILED;
}

// Command-line options: flags before or between the operands, "--" ends
// them.
struct Args {
    int json;
    int all;
    int only_here;
    int exit_code;
    std::vector<const char *> operands;
};

// Reads argv[2..] into *a, allowing the flags `allowed` ("json", "all").
// Returns 1, or 0 after a usage error was told.
static int read_args(int argc, char **argv, const char *allowed, Args *a, int *rc) {
    a->json = a->all = a->only_here = a->exit_code = 0;
    int options = 1;
    for (int i = 2; i < argc; i++) {
        const char *s = argv[i];
        if (options && strcmp(s, "--") == 0) {
            options = 0;
        } else if (options && strcmp(s, "--json") == 0 && strstr(allowed, "json")) {
            a->json = 1;
        } else if (options && strcmp(s, "--all") == 0 && strstr(allowed, "all")) {
            a->all = 1;
        } else if (options && strcmp(s, "--only-here") == 0 && strstr(allowed, "only-here")) {
            a->only_here = 1;
        } else if (options && strcmp(s, "--exit-code") == 0 && strstr(allowed, "exit-code")) {
            a->exit_code = 1;
        } else if (options && s[0] == '-' && s[1]) {
            char why[ERROR_TEXT_SIZE];
            snprintf(why, sizeof why, "unknown option %.200s", s);
            *rc = usage_error(why);
            return 0;
        } else {
            a->operands.push_back(s);
        }
    }
    return 1;
}

// The roots of the table: those given (as full paths), else the
// environment's.
static int set_roots(const Args &a, int *rc) {
    if (a.operands.empty()) {
        collect_roots();
        return 1;
    }
    if ((int)a.operands.size() > ROOT_MAX) {
        char why[ERROR_TEXT_SIZE];
        snprintf(why, sizeof why, "at most %d roots", ROOT_MAX);
        *rc = usage_error(why);
        return 0;
    }
    g_root_count = 0;
    for (const char *given : a.operands) {
        char full[FULL_PATH_SIZE];
        unsigned long n = plat_full_path(given, full, sizeof full);
        root_add(n > 0 && n < sizeof full ? full : given);
    }
    return 1;
}

static int cmd_status(int argc, char **argv) {
    Args a;
    int rc = CLI_OK;
    if (!read_args(argc, argv, "json only-here exit-code", &a, &rc) || !set_roots(a, &rc))
        return rc;
    listing_collect();
    // --only-here keeps the records holding work only here, in their order.
    if (a.only_here) {
        int kept = 0;
        for (int i = 0; i < g_repo_count; i++)
            if (repo_only_here(&g_repos[i])) g_repos[kept++] = g_repos[i];
        g_repo_count = kept;
    }
    int errors = 0, attention = 0;
    for (int i = 0; i < g_repo_count; i++) {
        errors += g_repos[i].error[0] != 0;
        attention += repo_needs_user(&g_repos[i]) || repo_only_here(&g_repos[i]);
    }
    rc = errors || (a.exit_code && attention) ? CLI_FAILED : CLI_OK;
    Buf b;
    buf_init(&b, DOC_MAX);
    if (a.json) {
        listing_document(&b);
    } else {
        // A root named on the command line that is not there is told.
        if (!a.operands.empty())
            for (int i = 0; i < g_root_count; i++)
                if (!g_roots[i].exists) {
                    char why[ERROR_TEXT_SIZE];
                    snprintf(why, sizeof why, "%.1000s: no such folder", g_roots[i].root);
                    term_error(why);
                }
        Term t = term_for_stdout();
        status_table(&b, &t, g_repos, g_repo_count, a.only_here);
    }
    rc = print_or_fail(&b, rc);
    buf_free(&b);
    return rc;
}

static int cmd_show(int argc, char **argv) {
    Args a;
    int rc = CLI_OK;
    if (!read_args(argc, argv, "json", &a, &rc)) return rc;
    if (a.operands.size() != 1) return usage_error("show takes one PATH");
    collect_roots();
    Buf doc;
    buf_init(&doc, DOC_MAX);
    if (!detail_document(a.operands[0], &doc)) {
        buf_free(&doc);
        // The CGI answer's message: the document itself with --json.
        if (a.json) {
            plat_write_text(PLAT_STDOUT, BODY_PATH_REFUSED, strlen(BODY_PATH_REFUSED));
        } else {
            term_error("path not in an allowlisted root");
        }
        return CLI_FAILED;
    }
    if (!buf_ok(&doc)) {
        term_error("the answer did not fit in memory");
        return CLI_FAILED;
    }
    // A repository git could not read is told with its error, and fails.
    JsonValue parsed;
    int unreadable = !json_read(doc.data, &parsed) || !parsed.get("repo").get("error").s.empty();
    rc = unreadable ? CLI_FAILED : CLI_OK;
    if (a.json) {
        rc = print_or_fail(&doc, rc);
    } else {
        Buf b;
        buf_init(&b, DOC_MAX);
        Term t = term_for_stdout();
        if (!show_detail(&b, &t, doc.data)) rc = CLI_FAILED;
        rc = print_or_fail(&b, rc);
        buf_free(&b);
    }
    buf_free(&doc);
    return rc;
}

static int cmd_fetch(int argc, char **argv) {
    Args a;
    int rc = CLI_OK;
    if (!read_args(argc, argv, "all", &a, &rc)) return rc;
    if (a.all && !a.operands.empty()) return usage_error("fetch takes --all or PATHs, not both");
    if (!a.all && a.operands.empty()) return usage_error("fetch needs --all or a PATH");
    collect_roots();
    std::vector<FetchJob> jobs;
    int refused = 0;
    if (a.all) {
        listing_collect();
        jobs.resize((size_t)g_repo_count);
        for (int i = 0; i < g_repo_count; i++) {
            FetchJob *j = &jobs[(size_t)i];
            memset(j, 0, sizeof *j);
            j->before = g_repos[i];
            j->only_with_remote = 1;
        }
    } else {
        for (const char *given : a.operands) {
            char full[FULL_PATH_SIZE];
            int root = -1;
            if (!path_allowed(given, full, &root)) {
                char why[ERROR_TEXT_SIZE];
                snprintf(why, sizeof why, "%.1000s: path not in an allowlisted root", given);
                term_error(why);
                refused++;
                continue;
            }
            jobs.emplace_back();
            FetchJob *j = &jobs.back();
            memset(j, 0, sizeof *j);
            repo_init(&j->before, full, base_name(full), root_match_text(&g_roots[root]));
            j->query_before = 1;
        }
    }
    fetch_jobs(jobs.data(), (int)jobs.size(), listing_jobs(), plat_is_terminal(PLAT_STDERR));
    Buf b;
    buf_init(&b, DOC_MAX);
    Term t = term_for_stdout();
    int failed = fetch_table(&b, &t, jobs.data(), (int)jobs.size(), !a.all);
    rc = print_or_fail(&b, failed || refused ? CLI_FAILED : CLI_OK);
    buf_free(&b);
    return rc;
}

int cli_main(int argc, char **argv) {
    const char *cmd = argv[1];
    if (strcmp(cmd, "--help") == 0 || strcmp(cmd, "-h") == 0 || strcmp(cmd, "help") == 0) {
        return plat_write_text(PLAT_STDOUT, HELP, strlen(HELP)) ? CLI_OK : CLI_FAILED;
    }
    if (strcmp(cmd, "status") == 0) return cmd_status(argc, argv);
    if (strcmp(cmd, "show") == 0) return cmd_show(argc, argv);
    if (strcmp(cmd, "fetch") == 0) return cmd_fetch(argc, argv);
    char why[ERROR_TEXT_SIZE];
    snprintf(why, sizeof why, "unknown command %.200s", cmd);
    return usage_error(why);
}
