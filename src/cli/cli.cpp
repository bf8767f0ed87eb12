// The terminal commands: argument parsing and the three commands.
#include "cli/cli.h"

#include "actions/actions.h"
#include "base/sizes.h"
#include "cgi/reply.h"
#include "cli/fetch_all.h"
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

static const char USAGE[] =
    "usage: quarlo status [--json | --paths] [--only-here] [--exit-code] [ROOT...]\n"
    "       quarlo show [--json] PATH\n"
    "       quarlo fetch (--all [ROOT...] | PATH...)\n"
    "       quarlo --help | --version\n";

static const char HELP[] =
    "quarlo: the status of every git repository below a few folders.\n"
    "\n"
    "Without arguments it answers one CGI request (the bot's plugin); with a\n"
    "command it answers at the terminal:\n"
    "\n"
    "  quarlo status [--json | --paths] [--only-here] [--exit-code] [ROOT...]\n"
    "      One line per repository below the ROOT folders (without any, the\n"
    "      roots QUARLO_ROOTS names, as the CGI listing): name, branch, what\n"
    "      needs you (errors, conflicts, changes, ahead and behind, stashes,\n"
    "      unpushed commits on any branch, no remote, gone branches), the age\n"
    "      and subject of the last commit; those that need you first, then a\n"
    "      summary line. Lines are cut to COLUMNS, else to the terminal's\n"
    "      width; written to a pipe or a file they are whole. Colour only on a\n"
    "      terminal, when NO_COLOR is not set and TERM is not \"dumb\". A ROOT\n"
    "      that is not a folder is told, and so is a root whose search left\n"
    "      repositories out. --json prints the listing document of the CGI\n"
    "      action \"repos\". --paths prints only the paths of the repositories\n"
    "      found, one per line, without running git (for shell completion and\n"
    "      scripts). --only-here lists just the repositories holding work that\n"
    "      exists only on this machine (changes, untracked files, stashes,\n"
    "      unpushed commits, no remote), with what that is in each. --exit-code\n"
    "      exits 1 when any listed repository needs you or holds work only here.\n"
    "\n"
    "  quarlo show [--json] PATH\n"
    "      One repository in depth: its record, changed files, recent commits\n"
    "      and every local branch. PATH must lie in a root. --json prints the\n"
    "      detail document of the CGI action \"repo\".\n"
    "\n"
    "  quarlo fetch --all [ROOT...]\n"
    "  quarlo fetch PATH...\n"
    "      git fetch --prune in every listed repository that has a remote (below\n"
    "      the ROOT folders given, as status takes them), or in the repositories\n"
    "      named, several at once (QUARLO_JOBS), with the fetch action's limits;\n"
    "      then a table of what moved and the errors.\n"
    "\n"
    "Exit status: 0 when the command did its work; 1 when a repository could\n"
    "not be read, a fetch failed, a path was refused, a ROOT is not a folder\n"
    "or a root's search left repositories out (or, with --exit-code, a\n"
    "repository needs you or holds work only here); 2 for a wrong command line.\n"
    "\n"
    "  quarlo --help | -h | help     this text\n"
    "  quarlo --version              the version\n"
    "  quarlo --meta                 the plugin's name for the bot (JSON)\n"
    "\n"
    "See quarlo(1) for the environment variables and the CGI requests.\n";

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
    int paths;
    int only_here;
    int exit_code;
    std::vector<const char *> operands;
};

// Reads argv[2..] into *a, allowing the flags `allowed` ("json", "all",
// "paths").
// Returns 1, or 0 after a usage error was told.
static int read_args(int argc, char **argv, const char *allowed, Args *a, int *rc) {
    a->json = a->all = a->paths = a->only_here = a->exit_code = 0;
    int options = 1;
    for (int i = 2; i < argc; i++) {
        const char *s = argv[i];
        if (options && strcmp(s, "--") == 0) {
            options = 0;
        } else if (options && strcmp(s, "--json") == 0 && strstr(allowed, "json")) {
            a->json = 1;
        } else if (options && strcmp(s, "--all") == 0 && strstr(allowed, "all")) {
            a->all = 1;
        } else if (options && strcmp(s, "--paths") == 0 && strstr(allowed, "paths")) {
            a->paths = 1;
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
static int set_roots(const Args &a, Roots *roots, int *rc) {
    if (a.operands.empty()) {
        collect_roots(roots);
        return 1;
    }
    if ((int)a.operands.size() > ROOT_MAX) {
        char why[ERROR_TEXT_SIZE];
        snprintf(why, sizeof why, "at most %d roots", ROOT_MAX);
        *rc = usage_error(why);
        return 0;
    }
    roots->count = 0;
    for (const char *given : a.operands) {
        char full[FULL_PATH_SIZE];
        unsigned long n = plat_full_path(given, full, sizeof full);
        root_add(roots, n > 0 && n < sizeof full ? full : given);
    }
    return 1;
}

// Tells each root named on the command line that is not a folder (missing,
// or a file) on standard error; returns how many there were. Run after the
// listing, which found out whether each exists.
static int tell_roots_not_folders(const Args &a, const Roots *roots) {
    int bad = 0;
    if (a.operands.empty()) return 0;
    for (int i = 0; i < roots->count; i++) {
        const Root *r = &roots->list[i];
        if (r->exists && plat_is_dir(r->start)) continue;
        char why[ERROR_TEXT_SIZE];
        snprintf(why, sizeof why, "%.1000s: %s", r->root,
                 r->exists ? "not a folder" : "no such folder");
        term_error(why);
        bad++;
    }
    return bad;
}

// A line after the table for each root whose search left repositories out;
// returns how many there were.
static int tell_roots_cut(Buf *b, const Term *t, const Roots *roots) {
    int cut = 0;
    for (int i = 0; i < roots->count; i++) {
        if (!roots->list[i].truncated) continue;
        term_on(b, t, SGR_YELLOW);
        term_cell(b, roots->list[i].root, -1, 0);
        buf_puts(b, ": repositories were left out (the folder limit, a path too long, or a "
                    "name the system refuses)");
        term_off(b, t);
        buf_puts(b, "\n");
        cut++;
    }
    return cut;
}

// Writes the table `b` to standard output, its lines cut to the width.
static int print_table(Buf *b, const Term *t, int rc) {
    term_fit_lines(b, t);
    return print_or_fail(b, rc);
}

static int cmd_status(int argc, char **argv) {
    Args a;
    int rc = CLI_OK;
    Roots roots;
    if (!read_args(argc, argv, "json paths only-here exit-code", &a, &rc)) return rc;
    if (a.json && a.paths) return usage_error("status takes --json or --paths, not both");
    if (a.paths && (a.only_here || a.exit_code))
        return usage_error("--paths runs no git: it takes neither --only-here nor --exit-code");
    if (!set_roots(a, &roots, &rc)) return rc;
    Listing l;
    if (a.paths) {
        // The repositories' paths alone, as found: no git command runs.
        listing_discover(&roots, &l);
        Buf b;
        buf_init(&b, DOC_MAX);
        for (const Repo &r : l.repos) {
            buf_puts(&b, r.path);
            buf_add(&b, "\n", 1);
        }
        rc = print_or_fail(&b, CLI_OK);
        buf_free(&b);
        return rc;
    }
    listing_collect(&roots, &l);
    // --only-here keeps the records holding work only here, in their order.
    if (a.only_here) {
        size_t kept = 0;
        for (size_t i = 0; i < l.repos.size(); i++)
            if (repo_only_here(&l.repos[i])) l.repos[kept++] = l.repos[i];
        l.repos.resize(kept);
    }
    int errors = 0, attention = 0;
    for (const Repo &r : l.repos) {
        errors += r.error[0] != 0;
        attention += repo_needs_user(&r) || repo_only_here(&r);
    }
    errors += tell_roots_not_folders(a, &l.roots);
    // With --exit-code, a repository that needs the user fails the run too.
    if (a.exit_code) errors += attention;
    Buf b;
    buf_init(&b, DOC_MAX);
    if (a.json) {
        // The document tells the roots that were cut.
        for (int i = 0; i < l.roots.count; i++) errors += l.roots.list[i].truncated;
        listing_document(&l, &b);
        rc = print_or_fail(&b, errors ? CLI_FAILED : CLI_OK);
    } else {
        Term t = term_for_stdout();
        status_table(&b, &t, l.repos.data(), (int)l.repos.size(), a.only_here);
        errors += tell_roots_cut(&b, &t, &l.roots);
        rc = print_table(&b, &t, errors ? CLI_FAILED : CLI_OK);
    }
    buf_free(&b);
    return rc;
}

static int cmd_show(int argc, char **argv) {
    Args a;
    int rc = CLI_OK;
    if (!read_args(argc, argv, "json", &a, &rc)) return rc;
    if (a.operands.size() != 1) return usage_error("show takes one PATH");
    Roots roots;
    collect_roots(&roots);
    Detail d;
    if (!detail_collect(&roots, a.operands[0], &d)) {
        // The CGI answer's message: the document itself with --json.
        if (a.json) {
            plat_write_text(PLAT_STDOUT, BODY_PATH_REFUSED, strlen(BODY_PATH_REFUSED));
        } else {
            term_error("path not in an allowlisted root");
        }
        return CLI_FAILED;
    }
    // A repository git could not read is told with its error, and fails.
    rc = d.repo.error[0] ? CLI_FAILED : CLI_OK;
    Buf b;
    buf_init(&b, DOC_MAX);
    if (a.json) {
        detail_emit(&b, &d);
        rc = print_or_fail(&b, rc);
    } else {
        Term t = term_for_stdout();
        show_detail(&b, &t, &d);
        rc = print_table(&b, &t, rc);
    }
    buf_free(&b);
    return rc;
}

static int cmd_fetch(int argc, char **argv) {
    Args a;
    int rc = CLI_OK;
    if (!read_args(argc, argv, "all", &a, &rc)) return rc;
    if (!a.all && a.operands.empty()) return usage_error("fetch needs --all or a PATH");
    // With --all, operands are roots, as those of status are.
    Roots roots;
    if (!a.all) {
        collect_roots(&roots);
    } else if (!set_roots(a, &roots, &rc)) {
        return rc;
    }
    std::vector<FetchJob> jobs;
    int refused = 0;
    if (a.all) {
        Listing l;
        listing_collect(&roots, &l);
        refused += tell_roots_not_folders(a, &l.roots);
        jobs.resize(l.repos.size());
        for (size_t i = 0; i < l.repos.size(); i++) {
            FetchJob *j = &jobs[i];
            memset(j, 0, sizeof *j);
            j->before = l.repos[i];
            j->only_with_remote = 1;
        }
    } else {
        for (const char *given : a.operands) {
            char full[FULL_PATH_SIZE];
            int root = -1;
            if (!path_allowed(&roots, given, full, &root)) {
                char why[ERROR_TEXT_SIZE];
                snprintf(why, sizeof why, "%.1000s: path not in an allowlisted root", given);
                term_error(why);
                refused++;
                continue;
            }
            jobs.emplace_back();
            FetchJob *j = &jobs.back();
            memset(j, 0, sizeof *j);
            repo_init(&j->before, full, base_name(full), root_match_text(&roots.list[root]));
            j->query_before = 1;
        }
    }
    fetch_jobs(jobs.data(), (int)jobs.size(), listing_jobs(), plat_is_terminal(PLAT_STDERR));
    Buf b;
    buf_init(&b, DOC_MAX);
    Term t = term_for_stdout();
    int failed = fetch_table(&b, &t, jobs.data(), (int)jobs.size(), !a.all);
    rc = print_table(&b, &t, failed || refused ? CLI_FAILED : CLI_OK);
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
