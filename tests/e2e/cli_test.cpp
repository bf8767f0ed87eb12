// The terminal commands (quarlo status, show, fetch) run as a person runs
// them: the built program with arguments, no CGI gateway, against real
// repositories; on a pipe and on a pseudo-terminal.
#include "harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

// The environment of a person's shell with the test's roots: no gateway, no
// COLUMNS, no NO_COLOR (the empty value counts as unset).
Env shell_env(const std::string &roots, Env more = {}) {
    Env env = git_env();
    env.push_back({"GATEWAY_INTERFACE", ""});
    env.push_back({"COLUMNS", ""});
    env.push_back({"NO_COLOR", ""});
    env.push_back({"QUARLO_ONLY_ROOTS", "1"});
    env.push_back({"QUARLO_ROOTS", roots});
    for (auto &e : more) env.push_back(e);
    return env;
}

ProcResult quarlo(const std::vector<std::string> &args, const Env &env) {
    std::vector<std::string> argv = {quarlo_bin()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, "", env);
}

std::string without_time(const std::string &body) {
    return std::regex_replace(body, std::regex("\"checked_at\":\"[^\"]*\""), "\"checked_at\":\"\"");
}

// Terminal columns of a UTF-8 line without colour sequences: CJK and kana
// take 2.
int columns_of(const std::string &line) {
    std::string plain = std::regex_replace(line, std::regex("\x1b\\[[0-9;]*m"), "");
    int cols = 0;
    for (size_t i = 0; i < plain.size();) {
        unsigned char c = (unsigned char)plain[i];
        unsigned cp = c;
        size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        if (len > 1) {
            cp = c & (0x3F >> (len - 1));
            for (size_t k = 1; k < len && i + k < plain.size(); k++)
                cp = (cp << 6) | ((unsigned char)plain[i + k] & 0x3F);
        }
        cols += (cp >= 0x3000 && cp <= 0x9FFF) ? 2 : 1;
        i += len;
    }
    return cols;
}

// The line of the table that starts with `name` and two blanks.
std::string row(const std::string &table, const std::string &name) {
    for (const std::string &l : lines_of(table))
        if (l.rfind(name + "  ", 0) == 0) return l;
    return "";
}

// Runs the program with standard output (with `stderr_too`, standard error
// as well) on a pseudo-terminal of `cols` columns; returns what the terminal
// received.
std::string run_on_terminal(const std::vector<std::string> &args, const Env &env, int cols,
                            bool stderr_too = false) {
    int master = -1, slave = -1;
    winsize ws{};
    ws.ws_row = 50;
    ws.ws_col = (unsigned short)cols;
    if (openpty(&master, &slave, nullptr, nullptr, &ws) != 0) {
        ADD_FAILURE() << "openpty failed";
        return "";
    }
    // No translation of "\n" to "\r\n": the bytes as written.
    termios tio;
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    std::vector<std::string> envs;
    for (char **e = environ; *e; e++) envs.push_back(*e);
    for (auto &kv : env) {
        auto same = [&](const std::string &s) { return s.rfind(kv.first + "=", 0) == 0; };
        envs.erase(std::remove_if(envs.begin(), envs.end(), same), envs.end());
        envs.push_back(kv.first + "=" + kv.second);
    }
    std::vector<std::string> argv = {quarlo_bin()};
    argv.insert(argv.end(), args.begin(), args.end());
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(slave, 1);
        dup2(stderr_too ? slave : null, 2);
        std::vector<char *> a, e;
        for (auto &s : argv) a.push_back(const_cast<char *>(s.c_str()));
        a.push_back(nullptr);
        for (auto &s : envs) e.push_back(const_cast<char *>(s.c_str()));
        e.push_back(nullptr);
        execve(a[0], a.data(), e.data());
        _exit(127);
    }
    close(slave);
    std::string out;
    char buf[4096];
    for (;;) {
        pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 60000) <= 0) break;
        ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0) break; // EIO once the child closed the terminal
        out.append(buf, (size_t)n);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    return out;
}

// One tree of repositories in every state the table tells, shared by the
// status and show tests.
class Cli : public ::testing::Test {
  protected:
    static TempDir *tmp_;
    static std::string root_, origin_;

    static void SetUpTestSuite() {
        tmp_ = new TempDir();
        root_ = tmp_->path() + "/root";
        origin_ = tmp_->path() + "/origin.git";
        std::string seed = tmp_->path() + "/seed";
        sh("mkdir -p " + shq(root_) + " && git init -q --bare " + shq(origin_));
        sh("git init -q " + shq(seed));
        write_file(seed + "/f.txt", "one\n");
        git(seed, "add f.txt");
        commit_at(seed, "seed commit", 1700000000);
        git(seed, "push -q " + shq(origin_) + " HEAD:main");
        auto clone = [](const std::string &rel) {
            sh("git clone -q " + shq(origin_) + " " + shq(root_ + "/" + rel));
        };
        clone("clean");
        clone("dirty");
        write_file(root_ + "/dirty/f.txt", "changed\n");
        write_file(root_ + "/dirty/new.txt", "new\n");
        clone("ahead");
        commit_at(root_ + "/ahead",
                  "a commit of our own with a subject long enough to be cut "
                  "at eighty columns, and then some more words",
                  1700000100);
        clone("stashed");
        write_file(root_ + "/stashed/f.txt", "stash me\n");
        git(root_ + "/stashed", "stash -q");
        clone("conflict");
        std::string c = root_ + "/conflict";
        git(c, "checkout -q -b other");
        write_file(c + "/f.txt", "theirs\n");
        git(c, "commit -qam theirs");
        git(c, "checkout -q main");
        write_file(c + "/f.txt", "ours\n");
        git(c, "commit -qam ours");
        run_process({"git", "-C", c, "merge", "-q", "other"}, "", git_env());
        clone("gone");
        std::string g = root_ + "/gone";
        git(g, "checkout -q -b topic");
        git(g, "push -q -u origin topic");
        git(g, "push -q origin --delete topic");
        git(g, "fetch -q --prune");
        clone("rebasing");
        std::string rb = root_ + "/rebasing";
        git(rb, "checkout -q -b topic");
        write_file(rb + "/f.txt", "topic\n");
        git(rb, "commit -qam topic");
        git(rb, "checkout -q main");
        write_file(rb + "/f.txt", "main\n");
        git(rb, "commit -qam main");
        git(rb, "checkout -q topic");
        run_process({"git", "-C", rb, "rebase", "main"}, "", git_env());
        for (const char *dup : {"a/dup", "b/dup"}) {
            sh("git init -q " + shq(root_ + "/" + dup));
            commit_at(root_ + "/" + dup, std::string("in ") + dup, 1700000200);
        }
        sh("git init -q " + shq(root_ + "/日本語の名前"));
        commit_at(root_ + "/日本語の名前", "コミットの件名", 1700000300);
        sh("git init -q " + shq(root_ + "/Μαρία"));
        commit_raw(root_ + "/Μαρία", "evil \x1b]0;title\x07 \x1b[31mred\x1b[0m subject",
                   1700000400);
        sh("git init -q " + shq(root_ + "/unreadable"));
        sh("rm -f " + shq(root_ + "/unreadable/.git/HEAD"));
    }
    static void TearDownTestSuite() {
        delete tmp_;
        tmp_ = nullptr;
    }
};
TempDir *Cli::tmp_ = nullptr;
std::string Cli::root_, Cli::origin_;

const char *const kNames[] = {"clean",    "dirty",        "ahead",    "stashed",
                              "conflict", "gone",         "rebasing", "a/dup",
                              "b/dup",    "日本語の名前", "Μαρία",    "unreadable"};

// status --json is the CGI listing's body, byte for byte (the time aside).
TEST_F(Cli, StatusJsonIsTheListingDocument) {
    CgiRequest req;
    req.query = "action=repos";
    req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root_}};
    CgiResult cgi = run_cgi(req);
    ProcResult cli = quarlo({"status", "--json"}, shell_env(root_));
    EXPECT_EQ(cli.exit_status, 1) << "a repository git could not read";
    EXPECT_EQ(cli.err, "");
    ASSERT_NE(cgi.body, "");
    EXPECT_EQ(without_time(cli.out), without_time(cgi.body));

    // The roots given on the command line replace the environment's.
    ProcResult given = quarlo({"status", "--json", root_}, shell_env(tmp_->path() + "/seed"));
    EXPECT_EQ(without_time(given.out), without_time(cgi.body));
}

// The table on a pipe: every repository once with its state, those that
// need their user first, no colour, whole lines, a summary at the end.
TEST_F(Cli, StatusTableOnAPipe) {
    ProcResult r = quarlo({"status"}, shell_env(root_));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), std::size(kNames) + 1) << r.out;
    for (const char *name : kNames) {
        int seen = 0;
        for (const std::string &l : lines) seen += l.rfind(std::string(name) + "  ", 0) == 0;
        EXPECT_EQ(seen, 1) << name << "\n" << r.out;
    }
    struct Case {
        const char *name;
        const char *state;
    } cases[] = {
        // Cloned and never fetched since: the figures say nothing yet.
        {"clean", "Never fetched"},
        {"dirty", "Commit or stash 2 changes"},
        {"ahead", "Push 1 commit"},
        {"stashed", "Never fetched; 1 stashed"},
        {"conflict", "Resolve 1 conflict, then git merge --continue"},
        {"gone", "Upstream deleted: switch branch or delete topic"},
        {"rebasing", "Resolve 1 conflict, then git rebase --continue; 1 changed"},
        {"unreadable", "Unreadable: fatal: "},
        {"Μαρία",
         "evil \xef\xbf\xbd]0;title\xef\xbf\xbd \xef\xbf\xbd[31mred\xef\xbf\xbd[0m subject"},
        {"日本語の名前", "コミットの件名"},
        {"a/dup", "in a/dup"},
    };
    for (const Case &c : cases)
        EXPECT_NE(row(r.out, c.name).find(c.state), std::string::npos) << c.name << "\n" << r.out;
    // On a pipe without COLUMNS, lines are whole.
    EXPECT_NE(r.out.find("and then some more words"), std::string::npos);
    // Those that need their user (unreadable, an operation stopped,
    // conflicts, an upstream deleted) first.
    std::vector<std::string> first(lines.begin(), lines.begin() + 4);
    for (const char *name : {"unreadable", "rebasing", "conflict", "gone"})
        EXPECT_TRUE(std::any_of(
            first.begin(), first.end(),
            [&](const std::string &l) { return l.rfind(std::string(name) + "  ", 0) == 0; }))
            << name << "\n"
            << r.out;
    EXPECT_EQ(lines.back().rfind("12 repositories, 4 need you", 0), 0u) << lines.back();
}

// COLUMNS or the terminal's size cuts every line to fit; colour only on a
// terminal and without NO_COLOR.
TEST_F(Cli, StatusTableFitsTheWidth) {
    ProcResult piped = quarlo({"status"}, shell_env(root_, {{"COLUMNS", "80"}}));
    for (const std::string &l : lines_of(piped.out)) EXPECT_LE(columns_of(l), 80) << l;
    EXPECT_EQ(piped.out.find("and then some more words"), std::string::npos);

    std::string tty = run_on_terminal({"status"}, shell_env(root_), 80);
    EXPECT_NE(tty.find("\x1b["), std::string::npos) << "colour on a terminal";
    for (const char *name : kNames)
        EXPECT_NE(row(std::regex_replace(tty, std::regex("\x1b\\[[0-9;]*m"), ""), name), "")
            << name << "\n"
            << tty;
    for (const std::string &l : lines_of(tty)) EXPECT_LE(columns_of(l), 80) << l;
    // Escape sequences of a commit subject never reach the terminal.
    EXPECT_EQ(tty.find("\x1b]0;"), std::string::npos);

    std::string narrow = run_on_terminal({"status"}, shell_env(root_), 50);
    for (const std::string &l : lines_of(narrow)) EXPECT_LE(columns_of(l), 50) << l;

    // No colour where it is not wanted or the terminal cannot show it.
    for (const Env &no_colour : {Env{{"NO_COLOR", "1"}}, Env{{"TERM", "dumb"}}}) {
        std::string plain = run_on_terminal({"status"}, shell_env(root_, no_colour), 80);
        EXPECT_EQ(plain.find('\x1b'), std::string::npos) << no_colour[0].first << "\n" << plain;
        for (const char *name : kNames) EXPECT_NE(row(plain, name), "") << name << "\n" << plain;
    }
}

// show --json is the CGI detail's body; show prints the same record, files
// and commits; a path outside the roots is refused as the CGI refuses it.
TEST_F(Cli, Show) {
    std::string path = root_ + "/dirty";
    CgiRequest req;
    req.query = "action=repo&path=" + url_encode(path);
    req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root_}};
    CgiResult cgi = run_cgi(req);
    ProcResult json = quarlo({"show", "--json", path}, shell_env(root_));
    EXPECT_EQ(json.exit_status, 0);
    EXPECT_EQ(json.out, cgi.body);

    ProcResult text = quarlo({"show", path}, shell_env(root_));
    EXPECT_EQ(text.exit_status, 0) << text.err;
    // The step first, then the record.
    EXPECT_EQ(text.out.rfind("Commit or stash 2 changes\n", 0), 0u) << text.out;
    for (const char *want : {"dirty\n", "main", "origin/main", "changed files (2)", "f.txt",
                             "new.txt", "recent commits", "seed commit"})
        EXPECT_NE(text.out.find(want), std::string::npos) << want << "\n" << text.out;
    EXPECT_EQ(text.out.find('\x1b'), std::string::npos);

    // Every line fits a narrow width, on a pipe with COLUMNS and on a
    // terminal, the record, the files and the commits alike.
    ProcResult narrow = quarlo({"show", path}, shell_env(root_, {{"COLUMNS", "20"}}));
    EXPECT_EQ(narrow.exit_status, 0);
    std::string tty = run_on_terminal({"show", path}, shell_env(root_), 20);
    for (const std::string &out : {narrow.out, tty}) {
        EXPECT_NE(out.find("changed files (2)"), std::string::npos) << out;
        EXPECT_GE(lines_of(out).size(), 10u) << out;
        for (const std::string &l : lines_of(out)) EXPECT_LE(columns_of(l), 20) << l;
    }
    EXPECT_NE(tty.find("\x1b["), std::string::npos) << "colour on a terminal";

    ProcResult unreadable = quarlo({"show", root_ + "/unreadable"}, shell_env(root_));
    EXPECT_EQ(unreadable.exit_status, 1);
    EXPECT_EQ(unreadable.out.rfind("Unreadable: fatal: ", 0), 0u) << unreadable.out;

    std::string outside = tmp_->path() + "/seed";
    ProcResult refused = quarlo({"show", "--json", outside}, shell_env(root_));
    EXPECT_EQ(refused.exit_status, 1);
    EXPECT_EQ(refused.out, "{\"ok\":false,\"error\":\"path not in an allowlisted root\"}\n");
    ProcResult refused_text = quarlo({"show", outside}, shell_env(root_));
    EXPECT_EQ(refused_text.exit_status, 1);
    EXPECT_EQ(refused_text.out, "");
    EXPECT_EQ(refused_text.err, "quarlo: path not in an allowlisted root\n");
}

// Exit statuses and the usage text; the CGI roads are unchanged by them.
TEST(CliUsage, ExitStatuses) {
    TempDir tmp;
    std::string root = tmp.path() + "/root";
    sh("git init -q " + shq(root + "/only"));
    commit_at(root + "/only", "one", 1700000000);
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *out, *err;
    } cases[] = {
        {{"status"}, 0, "only", ""},
        {{"--help"},
         0,
         "quarlo status [--json | --paths] [--only-here] [--exit-code] [ROOT...]",
         ""},
        {{"bogus"}, 2, "", "usage: quarlo status"},
        {{"status", "--bad"}, 2, "", "unknown option --bad"},
        {{"show"}, 2, "", "usage:"},
        {{"show", "a", "b"}, 2, "", "usage:"},
        {{"fetch"}, 2, "", "usage:"},
        {{"fetch", "--all", root}, 0, "fetched 0 repositories", ""},
        {{"fetch", "--all", root + "/missing"}, 1, "", "/missing: no such folder"},
        // A root that is missing or a file is told, and fails.
        {{"status", root + "/missing"}, 1, "0 repositories", "/missing: no such folder"},
        {{"status", "--json", root + "/missing"}, 1, "\"exists\":false", "no such folder"},
        {{"status", root + "/only/.git/HEAD"}, 1, "0 repositories", "/HEAD: not a folder"},
        {{"status", root, root + "/missing"}, 1, "only", "/missing: no such folder"},
        {{"fetch", "--json"}, 2, "", "usage:"},
        {{"--version"}, 0, "quarlo", ""},
        // An option that is not a command still serves as CGI: the page.
        {{"--META"}, 0, "text/html", ""},
    };
    for (const Case &c : cases) {
        ProcResult r = quarlo(c.args, shell_env(root));
        std::string what = c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : "");
        EXPECT_EQ(r.exit_status, c.status) << what << "\n" << r.err;
        EXPECT_NE(r.out.find(c.out), std::string::npos) << what << "\n" << r.out;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << what << "\n" << r.err;
        if (!*c.err) {
            EXPECT_EQ(r.err, "") << what;
        }
    }
    // Run as CGI, arguments are ignored as they always were.
    CgiRequest req;
    req.query = "action=repos";
    req.args = {"status"};
    req.env = {{"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root}};
    CgiResult cgi = run_cgi_ok(req);
    EXPECT_EQ(cgi.head, json_head_lines(0));
}

// fetch --all: every repository with a remote, several at once, below the
// roots only; a failing remote is told and the others still fetched.
TEST(CliFetch, AllRepositories) {
    TempDir tmp;
    std::string origin = tmp.path() + "/origin.git", seed = tmp.path() + "/seed";
    // The root is a folder inside a working copy that has a remote too: the
    // fetch never runs there.
    std::string outer = tmp.path() + "/outer", root = outer + "/root";
    sh("git init -q --bare " + shq(origin) + " && git init -q " + shq(seed));
    commit_at(seed, "first", 1700000000);
    git(seed, "push -q " + shq(origin) + " HEAD:main");
    sh("git clone -q " + shq(origin) + " " + shq(outer));
    const char *clones[] = {"one", "two", "three", "four"};
    for (const char *c : clones) sh("git clone -q " + shq(origin) + " " + shq(root + "/" + c));
    sh("git init -q " + shq(root + "/local"));
    commit_at(root + "/local", "no remote", 1700000000);
    sh("git clone -q " + shq(origin) + " " + shq(root + "/lost"));
    git(root + "/lost", "remote set-url origin " + shq(tmp.path() + "/missing.git"));
    // New commits on the remote after the clones.
    commit_at(seed, "second", 1700000100);
    commit_at(seed, "third", 1700000200);
    git(seed, "push -q " + shq(origin) + " HEAD:main");
    std::string outer_before = git_out(outer, "rev-parse refs/remotes/origin/main");

    // A git in front of the real one that notes how many fetches run at once.
    std::string bin = tmp.path() + "/bin", log = tmp.path() + "/fetches";
    sh("mkdir -p " + shq(bin) + " " + shq(log));
    std::string real_git = sh("command -v git");
    real_git.erase(real_git.find_last_not_of("\n") + 1);
    write_file(bin + "/git", "#!/bin/sh\n"
                             "for a; do [ \"$a\" = fetch ] && f=1; done\n"
                             "if [ -n \"$f\" ]; then\n"
                             "  touch " +
                                 shq(log) +
                                 "/run.$$\n"
                                 "  ls " +
                                 shq(log) + " | grep -c run >>" + shq(log) +
                                 "/at-once.txt\n"
                                 "  sleep 1\n"
                                 "  rm -f " +
                                 shq(log) +
                                 "/run.$$\n"
                                 "fi\n"
                                 "exec " +
                                 shq(real_git) + " \"$@\"\n");
    sh("chmod +x " + shq(bin + "/git"));
    std::string path = bin + ":" + getenv("PATH");

    ProcResult r =
        quarlo({"fetch", "--all"}, shell_env(root, {{"PATH", path}, {"QUARLO_JOBS", "4"}}));
    EXPECT_EQ(r.exit_status, 1) << "one remote failed\n" << r.out << r.err;
    EXPECT_EQ(r.err, "") << "no progress line when standard error is no terminal";
    for (const char *c : clones)
        EXPECT_NE(row(r.out, c).find("\xe2\x86\x91"
                                     "0 \xe2\x86\x93"
                                     "0 \xe2\x86\x92 \xe2\x86\x91"
                                     "0 \xe2\x86\x93"
                                     "2"),
                  std::string::npos)
            << c << "\n"
            << r.out;
    EXPECT_NE(row(r.out, "lost").find("error: "), std::string::npos) << r.out;
    EXPECT_EQ(row(r.out, "local"), "") << "not fetched: no remote";
    EXPECT_NE(r.out.find("fetched 5 repositories, 1 failed, 4 moved, 1 without a remote"),
              std::string::npos)
        << r.out;
    std::string counts = read_file(log + "/at-once.txt");
    int most = 0;
    for (const std::string &l : lines_of(counts)) most = std::max(most, atoi(l.c_str()));
    EXPECT_GT(most, 1) << "the fetches ran one after another:\n" << counts;
    EXPECT_EQ(lines_of(counts).size(), 5u) << counts;

    // The listing now tells them behind; the working copy above the root
    // was not fetched.
    ProcResult status = quarlo({"status", "--json"}, shell_env(root));
    Json doc = parse_json(status.out);
    int behind = 0;
    for (const Json &repo : doc["repos"]) behind += repo["behind"].get<long long>() == 2;
    EXPECT_EQ(behind, 4) << status.out;
    ProcResult table = quarlo({"status"}, shell_env(root));
    EXPECT_NE(row(table.out, "one").find("Pull 2 commits; fetched just now"), std::string::npos)
        << table.out;
    EXPECT_EQ(git_out(outer, "rev-parse refs/remotes/origin/main"), outer_before);

    // Named paths: each fetched, a path outside the roots refused and told.
    ProcResult named = quarlo({"fetch", root + "/one", outer}, shell_env(root));
    EXPECT_EQ(named.exit_status, 1);
    EXPECT_NE(named.err.find("path not in an allowlisted root"), std::string::npos) << named.err;
    EXPECT_NE(row(named.out, "one").find("up to date"), std::string::npos) << named.out;
    ProcResult ok = quarlo({"fetch", root + "/two"}, shell_env(root));
    EXPECT_EQ(ok.exit_status, 0) << ok.out << ok.err;

    // On a terminal, standard error shows the progress while it runs.
    std::string tty = run_on_terminal({"fetch", "--all"}, shell_env(root), 80, true);
    EXPECT_NE(tty.find("\rfetching 0/6, 0 failed"), std::string::npos) << tty;
    EXPECT_NE(tty.find("\rfetching 6/6, 1 failed"), std::string::npos) << tty;
    std::string plain = std::regex_replace(tty, std::regex("\x1b\\[[0-9;]*m"), "");
    EXPECT_NE(plain.find("fetched 5 repositories, 1 failed, 0 moved"), std::string::npos) << tty;

    // Roots after --all replace the environment's, as those of status do.
    ProcResult given = quarlo({"fetch", "--all", root}, shell_env(seed));
    EXPECT_EQ(given.exit_status, 1) << given.out << given.err;
    EXPECT_NE(given.out.find("fetched 5 repositories, 1 failed"), std::string::npos) << given.out;
    EXPECT_EQ(git_out(outer, "rev-parse refs/remotes/origin/main"), outer_before);
}

// A root whose search left repositories out is told after the table, and
// the command fails, as the listing's "truncated" says.
TEST(CliStatus, RootThatLeftRepositoriesOut) {
    TempDir tmp;
    std::string root = tmp.path() + "/root";
    sh("git init -q " + shq(root + "/short"));
    commit_at(root + "/short", "one", 1700000000);
    // Four names of 250 bytes: a working copy whose path passes 1023 bytes.
    std::string deep = root;
    for (char c : {'a', 'b', 'c', 'd'}) deep += "/" + std::string(250, c);
    sh("git init -q " + shq(deep));
    ProcResult r = quarlo({"status"}, shell_env(root));
    EXPECT_EQ(r.exit_status, 1) << r.out << r.err;
    std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[1].rfind("1 repository", 0), 0u) << r.out;
    EXPECT_EQ(lines[2], root + ": repositories were left out (the folder limit, a path too "
                               "long, or a name the system refuses)");
    ProcResult json = quarlo({"status", "--json", root}, shell_env(root));
    EXPECT_EQ(json.exit_status, 1);
    EXPECT_NE(json.out.find("\"truncated\":true"), std::string::npos) << json.out;
    // Cut to the width like the rest.
    ProcResult narrow = quarlo({"status"}, shell_env(root, {{"COLUMNS", "30"}}));
    for (const std::string &l : lines_of(narrow.out)) EXPECT_LE(columns_of(l), 30) << l;
}

// Characters that show nothing are shown by their code point: a folder
// "al<U+200B>pha" does not pass for "alpha", in the table or in show.
TEST(CliStatus, InvisibleCharactersAreShown) {
    TempDir tmp;
    std::string root = tmp.path() + "/root";
    for (const char *name : {"alpha", "al\xE2\x80\x8Bpha", "be\xEF\xBB\xBFta"}) {
        sh("git init -q " + shq(root + "/" + name));
        commit_at(root + "/" + name, std::string("subject\xE2\x81\xA0of ") + name, 1700000000);
    }
    ProcResult r = quarlo({"status"}, shell_env(root));
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(row(r.out, "alpha"), "") << r.out;
    EXPECT_NE(row(r.out, "al<U+200B>pha").find("subject<U+2060>of al<U+200B>pha"),
              std::string::npos)
        << r.out;
    EXPECT_NE(row(r.out, "be<U+FEFF>ta"), "") << r.out;
    for (const char *hidden : {"\xE2\x80\x8B", "\xEF\xBB\xBF", "\xE2\x81\xA0"})
        EXPECT_EQ(r.out.find(hidden), std::string::npos) << r.out;
    ProcResult show = quarlo({"show", root + "/al\xE2\x80\x8Bpha"}, shell_env(root));
    EXPECT_EQ(show.exit_status, 0) << show.err;
    // After the step's line, the repository's name.
    EXPECT_NE(show.out.find("\nal<U+200B>pha\n"), std::string::npos) << show.out;
    EXPECT_EQ(show.out.find("\xE2\x80\x8B"), std::string::npos) << show.out;
}

// Every character the JSON writer escapes or replaces, and those a terminal
// must not be given, in a repository's folder name, its branch (where git
// allows the character in one) and its last commit's subject, made for real:
// `quarlo status --json` and `quarlo show --json` give git's bytes back
// (U+FFFD for each byte that does not begin well-formed UTF-8), and `quarlo
// status` and `quarlo show` show each character in its safe, visible form.
TEST(CliStatus, EveryEscapedCharacterReadsBackAndShowsSafely) {
    const std::string R = "\xEF\xBF\xBD"; // U+FFFD
    struct Case {
        std::string label;
        std::string text;  // the bytes git holds
        std::string json;  // as the JSON strings read
        std::string shown; // as the terminal shows them
        bool in_branch;    // git allows it in a branch name
    };
    std::vector<Case> cases = {
        {"quote", "\"", "\"", "\"", true},
        {"backslash", "\\", "\\", "\\", false},
        {"del", "\x7f", "\x7f", R, false},
        {"c1-nel", "\xC2\x85", "\xC2\x85", R, true},
        {"c1-csi",
         "\xC2\x9B"
         "31m",
         "\xC2\x9B"
         "31m",
         R + "31m", true},
        {"csi-byte",
         "\x9B"
         "31m",
         R + "31m", R + "31m", true},
        {"line-separator", "\xE2\x80\xA8", "\xE2\x80\xA8", "<U+2028>", true},
        {"paragraph-separator", "\xE2\x80\xA9", "\xE2\x80\xA9", "<U+2029>", true},
        {"right-to-left-override", "\xE2\x80\xAE", "\xE2\x80\xAE", R, true},
        {"byte-ff", "\xFF", R, R, true},
        {"cut-short", "\xE2\x82", R, R, true},
        {"overlong", "\xC0\xAF", R + R, R + R, true},
        {"surrogate", "\xED\xA0\x80", R + R + R, R + R + R, true},
        {"above-unicode", "\xF4\x90\x80\x80", R + R + R + R, R + R + R + R, true},
    };
    // Each C0 control: escaped in JSON, never given to the terminal.
    for (int c = 1; c < 0x20; c++) {
        const std::string b(1, (char)c);
        cases.push_back({"c0-" + std::to_string(c), b, b, R, false});
    }
    auto replaced = [](std::string s, const std::string &from, const std::string &to) {
        for (size_t at = 0; (at = s.find(from, at)) != std::string::npos; at += to.size())
            s.replace(at, from.size(), to);
        return s;
    };

    TempDir tmp;
    const std::string root = tmp.path() + "/root";
    struct Made {
        std::string path, branch, subject; // git's bytes; the subject as git log shows it
    };
    std::vector<Made> made;
    long long when = 1700000000;
    for (const Case &c : cases) {
        Made m;
        m.path = root + "/n-" + c.label + "-" + c.text + "-end";
        m.branch = c.in_branch ? "b-" + c.text + "-end" : "main";
        sh("git init -q " + shq(m.path));
        git_argv(m.path, {"checkout", "-q", "-b", m.branch});
        commit_raw(m.path, "s " + c.text + " end\n", ++when);
        m.subject = git_argv(m.path, {"log", "-1", "--format=%s"});
        m.subject.pop_back();
        made.push_back(m);
    }

    const Env env = shell_env(root);
    ProcResult listing = quarlo({"status", "--json"}, env);
    ASSERT_EQ(listing.exit_status, 0) << listing.err;
    std::string err;
    const Json doc = parse_json(listing.out, &err);
    ASSERT_EQ(err, "") << listing.out;
    ProcResult table = quarlo({"status"}, env);
    ASSERT_EQ(table.exit_status, 0) << table.err;

    for (size_t i = 0; i < cases.size(); i++) {
        const Case &c = cases[i];
        const Made &m = made[i];
        SCOPED_TRACE(c.label);
        const std::string name = "n-" + c.label + "-" + c.json + "-end";
        const std::string branch = replaced(m.branch, c.text, c.json);
        const std::string subject = replaced(m.subject, c.text, c.json);
        const std::string shown_name = "n-" + c.label + "-" + c.shown + "-end";
        const std::string shown_branch = replaced(m.branch, c.text, c.shown);
        const std::string shown_subject = replaced(m.subject, c.text, c.shown);

        const Json *rec = nullptr;
        for (const Json &r : doc["repos"])
            if (r["path_param"] == url_encode(m.path)) rec = &r;
        ASSERT_NE(rec, nullptr) << listing.out;
        EXPECT_EQ((*rec)["name"], name);
        EXPECT_EQ((*rec)["branch"], branch);
        EXPECT_EQ((*rec)["last_commit"]["subject"], subject);

        const std::string line = row(table.out, shown_name);
        EXPECT_NE(line, "") << table.out;
        EXPECT_NE(line.find("  " + shown_branch + "  "), std::string::npos) << line;
        EXPECT_NE(line.find(shown_subject), std::string::npos) << line;

        ProcResult detail = quarlo({"show", "--json", m.path}, env);
        EXPECT_EQ(detail.exit_status, 0) << detail.err;
        const Json d = parse_json(detail.out, &err);
        ASSERT_EQ(err, "") << detail.out;
        EXPECT_EQ(d["repo"]["name"], name);
        EXPECT_EQ(d["repo"]["branch"], branch);
        EXPECT_EQ(d["commits"][0]["subject"], subject);

        ProcResult show = quarlo({"show", m.path}, env);
        EXPECT_EQ(show.exit_status, 0) << show.err;
        for (const std::string &want :
             {"\n" + shown_name + "\n", "\nbranch   " + shown_branch + "\n", shown_subject + "\n"})
            EXPECT_NE(show.out.find(want), std::string::npos) << want << "\n" << show.out;

        // Given to the terminal as it is only where it is safe and visible.
        if (c.shown != c.text && c.text != "\n") {
            for (const std::string *out : {&table.out, &show.out})
                EXPECT_EQ(out->find(c.text), std::string::npos) << *out;
        }
    }
}

} // namespace
