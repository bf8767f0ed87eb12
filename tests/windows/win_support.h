// Helpers shared by the Windows tests that run under Wine: temporary folders
// on a real drive, files, and guards that put the environment and the
// current folder back.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <windows.h>

#include <gtest/gtest.h>

namespace win {

// Creates `path` (backslashes or slashes) and every missing folder above it.
inline bool make_dirs(const std::string &path) {
    for (size_t i = 3; i <= path.size(); i++)
        if (i == path.size() || path[i] == '\\' || path[i] == '/')
            CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

inline void write_file(const std::string &path, const std::string &text) {
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    fwrite(text.data(), 1, text.size(), f);
    fclose(f);
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

inline void remove_tree(const std::string &path) {
    DWORD a = GetFileAttributesA(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return;
    if (a & FILE_ATTRIBUTE_DIRECTORY) {
        WIN32_FIND_DATAA fd;
        HANDLE h = FindFirstFileA((path + "\\*").c_str(), &fd);
        if (h != INVALID_HANDLE_VALUE) {
            do {
                std::string name = fd.cFileName;
                if (name != "." && name != "..") remove_tree(path + "\\" + name);
            } while (FindNextFileA(h, &fd));
            FindClose(h);
        }
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        RemoveDirectoryA(path.c_str());
    } else {
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileA(path.c_str());
    }
}

// A fresh folder in the Windows temporary folder (on drive C: of the Wine
// prefix), removed with everything in it.
class TempDir {
  public:
    TempDir() {
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
    ~TempDir() {
        if (!path_.empty()) remove_tree(path_);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &rel) const { return path_ + "\\" + rel; }

  private:
    std::string path_;
};

// Sets (or, for null, unsets) environment variables and restores their
// former values when it goes out of scope.
class EnvGuard {
  public:
    EnvGuard() = default;
    EnvGuard(const EnvGuard &) = delete;
    EnvGuard &operator=(const EnvGuard &) = delete;
    ~EnvGuard() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it)
            put(it->name, it->was_set ? it->value.c_str() : nullptr);
    }
    void set(const char *name, const char *value) {
        const char *old = getenv(name);
        saved_.push_back({name, old ? old : "", old != nullptr});
        put(name, value);
    }

  private:
    // "NAME=" removes the variable; an empty value cannot be set this way,
    // and no test needs one.
    static void put(const std::string &name, const char *value) {
        std::string entry = name + "=" + (value ? value : "");
        _putenv(entry.c_str());
    }
    struct Saved {
        std::string name, value;
        bool was_set;
    };
    std::vector<Saved> saved_;
};

inline std::string current_dir() {
    char buf[MAX_PATH * 4];
    DWORD n = GetCurrentDirectoryA(sizeof buf, buf);
    return n > 0 && n < sizeof buf ? std::string(buf, n) : "";
}

// Changes the current folder and changes back when it goes out of scope.
class CwdGuard {
  public:
    explicit CwdGuard(const std::string &dir) : old_(current_dir()) {
        EXPECT_TRUE(SetCurrentDirectoryA(dir.c_str())) << dir;
    }
    ~CwdGuard() {
        if (!old_.empty() && !SetCurrentDirectoryA(old_.c_str()))
            ADD_FAILURE() << "cannot return to " << old_;
    }
    CwdGuard(const CwdGuard &) = delete;
    CwdGuard &operator=(const CwdGuard &) = delete;

  private:
    std::string old_;
};

} // namespace win
