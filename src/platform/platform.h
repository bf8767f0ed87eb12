// The operating-system layer. Everything above this header is portable C++;
// each target has one implementation file (posix.cpp, win32.cpp) and nothing
// outside src/platform/ includes an operating-system header.
//
// The layer offers exactly what the program needs of the file system and of
// child processes, in the shape of the Win32 calls the program was designed
// around, so that both implementations answer the same questions. Texts are
// UTF-8 on Windows (converted to and from the system's UTF-16 here) and bytes
// as the system gives them on Linux.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "base/sizes.h"

// Separator that discovery puts between a folder and a child name.
#if defined(_WIN32)
#define PATH_SEP '\\'
#define PATH_SEP_STR "\\"
#else
#define PATH_SEP '/'
#define PATH_SEP_STR "/"
#endif

// Separator of the items of a folder list such as PATH.
#if defined(_WIN32)
#define PATH_LIST_SEP ';'
#else
#define PATH_LIST_SEP ':'
#endif

// A byte that separates path components: '/', and on Windows '\' as well.
// On Linux a backslash is part of a name.
inline int plat_is_sep(char c) {
#if defined(_WIN32)
    return c == '/' || c == '\\';
#else
    return c == '/';
#endif
}

// Writes `dir` and `name` joined by the platform's separator to `out`
// (`size` bytes); no separator is added where `dir` is empty or ends in one
// ("C:\", "/srv/code/"): a "\\?\" path would read a doubled one as an empty
// name. Returns 1, or 0 when the whole text does not fit (then `out` holds an
// empty text when `size` > 0).
inline int plat_path_join(char *out, size_t size, const char *dir, const char *name) {
    size_t dl = strlen(dir), nl = strlen(name);
    size_t sep = dl > 0 && !plat_is_sep(dir[dl - 1]) ? 1 : 0;
    if (dl + sep + nl + 1 > size) {
        if (size) out[0] = 0;
        return 0;
    }
    memcpy(out, dir, dl);
    if (sep) out[dl] = PATH_SEP;
    memcpy(out + dl + sep, name, nl + 1);
    return 1;
}

// 1 when the `n` bytes at `a` and at `b` are the same name of an environment
// variable: byte for byte on Linux; on Windows ignoring the letter case of
// ASCII letters, as the system and the C runtime's getenv compare names. It
// stops at the first byte that differs: a shorter text ends the comparison
// with its terminator.
inline int plat_env_names_equal(const char *a, const char *b, size_t n) {
    for (size_t i = 0; i < n; i++) {
        char x = a[i], y = b[i];
#if defined(_WIN32)
        if (x >= 'a' && x <= 'z') x = (char)(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = (char)(y - 'a' + 'A');
#endif
        if (x != y) return 0;
    }
    return 1;
}

// ---- standard output --------------------------------------------------------

// Puts standard output into binary mode, so that the bytes written are the
// bytes sent (no newline translation). A no-op where there is none.
void plat_stdout_binary();

// ---- terminal -----------------------------------------------------------------

// The two output streams of the terminal commands.
#define PLAT_STDOUT 1
#define PLAT_STDERR 2

// Replaces the C runtime's arguments with the program's command line as
// UTF-8 texts. Windows: read from the UTF-16 command line (the runtime's
// 8-bit arguments depend on the code page in force, and Wine hands them in
// the system's); the texts live until the program ends. A no-op elsewhere
// (the arguments are the bytes given).
void plat_main_args(int *argc, char ***argv);

// 1 when the stream (PLAT_STDOUT or PLAT_STDERR) is a terminal (Windows: a
// console), 0 otherwise (a file, a pipe, nothing).
int plat_is_terminal(int stream);

// Columns of the terminal the stream writes to; 0 when it is none or the
// size is unknown.
int plat_terminal_columns(int stream);

// Prepares a terminal stream for colour. Returns 1 when colour sequences
// (ECMA-48 SGR) may be written to it, 0 when not (not a terminal; Windows: a
// console that refuses virtual-terminal processing). Windows: turns the
// console's virtual-terminal processing on, and back off when the program
// ends if it was off.
int plat_terminal_prepare(int stream);

// Writes the `n` bytes of UTF-8 text at `s` to the stream and flushes it.
// Windows: to a console as UTF-16 (names in any language show whatever
// code page the console has); elsewhere, and to files and pipes, the bytes
// as they are. Returns 1, 0 when the write failed.
int plat_write_text(int stream, const char *s, size_t n);

// ---- file system ------------------------------------------------------------

// 1 when `path` names something (file, folder, link), 0 otherwise.
int plat_exists(const char *path);

// Resolves `path` to a full path in `out` (`size` bytes). Returns the length
// written; 0 on failure; when the buffer is too small, the size it needs
// (a value >= size) and `out` is unspecified. Callers treat a result >= size
// as a failure. On Windows a path whose last name is a device name
// ("x\CON", "con.txt") resolves to the folder of that name in the "\\?\"
// form, never to the device ("\\.\CON").
unsigned long plat_full_path(const char *path, char *out, unsigned long size);

// Resolves `path` as plat_full_path does, and also every link, junction and
// other spelling on the way: the canonical path of an existing object. Same
// results as plat_full_path; 0 as well when `path` does not exist.
unsigned long plat_real_path(const char *path, char *out, unsigned long size);

// The long form of the existing `path` in `out` (`size` bytes): on Windows
// each 8.3 short name on it ("PROGRA~1") spelt in full; same results as
// plat_full_path. 0 on Linux, where names have one spelling, and when
// `path` does not exist.
unsigned long plat_long_path(const char *path, char *out, unsigned long size);

// A path that names the folder above the calling process's working folder
// once its links are resolved ("/proc/self/cwd/.." on Linux); null where the
// system has none.
inline const char *plat_cwd_parent_alias() {
#if defined(_WIN32)
    return nullptr;
#else
    return "/proc/self/cwd/..";
#endif
}

// 1 when the full paths `a` and `b` (as plat_full_path gives them) are the
// same path for the file system, final separators aside: byte for byte on
// Linux; on Windows ignoring letter case, as the file system does, and a
// "\\?\" prefix ("\\?\C:\x" is "C:\x", "\\?\UNC\srv\x" is "\\srv\x"), and
// the "\\.\" form of such a path ("\\.\C:\x").
int plat_same_path(const char *a, const char *b);

// 1 when the full path `path` is the folder `root` (a full path too) or lies
// below it, compared as plat_same_path compares (byte for byte on Linux; on
// Windows ignoring letter case, with '/' and '\' both separators and either
// in the "\\?\" form); then writes the part of `path` after the root's
// components (empty, or beginning with a separator) to `rest` (`size`
// bytes). 0 otherwise, or when the part does not fit.
int plat_path_below(const char *path, const char *root, char *rest, size_t size);

// The identity of a file-system object: equal for every path that reaches
// the same object (through links, junctions or another spelling).
struct PlatFileId {
    uint64_t volume; // device (Windows: volume serial number)
    uint64_t index;  // inode (Windows: file index)
};

// Fills `id` for the object `path` names, following links. Returns 1, or 0
// when the object cannot be reached.
int plat_file_id(const char *path, PlatFileId *id);

// One open folder listing. The fields are the implementation's own.
struct PlatDir {
    void *handle;
    int first_pending;        // Win32: the first entry came with the open call
    char name[DIR_NAME_SIZE]; // name of the current entry
    int is_dir;               // the current entry is a folder (links to folders count)
    int is_link;              // the current entry is a link (Windows: any reparse point)
    int name_unusable;        // the current entry cannot be reached by a path made
                              // with its name (Windows: a name that is not valid
                              // UTF-16, where `name` is empty, or one the system's
                              // path rules would read as another name)
    char dir[FULL_PATH_SIZE]; // POSIX: the folder being listed, for stat of links
};

// plat_dir_open's answer for a folder whose path the system refuses for its
// length or its name (or that is longer than PlatDir::dir holds).
#define PLAT_DIR_UNUSABLE (-1)

// Starts listing `dir`. Returns 1 on success; 0 when it cannot be listed (it
// is gone, not a folder, or not readable); PLAT_DIR_UNUSABLE when its path
// cannot be used. Every path shorter than PlatDir::dir can be listed.
int plat_dir_open(PlatDir *d, const char *dir);
// Moves to the next entry (the first on the first call): fills `name`,
// `is_dir`, `is_link` and `name_unusable` and returns 1; returns 0 when there
// are no more entries.
int plat_dir_next(PlatDir *d);
void plat_dir_close(PlatDir *d);

// Fills `d`'s entry (`name`, `is_dir`, `is_link`, `name_unusable`) for the
// entry `name` of the folder `dir`, as listing `dir` would give it: `name`
// as the folder holds it (on Windows in its letter case on disk). Returns 1;
// 0 when there is no such entry, or when the system would read `name` as
// another name than the one it finds (on Windows a wildcard, a short 8.3
// name, a final dot or space; letter case aside). Nothing is left open.
int plat_dir_find(PlatDir *d, const char *dir, const char *name);

// ---- reading files ----------------------------------------------------------

// What the program reads of a repository's git folder itself (its state
// files, its objects). Paths are the program's texts (UTF-8 on Windows).

// 1 when `path` names a folder (following links), 0 otherwise.
int plat_is_dir(const char *path);

// Stores the modification time of `path` (seconds since 1970) in *t and
// returns 1; returns 0 when it cannot be read.
int plat_file_mtime(const char *path, long long *t);

// One file open for reading. The field is the implementation's own.
struct PlatFile {
    intptr_t handle;
};

// Opens the file `path` for reading, sharing it with writers and deleters
// (git may replace a file while it is read). Returns 1, or 0 when it cannot
// be opened or is not a regular file (a FIFO, a device: refused at once,
// without waiting); then nothing is left open.
int plat_file_open(PlatFile *f, const char *path);
// The file's size in bytes, or -1 when it cannot be read.
long long plat_file_size(PlatFile *f);
// Reads up to `n` bytes at `offset` into `buf`. Returns the count (less than
// `n` only at the end of the file), or -1 on failure.
long long plat_file_read_at(PlatFile *f, unsigned long long offset, void *buf,
                            unsigned long long n);
void plat_file_close(PlatFile *f);

// ---- environment and time ---------------------------------------------------

// The process environment as a null-terminated array of "NAME=value" texts.
char **plat_environ();

// Current time in seconds since 1970-01-01 UTC.
long long plat_now();

// Formats `t` as "%Y-%m-%dT%H:%M:%SZ" in UTC into `out` (UTC_TEXT_SIZE bytes).
// A time the conversion rejects gives "1970-01-01T00:00:00Z".
void plat_utc_text(long long t, char *out, size_t size);

// Number of processors available to this process (at least 1).
int plat_cpu_count();

// ---- child processes --------------------------------------------------------

// Prepares the process for running children; called once at the program's
// start, before any child runs. Linux: SIGTERM, SIGINT and SIGHUP (unless
// ignored at the start) end the process group of every running child, then
// the program, as the signal asks; no child starts after that. Windows: the
// program's own standard handles are made non-inheritable, so that no child
// (nor anything it starts) holds the host's pipes open.
void plat_children_init();

// The two pipes of a child: its standard output (its answer) and its
// standard error (its messages), read apart.
#define PLAT_CHILD_STDOUT 0
#define PLAT_CHILD_STDERR 1

// One running child with its standard output and its standard error on two
// pipes. A plain value owned by the caller (usually a local): no global
// state, so several children may run at once from different threads. The
// fields above `ended` are each system's own, typed as its calls take them
// (a Win32 HANDLE is a void *).
struct PlatChild {
#if defined(_WIN32)
    void *process;  // the child's process handle (null: none)
    void *thread;   // its first thread's handle
    void *pipes[2]; // read ends: PLAT_CHILD_STDOUT, PLAT_CHILD_STDERR (null: closed)
    void *job;      // the job object of the child and all it starts
#else
    int pid;      // the child's process id (0: none, or collected)
    int pipes[2]; // read ends: PLAT_CHILD_STDOUT, PLAT_CHILD_STDERR (-1: closed)
    int pidfd;    // readable once the child has ended (-1: the system has none)
#endif
    int ended;       // the exit status has been collected
    int status;      // collected exit status
    int pipe_eof[2]; // that pipe reported end of data
    int killed;      // plat_child_kill ended it
    int kill_code;   // the status a killed child reads as
};

// Starts the program argv[0] (found on the search path: on Windows only in
// the absolute folders of PATH, as argv[0] + ".exe", never in the program's
// or the current folder) with the arguments argv[1..argc-1], standard input
// empty, standard output and standard error on a pipe each, and the
// environment `envp` (null-terminated "NAME=value").
// The child inherits nothing else of this process, and every process it
// starts stays within its reach (Linux: a session and process group of its
// own; Windows: a job object that kills its processes when it is closed).
// The child never outlives this program: Linux kills it when the thread
// that started it ends (so a thread ends its children before it ends);
// Windows closes its job with the program.
// `cmdline` is the quoted Windows command line for the same arguments (used
// by the Win32 implementation only). Returns 0 when the child runs, -1 when
// the pipe or the child could not be made (including a program that cannot
// be executed); nothing is left open then.
int plat_child_start(PlatChild *c, const char *const *argv, int argc, const char *cmdline,
                     const char *const *envp);

// Bytes waiting in the pipe `stream` (PLAT_CHILD_STDOUT or PLAT_CHILD_STDERR) without
// blocking: >= 0, or -1 when the pipe is broken or at its end (every writer
// has closed it).
long plat_child_peek(PlatChild *c, int stream = PLAT_CHILD_STDOUT);

// Reads up to `n` bytes that peek reported on `stream`; returns the count,
// <= 0 on failure.
long plat_child_read(PlatChild *c, char *buf, long n, int stream = PLAT_CHILD_STDOUT);

// Waits up to `ms` for the child to end. Returns 1 when it has ended, 0 when
// the time passed, -1 when the wait ended early for another reason (with
// `wake_on_output`, output arrived in either pipe).
int plat_child_wait(PlatChild *c, int ms, int wake_on_output);

// Asks the child and every process it started to stop, leaving them time to
// end cleanly (Linux: SIGTERM to its process group). Returns 1 when asked;
// 0 where the system has no such request (Windows), where the caller ends
// the child with plat_child_kill at once.
int plat_child_terminate(PlatChild *c);

// Ends the child with every process it started (Linux: its process group;
// Windows: its job object) so that its exit status reads as `code`: the
// caller has given up on it. The only call that decides how a run ended;
// plat_child_close never changes the status.
void plat_child_kill(PlatChild *c, int code);

// Stores the exit status in *status and returns 1; returns 0 when it cannot
// be read. A child ended by a signal reads as 128 + the signal number.
int plat_child_exit_status(PlatChild *c, int *status);

// Releases the child: closes its pipes, ends what is left of the processes
// it started (helpers that outlived it, or the child itself when a run gave
// up on it without plat_child_kill) and collects it. Every child is closed
// once, whether it ended by itself or was killed.
void plat_child_close(PlatChild *c);

// Stops every child running and lets none start from now on (the program is
// ending): asks each to stop as plat_child_terminate does, gives them up to
// `grace_ms` to end, then ends what is left of them and of what they started.
// Linux; a no-op on Windows, where a child's job ends with the program.
void plat_children_stop(int grace_ms);
