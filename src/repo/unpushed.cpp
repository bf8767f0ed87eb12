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
        if (!std::binary_search(t->remote_oids.begin(), t->remote_oids.end(), h.oid))
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

void query_unpushed(Repo *r, const GitDirs *dirs) {
    RefTable t;
    if (!(dirs && refs_read_table(dirs, &t)) && !ask_refs(r, &t)) return;
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
