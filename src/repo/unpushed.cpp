// Work that exists only on this machine: commits on local branches that no
// remote-tracking branch holds, branches whose upstream is gone, and
// repositories without any remote-tracking branch. The refs and the
// upstreams are read from the git folder where git's rules make that exact
// (git/refs/); `git for-each-ref` tells them otherwise. Git walks the
// history (`git rev-list`), and only where some local branch's tip is not
// the tip of a remote-tracking branch: everywhere else nothing is unpushed.
#include "text/text.h"
#include "repo/repo.h"
#include "repo/query_run.h"
#include "git/gitdir/gitdir.h"
#include "git/refs/refs.h"
#include "git/runner/runner.h"
#include "platform/platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

// for-each-ref's fields, each ended by a zero byte, one ref a line.
static const char *const FOR_EACH_REF[] = {
    "for-each-ref",
    "--format=%(refname)%00%(objectname)%00%(upstream)%00%(upstream:short)%00"
    "%(upstream:track)%00%(committerdate:unix)%00%(HEAD)%00%(subject)",
    "refs/heads", "refs/remotes", nullptr};

// The zero-separated field at *p (up to `end`), moving *p past its zero byte
// (or to `end`).
static std::string next_field(const char **p, const char *end) {
    const char *s = *p;
    const char *z = (const char *)memchr(s, 0, (size_t)(end - s));
    const char *e = z ? z : end;
    *p = z ? z + 1 : end;
    return std::string(s, (size_t)(e - s));
}

// "[ahead 3, behind 2]", "[ahead 3]", "[behind 2]", "[gone]" or "".
static void parse_track(const std::string &t, RefTip *tip) {
    tip->gone = t == "[gone]";
    const char *a = strstr(t.c_str(), "ahead ");
    const char *b = strstr(t.c_str(), "behind ");
    if (a) parse_int(a + 6, &tip->ahead, nullptr);
    if (b) parse_int(b + 7, &tip->behind, nullptr);
}

static void parse_for_each_ref(const char *text, size_t len, RefTable *t) {
    const char *end = text + len;
    for (const char *p = text; p < end;) {
        const char *nl = (const char *)memchr(p, '\n', (size_t)(end - p));
        const char *line_end = nl ? nl : end;
        const char *q = p;
        p = nl ? nl + 1 : end;
        RefTip tip;
        tip.name = next_field(&q, line_end);
        tip.oid = next_field(&q, line_end);
        tip.upstream = next_field(&q, line_end);
        tip.upstream_short = next_field(&q, line_end);
        parse_track(next_field(&q, line_end), &tip);
        tip.ct = strtoll(next_field(&q, line_end).c_str(), nullptr, 10);
        tip.head = next_field(&q, line_end) == "*";
        tip.subject = next_field(&q, line_end);
        tip.described = 1;
        if (tip.name.compare(0, 11, "refs/heads/") == 0)
            t->heads.push_back(tip);
        else if (tip.name.compare(0, 13, "refs/remotes/") == 0)
            t->remote_oids.push_back(tip.oid);
    }
}

// The commits on local branches and on no remote-tracking branch, each with
// its parents, as `git rev-list --parents` lists them: "<hash> <parent>...".
struct UnpushedGraph {
    std::unordered_map<std::string, int> index; // hash -> entry
    std::vector<std::vector<int>> parents;      // entries of its parents within the graph
};

static void parse_unpushed_graph(const char *text, size_t len, UnpushedGraph *g) {
    std::vector<std::vector<std::string>> lines;
    const char *end = text + len;
    for (const char *p = text; p < end;) {
        const char *nl = (const char *)memchr(p, '\n', (size_t)(end - p));
        const char *e = nl ? nl : end;
        std::vector<std::string> words;
        for (const char *s = p; s < e;) {
            const char *sp = (const char *)memchr(s, ' ', (size_t)(e - s));
            const char *we = sp ? sp : e;
            if (we > s) words.emplace_back(s, (size_t)(we - s));
            s = sp ? sp + 1 : e;
        }
        p = nl ? nl + 1 : end;
        if (words.empty()) continue;
        g->index.emplace(words[0], (int)lines.size());
        lines.push_back(std::move(words));
    }
    g->parents.resize(lines.size());
    for (size_t i = 0; i < lines.size(); i++)
        for (size_t k = 1; k < lines[i].size(); k++) {
            auto it = g->index.find(lines[i][k]);
            if (it != g->index.end()) g->parents[i].push_back(it->second);
        }
}

// How many of the graph's commits the commit `oid` reaches (itself included).
static int count_reached(const UnpushedGraph &g, const std::string &oid, std::vector<int> *mark,
                         int stamp) {
    auto it = g.index.find(oid);
    if (it == g.index.end()) return 0;
    std::vector<int> todo{it->second};
    (*mark)[(size_t)it->second] = stamp;
    int n = 0;
    while (!todo.empty()) {
        int c = todo.back();
        todo.pop_back();
        n++;
        for (int p : g.parents[(size_t)c])
            if ((*mark)[(size_t)p] != stamp) {
                (*mark)[(size_t)p] = stamp;
                todo.push_back(p);
            }
    }
    return n;
}

// 1 when git told that the branch is not ahead of an upstream that is a
// remote-tracking branch: every commit on it is on that one.
static int holds_nothing_new(const RefTip &h) {
    return h.upstream.compare(0, 13, "refs/remotes/") == 0 && !h.gone && h.ahead == 0;
}

// Fills the record's figures from the refs in `t`, and each branch's own
// count of unpushed commits when `per_branch`. Returns 0 when git failed
// (the record has its error).
static int count_unpushed(Repo *r, RefTable *t, int per_branch) {
    static const char *const REV_LIST[] = {"rev-list", "--parents", "--branches",
                                           "--not",    "--remotes", nullptr};
    r->no_remote = t->remote_oids.empty();
    r->gone_branches = 0;
    for (const RefTip &h : t->heads) r->gone_branches += h.gone != 0;
    std::sort(t->remote_oids.begin(), t->remote_oids.end());
    int all_pushed = 1;
    for (const RefTip &h : t->heads)
        if (!std::binary_search(t->remote_oids.begin(), t->remote_oids.end(), h.oid) &&
            !(h.described && holds_nothing_new(h)))
            all_pushed = 0;
    if (all_pushed) return 1;
    Buf out;
    const char *text = query_run(r, REV_LIST, &out);
    if (!text) {
        buf_free(&out);
        return 0;
    }
    UnpushedGraph g;
    parse_unpushed_graph(text, (size_t)out.len, &g);
    buf_free(&out);
    r->unpushed = (int)g.parents.size();
    r->unpushed_branches = 0;
    std::vector<int> mark(g.parents.size(), 0);
    int stamp = 0;
    for (RefTip &h : t->heads) {
        int holds = g.index.count(h.oid) != 0;
        r->unpushed_branches += holds;
        if (per_branch && holds) h.unpushed = count_reached(g, h.oid, &mark, ++stamp);
    }
    return 1;
}

// The refs from git itself: for a git folder not found or not understood.
static int ask_refs(Repo *r, RefTable *t) {
    Buf out;
    const char *text = query_run(r, FOR_EACH_REF, &out);
    if (text) parse_for_each_ref(text, (size_t)out.len, t);
    buf_free(&out);
    return text != nullptr;
}

// Includes are followed this deep in the config outside the repository.
#define INCLUDE_DEPTH_MAX 5

static int config_file_is_plain(const char *dir, const std::string &path, int depth);

// The folder of the config file an entry came from (its origin
// "file:PATH"), or empty for another origin.
static std::string origin_folder(const std::string &origin) {
    if (origin.compare(0, 5, "file:") != 0) return "";
    std::string f = origin.substr(5);
    size_t n = f.size();
    while (n > 0 && !plat_is_sep(f[n - 1])) n--;
    return f.substr(0, n);
}

// The home folder git reads "~/" from: HOME, on Windows else USERPROFILE.
static const char *home_folder() {
    const char *home = getenv("HOME");
#if defined(_WIN32)
    if (!home || !*home) home = getenv("USERPROFILE");
#endif
    return home && *home ? home : nullptr;
}

// The file an include names, as git resolves it: "~/" from the home folder,
// a relative path from the including file's folder. Empty when that cannot
// be told.
static std::string include_target(const std::string &value, const std::string &origin) {
    if (value.compare(0, 2, "~/") == 0) {
        const char *home = home_folder();
        return home ? std::string(home) + value.substr(1) : "";
    }
    if (!value.empty() && (plat_is_sep(value[0]) || (value.size() > 1 && value[1] == ':')))
        return value;
    std::string folder = origin_folder(origin);
    return folder.empty() || value.empty() ? "" : folder + value;
}

// Reads `git config --list --show-origin -z` output ("ORIGIN\0KEY\nVALUE\0"
// entries). Returns 1 when no entry, nor any file an include names (whatever
// its condition), sets a branch's or a remote's values.
static int config_list_is_plain(const char *dir, const char *text, size_t len, int depth) {
    const char *end = text + len;
    for (const char *p = text; p < end;) {
        std::string origin = next_field(&p, end);
        std::string entry = next_field(&p, end);
        size_t nl = entry.find('\n');
        std::string key = entry.substr(0, nl);
        std::string value = nl == std::string::npos ? "" : entry.substr(nl + 1);
        if (key.compare(0, 7, "branch.") == 0 || key.compare(0, 7, "remote.") == 0) return 0;
        int include =
            key == "include.path" || (key.compare(0, 10, "includeif.") == 0 && key.size() > 15 &&
                                      key.compare(key.size() - 5, 5, ".path") == 0);
        if (!include) continue;
        std::string target = include_target(value, origin);
        if (target.empty() || depth >= INCLUDE_DEPTH_MAX ||
            !config_file_is_plain(dir, target, depth + 1))
            return 0;
    }
    return 1;
}

// Runs `git config ... --list --no-includes --show-origin -z` (the options
// `args` before --list) in the folder `dir`. Returns 1 when it lists
// nothing that sets a branch or a remote; `missing_ok` is a file whose
// absence git skips (an include's).
static int config_run_is_plain(const char *dir, const std::vector<const char *> &args, int depth,
                               const char *missing_ok) {
    std::vector<const char *> argv(args);
    for (const char *a : {"--list", "--no-includes", "--show-origin", "-z"}) argv.push_back(a);
    argv.push_back(nullptr);
    Buf out;
    buf_init(&out, RUN_OUTPUT_MAX);
    RunEnd end;
    int rc = run_git(dir, argv.data(), &out, RUN_LIMIT_S, &end);
    int plain = end == RUN_EXITED && rc == 0
                    ? config_list_is_plain(dir, out.data ? out.data : "", (size_t)out.len, depth)
                    : end == RUN_EXITED && missing_ok && !plat_exists(missing_ok);
    buf_free(&out);
    return plain;
}

static int config_file_is_plain(const char *dir, const std::string &path, int depth) {
    return config_run_is_plain(dir, {"config", "--file", path.c_str()}, depth, path.c_str());
}

// Whether the config outside any repository (the system's and the user's
// files and what they include) leaves the branches' upstreams to each
// repository's own config file, asked once per process in the working copy
// `dir` with a git folder that does not exist (below its `common` one), so
// that git lists just that config.
static int ask_outside_config_plain(const char *dir, const char *common) {
    std::string none = std::string("--git-dir=") + common + PATH_SEP_STR "quarlo-no-such-folder";
    return config_run_is_plain(dir, {none.c_str(), "config"}, 0, nullptr);
}

static int outside_config_plain(const char *dir, const char *common) {
    static const int plain = ask_outside_config_plain(dir, common); // once, whatever the thread
    return plain;
}

void query_unpushed(Repo *r, const GitDirs *dirs) {
    RefTable t;
    int read = dirs && outside_config_plain(r->path, dirs->common) && refs_read_table(dirs, &t);
    if (!read && !ask_refs(r, &t)) return;
    // The status told how far the checked-out branch is ahead of its
    // upstream: a branch behind it holds nothing new either.
    if (read && r->branch[0] && !r->detached && !r->unborn && r->upstream[0] && !r->upstream_gone)
        for (RefTip &h : t.heads)
            if (h.name.compare(0, 11, "refs/heads/") == 0 &&
                h.name.compare(11, std::string::npos, r->branch) == 0) {
                h.ahead = r->ahead;
                h.described = 1;
            }
    count_unpushed(r, &t, 0);
}

// The detail's order: the checked-out branch first, then the newest last
// commit first, then by name.
static bool branch_before(const RefTip &a, const RefTip &b) {
    if (a.head != b.head) return a.head > b.head;
    if (a.ct != b.ct) return a.ct > b.ct;
    return a.name < b.name;
}

void query_branches(Repo *r, std::vector<BranchRow> *rows) {
    rows->clear();
    RefTable t;
    if (!ask_refs(r, &t) || !count_unpushed(r, &t, 1)) return;
    std::sort(t.heads.begin(), t.heads.end(), branch_before);
    for (const RefTip &h : t.heads) {
        BranchRow row{};
        str_copy(row.name, sizeof row.name, h.name.c_str() + 11);
        redact_url(h.upstream_short.c_str(), row.upstream);
        row.ahead = h.ahead;
        row.behind = h.behind;
        row.gone = h.gone;
        row.unpushed = h.unpushed;
        row.current = h.head;
        str_copy(row.hash, sizeof row.hash, h.oid.c_str());
        row.ct = h.ct;
        str_copy(row.subject, sizeof row.subject, h.subject.c_str());
        str_trim(row.subject);
        rows->push_back(row);
    }
}
