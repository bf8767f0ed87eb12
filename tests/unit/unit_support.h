// Helpers shared by the unit tests: temporary folders, files and scripts,
// and guards that put the environment and the current folder back.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace unit {

// A fresh folder below $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
  public:
    TempDir() {
        const char *base = getenv("TMPDIR");
        std::string templ = std::string(base && *base ? base : "/tmp") + "/quarlo-unit-XXXXXX";
        std::vector<char> buf(templ.begin(), templ.end());
        buf.push_back(0);
        if (mkdtemp(buf.data())) path_ = buf.data();
        EXPECT_FALSE(path_.empty()) << "mkdtemp failed: " << strerror(errno);
    }
    ~TempDir() {
        if (!path_.empty()) remove_tree(path_);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

    static void remove_tree(const std::string &p) {
        struct stat st;
        if (lstat(p.c_str(), &st) != 0) return;
        if (S_ISDIR(st.st_mode)) {
            if (DIR *d = opendir(p.c_str())) {
                while (struct dirent *e = readdir(d)) {
                    if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
                    remove_tree(p + "/" + e->d_name);
                }
                closedir(d);
            }
            rmdir(p.c_str());
        } else {
            unlink(p.c_str());
        }
    }

  private:
    std::string path_;
};

// Creates `path` and every missing folder above it.
inline void make_dirs(const std::string &path) {
    for (size_t i = 1; i <= path.size(); i++)
        if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
}

inline void write_file(const std::string &path, const std::string &text, int mode = 0644) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
    chmod(path.c_str(), (mode_t)mode);
}

inline std::string read_file(const std::string &path) {
    std::string text;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
        fclose(f);
    }
    return text;
}

// Writes an executable /bin/sh script.
inline void write_script(const std::string &path, const std::string &body) {
    write_file(path, "#!/bin/sh\n" + body, 0755);
}

// Sets (or, for null, unsets) environment variables and restores their
// former values when it goes out of scope.
class EnvGuard {
  public:
    EnvGuard() = default;
    EnvGuard(const EnvGuard &) = delete;
    EnvGuard &operator=(const EnvGuard &) = delete;
    ~EnvGuard() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->was_set)
                setenv(it->name.c_str(), it->value.c_str(), 1);
            else
                unsetenv(it->name.c_str());
        }
    }
    void set(const char *name, const char *value) {
        const char *old = getenv(name);
        saved_.push_back({name, old ? old : "", old != nullptr});
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }

  private:
    struct Saved {
        std::string name, value;
        bool was_set;
    };
    std::vector<Saved> saved_;
};

// Changes the current folder and changes back when it goes out of scope.
class CwdGuard {
  public:
    explicit CwdGuard(const std::string &dir) {
        char buf[8192];
        if (getcwd(buf, sizeof buf)) old_ = buf;
        EXPECT_EQ(chdir(dir.c_str()), 0) << dir;
    }
    ~CwdGuard() {
        if (!old_.empty() && chdir(old_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << old_;
    }
    CwdGuard(const CwdGuard &) = delete;
    CwdGuard &operator=(const CwdGuard &) = delete;

  private:
    std::string old_;
};

inline std::string current_dir() {
    char buf[8192];
    return getcwd(buf, sizeof buf) ? buf : "";
}

// Replaces every "$T" in `text` with `dir`.
inline std::string with_dir(std::string text, const std::string &dir) {
    for (size_t at; (at = text.find("$T")) != std::string::npos;) text.replace(at, 2, dir);
    return text;
}

// True when no live process has this id (a zombie left for an unrelated
// parent to reap counts as gone: it runs nothing and holds no pipe).
inline bool process_gone(pid_t pid) {
    if (kill(pid, 0) != 0) return errno == ESRCH;
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

} // namespace unit
#endif
