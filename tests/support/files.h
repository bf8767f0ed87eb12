// Files, folders and the process's environment for every test program: one
// place for the helpers that the unit, end-to-end and Windows tests share.
// On Windows they use the system's 8-bit calls, which take UTF-8 in a test
// program that carries the program's manifest (the program itself uses the
// wide calls).
#pragma once

#include <string>
#include <vector>

namespace testfs {

// The separator the platform's own calls use between a folder and a name.
#if defined(_WIN32)
constexpr char SEP = '\\';
#else
constexpr char SEP = '/';
#endif

// A fresh folder in the platform's temporary folder (on Linux below $TMPDIR
// or /tmp, with no symbolic link in its path; on Windows on a real drive),
// removed with everything in it when the object goes away.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    TempDir(TempDir &&other) noexcept;
    TempDir &operator=(TempDir &&other) noexcept;

    const std::string &path() const { return path_; }
    // path() + SEP + rel
    std::string sub(const std::string &rel) const { return path_ + SEP + rel; }
    std::string operator/(const std::string &rel) const { return sub(rel); }

  private:
    std::string path_;
};

// Creates `path` and every missing folder above it; true when it is a folder.
bool make_dirs(const std::string &path);
// Writes `content` to `path` as bytes, creating missing parent folders; on
// Linux with the permission bits `mode`. ADD_FAILURE when it cannot.
void write_file(const std::string &path, const std::string &content, int mode = 0644);
// A whole file ("" when it cannot be read).
std::string read_file(const std::string &path);
// True when `path` names something (a dangling link included).
bool path_exists(const std::string &path);
// Removes `path` and everything below it, read-only files included.
void remove_tree(const std::string &path);
// The current folder ("" when it cannot be read).
std::string current_dir();

// Sets (or, for null, unsets) environment variables and restores their
// former values when it goes out of scope.
class EnvGuard {
  public:
    EnvGuard() = default;
    EnvGuard(const EnvGuard &) = delete;
    EnvGuard &operator=(const EnvGuard &) = delete;
    ~EnvGuard();
    void set(const char *name, const char *value);

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
    explicit CwdGuard(const std::string &dir);
    ~CwdGuard();
    CwdGuard(const CwdGuard &) = delete;
    CwdGuard &operator=(const CwdGuard &) = delete;

  private:
    std::string old_;
};

} // namespace testfs
