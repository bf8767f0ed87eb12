// The fetch action (POST action=fetch) run as CGI against real repositories
// and remotes: its three gates, both roads to it, git's result, and remotes
// that never answer or ask for credentials.
#include "harness.h"
#include "unit_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kJsonHead = json_head_lines(0);
const std::string kRefused = path_refused_reply();
const std::string kPostOnly = json_head(400) + "{\"ok\":false,\"error\":\"fetch is POST only\"}\n";
const std::string kDisabled =
    json_head(0) + "{\"ok\":false,\"error\":\"fetch is disabled on this node\","
                   "\"hint\":\"set QUARLO_ALLOW_FETCH=1 to enable git fetch --prune\"}\n";

// Processes whose command line contains one of `needles` and that have not
// ended (zombies, which hold nothing, do not count): pid -> command line.
std::map<int, std::string> live_processes_matching(const std::vector<std::string> &needles) {
    std::map<int, std::string> found;
    DIR *d = opendir("/proc");
    if (!d) return found;
    while (dirent *e = readdir(d)) {
        int pid = atoi(e->d_name);
        if (pid <= 0 || pid == getpid()) continue;
        std::string proc = std::string("/proc/") + e->d_name;
        std::string cmd = read_file(proc + "/cmdline");
        for (char &c : cmd)
            if (c == 0) c = ' ';
        std::string stat = read_file(proc + "/stat");
        size_t paren = stat.rfind(')');
        if (cmd.empty() || paren == std::string::npos || paren + 2 >= stat.size() ||
            stat[paren + 2] == 'Z')
            continue;
        for (const std::string &n : needles)
            if (cmd.find(n) != std::string::npos) found[pid] = cmd;
    }
    closedir(d);
    return found;
}

// A TCP server on 127.0.0.1 (a free port) served by a thread: it either
// accepts connections and never says anything, or answers every HTTP request
// with 401 and a Basic challenge.
class LocalServer {
  public:
    enum Mode { Silent, Unauthorized };

    explicit LocalServer(Mode mode) : mode_(mode) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            listen(fd_, 16) != 0 || getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
            return;
        }
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~LocalServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        for (int c : held_) close(c);
        if (fd_ >= 0) close(fd_);
    }
    int port() const { return port_; }
    int connections() const { return connections_; }

  private:
    void serve() {
        while (!stop_) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0) continue;
            int c = accept(fd_, nullptr, nullptr);
            if (c < 0) continue;
            connections_++;
            if (mode_ == Silent) {
                held_.push_back(c);
                continue;
            }
            answer_401(c);
            close(c);
        }
    }
    void answer_401(int c) {
        std::string req;
        char buf[4096];
        while (req.find("\r\n\r\n") == std::string::npos) {
            pollfd p = {c, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) return;
            ssize_t n = read(c, buf, sizeof buf);
            if (n <= 0) return;
            req.append(buf, static_cast<size_t>(n));
        }
        static const char reply[] = "HTTP/1.1 401 Unauthorized\r\n"
                                    "WWW-Authenticate: Basic realm=\"quarlo test\"\r\n"
                                    "Content-Length: 0\r\n"
                                    "Connection: close\r\n\r\n";
        ssize_t w = write(c, reply, sizeof reply - 1);
        (void)w;
    }

    Mode mode_;
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> connections_{0};
    std::vector<int> held_;
};

// One allowlisted root, "code", with a clone of a bare remote in it.
class FetchTest : public ::testing::Test {
  protected:
    TempDir tmp;
    std::string root = tmp.sub("code");
    std::string remote = tmp.sub("remote.git");
    std::string seed = tmp.sub("seed");
    std::string repo = root + "/repo";
    std::string log = tmp.sub("git-calls.log");
    std::string bin = tmp.sub("bin");

    void SetUp() override {
        sh("git init -q --bare " + shq(remote));
        sh("git init -q " + shq(seed));
        write_file(seed + "/a.txt", "a\n");
        git(seed, "add a.txt");
        commit_at(seed, "first", 1700000000);
        git(seed, "push -q " + shq(remote) + " main");
        sh("git clone -q " + shq(remote) + " " + shq(repo));

        // A `git` first on PATH that records each call and runs the real one.
        std::string real_git = sh("command -v git");
        real_git.pop_back();
        write_file(bin + "/git", "#!/bin/sh\nprintf '%s\\n' \"$*\" >> " + shq(log) + "\nexec " +
                                     shq(real_git) + " \"$@\"\n");
        sh("chmod +x " + shq(bin + "/git"));
    }

    CgiRequest post(const std::string &query, const char *allow = "1") const {
        CgiRequest req;
        req.method = "POST";
        req.query = query;
        req.env = {{"QUARLO_ROOTS", root}, {"QUARLO_ONLY_ROOTS", "1"}};
        if (allow) req.env.emplace_back("QUARLO_ALLOW_FETCH", allow);
        req.path_prefix = bin;
        return req;
    }

    // Runs a fetch that reaches git and returns its document.
    Json fetch(const CgiRequest &req) {
        CgiResult r = run_cgi(req);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.head, kJsonHead) << r.out;
        std::string err;
        Json doc = parse_json(r.body, &err);
        EXPECT_EQ(err, "") << r.body;
        EXPECT_EQ(keys_of(doc), (std::vector<std::string>{"ok", "action", "exit", "path", "output",
                                                          "ahead", "behind", "branch", "error"}))
            << r.body;
        EXPECT_EQ(doc["action"].get<std::string>(), "fetch");
        return doc;
    }
    Json fetch(const std::string &path) {
        return fetch(post("action=fetch&path=" + url_encode(path)));
    }
};

TEST_F(FetchTest, NewCommitOnTheRemoteLeavesTheCloneBehind) {
    write_file(seed + "/b.txt", "b\n");
    git(seed, "add b.txt");
    commit_at(seed, "second", 1700000100);
    git(seed, "push -q " + shq(remote) + " main");
    std::string pushed = git_out(seed, "rev-parse HEAD");

    Json doc = fetch(tmp.path() + "//code/./repo");
    EXPECT_TRUE(doc["ok"].get<bool>());
    EXPECT_EQ(doc["exit"].get<long long>(), 0);
    EXPECT_EQ(doc["path"].get<std::string>(), repo);
    EXPECT_NE(doc["output"].get<std::string>().find("-> origin/main"), std::string::npos)
        << doc["output"].get<std::string>();
    EXPECT_EQ(doc["ahead"].get<long long>(), 0);
    EXPECT_EQ(doc["behind"].get<long long>(), 1);
    EXPECT_EQ(doc["branch"].get<std::string>(), "main");
    EXPECT_EQ(doc["error"].get<std::string>(), "");
    EXPECT_EQ(git_out(repo, "rev-parse origin/main"), pushed);
}

TEST_F(FetchTest, OriginThatIsNotARepositoryFailsWithGitsMessage) {
    sh("mkdir -p " + shq(tmp.sub("not-a-repo")));
    git(repo, "remote set-url origin " + shq(tmp.sub("not-a-repo")));

    Json doc = fetch(repo);
    EXPECT_FALSE(doc["ok"].get<bool>());
    EXPECT_EQ(doc["exit"].get<long long>(), 128);
    EXPECT_NE(doc["output"].get<std::string>().find("does not appear to be a git repository"),
              std::string::npos)
        << doc["output"].get<std::string>();
    EXPECT_EQ(doc["branch"].get<std::string>(), "main");
    // git's first "fatal:" line says what failed.
    EXPECT_EQ(doc["error"].get<std::string>(),
              "fatal: '" + tmp.sub("not-a-repo") + "' does not appear to be a git repository");
}

TEST_F(FetchTest, RepositoryWithoutRemoteSucceedsSilently) {
    git(repo, "remote remove origin");

    Json doc = fetch(repo);
    EXPECT_TRUE(doc["ok"].get<bool>());
    EXPECT_EQ(doc["exit"].get<long long>(), 0);
    EXPECT_EQ(doc["output"].get<std::string>(), "");
    EXPECT_EQ(doc["ahead"].get<long long>(), 0);
    EXPECT_EQ(doc["behind"].get<long long>(), 0);
    EXPECT_EQ(doc["branch"].get<std::string>(), "main");
}

// The gates in order: the method first, then the path, then the switch. None
// of the refusals runs git.
TEST_F(FetchTest, GatesAnswerInOrderWithoutRunningGit) {
    struct Case {
        const char *name;
        std::string method;
        std::string path;
        const char *allow; // null: QUARLO_ALLOW_FETCH unset
        const std::string &expected;
    };
    const std::string outside = tmp.sub("seed");
    const std::vector<Case> cases = {
        {"GET", "GET", repo, "1", kPostOnly},
        {"GET with a refused path", "GET", outside, nullptr, kPostOnly},
        {"lower-case post", "post", repo, "1", kPostOnly},
        {"no method", "", repo, "1", kPostOnly},
        {"refused path, fetching on", "POST", outside, "1", kRefused},
        {"refused path, fetching off", "POST", outside, nullptr, kRefused},
        {"switch unset", "POST", repo, nullptr, kDisabled},
        {"switch empty", "POST", repo, "", kDisabled},
        {"switch 0", "POST", repo, "0", kDisabled},
        {"switch true", "POST", repo, "true", kDisabled},
        {"switch with a leading space", "POST", repo, " 1", kDisabled},
        {"switch with a trailing space", "POST", repo, "1 ", kDisabled},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CgiRequest req = post("action=fetch&path=" + url_encode(c.path), c.allow);
        req.method = c.method;
        CgiResult r = run_cgi(req);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.out, c.expected);
        EXPECT_EQ(read_file(log), "");
        sh(": > " + shq(log));
    }
}

// The shortcut for a raw "action=fetch" and the dispatch for an action that
// only decodes to "fetch" both run git fetch --prune in the resolved path.
TEST_F(FetchTest, BothRoadsRunTheFetch) {
    const std::vector<std::string> queries = {
        "action=fetch&path=" + url_encode(repo),
        "path=" + url_encode(repo) + "&action=fetch",
        "action=%66etch&path=" + url_encode(repo),
    };
    for (const std::string &q : queries) {
        SCOPED_TRACE(q);
        Json doc = fetch(post(q));
        EXPECT_TRUE(doc["ok"].get<bool>());
        EXPECT_EQ(doc["path"].get<std::string>(), repo);
        EXPECT_NE(read_file(log).find("-C " + repo + " fetch --prune\n"), std::string::npos)
            << read_file(log);
        sh(": > " + shq(log));
    }
}

// Git wants credentials for a remote that answers 401, and has no helper to
// ask: the fetch fails at once instead of waiting for a password, also when
// the program was started from a terminal, where git would otherwise prompt.
TEST_F(FetchTest, RemoteAskingForCredentialsFailsWithoutPrompting) {
    LocalServer server(LocalServer::Unauthorized);
    std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/x.git";
    git(repo, "remote set-url origin " + url);

    for (bool on_terminal : {false, true}) {
        SCOPED_TRACE(on_terminal ? "controlling terminal" : "no terminal");
        CgiRequest req = post("action=fetch&path=" + url_encode(repo));
        std::string terminal;
        if (on_terminal) {
            // As when the bot was started from a console.
            sh("mkdir -p " + shq(tmp.sub("home")));
            req.env.emplace_back("HOME", tmp.sub("home"));
            req.terminal = &terminal;
        }
        CgiResult r = run_cgi(req);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(r.head, kJsonHead);
        Json doc = parse_json(r.body);
        EXPECT_FALSE(doc["ok"].get<bool>()) << r.out;
        EXPECT_EQ(doc["exit"].get<long long>(), 128)
            << "1 would mean the time limit ended a waiting git";
        EXPECT_NE(doc["output"].get<std::string>().find("could not read Username"),
                  std::string::npos)
            << doc["output"].get<std::string>();
        EXPECT_EQ(terminal, "");
    }
    EXPECT_GE(server.connections(), 2);
}

// A port on 127.0.0.1 where nothing listens: taken, then let go.
int closed_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    EXPECT_EQ(getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len), 0);
    close(fd);
    return ntohs(a.sin_port);
}

// A partial clone whose status needs an object it lacks: a staged deletion
// beside a similar new file makes git look for a rename, and git would fetch
// the deleted file's content on its own. No listing, detail or terminal
// status runs the remote's upload program or connects to it; the repository
// is listed all the same, with its changes counted without renames and a
// notice saying so. The fetch itself still reaches the remote.
TEST_F(FetchTest, PartialCloneIsListedWithoutReachingItsRemote) {
    std::string lines;
    for (int i = 0; i < 200; i++) lines += "line " + std::to_string(i) + "\n";
    write_file(seed + "/big.txt", lines);
    git(seed, "add big.txt");
    commit_at(seed, "big", 1700000100);
    git(seed, "push -q " + shq(remote) + " main");
    git(remote, "config uploadpack.allowFilter true");
    const std::string partial = root + "/partial", ran = tmp.sub("upload-pack-ran");
    auto make_partial = [&] {
        sh("rm -rf " + shq(partial));
        sh("git clone -q --no-local --no-checkout --filter=blob:none file://" + shq(remote) + " " +
           shq(partial));
        git(partial, "read-tree HEAD");
        git(partial, "rm -q --cached big.txt");
        write_file(partial + "/moved.txt", lines + "one more\n");
        git(partial, "add moved.txt");
        git(partial, "config remote.origin.uploadpack " +
                         shq("touch " + shq(ran) + " && exec git-upload-pack"));
    };
    // git on its own fetches the missing content for the status.
    make_partial();
    ProcResult direct = run_process({"git", "-C", partial, "status", "--porcelain"}, "", git_env());
    EXPECT_EQ(direct.exit_status, 0) << direct.err;
    ASSERT_TRUE(path_exists(ran)) << "the status did not run the remote's upload program";
    sh("rm -f " + shq(ran));
    make_partial();

    LocalServer server(LocalServer::Unauthorized);
    for (const std::string &url :
         {"file://" + remote, "http://127.0.0.1:" + std::to_string(server.port()) + "/x.git"}) {
        SCOPED_TRACE(url);
        git(partial, "remote set-url origin " + shq(url));
        CgiRequest listing = post("action=repos", nullptr);
        listing.method = "GET";
        Json doc = parse_json(run_cgi_ok(listing).body);
        const Json *rec = nullptr;
        for (size_t i = 0; i < doc["repos"].size(); i++)
            if (doc["repos"][i]["path"].get<std::string>() == partial) rec = &doc["repos"][i];
        ASSERT_TRUE(rec) << doc["repos"].size();
        EXPECT_EQ((*rec)["error"].get<std::string>(), "");
        EXPECT_EQ((*rec)["branch"].get<std::string>(), "main");
        // big.txt deleted and moved.txt added in the index, a.txt missing
        // from the folder (never checked out).
        EXPECT_EQ((*rec)["staged"].get<long long>(), 2);
        EXPECT_EQ((*rec)["dirty"].get<long long>(), 3);
        EXPECT_EQ((*rec)["last_commit"]["subject"].get<std::string>(), "big");
        EXPECT_EQ((*rec)["notice"].get<std::string>().rfind("renames not detected: fatal: ", 0), 0u)
            << (*rec)["notice"].get<std::string>();
        EXPECT_EQ(keys_of((*rec)).back(), "notice");

        CgiRequest detail = post("action=repo&path=" + url_encode(partial), nullptr);
        detail.method = "GET";
        Json d = parse_json(run_cgi_ok(detail).body);
        EXPECT_EQ(d["repo"]["error"].get<std::string>(), "");
        EXPECT_EQ(d["repo"]["notice"].get<std::string>(), (*rec)["notice"].get<std::string>());
        EXPECT_EQ(d["changed_count"].get<long long>(), 3);

        ProcResult status = run_process({quarlo_bin(), "status", "--json", root}, "", {});
        EXPECT_NE(status.out.find("\"notice\":\"renames not detected"), std::string::npos)
            << status.out;
        // The terminal tells it too: the table in its first words, show whole.
        EnvList plain = {
            {"NO_COLOR", "1"}, {"COLUMNS", ""}, {"QUARLO_ONLY_ROOTS", "1"}, {"QUARLO_ROOTS", root}};
        ProcResult table = run_process({quarlo_bin(), "status", root}, "", plain);
        EXPECT_NE(table.out.find("Commit or stash 3 changes; renames not detected"),
                  std::string::npos)
            << table.out;
        ProcResult show = run_process({quarlo_bin(), "show", partial}, "", plain);
        EXPECT_NE(show.out.find("note     renames not detected: fatal: "), std::string::npos)
            << show.out;

        EXPECT_FALSE(path_exists(ran));
        EXPECT_EQ(server.connections(), 0);
    }
    // The fetch does reach it.
    Json fetched = fetch(partial);
    EXPECT_GE(server.connections(), 1);
    EXPECT_FALSE(fetched["ok"].get<bool>());
}

// An askpass program that writes down each question and answers it: set as
// SSH_ASKPASS with a display (as on a desktop), as GIT_ASKPASS or in the
// repository's config, it is never asked; the fetch fails at once. ssh gets
// BatchMode, and no askpass, unless the user named an ssh command of their
// own, which is run as they named it.
TEST_F(FetchTest, NoPromptReachesAnAskpassProgram) {
    LocalServer server(LocalServer::Unauthorized);
    const std::string asked = tmp.sub("asked.log"), askpass = tmp.sub("askpass");
    write_file(askpass, "#!/bin/sh\necho \"$*\" >>" + shq(asked) + "\necho answer\n", 0755);
    git(repo, "remote set-url origin http://127.0.0.1:" + std::to_string(server.port()) + "/x.git");
    const std::vector<std::pair<std::string, std::string>> desktop = {{"SSH_ASKPASS", askpass},
                                                                      {"DISPLAY", ":0"}};
    struct Case {
        const char *name;
        std::vector<std::pair<std::string, std::string>> env;
        bool in_config;
    } cases[] = {
        {"SSH_ASKPASS and a display", desktop, false},
        {"SSH_ASKPASS required",
         {{"SSH_ASKPASS", askpass}, {"SSH_ASKPASS_REQUIRE", "force"}},
         false},
        {"GIT_ASKPASS", {{"GIT_ASKPASS", askpass}}, false},
        {"core.askPass", {}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.in_config) git(repo, "config core.askPass " + shq(askpass));
        CgiRequest req = post("action=fetch&path=" + url_encode(repo));
        req.env.insert(req.env.end(), c.env.begin(), c.env.end());
        Json doc = fetch(req);
        EXPECT_FALSE(doc["ok"].get<bool>());
        EXPECT_EQ(doc["exit"].get<long long>(), 128);
        EXPECT_NE(doc["error"].get<std::string>().find("terminal prompts disabled"),
                  std::string::npos)
            << doc["error"].get<std::string>();
        EXPECT_FALSE(path_exists(asked)) << read_file(asked);
        if (c.in_config) git(repo, "config --unset core.askPass");
    }
    // The terminal's fetch, on a desktop.
    std::vector<std::pair<std::string, std::string>> env = desktop;
    env.push_back({"QUARLO_ROOTS", root});
    env.push_back({"QUARLO_ONLY_ROOTS", "1"});
    ProcResult cli = run_process({quarlo_bin(), "fetch", repo}, "", env);
    EXPECT_NE(cli.exit_status, 0);
    EXPECT_FALSE(path_exists(asked)) << read_file(asked);
    EXPECT_GE(server.connections(), 5);

    // ssh: a stand-in first on PATH notes how it was started and fails as an
    // unknown host key makes ssh fail.
    const std::string ssh_log = tmp.sub("ssh.log"), own = tmp.sub("own-ssh");
    write_file(bin + "/ssh",
               "#!/bin/sh\necho \"ssh $* askpass=${SSH_ASKPASS-unset} "
               "require=${SSH_ASKPASS_REQUIRE-unset}\" >>" +
                   shq(ssh_log) + "\necho 'Host key verification failed.' >&2\nexit 255\n",
               0755);
    write_file(own, "#!/bin/sh\necho \"own $*\" >>" + shq(ssh_log) + "\nexit 255\n", 0755);
    git(repo, "remote set-url origin ssh://git@example.invalid/x.git");
    // git asks a command it does not know for its kind first (-G): each
    // line of the log is one start.
    struct SshCase {
        const char *name;
        std::vector<std::pair<std::string, std::string>> env;
        bool in_config;
        std::string started;
    } ssh_cases[] = {
        {"plain ssh", desktop, false,
         "ssh -o BatchMode=yes -o SendEnv=GIT_PROTOCOL git@example.invalid git-upload-pack "
         "'/x.git' askpass=unset require=never\n"},
        {"core.sshCommand", desktop, true,
         "own -G -o SendEnv=GIT_PROTOCOL git@example.invalid\n"
         "own git@example.invalid git-upload-pack '/x.git'\n"},
        {"GIT_SSH_COMMAND",
         {{"GIT_SSH_COMMAND", own}},
         false,
         "own -G -o SendEnv=GIT_PROTOCOL git@example.invalid\n"
         "own git@example.invalid git-upload-pack '/x.git'\n"},
    };
    for (const SshCase &c : ssh_cases) {
        SCOPED_TRACE(c.name);
        sh("rm -f " + shq(ssh_log));
        if (c.in_config) git(repo, "config core.sshCommand " + shq(own));
        CgiRequest req = post("action=fetch&path=" + url_encode(repo));
        req.env.insert(req.env.end(), c.env.begin(), c.env.end());
        Json doc = fetch(req);
        EXPECT_FALSE(doc["ok"].get<bool>());
        EXPECT_EQ(read_file(ssh_log), c.started);
        if (c.in_config) git(repo, "config --unset core.sshCommand");
    }
}

// A fetch that fails says why in its error, where git leaves the reason to a
// line of its own: ssh's message before git's fatal line, the system's after
// a fatal line that ends in ':'.
TEST_F(FetchTest, ErrorKeepsItsCause) {
    const int port = closed_port();
    const std::string p = std::to_string(port);
    struct Case {
        std::string url, error;
    } cases[] = {
        {"ssh://127.0.0.1:" + p + "/x.git",
         "fatal: Could not read from remote repository. (ssh: connect to host 127.0.0.1 port " + p +
             ": Connection refused)"},
        {"git://127.0.0.1:" + p + "/x.git",
         "fatal: unable to connect to 127.0.0.1: 127.0.0.1[0: 127.0.0.1]: errno=Connection "
         "refused"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        git(repo, "remote set-url origin " + shq(c.url));
        Json doc = fetch(repo);
        EXPECT_FALSE(doc["ok"].get<bool>());
        EXPECT_EQ(doc["error"].get<std::string>(), c.error) << doc["output"].get<std::string>();
    }
}

// A remote that accepts the connection and never answers: the run is ended at
// the fetch's limit, together with every process git started.
class FetchHangTest : public FetchTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(FetchHangTest, SilentRemoteIsStoppedAtTheLimitWithItsHelpers) {
    LocalServer server(LocalServer::Silent);
    const std::string host = "127.0.0.1:" + std::to_string(server.port());
    git(repo, std::string("remote set-url origin ") + GetParam() + "://" + host + "/x.git");
    // git itself names the repository folder; its transport helpers name the URL.
    const std::vector<std::string> needles = {repo, host};

    std::map<int, std::string> seen;
    std::mutex seen_lock;
    std::atomic<bool> running{true};
    std::thread watcher([&] {
        while (running) {
            auto now = live_processes_matching(needles);
            {
                std::lock_guard<std::mutex> g(seen_lock);
                seen.insert(now.begin(), now.end());
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    auto start = std::chrono::steady_clock::now();
    CgiRequest req = post("action=fetch&path=" + url_encode(repo));
    use_git_limits(&req);
    const int limit = git_limits().fetch_s;
    CgiResult r = run_cgi(req);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    running = false;
    watcher.join();

    Json doc = parse_json(r.body);
    EXPECT_EQ(r.head, kJsonHead);
    EXPECT_FALSE(doc["ok"].get<bool>()) << r.body;
    EXPECT_EQ(doc["exit"].get<long long>(), 1) << r.body;
    EXPECT_EQ(doc["branch"].get<std::string>(), "main");
    // Ending early would mean another limit than the fetch's own.
    EXPECT_GE(seconds, limit - 0.5) << "answered after " << seconds << " s";
    EXPECT_EQ(doc["error"].get<std::string>(),
              "git did not answer within " + std::to_string(limit) + " s");
    EXPECT_GE(server.connections(), 1);

    bool saw_fetch = false;
    for (const auto &p : seen) saw_fetch = saw_fetch || p.second.find("fetch") != std::string::npos;
    EXPECT_TRUE(saw_fetch) << "the watcher never saw the git fetch";
    // Ending a process group is asynchronous: wait for each process to go.
    for (const auto &p : live_processes_matching(needles))
        EXPECT_TRUE(unit::gone_soon(p.first)) << "still running: " << p.first << " " << p.second;
}

INSTANTIATE_TEST_SUITE_P(FetchHang, FetchHangTest, ::testing::Values("git", "http"),
                         [](const ::testing::TestParamInfo<const char *> &i) {
                             return std::string(i.param);
                         });

} // namespace
