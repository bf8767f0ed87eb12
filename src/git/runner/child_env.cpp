// The environment of every git child: built once from the program's own and
// shared by every thread, with one entry added per child that binds git to
// the folder it runs in.
#include "text/text.h"
#include "platform/platform.h"
#include "git/runner/runner.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#define CEILING_NAME "GIT_CEILING_DIRECTORIES"

// 1 when the name of `entry` ("NAME=value") begins with `prefix`, names
// compared as the platform compares them (on Windows regardless of letter
// case). The comparison stops at the first byte that differs, so never reads
// past the end of a shorter entry.
static int env_name_starts(const char *entry, const char *prefix) {
    return plat_env_names_equal(entry, prefix, strlen(prefix));
}

// 1 when `entry` ("NAME=value") is named `name`.
static int env_name_is(const char *entry, const char *name) {
    return env_name_starts(entry, name) && entry[strlen(name)] == '=';
}

// The n of a GIT_CONFIG_KEY_n or GIT_CONFIG_VALUE_n entry; -1 for any other.
static long long config_entry_number(const char *e) {
    const char *p;
    if (env_name_starts(e, "GIT_CONFIG_KEY_"))
        p = e + 15;
    else if (env_name_starts(e, "GIT_CONFIG_VALUE_"))
        p = e + 17;
    else
        return -1;
    long long n = 0;
    const char *digits = p;
    for (; *p >= '0' && *p <= '9'; p++)
        if (n < 1000000) n = n * 10 + (*p - '0');
    return p > digits && *p == '=' ? n : -1;
}

// The program's own GIT_CONFIG_COUNT where it is a count (a whole number up
// to 1000); 0 where it is not set or not a count.
static long long config_count_of(char **env) {
    for (char **e = env; e && *e; e++) {
        if (!env_name_is(*e, "GIT_CONFIG_COUNT")) continue;
        char *end = nullptr;
        long long n = strtoll(*e + 17, &end, 10);
        return end && !*end && n >= 0 && n <= 1000 ? n : 0;
    }
    return 0;
}

// Settings forced for every git child: a repository's own config could name
// an fsmonitor command (run by git status) or a signature verifier (run by
// git log), and discovery walks whole home folders. Paths are written as
// they are, not with bytes above 0x7F as octal escapes.
static const char *const FORCED_CONFIG[][2] = {
    {"core.fsmonitor", "false"},
    {"log.showSignature", "false"},
    {"core.quotePath", "false"},
};

// Set for every git child, in place of the program's own values: no prompt
// of git's or ssh's, on a terminal or through an askpass program (an empty
// GIT_ASKPASS also stops git from falling back to core.askPass and
// SSH_ASKPASS); no trace2 output, which the user's global config could send
// to standard output, where it would be read as git's answer; and git's
// messages untranslated, so that its "fatal:" and "error:" lines are found.
static const char *const FIXED_ENV[] = {
    "GIT_TERMINAL_PROMPT=0", "GIT_ASKPASS=",      "SSH_ASKPASS_REQUIRE=never",
    "GIT_TRACE2=0",          "GIT_TRACE2_PERF=0", "GIT_TRACE2_EVENT=0",
    "LC_MESSAGES=C",
};

// The shared part of every child's environment.
struct ChildEnv {
    const char **list;          // null-terminated; null when memory was short
    size_t count;               // entries in `list`
    const char *user_ceiling;   // the program's own GIT_CEILING_DIRECTORIES value, or null
    const char *user_protocols; // the program's own GIT_ALLOW_PROTOCOL entry, or null
    int user_ssh;               // the program's environment names an ssh command for git
};

// The variables that locate or reconfigure a repository, as git 2.39 lists
// them (`git rev-parse --local-env-vars`, the list git itself clears before
// it runs a command in another repository). The installed git is asked for
// its own list where the environment holds a name this program does not
// manage (git_local_names); this list stands where git cannot be asked, and
// a test compares it with the installed git's.
const char *const GIT_LOCAL_ENV_KNOWN[] = {
    "GIT_ALTERNATE_OBJECT_DIRECTORIES",
    "GIT_CONFIG",
    "GIT_CONFIG_PARAMETERS",
    "GIT_CONFIG_COUNT",
    "GIT_OBJECT_DIRECTORY",
    "GIT_DIR",
    "GIT_WORK_TREE",
    "GIT_IMPLICIT_WORK_TREE",
    "GIT_GRAFT_FILE",
    "GIT_INDEX_FILE",
    "GIT_NO_REPLACE_OBJECTS",
    "GIT_REPLACE_REF_BASE",
    "GIT_PREFIX",
    "GIT_INTERNAL_SUPER_PREFIX",
    "GIT_SHALLOW_FILE",
    "GIT_COMMON_DIR",
    nullptr,
};

// 1 for a variable this program sets or leaves out itself whatever git
// says: the ceiling and the optional locks it sets, the config entries it
// extends with its forced settings, GIT_CONFIG_PARAMETERS (read after those
// entries, so it could undo a forced setting) and the GIT_TRACE family
// (trace output written to files, or interleaved with git's messages).
static int env_managed(const char *e) {
    return env_name_is(e, CEILING_NAME) || env_name_is(e, "GIT_OPTIONAL_LOCKS") ||
           env_name_is(e, "GIT_CONFIG_COUNT") || env_name_is(e, "GIT_CONFIG_PARAMETERS") ||
           env_name_starts(e, "GIT_TRACE") || config_entry_number(e) >= 0;
}

// 1 when `e` is named by one of the zero-terminated names in `names` (a
// list ended by an empty name).
static int env_named_in(const char *e, const char *names) {
    for (const char *n = names; n && *n; n += strlen(n) + 1)
        if (env_name_is(e, n)) return 1;
    return 0;
}

// The names git clears for a command in another repository: the installed
// git's answer to `git rev-parse --local-env-vars`, asked once, and only
// where the environment holds a GIT_ name this program does not manage
// itself (so a plain environment costs no process); always with the known
// list. Zero-terminated names ended by an empty one, kept for the process.
static const char *git_local_names(char **env) {
    static Buf names;
    buf_init(&names, DOC_MAX);
    int ask = 0;
    for (const char *const *n = GIT_LOCAL_ENV_KNOWN; *n; n++) buf_add(&names, *n, strlen(*n) + 1);
    for (char **e = env; e && *e && !ask; e++) {
        if (!env_name_starts(*e, "GIT_") || env_managed(*e)) continue;
        int known = 0;
        for (const char *const *n = GIT_LOCAL_ENV_KNOWN; *n && !known; n++)
            known = env_name_is(*e, *n);
        ask = !known;
    }
    if (ask) {
        // Asked with no GIT_ variable at all: the answer is git's own list,
        // whatever the environment points at.
        Buf plain;
        buf_init(&plain, DOC_MAX);
        size_t count = 0;
        for (char **e = env; e && *e; e++)
            if (!env_name_starts(*e, "GIT_") && !env_name_is(*e, "BOT_PASSWORD") &&
                !env_name_starts(*e, "HTTP_")) {
                buf_add(&plain, *e, strlen(*e) + 1);
                count++;
            }
        const char **list = (const char **)calloc(count + 1, sizeof *list);
        if (list && plain.data) {
            size_t i = 0;
            for (const char *p = plain.data; i < count; p += strlen(p) + 1) list[i++] = p;
            static const char *const ASK[] = {"git", "rev-parse", "--local-env-vars", nullptr};
            Buf out;
            buf_init(&out, RUN_OUTPUT_MAX);
            RunEnd end;
            if (run_argv_env(ASK, list, &out, run_limit_s(), &end) == 0 && end == RUN_EXITED &&
                out.data) {
                const char *p = out.data;
                char name[ENV_NAME_SIZE];
                while (text_next_line(&p, name, sizeof name, 1)) {
                    str_trim(name);
                    if (name[0]) buf_add(&names, name, strlen(name) + 1);
                }
            }
            buf_free(&out);
        }
        free(list);
        buf_free(&plain);
    }
    buf_add(&names, "", 1);
    return names.data;
}

// Left out of every git child: the node password and the request's headers
// (git needs neither), the variables the program sets itself, those that
// would locate or reconfigure a repository (`local`, see git_local_names:
// with GIT_DIR set, every repository would answer for another one), the
// GIT_TRACE family, and the program's config entries that its
// GIT_CONFIG_COUNT does not cover: numbered from the count on, they would
// collide with the forced ones (all of them where the count is not set or not
// a count; git reads none of those). The entries the count covers are kept
// (the user's own settings); the forced ones come after them and win.
static int env_left_out(const char *e, long long config_count, const char *local) {
    for (const char *fixed : FIXED_ENV) // the name with its '='
        if (plat_env_names_equal(e, fixed, (size_t)(strchr(fixed, '=') - fixed) + 1)) return 1;
    if (env_name_is(e, "BOT_PASSWORD") || env_name_starts(e, "HTTP_") ||
        env_name_is(e, "SSH_ASKPASS") || env_name_is(e, "LC_ALL") || env_name_is(e, "LANGUAGE") ||
        env_name_is(e, "GIT_ALLOW_PROTOCOL") || env_name_is(e, CEILING_NAME) ||
        env_name_is(e, "GIT_OPTIONAL_LOCKS") || env_name_is(e, "GIT_CONFIG_COUNT") ||
        env_name_is(e, "GIT_CONFIG_PARAMETERS") || env_name_starts(e, "GIT_TRACE"))
        return 1;
    long long n = config_entry_number(e);
    if (n >= 0) return n >= config_count;
    return env_named_in(e, local);
}

static ChildEnv build_child_environment() {
    ChildEnv ce = {nullptr, 0, nullptr, nullptr, 0};
    char **env = plat_environ();
    size_t count = 0;
    const char *all_categories = nullptr; // LC_ALL's value
    for (char **e = env; e && *e; e++) {
        count++;
        if (env_name_is(*e, CEILING_NAME) && (*e)[sizeof CEILING_NAME])
            ce.user_ceiling = *e + sizeof CEILING_NAME;
        if (env_name_is(*e, "GIT_ALLOW_PROTOCOL")) ce.user_protocols = *e;
        if (env_name_is(*e, "GIT_SSH") || env_name_is(*e, "GIT_SSH_COMMAND")) ce.user_ssh = 1;
        if (env_name_is(*e, "LC_ALL") && (*e)[7]) all_categories = *e + 7;
    }
    long long config_count = config_count_of(env);
    const char *local = git_local_names(env);
    Buf text;
    buf_init(&text, DOC_MAX);
    for (char **e = env; e && *e; e++)
        if (!env_left_out(*e, config_count, local) &&
            !(all_categories && env_name_is(*e, "LC_CTYPE")))
            buf_add(&text, *e, strlen(*e) + 1);
    // LC_ALL would override the untranslated messages; the character set it
    // chose stays.
    if (all_categories) {
        buf_printf(&text, "LC_CTYPE=%s", all_categories);
        buf_add(&text, "", 1);
    }
    for (const char *fixed : FIXED_ENV) buf_add(&text, fixed, strlen(fixed) + 1);
    buf_add(&text, "GIT_OPTIONAL_LOCKS=0", 21);
    int forced = (int)(sizeof FORCED_CONFIG / sizeof FORCED_CONFIG[0]);
    for (int i = 0; i < forced; i++) {
        long long n = config_count + i;
        buf_printf(&text, "GIT_CONFIG_KEY_%lld=%s", n, FORCED_CONFIG[i][0]);
        buf_add(&text, "", 1);
        buf_printf(&text, "GIT_CONFIG_VALUE_%lld=%s", n, FORCED_CONFIG[i][1]);
        buf_add(&text, "", 1);
    }
    buf_printf(&text, "GIT_CONFIG_COUNT=%lld", config_count + forced);
    buf_add(&text, "", 1);

    // The text and the pointer array live for the rest of the process.
    size_t added = 3 + sizeof FIXED_ENV / sizeof FIXED_ENV[0] + 2 * (size_t)forced;
    const char **list = (const char **)calloc(count + added + 1, sizeof *list);
    if (!list || !text.data) return ce;
    size_t i = 0;
    for (const char *p = text.data; p < text.data + text.len; p += strlen(p) + 1) list[i++] = p;
    list[i] = nullptr;
    ce.list = list;
    ce.count = i;
    return ce;
}

const char *env_value(const char *name) {
    size_t n = strlen(name);
    for (char **e = plat_environ(); e && *e; e++)
        if (env_name_is(*e, name) && (*e)[n + 1]) return *e + n + 1;
    return nullptr;
}

static const ChildEnv &shared_environment() {
    static const ChildEnv ce = build_child_environment();
    return ce;
}

const char *const *child_environment() {
    return shared_environment().list;
}

// The length of the folder above the last component of `path` (`len`
// bytes), a trailing separator ignored; 0 when there is none ("/", "C:\\",
// a bare name).
static size_t parent_length(const char *path, size_t len) {
    while (len > 1 && plat_is_sep(path[len - 1])) len--;
    size_t cut = len;
    while (cut > 0 && !plat_is_sep(path[cut - 1])) cut--;
    if (cut == 0 || cut == len) return 0;
    // The separator stays where it is all there is of the root ("/", "C:\\").
    int root = cut == 1 || (cut == 3 && path[1] == ':');
    return root ? cut : cut - 1;
}

// The folder above `dir` as git sees it: dir's real path (links resolved,
// as git resolves its working folder), less its last component. Written to
// `out`; returns its length, 0 when `dir` has no parent.
static size_t parent_folder(const char *dir, char *out, size_t size) {
    unsigned long n = plat_real_path(dir, out, (unsigned long)size);
    if (n == 0 || n >= size) n = plat_full_path(dir, out, (unsigned long)size);
    if (n == 0 || n >= size) return 0;
    size_t len = parent_length(out, n);
    out[len] = 0;
    return len;
}

void git_ceiling_value(const char *dir, Buf *value) {
    const char *user = shared_environment().user_ceiling;
    char parent[REAL_PATH_SIZE];
    size_t n = parent_folder(dir, parent, sizeof parent);
    const char sep = PATH_LIST_SEP;
    if (user) buf_puts(value, user);
    if (!n) return;
    if (user) buf_add(value, &sep, 1);
    if (!memchr(parent, PATH_LIST_SEP, n)) {
        buf_add(value, parent, n);
        return;
    }
    // An entry holding the list's own separator would be split in two and
    // bind nothing. Git resolves links in each entry, so the system's own
    // name for the folder above git's working folder names it where there is
    // one; the nearest folder above that holds no separator follows, a
    // looser bound where that name cannot be resolved.
    const char *alias = plat_cwd_parent_alias();
    const char *cut;
    while (n > 0 && (cut = (const char *)memchr(parent, PATH_LIST_SEP, n)))
        n = parent_length(parent, (size_t)(cut - parent) + 1);
    if (alias) buf_puts(value, alias);
    if (alias && n) buf_add(value, &sep, 1);
    buf_add(value, parent, n);
}

const char **bound_environment(const char *dir, Buf *entry, int online, const char *extra) {
    const ChildEnv &ce = shared_environment();
    buf_init(entry, DOC_MAX);
    if (!ce.list || !entry->data) return nullptr;
    const char **env = (const char **)malloc((ce.count + 4) * sizeof *env);
    if (!env) return nullptr;
    memcpy(env, ce.list, ce.count * sizeof *env);
    size_t n = ce.count;
    // The entries are written one after another into `entry` and pointed at
    // once it no longer grows.
    size_t at[3], count = 0;
    buf_puts(entry, CEILING_NAME "=");
    size_t name_len = entry->len;
    git_ceiling_value(dir, entry);
    if (entry->data && entry->len == name_len) {
        entry->len = 0; // no ceiling: the entry is left out
        entry->data[0] = 0;
    } else {
        at[count++] = 0;
        buf_add(entry, "", 1);
    }
    // Only a fetch reaches a remote. Any other command is refused every
    // transport: a partial clone would otherwise fetch a missing object on
    // its own, running the remote's programs.
    const char *protocols = online ? ce.user_protocols : "GIT_ALLOW_PROTOCOL=";
    for (const char *e : {protocols, extra}) {
        if (!e) continue;
        at[count++] = entry->len;
        buf_add(entry, e, strlen(e) + 1);
    }
    if (!entry->data) {
        free(env);
        return nullptr;
    }
    for (size_t i = 0; i < count; i++) env[n++] = entry->data + at[i];
    env[n] = nullptr;
    return env;
}

int env_names_ssh_command() {
    return shared_environment().user_ssh;
}
