// Win32 implementation of the platform layer (64-bit Windows, 8-bit calls).
#include "platform/platform.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

// Binary mode: "\r\n" written by the program leaves as "\r\n", and a body's
// "\n" is never widened to "\r\n".
void plat_stdout_binary() {
    fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

// ---- file system ------------------------------------------------------------

int plat_exists(const char *path) {
    return path && GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// GetFullPathNameA already answers in the layer's shape: the length written,
// 0 on failure, or the size needed (terminator included) when `out` is too
// small. It folds "." and "..", turns '/' into '\', resolves a relative text
// against the current folder ("C:x" against drive C's) and keeps letter case.
unsigned long plat_full_path(const char *path, char *out, unsigned long size) {
    if (!path || !*path || !out || size == 0) return 0;
    return GetFullPathNameA(path, size, out, nullptr);
}

// Opens the object `path` names for reading its attributes only, following
// links and junctions; folders need FILE_FLAG_BACKUP_SEMANTICS.
static HANDLE open_for_attributes(const char *path) {
    return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// GetFinalPathNameByHandleA answers "\\?\C:\x" or "\\?\UNC\server\share\x";
// the usual forms are "C:\x" and "\\server\share\x".
unsigned long plat_real_path(const char *path, char *out, unsigned long size) {
    if (!path || !*path || !out || size == 0) return 0;
    HANDLE h = open_for_attributes(path);
    if (h == INVALID_HANDLE_VALUE) return 0;
    char final_path[4096];
    DWORD n = GetFinalPathNameByHandleA(h, final_path, sizeof final_path,
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(h);
    if (n == 0 || n >= sizeof final_path) return 0;
    const char *p = final_path;
    char unc[4096];
    if (strncmp(p, "\\\\?\\UNC\\", 8) == 0) {
        snprintf(unc, sizeof unc, "\\\\%s", p + 8);
        p = unc;
    } else if (strncmp(p, "\\\\?\\", 4) == 0) {
        p += 4;
    }
    size_t len = strlen(p);
    if (len + 1 > size) return (unsigned long)(len + 1);
    memcpy(out, p, len + 1);
    return (unsigned long)len;
}

int plat_file_id(const char *path, PlatFileId *id) {
    if (!path) return 0;
    HANDLE h = open_for_attributes(path);
    if (h == INVALID_HANDLE_VALUE) return 0;
    BY_HANDLE_FILE_INFORMATION info;
    int ok = GetFileInformationByHandle(h, &info) != 0;
    CloseHandle(h);
    if (!ok) return 0;
    id->volume = info.dwVolumeSerialNumber;
    id->index = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    return 1;
}

static void take_entry(PlatDir *d, const WIN32_FIND_DATAA *fd) {
    snprintf(d->name, sizeof d->name, "%s", fd->cFileName);
    // Only the folder bit counts: hidden and system folders, junctions and
    // folder links are folders like any other.
    d->is_dir = (fd->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    d->is_link = (fd->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// FindFirstFileA hands over the first entry with the open; it is kept in
// `name`/`is_dir` and given out by the first plat_dir_next.
int plat_dir_open(PlatDir *d, const char *dir) {
    d->handle = nullptr;
    d->first_pending = 0;
    d->name[0] = 0;
    d->is_dir = 0;
    d->is_link = 0;

    // A pattern cut short would list another folder (or none), so a folder
    // whose pattern does not fit is not listed.
    char pattern[1400];
    int w = snprintf(pattern, sizeof pattern, "%s\\*", dir);
    if (w < 0 || (size_t)w >= sizeof pattern) return 0;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA(pattern, &fd);
    if (h == INVALID_HANDLE_VALUE) return 0;
    d->handle = h;
    take_entry(d, &fd);
    d->first_pending = 1;
    return 1;
}

int plat_dir_next(PlatDir *d) {
    if (!d->handle) return 0;
    if (d->first_pending) {
        d->first_pending = 0;
        return 1;
    }
    WIN32_FIND_DATAA fd;
    if (!FindNextFileA((HANDLE)d->handle, &fd)) return 0;
    take_entry(d, &fd);
    return 1;
}

void plat_dir_close(PlatDir *d) {
    if (d->handle) FindClose((HANDLE)d->handle);
    d->handle = nullptr;
}

// ---- environment and time ---------------------------------------------------

char **plat_environ() {
    return _environ;
}

long long plat_now() {
    return (long long)_time64(nullptr);
}

// The runtime converts times from 1970-01-01 to 3000-12-31 23:59:59 UTC. A
// time outside that range is answered here without asking it, because the
// runtime reports such a value to its invalid-parameter handler, which may
// end the process.
#define UTC_TIME_MAX 32535215999LL

void plat_utc_text(long long t, char *out, size_t size) {
    __time64_t tt = (__time64_t)t;
    struct tm tmv;
    if (t < 0 || t > UTC_TIME_MAX || _gmtime64_s(&tmv, &tt) != 0 ||
        strftime(out, size, "%Y-%m-%dT%H:%M:%SZ", &tmv) == 0)
        snprintf(out, size, "%s", "1970-01-01T00:00:00Z");
}

int plat_cpu_count() {
    DWORD_PTR mine = 0, all = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &mine, &all) && mine) {
        int n = 0;
        for (; mine; mine &= mine - 1) n++;
        return n;
    }
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    return si.dwNumberOfProcessors > 0 ? (int)si.dwNumberOfProcessors : 1;
}

// ---- child processes --------------------------------------------------------

// Orders environment entries by name, ignoring letter case, as Windows keeps
// its environment blocks.
static int env_entry_cmp(const void *pa, const void *pb) {
    const unsigned char *a = *(const unsigned char *const *)pa;
    const unsigned char *b = *(const unsigned char *const *)pb;
    for (;; a++, b++) {
        int ca = *a == '=' ? 0 : toupper(*a);
        int cb = *b == '=' ? 0 : toupper(*b);
        if (ca != cb || ca == 0) return ca - cb;
    }
}

// The ANSI environment block of CreateProcessA: each "NAME=value" followed by
// a zero byte, sorted by name, and one more zero byte at the end.
static char *environment_block(const char *const *envp) {
    size_t count = 0, total = 2;
    for (const char *const *e = envp; *e; e++, count++) total += strlen(*e) + 1;
    const char **sorted = (const char **)malloc((count + 1) * sizeof *sorted);
    char *block = (char *)malloc(total);
    if (!sorted || !block) {
        free(sorted);
        free(block);
        return nullptr;
    }
    memcpy(sorted, envp, count * sizeof *sorted);
    qsort(sorted, count, sizeof *sorted, env_entry_cmp);
    size_t n = 0;
    for (size_t i = 0; i < count; i++) {
        size_t len = strlen(sorted[i]);
        if (len == 0) continue;
        memcpy(block + n, sorted[i], len + 1);
        n += len + 1;
    }
    block[n++] = 0;
    if (n == 1) block[n] = 0; // an empty block is still two zero bytes
    free(sorted);
    return block;
}

void plat_children_init() {
    static const DWORD STD[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    for (DWORD which : STD) {
        HANDLE h = GetStdHandle(which);
        if (h && h != INVALID_HANDLE_VALUE) SetHandleInformation(h, HANDLE_FLAG_INHERIT, 0);
    }
}

// A job object that ends every process in it when its last handle is
// closed: when the run closes it, and when this program ends in any way.
static HANDLE kill_on_close_job() {
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    if (!job) return nullptr;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return nullptr;
    }
    return job;
}

// What one child start holds until the child runs (or has failed to start).
struct ChildStart {
    char *line;  // CreateProcessA may write into the command line it is given
    char *block; // the environment block
    HANDLE rd, wr, nul, job;
    LPPROC_THREAD_ATTRIBUTE_LIST attrs;
    PROCESS_INFORMATION pi;
};

static void child_start_release(ChildStart *s) {
    if (s->attrs) DeleteProcThreadAttributeList(s->attrs);
    free(s->attrs);
    HANDLE handles[] = {s->rd, s->wr, s->nul, s->job, s->pi.hProcess, s->pi.hThread};
    for (HANDLE h : handles)
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    free(s->block);
    free(s->line);
}

// Everything but the process itself: the pipe (only its write end may be
// inherited), the NUL input, the job, and the list that limits what the
// child inherits to those two handles. 1 when all were made.
static int child_start_prepare(ChildStart *s, const char *cmdline, const char *const *envp) {
    size_t len = strlen(cmdline);
    s->line = (char *)malloc(len + 1);
    if (!s->line) return 0;
    memcpy(s->line, cmdline, len + 1);
    if (envp && !(s->block = environment_block(envp))) return 0;

    if (!CreatePipe(&s->rd, &s->wr, nullptr, 0)) return 0;
    if (!SetHandleInformation(s->wr, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) return 0;
    SECURITY_ATTRIBUTES inherit;
    memset(&inherit, 0, sizeof inherit);
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    s->nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         OPEN_EXISTING, 0, nullptr);
    if (s->nul == INVALID_HANDLE_VALUE) return 0;
    if (!(s->job = kill_on_close_job())) return 0;

    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    s->attrs = (LPPROC_THREAD_ATTRIBUTE_LIST)malloc(size);
    if (!s->attrs) return 0;
    if (!InitializeProcThreadAttributeList(s->attrs, 1, 0, &size)) {
        free(s->attrs);
        s->attrs = nullptr;
        return 0;
    }
    return 1;
}

// The child runs from the quoted command line with no application name, so
// "git" is found by the system's search (the program's folder, the current
// folder, the system folders, then PATH). Standard input is NUL; standard
// output and standard error are the pipe's write end. Those two handles are
// all it inherits, whatever else of this process is inheritable, so that no
// child holds another child's pipe (children start from several threads at
// once) or the host's. It is created suspended and put in its job before it
// runs, so that nothing it starts can escape the job.
int plat_child_start(PlatChild *c, const char *const *argv, int argc, const char *cmdline,
                     const char *const *envp) {
    (void)argv;
    memset(c, 0, sizeof *c);
    if (argc < 1 || !cmdline || !*cmdline) return -1;

    ChildStart s;
    memset(&s, 0, sizeof s);
    int rc = -1;
    if (child_start_prepare(&s, cmdline, envp)) {
        HANDLE inherited[] = {s.wr, s.nul};
        STARTUPINFOEXA si;
        memset(&si, 0, sizeof si);
        si.StartupInfo.cb = sizeof si;
        si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        si.StartupInfo.hStdInput = s.nul;
        si.StartupInfo.hStdOutput = s.wr;
        si.StartupInfo.hStdError = s.wr;
        si.lpAttributeList = s.attrs;
        DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT;
        if (UpdateProcThreadAttribute(s.attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                      sizeof inherited, nullptr, nullptr) &&
            CreateProcessA(nullptr, s.line, nullptr, nullptr, TRUE, flags, s.block, nullptr,
                           &si.StartupInfo, &s.pi)) {
            if (AssignProcessToJobObject(s.job, s.pi.hProcess) &&
                ResumeThread(s.pi.hThread) != (DWORD)-1) {
                c->process = (intptr_t)s.pi.hProcess;
                c->thread = (intptr_t)s.pi.hThread;
                c->pipe = (intptr_t)s.rd;
                c->job = (intptr_t)s.job;
                s.pi.hProcess = s.pi.hThread = s.rd = s.job = nullptr;
                rc = 0;
            } else {
                // A child outside its job would escape a time-out: it never runs.
                TerminateProcess(s.pi.hProcess, 1);
            }
        }
    }
    child_start_release(&s);
    return rc;
}

long plat_child_peek(PlatChild *c) {
    if (c->pipe_eof || !c->pipe) return -1;
    DWORD avail = 0;
    if (!PeekNamedPipe((HANDLE)c->pipe, nullptr, 0, nullptr, &avail, nullptr)) {
        c->pipe_eof = 1; // broken: every writer has closed it and it is drained
        return -1;
    }
    return (long)avail;
}

long plat_child_read(PlatChild *c, char *buf, long n) {
    DWORD got = 0;
    if (!c->pipe || n <= 0 || !ReadFile((HANDLE)c->pipe, buf, (DWORD)n, &got, nullptr)) return -1;
    return (long)got;
}

// An anonymous pipe cannot be waited on, so `wake_on_output` has no effect
// here: output that arrives during the wait is found by the next peek.
int plat_child_wait(PlatChild *c, int ms, int wake_on_output) {
    (void)wake_on_output;
    if (c->ended) return 1;
    if (!c->process) return -1;
    DWORD r = WaitForSingleObject((HANDLE)c->process, ms > 0 ? (DWORD)ms : 0);
    if (r == WAIT_OBJECT_0) {
        c->ended = 1;
        return 1;
    }
    return r == WAIT_TIMEOUT ? 0 : -1;
}

// Terminating the job ends the child with every process it started.
void plat_child_kill(PlatChild *c, int code) {
    if (c->ended || !c->process) return;
    if (TerminateJobObject((HANDLE)c->job, (UINT)code)) {
        c->killed = 1;
        c->kill_code = code;
    }
}

// The exit code is passed on as a signed 32-bit value: a code with the top
// bit set (an abnormal end such as 0xC0000005) reads as negative.
int plat_child_exit_status(PlatChild *c, int *status) {
    if (!c->process) return 0;
    if (!c->ended) {
        if (WaitForSingleObject((HANDLE)c->process, 0) != WAIT_OBJECT_0) return 0;
        c->ended = 1;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess((HANDLE)c->process, &code)) return 0;
    c->status = (int)code;
    *status = c->killed ? c->kill_code : c->status;
    return 1;
}

void plat_child_close(PlatChild *c) {
    if (c->pipe) CloseHandle((HANDLE)c->pipe);
    c->pipe = 0;
    if (c->process) {
        // Never leave a child behind: a run that gave up on it ends it.
        if (!c->ended && WaitForSingleObject((HANDLE)c->process, 0) == WAIT_TIMEOUT) {
            TerminateJobObject((HANDLE)c->job, 1);
            WaitForSingleObject((HANDLE)c->process, 2000);
        }
        CloseHandle((HANDLE)c->process);
    }
    c->process = 0;
    if (c->thread) CloseHandle((HANDLE)c->thread);
    c->thread = 0;
    // Closing the job ends what is left in it: helpers that outlived the child.
    if (c->job) CloseHandle((HANDLE)c->job);
    c->job = 0;
}
