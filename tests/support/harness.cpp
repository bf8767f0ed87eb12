#include "harness.h"

#include <cctype>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

namespace {

using EnvList = std::vector<std::pair<std::string, std::string>>;

const char *const kDefaultPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

void env_set(EnvList &env, const std::string &name, const std::string &value) {
    for (auto &e : env) {
        if (e.first == name) {
            e.second = value;
            return;
        }
    }
    env.emplace_back(name, value);
}

EnvList inherited_env() {
    EnvList env;
    for (char **e = environ; *e; ++e) {
        const char *eq = strchr(*e, '=');
        if (!eq) continue;
        env.emplace_back(std::string(*e, static_cast<size_t>(eq - *e)), std::string(eq + 1));
    }
    return env;
}

// A folder that lives as long as the test process.
const std::string &process_dir(int which) {
    static TempDir cgi_home;
    static TempDir git_home;
    static bool made = false;
    if (!made) {
        made = true;
        write_file(git_home.sub(".gitconfig"), "[init]\n"
                                               "\tdefaultBranch = main\n"
                                               "[user]\n"
                                               "\tname = Test Author\n"
                                               "\temail = author@example.com\n"
                                               "[advice]\n"
                                               "\tdetachedHead = false\n"
                                               "[protocol \"file\"]\n"
                                               "\tallow = always\n");
    }
    return which == 0 ? cgi_home.path() : git_home.path();
}

int decode_status(int st) {
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

// Runs argv[0] (looked up on the PATH of `env`) with exactly `env`, collects
// stdout and stderr; kills the process group after timeout_seconds.
ProcResult spawn(const std::vector<std::string> &argv, const EnvList &env, const std::string &cwd,
                 const std::string &input, int timeout_seconds, bool *timed_out) {
    ProcResult r{"", "", -1};
    *timed_out = false;

    char in_tmpl[] = "/tmp/quarlo-e2e-in-XXXXXX";
    int in_fd = mkstemp(in_tmpl);
    if (in_fd < 0) return r;
    unlink(in_tmpl);
    size_t off = 0;
    while (off < input.size()) {
        ssize_t w = write(in_fd, input.data() + off, input.size() - off);
        if (w <= 0) break;
        off += static_cast<size_t>(w);
    }
    lseek(in_fd, 0, SEEK_SET);

    int out_pipe[2], err_pipe[2];
    if (pipe(out_pipe) != 0) {
        close(in_fd);
        return r;
    }
    if (pipe(err_pipe) != 0) {
        close(in_fd);
        close(out_pipe[0]);
        close(out_pipe[1]);
        return r;
    }

    std::vector<std::string> env_text;
    for (const auto &e : env) env_text.push_back(e.first + "=" + e.second);
    std::vector<char *> envp, args;
    for (auto &e : env_text) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::vector<std::string> argv_copy = argv;
    for (auto &a : argv_copy) args.push_back(&a[0]);
    args.push_back(nullptr);

    std::string path_value = kDefaultPath;
    for (const auto &e : env)
        if (e.first == "PATH") path_value = e.second;

    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        dup2(in_fd, 0);
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        close(in_fd);
        close(out_pipe[0]);
        close(out_pipe[1]);
        close(err_pipe[0]);
        close(err_pipe[1]);
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        const std::string &prog = argv_copy[0];
        if (prog.find('/') != std::string::npos) {
            execve(prog.c_str(), args.data(), envp.data());
        } else {
            // Search the child's PATH ourselves: execvpe would use ours.
            size_t start = 0;
            while (start <= path_value.size()) {
                size_t end = path_value.find(':', start);
                if (end == std::string::npos) end = path_value.size();
                std::string dir = path_value.substr(start, end - start);
                if (dir.empty()) dir = ".";
                std::string full = dir + "/" + prog;
                execve(full.c_str(), args.data(), envp.data());
                start = end + 1;
            }
        }
        _exit(127);
    }
    close(in_fd);
    close(out_pipe[1]);
    close(err_pipe[1]);
    if (pid < 0) {
        close(out_pipe[0]);
        close(err_pipe[0]);
        return r;
    }

    struct timespec t0;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    std::string *sinks[2] = {&r.out, &r.err};
    int open_count = 2;
    char buf[65536];
    while (open_count > 0) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long long elapsed_ms =
            (now.tv_sec - t0.tv_sec) * 1000LL + (now.tv_nsec - t0.tv_nsec) / 1000000;
        long long left = timeout_seconds * 1000LL - elapsed_ms;
        if (left <= 0) {
            *timed_out = true;
            kill(-pid, SIGKILL);
            kill(pid, SIGKILL);
            break;
        }
        int pr = poll(fds, 2, static_cast<int>(left > 1000 ? 1000 : left));
        if (pr < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    for (auto &f : fds)
        if (f.fd >= 0) close(f.fd);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.exit_status = decode_status(st);
    return r;
}

std::string describe(const std::vector<std::string> &argv) {
    std::string s;
    for (const auto &a : argv) {
        if (!s.empty()) s += ' ';
        s += shq(a);
    }
    return s;
}

} // namespace

std::string quarlo_bin() {
    // QUARLO_TEST_BIN runs the same tests against another build of the program.
    const char *other = getenv("QUARLO_TEST_BIN");
    if (other && *other) return other;
#ifdef QUARLO_BIN
    return QUARLO_BIN;
#else
    const char *b = getenv("QUARLO_BIN");
    return b ? b : "quarlo";
#endif
}

CgiResult run_cgi(const CgiRequest &req) {
    EnvList env;
    std::string path = kDefaultPath;
    if (!req.path_prefix.empty()) path = req.path_prefix + ":" + path;
    if (!req.path_override.empty()) path = req.path_override;
    env_set(env, "PATH", path);
    env_set(env, "HOME", process_dir(0));
    env_set(env, "LANG", "C");
    env_set(env, "GATEWAY_INTERFACE", "CGI/1.1");
    if (!req.method.empty()) env_set(env, "REQUEST_METHOD", req.method);
    if (!req.no_query) env_set(env, "QUERY_STRING", req.query);
    // The test build runs under the sanitizers; their options pass through.
    for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
        const char *v = getenv(name);
        if (v) env_set(env, name, v);
    }
    for (const auto &e : req.env) env_set(env, e.first, e.second);

    std::vector<std::string> argv{quarlo_bin()};
    argv.insert(argv.end(), req.args.begin(), req.args.end());
    bool timed_out = false;
    ProcResult p = spawn(argv, env, req.cwd, req.input, req.timeout_seconds, &timed_out);
    if (timed_out) ADD_FAILURE() << "quarlo did not end within " << req.timeout_seconds << " s";
    if (!p.err.empty() && p.err.find("Sanitizer") != std::string::npos)
        ADD_FAILURE() << "sanitizer report from quarlo:\n" << p.err;

    CgiResult r;
    r.out = std::move(p.out);
    r.err = std::move(p.err);
    r.exit_status = p.exit_status;
    size_t sep = r.out.find("\r\n\r\n");
    if (sep == std::string::npos) {
        r.head = r.out;
    } else {
        r.head = r.out.substr(0, sep);
        r.body = r.out.substr(sep + 4);
    }
    return r;
}

CgiResult run_cgi_ok(const CgiRequest &req) {
    CgiResult r = run_cgi(req);
    EXPECT_EQ(r.exit_status, 0) << "query: " << req.query << "\nstderr:\n" << r.err;
    EXPECT_EQ(r.err, "") << "query: " << req.query;
    return r;
}

std::string json_head(int status) {
    std::string h;
    if (status == 403) h = "Status: 403 Forbidden\r\n";
    if (status == 400) h = "Status: 400 Bad Request\r\n";
    return h + "Content-Type: application/json; charset=utf-8\r\n"
               "Cache-Control: no-store\r\n"
               "X-Content-Type-Options: nosniff\r\n"
               "\r\n";
}

std::string json_head_lines(int status) {
    std::string h = json_head(status);
    return h.substr(0, h.size() - 4);
}

std::string path_refused_reply() {
    return json_head(403) + "{\"ok\":false,\"error\":\"path not in an allowlisted root\"}\n";
}

std::string url_encode(const std::string &s) {
    static const char hex[] = "0123456789ABCDEF";
    std::string o;
    for (unsigned char c : s) {
        if (isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
            o += static_cast<char>(c);
        } else {
            o += '%';
            o += hex[c >> 4];
            o += hex[c & 15];
        }
    }
    return o;
}

ProcResult run_process(const std::vector<std::string> &argv, const std::string &cwd,
                       const EnvList &env, const std::string &input) {
    EnvList full = inherited_env();
    for (const auto &e : env) env_set(full, e.first, e.second);
    bool timed_out = false;
    ProcResult r = spawn(argv, full, cwd, input, 300, &timed_out);
    if (timed_out) ADD_FAILURE() << "did not end: " << describe(argv);
    return r;
}

EnvList git_env() {
    return {
        {"HOME", process_dir(1)},
        {"GIT_CONFIG_NOSYSTEM", "1"},
        {"GIT_AUTHOR_NAME", "Test Author"},
        {"GIT_AUTHOR_EMAIL", "author@example.com"},
        {"GIT_COMMITTER_NAME", "Test Author"},
        {"GIT_COMMITTER_EMAIL", "author@example.com"},
        {"GIT_TERMINAL_PROMPT", "0"},
        {"LANG", "C"},
        {"LC_ALL", "C"},
        {"TZ", "UTC"},
    };
}

std::string shq(const std::string &word) {
    std::string q = "'";
    for (char c : word) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

std::string sh(const std::string &cmd, const std::string &cwd) {
    ProcResult r = run_process({"/bin/sh", "-c", cmd}, cwd, git_env());
    if (r.exit_status != 0)
        ADD_FAILURE() << "command failed (" << r.exit_status << "): " << cmd << "\n" << r.err;
    return r.out;
}

std::string git_out(const std::string &dir, const std::string &args) {
    return sh("git -C " + shq(dir) + " " + args);
}

void git(const std::string &dir, const std::string &args) {
    git_out(dir, args);
}

std::string git_argv(const std::string &dir, const std::vector<std::string> &args) {
    std::vector<std::string> argv{"git", "-C", dir};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcResult r = run_process(argv, "", git_env());
    if (r.exit_status != 0)
        ADD_FAILURE() << "command failed (" << r.exit_status << "): " << describe(argv) << "\n"
                      << r.err;
    return r.out;
}

void commit_at(const std::string &dir, const std::string &msg, long long when) {
    std::string date = "@" + std::to_string(when) + " +0000";
    EnvList env = git_env();
    env.emplace_back("GIT_AUTHOR_DATE", date);
    env.emplace_back("GIT_COMMITTER_DATE", date);
    std::vector<std::string> argv{"git",           "-C",          dir,  "commit", "-q",
                                  "--allow-empty", "--no-verify", "-m", msg};
    ProcResult r = run_process(argv, "", env);
    if (r.exit_status != 0)
        ADD_FAILURE() << "commit failed (" << r.exit_status << ") in " << dir << "\n" << r.err;
}

std::string commit_raw(const std::string &dir, const std::string &message, long long when) {
    std::string tree = git_out(dir, "write-tree");
    while (!tree.empty() && tree.back() == '\n') tree.pop_back();
    ProcResult head =
        run_process({"git", "-C", dir, "rev-parse", "-q", "--verify", "HEAD"}, "", git_env());
    std::string parent = head.exit_status == 0 ? head.out : "";
    while (!parent.empty() && parent.back() == '\n') parent.pop_back();
    std::string stamp = std::to_string(when) + " +0000";
    std::string object = "tree " + tree + "\n";
    if (!parent.empty()) object += "parent " + parent + "\n";
    object += "author Test Author <author@example.com> " + stamp + "\n";
    object += "committer Test Author <author@example.com> " + stamp + "\n\n";
    object += message;
    ProcResult made = run_process(
        {"git", "-C", dir, "hash-object", "-t", "commit", "-w", "--literally", "--stdin"}, "",
        git_env(), object);
    std::string hash = made.out;
    while (!hash.empty() && hash.back() == '\n') hash.pop_back();
    if (made.exit_status != 0 || hash.empty()) {
        ADD_FAILURE() << "hash-object failed in " << dir << "\n" << made.err;
        return "";
    }
    git_argv(dir, {"update-ref", "HEAD", hash});
    return hash;
}

// ---- JSON ----

std::size_t Json::size() const {
    if (type == Object) return members.size();
    if (type == Array) return items.size();
    return 0;
}

bool Json::has(const std::string &key) const {
    if (type != Object) return false;
    for (const auto &m : members)
        if (m.first == key) return true;
    return false;
}

std::vector<std::string> Json::keys() const {
    std::vector<std::string> k;
    for (const auto &m : members) k.push_back(m.first);
    return k;
}

static const Json &null_json() {
    static const Json n;
    return n;
}

const Json &Json::operator[](const std::string &key) const {
    if (type == Object)
        for (const auto &m : members)
            if (m.first == key) return m.second;
    return null_json();
}

const Json &Json::operator[](std::size_t i) const {
    if (type == Array && i < items.size()) return items[i];
    return null_json();
}

namespace {

class JsonParser {
  public:
    explicit JsonParser(const std::string &t) : text_(t) {}

    bool document(Json &out) {
        ws();
        if (!value(out, 0)) return false;
        ws();
        if (pos_ != text_.size()) return fail("text after the value");
        return true;
    }
    std::string error;

  private:
    const std::string &text_;
    size_t pos_ = 0;

    bool fail(const std::string &why) {
        if (error.empty()) error = why + " at offset " + std::to_string(pos_);
        return false;
    }
    void ws() {
        while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                       text_[pos_] == '\n' || text_[pos_] == '\r'))
            ++pos_;
    }
    bool literal(const char *word) {
        size_t n = strlen(word);
        if (text_.compare(pos_, n, word) != 0) return fail(std::string("expected ") + word);
        pos_ += n;
        return true;
    }
    bool value(Json &out, int depth) {
        if (depth > 200) return fail("nesting too deep");
        if (pos_ >= text_.size()) return fail("unexpected end");
        char c = text_[pos_];
        if (c == '{') return object(out, depth);
        if (c == '[') return array(out, depth);
        if (c == '"') {
            out.type = Json::String;
            return string(out.s);
        }
        if (c == 't') {
            out.type = Json::Bool;
            out.b = true;
            return literal("true");
        }
        if (c == 'f') {
            out.type = Json::Bool;
            out.b = false;
            return literal("false");
        }
        if (c == 'n') {
            out.type = Json::Null;
            return literal("null");
        }
        if (c == '-' || (c >= '0' && c <= '9')) return number(out);
        return fail("unexpected byte");
    }
    bool object(Json &out, int depth) {
        out.type = Json::Object;
        ++pos_;
        ws();
        if (pos_ < text_.size() && text_[pos_] == '}') {
            ++pos_;
            return true;
        }
        for (;;) {
            ws();
            if (pos_ >= text_.size() || text_[pos_] != '"') return fail("expected a key");
            std::string key;
            if (!string(key)) return false;
            ws();
            if (pos_ >= text_.size() || text_[pos_] != ':') return fail("expected ':'");
            ++pos_;
            ws();
            Json v;
            if (!value(v, depth + 1)) return false;
            out.members.emplace_back(std::move(key), std::move(v));
            ws();
            if (pos_ < text_.size() && text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < text_.size() && text_[pos_] == '}') {
                ++pos_;
                return true;
            }
            return fail("expected ',' or '}'");
        }
    }
    bool array(Json &out, int depth) {
        out.type = Json::Array;
        ++pos_;
        ws();
        if (pos_ < text_.size() && text_[pos_] == ']') {
            ++pos_;
            return true;
        }
        for (;;) {
            ws();
            Json v;
            if (!value(v, depth + 1)) return false;
            out.items.push_back(std::move(v));
            ws();
            if (pos_ < text_.size() && text_[pos_] == ',') {
                ++pos_;
                continue;
            }
            if (pos_ < text_.size() && text_[pos_] == ']') {
                ++pos_;
                return true;
            }
            return fail("expected ',' or ']'");
        }
    }
    static void put_utf8(std::string &s, unsigned cp) {
        if (cp < 0x80) {
            s += static_cast<char>(cp);
        } else if (cp < 0x800) {
            s += static_cast<char>(0xC0 | (cp >> 6));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            s += static_cast<char>(0xE0 | (cp >> 12));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | (cp >> 18));
            s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    bool hex4(unsigned &v) {
        if (pos_ + 4 > text_.size()) return fail("short \\u escape");
        v = 0;
        for (int i = 0; i < 4; ++i) {
            char h = text_[pos_++];
            v <<= 4;
            if (h >= '0' && h <= '9')
                v |= static_cast<unsigned>(h - '0');
            else if (h >= 'a' && h <= 'f')
                v |= static_cast<unsigned>(h - 'a' + 10);
            else if (h >= 'A' && h <= 'F')
                v |= static_cast<unsigned>(h - 'A' + 10);
            else
                return fail("bad hex digit");
        }
        return true;
    }
    bool string(std::string &out) {
        ++pos_; // opening quote
        for (;;) {
            if (pos_ >= text_.size()) return fail("unterminated string");
            unsigned char c = static_cast<unsigned char>(text_[pos_]);
            if (c == '"') {
                ++pos_;
                return true;
            }
            if (c < 0x20) return fail("raw control byte in a string");
            if (c != '\\') {
                out += static_cast<char>(c);
                ++pos_;
                continue;
            }
            ++pos_;
            if (pos_ >= text_.size()) return fail("unterminated escape");
            char e = text_[pos_++];
            switch (e) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                unsigned cp = 0;
                if (!hex4(cp)) return false;
                if (cp >= 0xD800 && cp < 0xDC00 && text_.compare(pos_, 2, "\\u") == 0) {
                    size_t save = pos_;
                    pos_ += 2;
                    unsigned lo = 0;
                    if (!hex4(lo)) return false;
                    if (lo >= 0xDC00 && lo < 0xE000)
                        cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                    else
                        pos_ = save;
                }
                put_utf8(out, cp);
                break;
            }
            default:
                --pos_;
                return fail("bad escape");
            }
        }
    }
    bool number(Json &out) {
        size_t start = pos_;
        if (text_[pos_] == '-') ++pos_;
        if (pos_ >= text_.size() || !isdigit(static_cast<unsigned char>(text_[pos_])))
            return fail("bad number");
        if (text_[pos_] == '0' && pos_ + 1 < text_.size() &&
            isdigit(static_cast<unsigned char>(text_[pos_ + 1])))
            return fail("leading zero");
        while (pos_ < text_.size() && isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        bool integral = true;
        if (pos_ < text_.size() && text_[pos_] == '.') {
            integral = false;
            ++pos_;
            if (pos_ >= text_.size() || !isdigit(static_cast<unsigned char>(text_[pos_])))
                return fail("bad fraction");
            while (pos_ < text_.size() && isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        }
        if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
            integral = false;
            ++pos_;
            if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
            if (pos_ >= text_.size() || !isdigit(static_cast<unsigned char>(text_[pos_])))
                return fail("bad exponent");
            while (pos_ < text_.size() && isdigit(static_cast<unsigned char>(text_[pos_]))) ++pos_;
        }
        std::string lexeme = text_.substr(start, pos_ - start);
        out.type = Json::Number;
        out.integral = integral;
        out.d = strtod(lexeme.c_str(), nullptr);
        out.n = integral ? strtoll(lexeme.c_str(), nullptr, 10) : static_cast<long long>(out.d);
        return true;
    }
};

} // namespace

std::string utf8_error(const std::string &text) {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        size_t len = c < 0x80                 ? 1
                     : c >= 0xC2 && c <= 0xDF ? 2
                     : c >= 0xE0 && c <= 0xEF ? 3
                     : c >= 0xF0 && c <= 0xF4 ? 4
                                              : 0;
        bool ok = len > 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) ok = (p[i + k] & 0xC0) == 0x80;
        if (ok && len > 2) {
            unsigned cp = len == 3
                              ? ((c & 0x0Fu) << 12) | ((p[i + 1] & 0x3Fu) << 6) | (p[i + 2] & 0x3Fu)
                              : ((c & 0x07u) << 18) | ((p[i + 1] & 0x3Fu) << 12) |
                                    ((p[i + 2] & 0x3Fu) << 6) | (p[i + 3] & 0x3Fu);
            ok = len == 3 ? cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF)
                          : cp >= 0x10000 && cp <= 0x10FFFF;
        }
        if (!ok) {
            char at[64];
            snprintf(at, sizeof at, "byte 0x%02X at offset %zu is not UTF-8", c, i);
            return at;
        }
        i += len;
    }
    return "";
}

Json parse_json(const std::string &text, std::string *error) {
    JsonParser p(text);
    Json out;
    if (!p.document(out)) {
        if (error) *error = p.error;
        return Json();
    }
    if (error) error->clear();
    return out;
}
