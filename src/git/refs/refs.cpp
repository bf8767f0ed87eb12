// Reading branches and their upstreams as git's files backend and config
// reader do, for the forms git writes; any other form is refused.
#include "git/refs/refs.h"
#include "git/gitdir/gitdir.h"
#include "platform/platform.h"
#include "text/text.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

// packed-refs and config are read whole up to this size; a larger one is
// left to git.
#define REFS_FILE_MAX (16ull << 20)
// A loose ref is a hash and a line feed, or "ref: " and a ref name.
#define LOOSE_REF_MAX 1024
// How deep below refs/heads or refs/remotes loose refs are looked for.
#define LOOSE_DEPTH_MAX 16

// Reads the whole file `path` into `out`. Returns 1; -1 when it is missing;
// 0 when it cannot be read or is larger than `max`.
static int read_whole(const char *path, std::string *out, unsigned long long max) {
    PlatFile f;
    if (!plat_file_open(&f, path)) return plat_exists(path) ? 0 : -1;
    long long size = plat_file_size(&f);
    int ok = size >= 0 && (unsigned long long)size <= max;
    if (ok) {
        out->resize((size_t)size);
        ok = size == 0 || plat_file_read_at(&f, 0, &(*out)[0], (unsigned long long)size) == size;
    }
    plat_file_close(&f);
    return ok;
}

// 1 for an object name as git writes it in a ref: 40 (SHA-1) or 64
// (SHA-256) lower-case hexadecimal digits.
static int is_hex_name(const std::string &s) {
    if (s.size() != 40 && s.size() != 64) return 0;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return 0;
    return 1;
}

// 1 for a ref name git accepts (its check-ref-format rules); a name it
// would refuse (a lock file, a dot file) is one git skips or warns about.
static int refs_name_ok(const std::string &name) {
    if (name.empty() || name.back() == '/' || name.back() == '.' || name == "@") return 0;
    if (name.find("..") != std::string::npos || name.find("@{") != std::string::npos) return 0;
    size_t start = 0;
    for (;;) {
        size_t slash = name.find('/', start);
        std::string part = name.substr(start, slash == std::string::npos ? slash : slash - start);
        if (part.empty() || part[0] == '.') return 0;
        if (part.size() >= 5 && part.compare(part.size() - 5, 5, ".lock") == 0) return 0;
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    for (char b : name) {
        unsigned char c = (unsigned char)b;
        if (c <= ' ' || c == 0x7f || strchr("~^:?*[\\", c)) return 0;
    }
    return 1;
}

struct RefRead {
    std::map<std::string, std::string> oids;     // name -> hash
    std::map<std::string, std::string> symbolic; // name -> the ref it names
};

// Reads the loose refs below `dir`, whose ref name is `prefix`. Returns 0
// on anything not understood.
static int read_loose(const std::string &dir, const std::string &prefix, RefRead *out, int depth) {
    if (depth > LOOSE_DEPTH_MAX) return 0;
    PlatDir d;
    int opened = plat_dir_open(&d, dir.c_str());
    if (opened != 1) return opened == 0 && !plat_exists(dir.c_str());
    int ok = 1;
    std::vector<std::pair<std::string, int>> entries;
    while (ok && plat_dir_next(&d)) {
        if (!strcmp(d.name, ".") || !strcmp(d.name, "..")) continue;
        if (d.name_unusable || d.is_link) ok = 0;
        entries.emplace_back(d.name, d.is_dir);
    }
    plat_dir_close(&d);
    for (size_t i = 0; ok && i < entries.size(); i++) {
        std::string path = dir + PATH_SEP_STR + entries[i].first;
        std::string name = prefix + entries[i].first;
        if (entries[i].second) {
            ok = read_loose(path, name + "/", out, depth + 1);
            continue;
        }
        std::string text;
        if (!refs_name_ok(name) || read_whole(path.c_str(), &text, LOOSE_REF_MAX) != 1) {
            ok = 0;
            break;
        }
        if (!text.empty() && text.back() == '\n') text.pop_back();
        if (text.compare(0, 5, "ref: ") == 0)
            out->symbolic[name] = text.substr(5);
        else if (is_hex_name(text))
            out->oids[name] = text;
        else
            ok = 0;
    }
    return ok;
}

// Reads packed-refs (`text`): a "# pack-refs with:" line, then "<hash>
// <name>" lines, each maybe followed by "^<hash>" (the object a tag names).
// A loose ref of the same name wins, as in git. Returns 0 on a line of
// another form.
static int read_packed(const std::string &text, RefRead *out) {
    size_t at = 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(at, nl - at);
        int first = at == 0;
        at = nl + 1;
        if (first && line.compare(0, 17, "# pack-refs with:") == 0) continue;
        if (line.empty()) return 0;
        if (line[0] == '^') {
            if (!is_hex_name(line.substr(1))) return 0;
            continue;
        }
        size_t sp = line.find(' ');
        if (sp == std::string::npos || !is_hex_name(line.substr(0, sp))) return 0;
        std::string name = line.substr(sp + 1);
        if (!refs_name_ok(name)) return 0;
        if (name.compare(0, 11, "refs/heads/") != 0 && name.compare(0, 13, "refs/remotes/") != 0)
            continue;
        if (!out->oids.count(name) && !out->symbolic.count(name))
            out->oids[name] = line.substr(0, sp);
    }
    return 1;
}

// ---- config -----------------------------------------------------------------

struct BranchConfig {
    std::string remote;
    std::vector<std::string> merge;
};

struct RepoConfig {
    std::map<std::string, BranchConfig> branches;
    std::map<std::string, std::vector<std::string>> remotes; // name -> its fetch mappings
};

static std::string lower(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z') c = (char)(c - 'A' + 'a');
    return s;
}

static int is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

// A value git reads without any of its escapes or quotes: the text up to a
// comment, trimmed. Returns 0 for a value with a quote, a backslash or
// inner blanks.
static int plain_value(const std::string &raw, std::string *out) {
    size_t end = raw.find_first_of("#;");
    std::string v = raw.substr(0, end);
    while (!v.empty() && is_space(v.back())) v.pop_back();
    size_t start = 0;
    while (start < v.size() && is_space(v[start])) start++;
    v = v.substr(start);
    for (char c : v)
        if (c == '"' || c == '\\' || is_space(c)) return 0;
    *out = v;
    return 1;
}

// Reads a config file's sections `branch "NAME"` and `remote "NAME"`.
// Returns 0 for anything that makes git read the branches' upstreams
// otherwise: includes, a per-worktree config, a reftable store, the old
// `[branch.name]` form, continued lines, or a line of a form not read here.
static int parse_config(const std::string &text, RepoConfig *c) {
    std::string section, sub;
    int in_section = 0;
    size_t at = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (at < text.size()) {
        size_t nl = text.find('\n', at);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(at, nl - at);
        at = nl + 1;
        while (!line.empty() && (line.back() == '\r' || is_space(line.back()))) line.pop_back();
        if (!line.empty() && line.back() == '\\') return 0;
        size_t p = 0;
        while (p < line.size() && is_space(line[p])) p++;
        if (p == line.size() || line[p] == '#' || line[p] == ';') continue;
        if (line[p] == '[') {
            size_t close = line.find(']', p);
            if (close == std::string::npos) return 0;
            std::string head = line.substr(p + 1, close - p - 1);
            std::string rest = line.substr(close + 1);
            size_t r = 0;
            while (r < rest.size() && is_space(rest[r])) r++;
            if (r < rest.size() && rest[r] != '#' && rest[r] != ';') return 0;
            size_t q = head.find('"');
            if (q == std::string::npos) {
                section = lower(head);
                sub.clear();
                if (section.find_first_of(". \t") != std::string::npos) return 0;
            } else {
                if (head.back() != '"' || head.size() - 1 == q) return 0;
                section = head.substr(0, q);
                while (!section.empty() && is_space(section.back())) section.pop_back();
                section = lower(section);
                sub = head.substr(q + 1, head.size() - q - 2);
                if (sub.find_first_of("\"\\") != std::string::npos) return 0;
            }
            if (section.empty()) return 0;
            for (char ch : section)
                if (!(isalnum((unsigned char)ch) || ch == '-')) return 0;
            if (section == "include" || section == "includeif") return 0;
            in_section = 1;
            continue;
        }
        if (!in_section) return 0;
        size_t k = p;
        while (k < line.size() && (isalnum((unsigned char)line[k]) || line[k] == '-')) k++;
        if (k == p || !isalpha((unsigned char)line[p])) return 0;
        std::string key = lower(line.substr(p, k - p));
        while (k < line.size() && is_space(line[k])) k++;
        if (k < line.size() && line[k] != '=' && line[k] != '#' && line[k] != ';') return 0;
        std::string raw = k < line.size() && line[k] == '=' ? line.substr(k + 1) : "";
        if (section == "extensions" && (key == "worktreeconfig" || key == "refstorage")) return 0;
        if (section == "branch" || section == "remote") {
            if (sub.empty()) return 0;
            std::string value;
            int wanted = (section == "branch" && (key == "remote" || key == "merge")) ||
                         (section == "remote" && key == "fetch");
            if (wanted && (k == line.size() || !plain_value(raw, &value))) return 0;
            if (section == "remote") {
                auto &fetch = c->remotes[sub];
                if (key == "fetch") fetch.push_back(value);
            } else if (key == "remote") {
                c->branches[sub].remote = value;
            } else if (key == "merge") {
                c->branches[sub].merge.push_back(value);
            }
        }
    }
    return 1;
}

// The remote-tracking ref that a remote's fetch mappings (its
// `remote.NAME.fetch` values, "+refs/heads/*:refs/remotes/origin/*") map
// `ref` to, as git finds an upstream: the first mapping whose source side
// matches. Returns 1 with `out` (empty when none matches); 0 for a mapping of
// a form not read here.
static int map_fetch_mappings(const std::vector<std::string> &mappings, const std::string &ref,
                              std::string *out) {
    out->clear();
    for (std::string s : mappings) {
        if (!s.empty() && s[0] == '+') s = s.substr(1);
        size_t colon = s.find(':');
        if (s.empty() || s[0] == '^' || colon == std::string::npos) return 0;
        std::string src = s.substr(0, colon), dst = s.substr(colon + 1);
        if (src.compare(0, 5, "refs/") != 0 || dst.compare(0, 5, "refs/") != 0) return 0;
        long stars = (long)std::count(src.begin(), src.end(), '*');
        if (stars > 1 || stars != (long)std::count(dst.begin(), dst.end(), '*')) return 0;
        size_t ss = src.find('*'), ds = dst.find('*');
        if (ss == std::string::npos) {
            if (src == ref) {
                *out = dst;
                return 1;
            }
            continue;
        }
        std::string pre = src.substr(0, ss), post = src.substr(ss + 1);
        if (ref.size() >= pre.size() + post.size() && ref.compare(0, pre.size(), pre) == 0 &&
            ref.compare(ref.size() - post.size(), post.size(), post) == 0) {
            std::string mid = ref.substr(pre.size(), ref.size() - pre.size() - post.size());
            *out = dst.substr(0, ds) + mid + dst.substr(ds + 1);
            return 1;
        }
    }
    return 1;
}

// 1 when the folder `dir` has entries (the old remotes/ and branches/
// files that name remotes outside the config).
static int has_entries(const char *dir) {
    PlatDir d;
    int opened = plat_dir_open(&d, dir);
    if (opened != 1) return opened != 0 || plat_exists(dir);
    int any = 0;
    while (!any && plat_dir_next(&d)) any = strcmp(d.name, ".") && strcmp(d.name, "..");
    plat_dir_close(&d);
    return any;
}

int refs_read_table(const GitDirs *d, RefTable *t) {
    char path[FULL_PATH_SIZE];
    static const char *const OTHER_FORMS[] = {"reftable", "remotes", "branches"};
    for (const char *name : OTHER_FORMS)
        if (!plat_path_join(path, sizeof path, d->common, name) || has_entries(path)) return 0;
    std::string common = d->common;
    std::string heads = common + PATH_SEP_STR "refs" PATH_SEP_STR "heads";
    if (!plat_is_dir(heads.c_str())) return 0;

    RefRead refs;
    std::string text;
    if (!read_loose(heads, "refs/heads/", &refs, 0) ||
        !read_loose(common + PATH_SEP_STR "refs" PATH_SEP_STR "remotes", "refs/remotes/", &refs, 0))
        return 0;
    int got = plat_path_join(path, sizeof path, d->common, "packed-refs")
                  ? read_whole(path, &text, REFS_FILE_MAX)
                  : 0;
    if (got == 0 || (got == 1 && !read_packed(text, &refs))) return 0;
    // A symbolic remote-tracking ref (origin/HEAD) adds its target's tip;
    // a symbolic branch is left to git.
    for (const auto &s : refs.symbolic) {
        auto target = refs.oids.find(s.second);
        if (s.first.compare(0, 11, "refs/heads/") == 0 || target == refs.oids.end()) return 0;
    }

    RepoConfig config;
    if (!plat_path_join(path, sizeof path, d->common, "config") ||
        read_whole(path, &text, REFS_FILE_MAX) != 1 || !parse_config(text, &config))
        return 0;

    t->heads.clear();
    t->remote_oids.clear();
    for (const auto &r : refs.oids) {
        if (r.first.compare(0, 13, "refs/remotes/") == 0) {
            t->remote_oids.push_back(r.second);
            continue;
        }
        RefTip tip;
        tip.name = r.first;
        tip.oid = r.second;
        auto b = config.branches.find(r.first.substr(11));
        if (b != config.branches.end() && !b->second.merge.empty()) {
            const BranchConfig &bc = b->second;
            const std::string &merge = bc.merge[0];
            if (bc.merge.size() > 1 || bc.remote.empty() || merge.compare(0, 5, "refs/") != 0)
                return 0;
            if (bc.remote == ".") {
                tip.upstream = merge;
            } else {
                auto remote = config.remotes.find(bc.remote);
                if (remote == config.remotes.end() ||
                    !map_fetch_mappings(remote->second, merge, &tip.upstream))
                    return 0;
            }
            if (!tip.upstream.empty()) {
                if (tip.upstream.compare(0, 11, "refs/heads/") != 0 &&
                    tip.upstream.compare(0, 13, "refs/remotes/") != 0)
                    return 0;
                tip.gone = !refs.oids.count(tip.upstream) && !refs.symbolic.count(tip.upstream);
            }
        }
        t->heads.push_back(tip);
    }
    for (const auto &s : refs.symbolic) t->remote_oids.push_back(refs.oids[s.second]);
    return 1;
}
