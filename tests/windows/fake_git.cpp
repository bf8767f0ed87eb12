// git.exe for the Windows tests under Wine. A Linux git started from inside
// Wine gets no pipes and no exit code, so the tests put this program on the
// search path as "git". It records how it was called and answers with canned
// output chosen by the test.
//
// It takes its arguments, environment and paths through the UTF-16 (W) calls,
// as git does, and writes every text as UTF-8: a name outside any code page
// is recorded as it arrived, and a long path is read through its \\?\ form.
//
// Record: when QUARLO_FAKE_GIT_LOG names a file, every run appends one line
// to it: each argument after the program name as <arg>, separated by spaces;
// with -C DIR and QUARLO_FAKE_GIT_LOG_DIR set, then " {dir=FULL}" with the
// folder the run works in (DIR resolved against the current folder, as
// git -C goes there); and when QUARLO_FAKE_GIT_LOG_ENV names variables
// (separated by ','), then for each " {NAME=value}" for every entry of the
// environment with that name in any letter case, as spelt there (or
// " {NAME unset}").
// With QUARLO_FAKE_GIT_LOG_EXE set, then " {exe=PATH}" with the full path
// of the program that ran.
// When QUARLO_FAKE_GIT_PIDS names a file, every run appends its process id,
// and the id of every helper it starts, one per line.
//
// git -C DIR COMMAND...
//     Answers from the files DIR\.git\fake\NAME.*, where NAME is COMMAND with
//     "-branch" added for a status with --branch, and the count added for a
//     log ("status-branch", "status", "log-1", "log-20", "stash", "config",
//     "fetch"). NAME.spawn holds milliseconds for a helper that holds the
//     pipe (as --spawn) to sleep, started first; NAME.sleep holds
//     milliseconds to sleep then; NAME.out is
//     written to standard output and NAME.err to standard error, byte for
//     byte (for a status with -z, each line feed of NAME.out as a zero byte,
//     as git ends its records there); NAME.exit holds the exit code
//     (default 0). A missing file means
//     none of it. Without DIR\.git it answers as git does outside a
//     repository (exit 128).
//
// git --version
//     Writes "git version V\n" with V from QUARLO_FAKE_GIT_VERSION, by default
//     2.45.1.windows.1 (a git that prints the stash count in its status).
//
// git rev-parse --local-env-vars
//     Writes git's list of the variables that locate a repository, one per
//     line, and QUARLO_FAKE_GIT_LOCAL_ENV (a further name) when set.
//
// git STEP... (for the runner's own tests), steps done in order:
//     --out TEXT    writes TEXT to standard output
//     --err TEXT    writes TEXT to standard error
//     --bytes N     writes N bytes ('a' to 'z' over and over) to standard output
//     --err-bytes N the same to standard error
//     --sleep MS    sleeps
//     --trickle MS  writes a short line every 5 ms for MS milliseconds
//     --exit CODE   exits with CODE (decimal, may be negative)
//     --env NAME    writes "NAME=value\n", or "NAME unset\n"
//     --echo ARG... writes each remaining argument as "<ARG>\n", then
//                   "cmdline=" and the raw command line, then exits 0
//     --spawn MS    starts "git --sleep MS", a helper that inherits every
//                   inheritable handle and shares this program's standard
//                   handles (so holds the pipe), writes "pid=N\n" with its
//                   process id, and goes on
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include <windows.h>

static std::string utf8(const std::wstring &w) {
    if (w.empty()) return "";
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), nullptr, 0, nullptr, nullptr);
    std::string s((size_t)n, 0);
    WideCharToMultiByte(CP_UTF8, 0, w.data(), (int)w.size(), &s[0], n, nullptr, nullptr);
    return s;
}

static std::wstring wide(const std::string &s) {
    if (s.empty()) return L"";
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0);
    std::wstring w((size_t)n, 0);
    MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &w[0], n);
    return w;
}

static const wchar_t *env(const wchar_t *name) {
    const wchar_t *v = _wgetenv(name);
    return v && *v ? v : nullptr;
}

// The full path of `path`, resolved against the current folder.
static std::wstring full_path(const std::wstring &path) {
    DWORD need = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (need == 0) return path;
    std::wstring full(need, 0);
    DWORD n = GetFullPathNameW(path.c_str(), need, &full[0], nullptr);
    full.resize(n < need ? n : 0);
    return full;
}

// `path` in the form the W calls take at any length.
static std::wstring long_form(const std::wstring &path) {
    std::wstring full = full_path(path);
    if (full.compare(0, 4, L"\\\\?\\") == 0) return full;
    if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

static void write_all(DWORD which, const char *data, size_t n) {
    HANDLE h = GetStdHandle(which);
    while (n > 0) {
        DWORD put = 0;
        if (!WriteFile(h, data, (DWORD)n, &put, nullptr) || put == 0) return;
        data += put;
        n -= put;
    }
}

static void write_text(DWORD which, const std::string &s) {
    write_all(which, s.data(), s.size());
}

static bool read_file(const std::wstring &path, std::string *text) {
    FILE *f = _wfopen(long_form(path).c_str(), L"rb");
    if (!f) return false;
    char chunk[4096];
    size_t n;
    text->clear();
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0) text->append(chunk, n);
    fclose(f);
    return true;
}

// Appends one line to the file named by the variable `name`, if it is set.
// An append-only handle writes each line whole at the end, even when several
// fake gits run at once.
static void append_line(const wchar_t *name, const std::string &line) {
    const wchar_t *path = env(name);
    if (!path) return;
    // Runs in parallel append to one file: each opens it alone (no sharing)
    // and waits its turn, as two appends at once can land on the same end
    // and one line would overwrite the other.
    HANDLE h = INVALID_HANDLE_VALUE;
    for (int tries = 0; tries < 5000; tries++) {
        h = CreateFileW(path, FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_SHARING_VIOLATION) break;
        Sleep(1);
    }
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD put = 0;
    WriteFile(h, line.data(), (DWORD)line.size(), &put, nullptr);
    CloseHandle(h);
}

// " {NAME=value}" for every entry of the environment block named `name` in
// any letter case, as the block spells it; " {NAME unset}" when there is none.
static std::string env_entries(const wchar_t *name) {
    std::string found;
    size_t n = wcslen(name);
    wchar_t *block = GetEnvironmentStringsW();
    for (const wchar_t *e = block; e && *e; e += wcslen(e) + 1)
        if (_wcsnicmp(e, name, n) == 0 && e[n] == L'=') found += " {" + utf8(e) + "}";
    FreeEnvironmentStringsW(block);
    return found.empty() ? " {" + utf8(name) + " unset}" : found;
}

static void record(int argc, wchar_t **argv) {
    std::string line;
    for (int i = 1; i < argc; i++) {
        if (i > 1) line += ' ';
        line += '<' + utf8(argv[i]) + '>';
    }
    if (argc >= 3 && wcscmp(argv[1], L"-C") == 0 && env(L"QUARLO_FAKE_GIT_LOG_DIR"))
        line += " {dir=" + utf8(full_path(argv[2])) + "}";
    if (const wchar_t *names = env(L"QUARLO_FAKE_GIT_LOG_ENV")) {
        std::wstring list = names;
        for (size_t at = 0; at <= list.size();) {
            size_t end = list.find(L',', at);
            if (end == std::wstring::npos) end = list.size();
            line += env_entries(list.substr(at, end - at).c_str());
            at = end + 1;
        }
    }
    wchar_t self[MAX_PATH];
    if (env(L"QUARLO_FAKE_GIT_LOG_EXE") && GetModuleFileNameW(nullptr, self, MAX_PATH))
        line += " {exe=" + utf8(self) + "}";
    append_line(L"QUARLO_FAKE_GIT_LOG", line + "\n");
    append_line(L"QUARLO_FAKE_GIT_PIDS", std::to_string(GetCurrentProcessId()) + "\n");
}

// Starts the helper that sleeps `ms` holding the pipe; returns its process
// id, 0 when it did not start.
static DWORD spawn_sleeper(const std::string &ms) {
    wchar_t self[MAX_PATH];
    if (!GetModuleFileNameW(nullptr, self, MAX_PATH)) return 0;
    std::wstring line = std::wstring(L"\"") + self + L"\" --sleep " + wide(ms);
    STARTUPINFOW si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    // The pipe handles this program got from its parent are not inheritable
    // in this process; duplicate them as inheritable for the sleeper.
    HANDLE self_process = GetCurrentProcess();
    DuplicateHandle(self_process, si.hStdOutput, self_process, &si.hStdOutput, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    DuplicateHandle(self_process, si.hStdError, self_process, &si.hStdError, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    PROCESS_INFORMATION pi;
    std::vector<wchar_t> buf(line.begin(), line.end());
    buf.push_back(0);
    if (!CreateProcessW(nullptr, buf.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, &pi))
        return 0;
    append_line(L"QUARLO_FAKE_GIT_PIDS", std::to_string(pi.dwProcessId) + "\n");
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return pi.dwProcessId;
}

static std::wstring answer_name(int argc, wchar_t **argv, int first) {
    std::wstring name = argv[first];
    if (name == L"status") {
        for (int i = first + 1; i < argc; i++)
            if (wcscmp(argv[i], L"--branch") == 0) name += L"-branch";
    } else if (name == L"log" && first + 1 < argc) {
        name += argv[first + 1];
    }
    return name;
}

static int canned_answer(int argc, wchar_t **argv) {
    std::wstring git_dir = full_path(argv[2]) + L"\\.git";
    if (GetFileAttributesW(long_form(git_dir).c_str()) == INVALID_FILE_ATTRIBUTES) {
        write_text(STD_ERROR_HANDLE, "fatal: not a git repository (or any of the parent "
                                     "directories): .git\n");
        return 128;
    }
    if (argc < 4) return 1;
    std::wstring base = git_dir + L"\\fake\\" + answer_name(argc, argv, 3);
    std::string text;
    if (read_file(base + L".spawn", &text)) spawn_sleeper(text);
    if (read_file(base + L".sleep", &text)) Sleep((DWORD)strtoul(text.c_str(), nullptr, 10));
    if (read_file(base + L".out", &text)) {
        int records = 0;
        for (int i = 4; i < argc; i++) records |= wcscmp(argv[i], L"-z") == 0;
        if (records && wcscmp(argv[3], L"status") == 0)
            for (char &ch : text)
                if (ch == '\n') ch = 0;
        write_text(STD_OUTPUT_HANDLE, text);
    }
    if (read_file(base + L".err", &text)) write_text(STD_ERROR_HANDLE, text);
    if (read_file(base + L".exit", &text)) return (int)strtol(text.c_str(), nullptr, 10);
    return 0;
}

static int run_steps(int argc, wchar_t **argv) {
    for (int i = 1; i < argc; i++) {
        std::string step = utf8(argv[i]);
        std::string value = i + 1 < argc ? utf8(argv[i + 1]) : "";
        if (step == "--echo") {
            std::string text;
            for (int j = i + 1; j < argc; j++) text += "<" + utf8(argv[j]) + ">\n";
            text += "cmdline=" + utf8(GetCommandLineW()) + "\n";
            write_text(STD_OUTPUT_HANDLE, text);
            return 0;
        }
        i++;
        if (step == "--out") {
            write_text(STD_OUTPUT_HANDLE, value);
        } else if (step == "--err") {
            write_text(STD_ERROR_HANDLE, value);
        } else if (step == "--bytes") {
            std::string text(strtoul(value.c_str(), nullptr, 10), 0);
            for (size_t k = 0; k < text.size(); k++) text[k] = (char)('a' + k % 26);
            write_text(STD_OUTPUT_HANDLE, text);
        } else if (step == "--err-bytes") {
            std::string text(strtoul(value.c_str(), nullptr, 10), 0);
            for (size_t k = 0; k < text.size(); k++) text[k] = (char)('a' + k % 26);
            write_text(STD_ERROR_HANDLE, text);
        } else if (step == "--sleep") {
            Sleep((DWORD)strtoul(value.c_str(), nullptr, 10));
        } else if (step == "--trickle") {
            DWORD until = GetTickCount() + (DWORD)strtoul(value.c_str(), nullptr, 10);
            while ((LONG)(until - GetTickCount()) > 0) {
                write_text(STD_OUTPUT_HANDLE, "still here\n");
                Sleep(5);
            }
        } else if (step == "--exit") {
            return (int)strtoll(value.c_str(), nullptr, 10);
        } else if (step == "--env") {
            const wchar_t *v = _wgetenv(argv[i]);
            write_text(STD_OUTPUT_HANDLE, value + (v ? "=" + utf8(v) : " unset") + "\n");
        } else if (step == "--spawn") {
            DWORD pid = spawn_sleeper(value);
            if (pid) write_text(STD_OUTPUT_HANDLE, "pid=" + std::to_string(pid) + "\n");
        } else {
            write_text(STD_ERROR_HANDLE, "fake git: unknown step " + step + "\n");
            return 2;
        }
    }
    return 0;
}

int wmain(int argc, wchar_t **argv) {
    record(argc, argv);
    if (argc >= 3 && wcscmp(argv[1], L"-C") == 0) return canned_answer(argc, argv);
    if (argc == 2 && wcscmp(argv[1], L"--version") == 0) {
        const wchar_t *v = env(L"QUARLO_FAKE_GIT_VERSION");
        write_text(STD_OUTPUT_HANDLE,
                   "git version " + (v ? utf8(v) : std::string("2.45.1.windows.1")) + "\n");
        return 0;
    }
    if (argc == 3 && wcscmp(argv[1], L"rev-parse") == 0 &&
        wcscmp(argv[2], L"--local-env-vars") == 0) {
        std::string text = "GIT_ALTERNATE_OBJECT_DIRECTORIES\nGIT_CONFIG\nGIT_CONFIG_PARAMETERS\n"
                           "GIT_CONFIG_COUNT\nGIT_OBJECT_DIRECTORY\nGIT_DIR\nGIT_WORK_TREE\n"
                           "GIT_IMPLICIT_WORK_TREE\nGIT_GRAFT_FILE\nGIT_INDEX_FILE\n"
                           "GIT_NO_REPLACE_OBJECTS\nGIT_REPLACE_REF_BASE\nGIT_PREFIX\n"
                           "GIT_INTERNAL_SUPER_PREFIX\nGIT_SHALLOW_FILE\nGIT_COMMON_DIR\n";
        if (const wchar_t *more = env(L"QUARLO_FAKE_GIT_LOCAL_ENV")) text += utf8(more) + "\n";
        write_text(STD_OUTPUT_HANDLE, text);
        return 0;
    }
    return run_steps(argc, argv);
}
