#include "files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <climits>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace testfs {

static bool is_sep(char c) {
    return c == '/' || c == SEP;
}

#if defined(_WIN32)

TempDir::TempDir() {
    char base[MAX_PATH];
    DWORD n = GetTempPathA(sizeof base, base);
    EXPECT_GT(n, 0u);
    std::string b(base, n);
    if (!b.empty() && b.back() == '\\') b.pop_back();
    for (unsigned i = 0; i < 1000 && path_.empty(); i++) {
        std::string p =
            b + "\\quarlo-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(i);
        if (CreateDirectoryA(p.c_str(), nullptr)) path_ = p;
    }
    EXPECT_FALSE(path_.empty()) << "no temporary folder below " << b;
}

bool make_dirs(const std::string &path) {
    for (size_t i = 3; i <= path.size(); i++)
        if (i == path.size() || is_sep(path[i]))
            CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool path_exists(const std::string &path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void remove_tree(const std::string &path) {
    DWORD a = GetFileAttributesA(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return;
    SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(a & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileA(path.c_str());
        return;
    }
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((path + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string name = fd.cFileName;
            if (name != "." && name != "..") remove_tree(path + "\\" + name);
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryA(path.c_str());
}

std::string current_dir() {
    char buf[MAX_PATH * 4];
    DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : "";
}

static bool change_dir(const std::string &dir) {
    return SetCurrentDirectoryA(dir.c_str());
}

// "NAME=" removes the variable; an empty value cannot be set this way, and no
// test needs one.
static void put_env(const std::string &name, const char *value) {
    std::string entry = name + "=" + (value ? value : "");
    _putenv(entry.c_str());
}

#else

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quarlo-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        ADD_FAILURE() << "mkdtemp failed: " << strerror(errno);
        return;
    }
    char real[PATH_MAX];
    path_ = realpath(buf.data(), real) ? real : buf.data();
}

bool make_dirs(const std::string &path) {
    for (size_t i = 1; i <= path.size(); i++)
        if (i == path.size() || path[i] == '/') mkdir(path.substr(0, i).c_str(), 0755);
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool path_exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

void remove_tree(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        unlink(path.c_str());
        return;
    }
    chmod(path.c_str(), 0700); // a folder a test made unreadable
    if (DIR *d = opendir(path.c_str())) {
        while (struct dirent *e = readdir(d)) {
            if (!strcmp(e->d_name, ".") || !strcmp(e->d_name, "..")) continue;
            remove_tree(path + "/" + e->d_name);
        }
        closedir(d);
    }
    rmdir(path.c_str());
}

std::string current_dir() {
    char buf[8192];
    return getcwd(buf, sizeof buf) ? buf : "";
}

static bool change_dir(const std::string &dir) {
    return chdir(dir.c_str()) == 0;
}

static void put_env(const std::string &name, const char *value) {
    if (value)
        setenv(name.c_str(), value, 1);
    else
        unsetenv(name.c_str());
}

#endif

TempDir::~TempDir() {
    if (!path_.empty()) remove_tree(path_);
}

TempDir::TempDir(TempDir &&other) noexcept : path_(std::move(other.path_)) {
    other.path_.clear();
}

TempDir &TempDir::operator=(TempDir &&other) noexcept {
    if (this != &other) {
        if (!path_.empty()) remove_tree(path_);
        path_ = std::move(other.path_);
        other.path_.clear();
    }
    return *this;
}

void write_file(const std::string &path, const std::string &content, int mode) {
    size_t cut = path.size();
    while (cut > 0 && !is_sep(path[cut - 1])) cut--;
    if (cut > 1) make_dirs(path.substr(0, cut - 1));
    FILE *f = fopen(path.c_str(), "wb");
    if (!f) {
        ADD_FAILURE() << "cannot write " << path << ": " << strerror(errno);
        return;
    }
    bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
    ok = fclose(f) == 0 && ok;
    if (!ok) ADD_FAILURE() << "cannot write " << path;
#if !defined(_WIN32)
    chmod(path.c_str(), (mode_t)mode);
#else
    (void)mode;
#endif
}

std::string read_file(const std::string &path) {
    std::string text;
    if (FILE *f = fopen(path.c_str(), "rb")) {
        char chunk[4096];
        size_t n;
        while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
        fclose(f);
    }
    return text;
}

EnvGuard::~EnvGuard() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
        put_env(it->name, it->was_set ? it->value.c_str() : nullptr);
}

void EnvGuard::set(const char *name, const char *value) {
    const char *old = getenv(name);
    saved_.push_back({name, old ? old : "", old != nullptr});
    put_env(name, value);
}

CwdGuard::CwdGuard(const std::string &dir) : old_(current_dir()) {
    EXPECT_TRUE(change_dir(dir)) << dir;
}

CwdGuard::~CwdGuard() {
    if (!old_.empty() && !change_dir(old_)) ADD_FAILURE() << "cannot return to " << old_;
}

} // namespace testfs
