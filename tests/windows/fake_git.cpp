// git.exe for the Windows tests under Wine. A Linux git started from inside
// Wine gets no pipes and no exit code, so the tests put this program on the
// search path as "git". It records how it was called and answers with canned
// output chosen by the test.
//
// Record: when QUARLO_FAKE_GIT_LOG names a file, every run appends one line
// to it: each argument after the program name as <arg>, separated by spaces;
// and when QUARLO_FAKE_GIT_LOG_ENV names a variable, then " {NAME=value}"
// (or " {NAME unset}") with the value the run got.
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
//     byte; NAME.exit holds the exit code (default 0). A missing file means
//     none of it. Without DIR\.git it answers as git does outside a
//     repository (exit 128).
//
// git --version
//     Writes "git version V\n" with V from QUARLO_FAKE_GIT_VERSION, by default
//     2.45.1.windows.1 (a git that prints the stash count in its status).
//
// git STEP... (for the runner's own tests), steps done in order:
//     --out TEXT    writes TEXT to standard output
//     --err TEXT    writes TEXT to standard error
//     --bytes N     writes N bytes ('a' to 'z' over and over) to standard output
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
#include <string>
#include <vector>

#include <windows.h>

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

static bool read_file(const std::string &path, std::string *text) {
    FILE *f = fopen(path.c_str(), "rb");
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
static void append_line(const char *name, const std::string &line) {
    const char *path = getenv(name);
    if (!path || !*path) return;
    HANDLE h = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return;
    DWORD put = 0;
    WriteFile(h, line.data(), (DWORD)line.size(), &put, nullptr);
    CloseHandle(h);
}

static void record(int argc, char **argv) {
    std::string line;
    for (int i = 1; i < argc; i++) {
        if (i > 1) line += ' ';
        line += '<';
        line += argv[i];
        line += '>';
    }
    const char *name = getenv("QUARLO_FAKE_GIT_LOG_ENV");
    if (name && *name) {
        const char *value = getenv(name);
        line += std::string(" {") + name + (value ? std::string("=") + value : " unset") + "}";
    }
    append_line("QUARLO_FAKE_GIT_LOG", line + "\n");
    append_line("QUARLO_FAKE_GIT_PIDS", std::to_string(GetCurrentProcessId()) + "\n");
}

// Starts the helper that sleeps `ms` holding the pipe; returns its process
// id, 0 when it did not start.
static DWORD spawn_sleeper(const char *ms) {
    char self[MAX_PATH];
    if (!GetModuleFileNameA(nullptr, self, sizeof self)) return 0;
    std::string line = std::string("\"") + self + "\" --sleep " + ms;
    STARTUPINFOA si;
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
    std::vector<char> buf(line.begin(), line.end());
    buf.push_back(0);
    if (!CreateProcessA(nullptr, buf.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                        nullptr, &si, &pi))
        return 0;
    append_line("QUARLO_FAKE_GIT_PIDS", std::to_string(pi.dwProcessId) + "\n");
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return pi.dwProcessId;
}

static std::string answer_name(int argc, char **argv, int first) {
    std::string name = argv[first];
    if (name == "status") {
        for (int i = first + 1; i < argc; i++)
            if (strcmp(argv[i], "--branch") == 0) name += "-branch";
    } else if (name == "log" && first + 1 < argc) {
        name += argv[first + 1];
    }
    return name;
}

static int canned_answer(int argc, char **argv) {
    std::string dir = argv[2];
    std::string git_dir = dir + "\\.git";
    if (GetFileAttributesA(git_dir.c_str()) == INVALID_FILE_ATTRIBUTES) {
        write_text(STD_ERROR_HANDLE, "fatal: not a git repository (or any of the parent "
                                     "directories): .git\n");
        return 128;
    }
    if (argc < 4) return 1;
    std::string base = git_dir + "\\fake\\" + answer_name(argc, argv, 3);
    std::string text;
    if (read_file(base + ".spawn", &text)) spawn_sleeper(text.c_str());
    if (read_file(base + ".sleep", &text)) Sleep((DWORD)strtoul(text.c_str(), nullptr, 10));
    if (read_file(base + ".out", &text)) write_text(STD_OUTPUT_HANDLE, text);
    if (read_file(base + ".err", &text)) write_text(STD_ERROR_HANDLE, text);
    if (read_file(base + ".exit", &text)) return (int)strtol(text.c_str(), nullptr, 10);
    return 0;
}

static int run_steps(int argc, char **argv) {
    for (int i = 1; i < argc; i++) {
        std::string step = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : "";
        if (step == "--echo") {
            std::string text;
            for (int j = i + 1; j < argc; j++) text += std::string("<") + argv[j] + ">\n";
            text += std::string("cmdline=") + GetCommandLineA() + "\n";
            write_text(STD_OUTPUT_HANDLE, text);
            return 0;
        }
        i++;
        if (step == "--out") {
            write_text(STD_OUTPUT_HANDLE, value);
        } else if (step == "--err") {
            write_text(STD_ERROR_HANDLE, value);
        } else if (step == "--bytes") {
            std::string text(strtoul(value, nullptr, 10), 0);
            for (size_t k = 0; k < text.size(); k++) text[k] = (char)('a' + k % 26);
            write_text(STD_OUTPUT_HANDLE, text);
        } else if (step == "--sleep") {
            Sleep((DWORD)strtoul(value, nullptr, 10));
        } else if (step == "--trickle") {
            DWORD until = GetTickCount() + (DWORD)strtoul(value, nullptr, 10);
            while ((LONG)(until - GetTickCount()) > 0) {
                write_text(STD_OUTPUT_HANDLE, "still here\n");
                Sleep(5);
            }
        } else if (step == "--exit") {
            return (int)strtoll(value, nullptr, 10);
        } else if (step == "--env") {
            const char *v = getenv(value);
            write_text(STD_OUTPUT_HANDLE,
                       std::string(value) + (v ? std::string("=") + v : " unset") + "\n");
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

int main(int argc, char **argv) {
    record(argc, argv);
    if (argc >= 3 && strcmp(argv[1], "-C") == 0) return canned_answer(argc, argv);
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        const char *v = getenv("QUARLO_FAKE_GIT_VERSION");
        write_text(STD_OUTPUT_HANDLE,
                   std::string("git version ") + (v && *v ? v : "2.45.1.windows.1") + "\n");
        return 0;
    }
    return run_steps(argc, argv);
}
