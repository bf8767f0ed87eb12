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
        EXPECT_EQ(doc.keys(), (std::vector<std::string>{"ok", "action", "exit", "path", "output",
                                                        "ahead", "behind", "branch", "error"}))
            << r.body;
        EXPECT_EQ(doc["action"].str(), "fetch");
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
    EXPECT_TRUE(doc["ok"].boolean());
    EXPECT_EQ(doc["exit"].num(), 0);
    EXPECT_EQ(doc["path"].str(), repo);
    EXPECT_NE(doc["output"].str().find("-> origin/main"), std::string::npos) << doc["output"].str();
    EXPECT_EQ(doc["ahead"].num(), 0);
    EXPECT_EQ(doc["behind"].num(), 1);
    EXPECT_EQ(doc["branch"].str(), "main");
    EXPECT_EQ(doc["error"].str(), "");
    EXPECT_EQ(git_out(repo, "rev-parse origin/main"), pushed);
}

TEST_F(FetchTest, OriginThatIsNotARepositoryFailsWithGitsMessage) {
    sh("mkdir -p " + shq(tmp.sub("not-a-repo")));
    git(repo, "remote set-url origin " + shq(tmp.sub("not-a-repo")));

    Json doc = fetch(repo);
    EXPECT_FALSE(doc["ok"].boolean());
    EXPECT_EQ(doc["exit"].num(), 128);
    EXPECT_NE(doc["output"].str().find("does not appear to be a git repository"), std::string::npos)
        << doc["output"].str();
    EXPECT_EQ(doc["branch"].str(), "main");
    // git's first "fatal:" line says what failed.
    EXPECT_EQ(doc["error"].str(),
              "fatal: '" + tmp.sub("not-a-repo") + "' does not appear to be a git repository");
}

TEST_F(FetchTest, RepositoryWithoutRemoteSucceedsSilently) {
    git(repo, "remote remove origin");

    Json doc = fetch(repo);
    EXPECT_TRUE(doc["ok"].boolean());
    EXPECT_EQ(doc["exit"].num(), 0);
    EXPECT_EQ(doc["output"].str(), "");
    EXPECT_EQ(doc["ahead"].num(), 0);
    EXPECT_EQ(doc["behind"].num(), 0);
    EXPECT_EQ(doc["branch"].str(), "main");
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
        EXPECT_TRUE(doc["ok"].boolean());
        EXPECT_EQ(doc["path"].str(), repo);
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
        EXPECT_FALSE(doc["ok"].boolean()) << r.out;
        EXPECT_EQ(doc["exit"].num(), 128) << "1 would mean the time limit ended a waiting git";
        EXPECT_NE(doc["output"].str().find("could not read Username"), std::string::npos)
            << doc["output"].str();
        EXPECT_EQ(terminal, "");
    }
    EXPECT_GE(server.connections(), 2);
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
    EXPECT_FALSE(doc["ok"].boolean()) << r.body;
    EXPECT_EQ(doc["exit"].num(), 1) << r.body;
    EXPECT_EQ(doc["branch"].str(), "main");
    // Ending early would mean another limit than the fetch's own.
    EXPECT_GE(seconds, limit - 0.5) << "answered after " << seconds << " s";
    EXPECT_EQ(doc["error"].str(), "git did not answer within " + std::to_string(limit) + " s");
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
