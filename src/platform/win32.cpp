// Win32 implementation of the platform layer (64-bit Windows).
//
// The program's texts are UTF-8. The manifest makes UTF-8 the process's code
// page, so that the C runtime's environment and arguments arrive as UTF-8;
// the file-system and process calls here are made in their UTF-16 (W) forms,
// converted from and to UTF-8 at this boundary: they depend on no code page
// and take paths past MAX_PATH, which the 8-bit calls refuse.
#include "platform/platform.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <climits>
#include <ctime>
#include <cwchar>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <shellapi.h>

// Binary mode: "\r\n" written by the program leaves as "\r\n", and a body's
// "\n" is never widened to "\r\n".
void plat_stdout_binary() {
    fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
}

// ---- UTF-8 and UTF-16 -------------------------------------------------------

// UTF-16 units of a path handed to a W call: the longest path the program
// makes (a 1399-byte walk path with "\*" or "\.git") fits with room to spare,
// as one unit never stands for less than one UTF-8 byte.

// `text` as UTF-16 in `out` (`size` units, terminated). Returns its length;
// -1 when `text` is not UTF-8 or does not fit.
static int to_wide(const char *text, wchar_t *out, int size) {
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, size);
    return n > 0 ? n - 1 : -1;
}

// The `len` units at `text` as UTF-8 in `out` (`size` bytes, terminated), in
// the layer's shape: the length written; the size needed (terminator
// included, >= size) when it does not fit; 0 when `text` is not UTF-16 (a
// lone surrogate, which a Windows name may hold) or is empty.
static unsigned long to_utf8(const wchar_t *text, int len, char *out, unsigned long size) {
    if (len <= 0 || size == 0) return 0;
    int need =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, len, nullptr, 0, nullptr, nullptr);
    if (need <= 0) return 0;
    if ((unsigned long)need + 1 > size) return (unsigned long)need + 1;
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, len, out, need, nullptr, nullptr);
    out[need] = 0;
    return (unsigned long)need;
}

// The full path of `given`: in `buf` (WIDE_PATH_SIZE units), or where it is
// longer in a block allocated for it (*block, which the caller frees; null
// otherwise). Returns it, null on failure, with its length in *len. The first
// call has room for any usual path: Wine answers a call with too small a
// buffer wrongly for a drive-relative path ("C:x"), and may crash in it.
static wchar_t *wide_full_path(const wchar_t *given, wchar_t *buf, wchar_t **block, DWORD *len) {
    *block = nullptr;
    *len = GetFullPathNameW(given, WIDE_PATH_SIZE, buf, nullptr);
    if (*len == 0) return nullptr;
    if (*len < WIDE_PATH_SIZE) return buf;
    DWORD need = *len;
    *block = (wchar_t *)malloc(need * sizeof **block);
    if (*block) *len = GetFullPathNameW(given, need, *block, nullptr);
    if (!*block || *len == 0 || *len >= need) {
        free(*block);
        *block = nullptr;
        return nullptr;
    }
    return *block;
}

static int starts_with(const wchar_t *text, const wchar_t *prefix) {
    return wcsncmp(text, prefix, wcslen(prefix)) == 0;
}

// A path this long or longer is handed over in the \\?\ form, in which the W
// calls take up to 32767 units; a plain path stops at MAX_PATH (260, and 248
// for a folder).
#define LONG_PATH_FROM 248

// What makes the full path `full` a \\?\ path: "\\?\" before a drive's path,
// "\\?\UNC\" before a share's (in place of its "\\"), "" for one in that
// form already. The part of `full` that follows the prefix goes to *rest.
static const wchar_t *long_form_prefix(const wchar_t *full, const wchar_t **rest) {
    *rest = full;
    if (starts_with(full, L"\\\\?\\")) return L"";
    if (!starts_with(full, L"\\\\")) return L"\\\\?\\";
    *rest = full + 2;
    return L"\\\\?\\UNC\\";
}

// `path` as a W call of the file system takes it, in `out` (WIDE_PATH_SIZE
// units). A long path becomes its full path in the \\?\ form (\\?\UNC\ for a
// server's share), which the system takes as it stands; a path already in
// that form (or a \\.\ device path) is kept. Returns 1; 0 when `path` is not
// UTF-8 or does not fit: a name or a length the system cannot be asked about.
static int wide_file_path(const char *path, wchar_t *out) {
    int n = to_wide(path, out, WIDE_PATH_SIZE);
    if (n < 0) return 0;
    if (n < LONG_PATH_FROM || starts_with(out, L"\\\\?\\") || starts_with(out, L"\\\\.\\"))
        return 1;
    wchar_t buf[WIDE_PATH_SIZE], *block;
    DWORD len = 0;
    const wchar_t *full = wide_full_path(out, buf, &block, &len);
    if (!full) return 0;
    const wchar_t *rest, *prefix = long_form_prefix(full, &rest);
    size_t plen = wcslen(prefix), rlen = wcslen(rest);
    int ok = plen + rlen + 1 <= WIDE_PATH_SIZE;
    if (ok) {
        memcpy(out, prefix, plen * sizeof *out);
        memcpy(out + plen, rest, (rlen + 1) * sizeof *out);
    }
    free(block);
    return ok;
}

// ---- terminal -----------------------------------------------------------------

void plat_main_args(int *argc, char ***argv) {
    int n = 0;
    wchar_t **wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!wide || n <= 0) return;
    char **args = (char **)calloc((size_t)n + 1, sizeof *args);
    if (!args) return;
    for (int i = 0; i < n; i++) {
        // Lone surrogates (which a Windows name may hold) are replaced by
        // U+FFFD rather than failing the whole command line.
        int need = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, nullptr, 0, nullptr, nullptr);
        args[i] = need > 0 ? (char *)malloc((size_t)need) : nullptr;
        if (!args[i]) return; // keep the runtime's arguments
        WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, args[i], need, nullptr, nullptr);
    }
    LocalFree(wide);
    *argc = n;
    *argv = args;
}

static HANDLE stream_handle(int stream) {
    return GetStdHandle(stream == PLAT_STDERR ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
}

int plat_is_terminal(int stream) {
    HANDLE h = stream_handle(stream);
    DWORD mode;
    return h && h != INVALID_HANDLE_VALUE && GetFileType(h) == FILE_TYPE_CHAR &&
           GetConsoleMode(h, &mode);
}

int plat_terminal_columns(int stream) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!plat_is_terminal(stream)) return 0;
    if (!GetConsoleScreenBufferInfo(stream_handle(stream), &info)) return 0;
    int cols = info.srWindow.Right - info.srWindow.Left + 1;
    return cols > 0 ? cols : 0;
}

// The console mode the program found, put back when it ends: the console
// is shared with the shell that started the program.
static HANDLE g_console_changed;
static DWORD g_console_mode;

static void restore_console_mode() {
    if (g_console_changed) SetConsoleMode(g_console_changed, g_console_mode);
}

int plat_terminal_prepare(int stream) {
    // Text reaches a console as UTF-16 (plat_write_text): its code page
    // is left as the user has it.
    if (!plat_is_terminal(stream)) return 0;
    HANDLE h = stream_handle(stream);
    DWORD mode = 0;
    if (!GetConsoleMode(h, &mode)) return 0;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return 1;
    if (!SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) return 0;
    if (!g_console_changed) {
        g_console_changed = h;
        g_console_mode = mode;
        atexit(restore_console_mode);
    }
    return 1;
}

int plat_write_text(int stream, const char *s, size_t n) {
    FILE *f = stream == PLAT_STDERR ? stderr : stdout;
    if (!plat_is_terminal(stream) || n == 0 || n > (size_t)INT_MAX) {
        if (n && fwrite(s, 1, n, f) != n) return 0;
        return fflush(f) == 0;
    }
    fflush(f);
    int units = MultiByteToWideChar(CP_UTF8, 0, s, (int)n, nullptr, 0);
    wchar_t *w = units > 0 ? (wchar_t *)malloc((size_t)units * sizeof *w) : nullptr;
    if (!w) return 0;
    MultiByteToWideChar(CP_UTF8, 0, s, (int)n, w, units);
    HANDLE h = stream_handle(stream);
    int ok = 1;
    for (int done = 0; done < units;) {
        DWORD wrote = 0;
        DWORD chunk = (DWORD)(units - done);
        if (!WriteConsoleW(h, w + done, chunk, &wrote, nullptr) || wrote == 0) {
            ok = 0;
            break;
        }
        done += (int)wrote;
    }
    free(w);
    return ok;
}

// ---- file system ------------------------------------------------------------

int plat_exists(const char *path) {
    wchar_t w[WIDE_PATH_SIZE];
    return path && wide_file_path(path, w) && GetFileAttributesW(w) != INVALID_FILE_ATTRIBUTES;
}

// The full path of `given` whose last name is a device name ("x\CON",
// "con.txt"), which GetFullPathNameW answers with the device ("\\.\CON"):
// the folder of that name, in the \\?\ form that reaches it (the full path
// of the folder above, then the name as written). Returns it in `out`
// (WIDE_PATH_SIZE units), or 0 when it does not fit.
static int device_named_full_path(const wchar_t *given, wchar_t *out) {
    size_t n = wcslen(given), cut = n;
    while (cut > 0 && given[cut - 1] != L'\\' && given[cut - 1] != L'/') cut--;
    if (cut == 0 && n >= 2 && given[1] == L':') cut = 2; // "C:CON": drive C's current folder
    wchar_t parent[WIDE_PATH_SIZE], buf[WIDE_PATH_SIZE], *block;
    if (cut >= WIDE_PATH_SIZE) return 0;
    wmemcpy(parent, given, cut);
    parent[cut] = 0;
    if (cut == 0) wcscpy(parent, L".");
    DWORD len = 0;
    const wchar_t *full = wide_full_path(parent, buf, &block, &len);
    if (!full) return 0;
    const wchar_t *rest, *prefix = long_form_prefix(full, &rest);
    size_t plen = wcslen(prefix), rlen = wcslen(rest), nlen = n - cut;
    size_t sep = rlen > 0 && rest[rlen - 1] != L'\\' ? 1 : 0;
    int ok = plen + rlen + sep + nlen + 1 <= WIDE_PATH_SIZE;
    if (ok) {
        wcscpy(out, prefix);
        wcscat(out, rest);
        if (sep) wcscat(out, L"\\");
        wcscat(out, given + cut);
    }
    free(block);
    return ok;
}

// GetFullPathNameW folds "." and "..", turns '/' into '\', resolves a
// relative text against the current folder ("C:x" against drive C's) and
// keeps letter case; a \\?\ path stays as it is. A path whose last name is
// a device name is the folder of that name, never the device.
unsigned long plat_full_path(const char *path, char *out, unsigned long size) {
    if (!path || !*path || !out || size == 0) return 0;
    wchar_t given[WIDE_PATH_SIZE], buf[WIDE_PATH_SIZE], *block;
    if (to_wide(path, given, WIDE_PATH_SIZE) < 0) return 0;
    DWORD len = 0;
    const wchar_t *full = wide_full_path(given, buf, &block, &len);
    if (!full) return 0;
    if (starts_with(full, L"\\\\.\\") && !starts_with(given, L"\\\\.\\") &&
        !starts_with(given, L"\\\\?\\")) {
        free(block);
        block = nullptr;
        if (!device_named_full_path(given, buf)) return 0;
        full = buf;
        len = (DWORD)wcslen(buf);
    }
    unsigned long n = to_utf8(full, (int)len, out, size);
    free(block);
    return n;
}

// The path `p` without its \\?\ prefix: a pointer into `p`, in which
// "\\?\UNC\server" is made "\\server". The device form of a drive's or a
// share's path ("\\.\C:\x", "\\.\UNC\server") is the same path and loses
// its prefix too; other device paths ("\\.\CON") are kept whole.
static wchar_t *without_long_prefix(wchar_t *p) {
    if (starts_with(p, L"\\\\?\\UNC\\") || starts_with(p, L"\\\\.\\UNC\\")) {
        p[6] = L'\\';
        return p + 6;
    }
    if (starts_with(p, L"\\\\?\\")) return p + 4;
    if (!starts_with(p, L"\\\\.\\")) return p;
    wchar_t letter = (wchar_t)(p[4] | 0x20);
    int drive = letter >= L'a' && letter <= L'z' && p[5] == L':' &&
                (p[6] == 0 || p[6] == L'\\' || p[6] == L'/');
    return drive ? p + 4 : p;
}

unsigned long plat_long_path(const char *path, char *out, unsigned long size) {
    if (!path || !*path || !out || size == 0) return 0;
    wchar_t w[WIDE_PATH_SIZE], lng[WIDE_PATH_SIZE];
    if (to_wide(path, w, WIDE_PATH_SIZE) < 0) return 0;
    DWORD len = GetLongPathNameW(w, lng, WIDE_PATH_SIZE);
    if (len == 0 || len >= WIDE_PATH_SIZE) return 0;
    return to_utf8(lng, (int)len, out, size);
}

// Paths compare as the file system compares names: ordinal, ignoring case.
int plat_same_path(const char *a, const char *b) {
    wchar_t wa[WIDE_PATH_SIZE], wb[WIDE_PATH_SIZE];
    if (to_wide(a, wa, WIDE_PATH_SIZE) < 0 || to_wide(b, wb, WIDE_PATH_SIZE) < 0)
        return strcmp(a, b) == 0;
    const wchar_t *pa = without_long_prefix(wa), *pb = without_long_prefix(wb);
    int na = (int)wcslen(pa), nb = (int)wcslen(pb);
    while (na > 0 && (pa[na - 1] == L'\\' || pa[na - 1] == L'/')) na--;
    while (nb > 0 && (pb[nb - 1] == L'\\' || pb[nb - 1] == L'/')) nb--;
    return CompareStringOrdinal(pa, na, pb, nb, TRUE) == CSTR_EQUAL;
}

// Compared in UTF-16 without a "\\?\" prefix, as plat_same_path compares.
int plat_path_below(const char *path, const char *root, char *rest, size_t size) {
    wchar_t wp[WIDE_PATH_SIZE], wr[WIDE_PATH_SIZE];
    if (to_wide(path, wp, WIDE_PATH_SIZE) < 0 || to_wide(root, wr, WIDE_PATH_SIZE) < 0) return 0;
    const wchar_t *p = without_long_prefix(wp), *r = without_long_prefix(wr);
    int np = (int)wcslen(p), nr = (int)wcslen(r);
    while (nr > 0 && (r[nr - 1] == L'\\' || r[nr - 1] == L'/')) nr--;
    if (np < nr || CompareStringOrdinal(p, nr, r, nr, TRUE) != CSTR_EQUAL) return 0;
    if (p[nr] && p[nr] != L'\\' && p[nr] != L'/') return 0;
    if (!p[nr]) {
        if (size == 0) return 0;
        rest[0] = 0;
        return 1;
    }
    // The conversion's size is an unsigned long (32 bits on Windows): a larger
    // buffer is offered as the most it can fill.
    unsigned long fits = size < ULONG_MAX ? (unsigned long)size : ULONG_MAX;
    unsigned long n = to_utf8(p + nr, np - nr, rest, fits);
    return n > 0 && n < fits;
}

// Opens the object `path` names for reading its attributes only, following
// links and junctions; folders need FILE_FLAG_BACKUP_SEMANTICS.
static HANDLE open_for_attributes(const char *path) {
    wchar_t w[WIDE_PATH_SIZE];
    if (!wide_file_path(path, w)) return INVALID_HANDLE_VALUE;
    return CreateFileW(w, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// GetFinalPathNameByHandleW answers "\\?\C:\x" or "\\?\UNC\server\share\x";
// the usual forms are "C:\x" and "\\server\share\x".
unsigned long plat_real_path(const char *path, char *out, unsigned long size) {
    if (!path || !*path || !out || size == 0) return 0;
    HANDLE h = open_for_attributes(path);
    if (h == INVALID_HANDLE_VALUE) return 0;
    DWORD flags = FILE_NAME_NORMALIZED | VOLUME_NAME_DOS;
    DWORD need = GetFinalPathNameByHandleW(h, nullptr, 0, flags);
    wchar_t *final_path = need ? (wchar_t *)malloc(need * sizeof *final_path) : nullptr;
    DWORD len = final_path ? GetFinalPathNameByHandleW(h, final_path, need, flags) : 0;
    CloseHandle(h);
    unsigned long n = 0;
    if (len > 0 && len < need) {
        const wchar_t *p = without_long_prefix(final_path);
        n = to_utf8(p, (int)wcslen(p), out, size);
    }
    free(final_path);
    return n;
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

// 1 when a path holding `name` as a component names something else: the
// system drops a final '.' from every component of a path and final spaces
// from its last, so "x\proj.\a" reads as "x\proj\a" (another folder, or
// none), and git sent to a repository "proj " works in "proj". Such names
// exist where other systems made them; they are said, never followed.
static int name_changed_in_paths(const wchar_t *name) {
    size_t n = wcslen(name);
    if (n == 0 || wcscmp(name, L".") == 0 || wcscmp(name, L"..") == 0) return 0;
    return name[n - 1] == L'.' || name[n - 1] == L' ';
}

// 1 when the system reads a path whose last component is `name` as a device
// (CON, NUL, COM1, ...), also with an extension or final spaces before it
// ("con.txt", "LPT1.git", "nul .x"): git sent there would not work in the
// folder. Such names exist where other systems made them; they are said,
// never followed.
static int device_name(const wchar_t *name) {
    static const wchar_t *const DEVICES[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    size_t n = 0;
    while (name[n] && name[n] != L'.') n++;
    while (n > 0 && (name[n - 1] == L' ' || name[n - 1] == L':')) n--;
    for (const wchar_t *dev : DEVICES)
        if (CompareStringOrdinal(name, (int)n, dev, -1, TRUE) == CSTR_EQUAL) return 1;
    // COM and LPT with a digit or a superscript one, two or three.
    if (n != 4) return 0;
    wchar_t last = name[3];
    int numbered = (last >= L'0' && last <= L'9') || last == 0xB9 || last == 0xB2 || last == 0xB3;
    return numbered && (CompareStringOrdinal(name, 3, L"COM", 3, TRUE) == CSTR_EQUAL ||
                        CompareStringOrdinal(name, 3, L"LPT", 3, TRUE) == CSTR_EQUAL);
}

static void take_entry(PlatDir *d, const WIN32_FIND_DATAW *fd) {
    // A name that is not UTF-16 has no UTF-8 form to hand on: it is said, not
    // given out under another name.
    unsigned long n = to_utf8(fd->cFileName, (int)wcslen(fd->cFileName), d->name, sizeof d->name);
    int has_utf8 = n > 0 && n < sizeof d->name;
    if (!has_utf8) d->name[0] = 0;
    d->name_unusable =
        !has_utf8 || name_changed_in_paths(fd->cFileName) || device_name(fd->cFileName);
    // Only the folder bit counts: hidden and system folders, junctions and
    // folder links are folders like any other.
    d->is_dir = (fd->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    d->is_link = (fd->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// 1 when the system refuses the path `dir` for its length or its name (a
// file or a missing folder is asked about and answered).
static int path_refused(const char *dir) {
    wchar_t w[WIDE_PATH_SIZE];
    if (!wide_file_path(dir, w)) return 1;
    if (GetFileAttributesW(w) != INVALID_FILE_ATTRIBUTES) return 0;
    DWORD error = GetLastError();
    return error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_INVALID_NAME ||
           error == ERROR_BAD_PATHNAME;
}

// An empty listing: no handle, no entry.
static void dir_reset(PlatDir *d) {
    d->handle = nullptr;
    d->first_pending = 0;
    d->name[0] = 0;
    d->is_dir = 0;
    d->is_link = 0;
    d->name_unusable = 0;
}

// FindFirstFileW hands over the first entry with the open; it is kept in
// `name`/`is_dir` and given out by the first plat_dir_next.
int plat_dir_open(PlatDir *d, const char *dir) {
    dir_reset(d);

    // A pattern cut short would list another folder (or none), so a folder
    // whose pattern does not fit is not listed. A separator is added only
    // where `dir` does not end in one: "C:\" and "\\?\C:\x\" take "*".
    char pattern[sizeof d->dir + 2];
    size_t len = strlen(dir);
    const char *sep = len > 0 && plat_is_sep(dir[len - 1]) ? "" : "\\";
    int n = snprintf(pattern, sizeof pattern, "%s%s*", dir, sep);
    if (n < 0 || (size_t)n >= sizeof pattern) return PLAT_DIR_UNUSABLE;
    wchar_t w[WIDE_PATH_SIZE];
    if (!wide_file_path(pattern, w)) return PLAT_DIR_UNUSABLE;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(w, &fd);
    if (h == INVALID_HANDLE_VALUE) return path_refused(dir) ? PLAT_DIR_UNUSABLE : 0;
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
    WIN32_FIND_DATAW fd;
    if (!FindNextFileW((HANDLE)d->handle, &fd)) return 0;
    take_entry(d, &fd);
    return 1;
}

void plat_dir_close(PlatDir *d) {
    if (d->handle) FindClose((HANDLE)d->handle);
    d->handle = nullptr;
}

// ---- reading files ----------------------------------------------------------

int plat_is_dir(const char *path) {
    wchar_t w[WIDE_PATH_SIZE];
    if (!path || !wide_file_path(path, w)) return 0;
    DWORD a = GetFileAttributesW(w);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// 100-nanosecond intervals from 1601-01-01 to 1970-01-01.
#define FILETIME_UNIX_EPOCH 116444736000000000ULL

int plat_file_mtime(const char *path, long long *t) {
    wchar_t w[WIDE_PATH_SIZE];
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!path || !wide_file_path(path, w) || !GetFileAttributesExW(w, GetFileExInfoStandard, &data))
        return 0;
    unsigned long long ft = ((unsigned long long)data.ftLastWriteTime.dwHighDateTime << 32) |
                            data.ftLastWriteTime.dwLowDateTime;
    *t = ft >= FILETIME_UNIX_EPOCH ? (long long)((ft - FILETIME_UNIX_EPOCH) / 10000000ULL) : 0;
    return 1;
}

int plat_file_open(PlatFile *f, const char *path) {
    wchar_t w[WIDE_PATH_SIZE];
    HANDLE h = INVALID_HANDLE_VALUE;
    if (path && wide_file_path(path, w))
        h = CreateFileW(w, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    f->handle = (intptr_t)h;
    return h != INVALID_HANDLE_VALUE;
}

long long plat_file_size(PlatFile *f) {
    LARGE_INTEGER size;
    return GetFileSizeEx((HANDLE)f->handle, &size) ? (long long)size.QuadPart : -1;
}

long long plat_file_read_at(PlatFile *f, unsigned long long offset, void *buf,
                            unsigned long long n) {
    unsigned long long got = 0;
    while (got < n) {
        OVERLAPPED at = {};
        at.Offset = (DWORD)((offset + got) & 0xFFFFFFFFu);
        at.OffsetHigh = (DWORD)((offset + got) >> 32);
        unsigned long long want = n - got;
        DWORD chunk = want > 0x40000000u ? 0x40000000u : (DWORD)want, read = 0;
        if (!ReadFile((HANDLE)f->handle, (char *)buf + got, chunk, &read, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            return -1;
        }
        if (read == 0) break;
        got += read;
    }
    return (long long)got;
}

void plat_file_close(PlatFile *f) {
    if ((HANDLE)f->handle != INVALID_HANDLE_VALUE) CloseHandle((HANDLE)f->handle);
    f->handle = (intptr_t)INVALID_HANDLE_VALUE;
}

// FindFirstFileW on the entry's own path (no pattern) answers with the entry
// as the folder holds it, a junction not followed. Characters that it reads
// as wildcards or that no name holds are refused first, and the name found
// must be the one asked for, letter case aside.
int plat_dir_find(PlatDir *d, const char *dir, const char *name) {
    dir_reset(d);
    if (!*name || strpbrk(name, "*?<>\"|:/\\")) return 0;
    char child[sizeof d->dir + DIR_NAME_SIZE];
    size_t len = strlen(dir);
    const char *sep = len > 0 && plat_is_sep(dir[len - 1]) ? "" : "\\";
    int n = snprintf(child, sizeof child, "%s%s%s", dir, sep, name);
    wchar_t w[WIDE_PATH_SIZE], asked[WIDE_PATH_SIZE];
    if (n < 0 || (size_t)n >= sizeof child || !wide_file_path(child, w) ||
        to_wide(name, asked, WIDE_PATH_SIZE) < 0)
        return 0;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW(w, &fd);
    if (h == INVALID_HANDLE_VALUE) return 0;
    FindClose(h);
    if (CompareStringOrdinal(fd.cFileName, -1, asked, -1, TRUE) != CSTR_EQUAL) return 0;
    take_entry(d, &fd);
    return 1;
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

// The environment block of CreateProcessW: each "NAME=value" in UTF-16
// followed by a zero unit, sorted by name, and one more zero unit at the end.
// Bytes of an entry that are not UTF-8 read as U+FFFD.
static wchar_t *environment_block(const char *const *envp) {
    size_t count = 0, total = 2;
    for (const char *const *e = envp; *e; e++, count++)
        total += (size_t)MultiByteToWideChar(CP_UTF8, 0, *e, -1, nullptr, 0);
    const char **sorted = (const char **)malloc((count + 1) * sizeof *sorted);
    wchar_t *block = (wchar_t *)malloc(total * sizeof *block);
    if (!sorted || !block) {
        free(sorted);
        free(block);
        return nullptr;
    }
    memcpy(sorted, envp, count * sizeof *sorted);
    qsort(sorted, count, sizeof *sorted, env_entry_cmp);
    size_t n = 0;
    for (size_t i = 0; i < count; i++) {
        if (!sorted[i][0]) continue;
        n += (size_t)MultiByteToWideChar(CP_UTF8, 0, sorted[i], -1, block + n, (int)(total - n));
    }
    block[n++] = 0;
    if (n == 1) block[n] = 0; // an empty block is still two zero units
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
    wchar_t *line;                   // CreateProcessW may write into the command line it is given
    wchar_t *block;                  // the environment block
    wchar_t program[WIDE_PATH_SIZE]; // the full path of the program to run
    HANDLE rd[2], wr[2], nul, job;
    LPPROC_THREAD_ATTRIBUTE_LIST attrs;
    PROCESS_INFORMATION pi;
};

static void child_start_release(ChildStart *s) {
    if (s->attrs) DeleteProcThreadAttributeList(s->attrs);
    free(s->attrs);
    HANDLE handles[] = {s->rd[0], s->rd[1], s->wr[0],       s->wr[1],
                        s->nul,   s->job,   s->pi.hProcess, s->pi.hThread};
    for (HANDLE h : handles)
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    free(s->block);
    free(s->line);
}

// 1 when `dir` (`n` units) is an absolute folder: "C:\..." or "\\server\...".
static int absolute_folder(const wchar_t *dir, size_t n) {
    if (n >= 3 && dir[1] == L':' && (dir[2] == L'\\' || dir[2] == L'/')) return 1;
    return n >= 2 && (dir[0] == L'\\' || dir[0] == L'/') && (dir[1] == L'\\' || dir[1] == L'/');
}

// The full path of the program `name` in `out` (WIDE_PATH_SIZE units): a
// name with a separator is taken as it is; any other is looked for in the
// absolute folders of PATH only, in their order, as `name` + ".exe" (the
// program is an executable; a script extension of PATHEXT is not run).
// Unlike the system's own search, never in this program's folder nor in the
// current folder: a git.exe left there is not run. 1 when found.
static int program_on_path(const char *name, wchar_t *out) {
    wchar_t wname[WIDE_PATH_SIZE];
    if (to_wide(name, wname, WIDE_PATH_SIZE) < 0) return 0;
    if (wcschr(wname, L'\\') || wcschr(wname, L'/') || wcschr(wname, L':')) {
        wcscpy(out, wname);
        return 1;
    }
    size_t name_len = wcslen(wname);
    int has_exe = name_len >= 4 && _wcsicmp(wname + name_len - 4, L".exe") == 0;
    DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (size == 0) return 0;
    wchar_t *path = (wchar_t *)malloc(size * sizeof *path);
    if (!path) return 0;
    int found = 0;
    if (GetEnvironmentVariableW(L"PATH", path, size) < size) {
        for (wchar_t *item = path; item && !found;) {
            wchar_t *semi = wcschr(item, L';');
            if (semi) *semi = 0;
            wchar_t *dir = item;
            size_t n = wcslen(dir);
            if (n >= 2 && dir[0] == L'"' && dir[n - 1] == L'"') {
                dir++;
                n -= 2;
            }
            while (n > 1 && (dir[n - 1] == L'\\' || dir[n - 1] == L'/')) n--;
            if (absolute_folder(dir, n) && n + name_len + 6 < WIDE_PATH_SIZE) {
                wmemcpy(out, dir, n);
                out[n] = L'\\';
                wcscpy(out + n + 1, wname);
                if (!has_exe) wcscat(out, L".exe");
                DWORD attrs = GetFileAttributesW(out);
                found = attrs != INVALID_FILE_ATTRIBUTES && !(attrs & FILE_ATTRIBUTE_DIRECTORY);
            }
            item = semi ? semi + 1 : nullptr;
        }
    }
    free(path);
    return found;
}

// Everything but the process itself: the program's full path, the two pipes
// (only their write ends may be inherited), the NUL input, the job, and the
// list that limits what the child inherits to those three handles. 1 when
// all were made; a program not found on PATH fails with ERROR_FILE_NOT_FOUND.
static int child_start_prepare(ChildStart *s, const char *program, const char *cmdline,
                               const char *const *envp) {
    if (!program_on_path(program, s->program)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    size_t len = strlen(cmdline);
    s->line = (wchar_t *)malloc((len + 1) * sizeof *s->line);
    if (!s->line || to_wide(cmdline, s->line, (int)len + 1) < 0) return 0;
    if (envp && !(s->block = environment_block(envp))) return 0;

    for (int i = 0; i < 2; i++) {
        if (!CreatePipe(&s->rd[i], &s->wr[i], nullptr, 0)) return 0;
        if (!SetHandleInformation(s->wr[i], HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) return 0;
    }
    SECURITY_ATTRIBUTES inherit;
    memset(&inherit, 0, sizeof inherit);
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    s->nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         OPEN_EXISTING, 0, nullptr);
    if (s->nul == INVALID_HANDLE_VALUE) return 0;
    if (!(s->job = kill_on_close_job())) return 0;

    // Two attributes: the handles to inherit and the job to start in.
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 2, 0, &size);
    s->attrs = (LPPROC_THREAD_ATTRIBUTE_LIST)malloc(size);
    if (!s->attrs) return 0;
    if (!InitializeProcThreadAttributeList(s->attrs, 2, 0, &size)) {
        free(s->attrs);
        s->attrs = nullptr;
        return 0;
    }
    return 1;
}

// The child runs the program found on PATH (program_on_path) with the quoted
// command line. Standard input is NUL; standard output and standard error
// are the write ends of a pipe each. Those three handles are all it
// inherits, whatever else of this process is inheritable, so that no
// child holds another child's pipe (children start from several threads at
// once) or the host's. It is created inside its job: nothing it starts can
// escape the job, and there is no moment at which this program could end
// (killed) leaving a child outside any job, which no one would ever end.
static int child_start_once(PlatChild *c, const char *program, const char *cmdline,
                            const char *const *envp, DWORD *error) {
    ChildStart s;
    memset(&s, 0, sizeof s);
    int rc = -1;
    if (child_start_prepare(&s, program, cmdline, envp)) {
        HANDLE inherited[] = {s.wr[0], s.wr[1], s.nul};
        STARTUPINFOEXW si;
        memset(&si, 0, sizeof si);
        si.StartupInfo.cb = sizeof si;
        si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        si.StartupInfo.hStdInput = s.nul;
        si.StartupInfo.hStdOutput = s.wr[0];
        si.StartupInfo.hStdError = s.wr[1];
        si.lpAttributeList = s.attrs;
        DWORD flags = CREATE_NO_WINDOW | EXTENDED_STARTUPINFO_PRESENT | CREATE_UNICODE_ENVIRONMENT;
        if (UpdateProcThreadAttribute(s.attrs, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited,
                                      sizeof inherited, nullptr, nullptr) &&
            UpdateProcThreadAttribute(s.attrs, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &s.job,
                                      sizeof s.job, nullptr, nullptr) &&
            CreateProcessW(s.program, s.line, nullptr, nullptr, TRUE, flags, s.block, nullptr,
                           &si.StartupInfo, &s.pi)) {
            c->process = s.pi.hProcess;
            c->thread = s.pi.hThread;
            c->pipes[PLAT_CHILD_STDOUT] = s.rd[0];
            c->pipes[PLAT_CHILD_STDERR] = s.rd[1];
            c->job = s.job;
            s.pi.hProcess = s.pi.hThread = s.rd[0] = s.rd[1] = s.job = nullptr;
            rc = 0;
        }
    }
    *error = rc == 0 ? 0 : GetLastError();
    child_start_release(&s);
    return rc;
}

int plat_child_start(PlatChild *c, const char *const *argv, int argc, const char *cmdline,
                     const char *const *envp) {
    memset(c, 0, sizeof *c);
    if (argc < 1 || !argv[0] || !cmdline || !*cmdline) return -1;
    // A start can fail for a moment (a scanner holding the program file, a
    // system short of a resource): one more try, unless the program is not
    // there at all.
    DWORD error = 0;
    if (child_start_once(c, argv[0], cmdline, envp, &error) == 0) return 0;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return -1;
    Sleep(50);
    return child_start_once(c, argv[0], cmdline, envp, &error);
}

long plat_child_peek(PlatChild *c, int stream) {
    HANDLE pipe = c->pipes[stream];
    if (c->pipe_eof[stream] || !pipe) return -1;
    DWORD avail = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &avail, nullptr)) {
        c->pipe_eof[stream] = 1; // broken: every writer has closed it and it is drained
        return -1;
    }
    return (long)avail;
}

long plat_child_read(PlatChild *c, char *buf, long n, int stream) {
    DWORD got = 0;
    HANDLE pipe = c->pipes[stream];
    if (!pipe || n <= 0 || !ReadFile(pipe, buf, (DWORD)n, &got, nullptr)) return -1;
    return (long)got;
}

// An anonymous pipe cannot be waited on, so `wake_on_output` has no effect
// here: output that arrives during the wait is found by the next peek.
int plat_child_wait(PlatChild *c, int ms, int wake_on_output) {
    (void)wake_on_output;
    if (c->ended) return 1;
    if (!c->process) return -1;
    DWORD r = WaitForSingleObject(c->process, ms > 0 ? (DWORD)ms : 0);
    if (r == WAIT_OBJECT_0) {
        c->ended = 1;
        return 1;
    }
    return r == WAIT_TIMEOUT ? 0 : -1;
}

// Terminating the job ends the child with every process it started.
// A console program has no request to stop that a job could pass on: the
// caller ends the child with plat_child_kill.
int plat_child_terminate(PlatChild *) {
    return 0;
}

void plat_child_kill(PlatChild *c, int code) {
    if (c->ended || !c->process) return;
    if (TerminateJobObject(c->job, (UINT)code)) {
        c->killed = 1;
        c->kill_code = code;
    }
}

// The exit code is passed on as a signed 32-bit value: a code with the top
// bit set (an abnormal end such as 0xC0000005) reads as negative.
int plat_child_exit_status(PlatChild *c, int *status) {
    if (!c->process) return 0;
    if (!c->ended) {
        if (WaitForSingleObject(c->process, 0) != WAIT_OBJECT_0) return 0;
        c->ended = 1;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(c->process, &code)) return 0;
    c->status = (int)code;
    *status = c->killed ? c->kill_code : c->status;
    return 1;
}

void plat_child_close(PlatChild *c) {
    for (HANDLE &pipe : c->pipes) {
        if (pipe) CloseHandle(pipe);
        pipe = nullptr;
    }
    if (c->process) {
        // Never leave a child behind: a run that gave up on it ends it.
        if (!c->ended && WaitForSingleObject(c->process, 0) == WAIT_TIMEOUT) {
            TerminateJobObject(c->job, 1);
            WaitForSingleObject(c->process, 2000);
        }
        CloseHandle(c->process);
    }
    c->process = nullptr;
    if (c->thread) CloseHandle(c->thread);
    c->thread = nullptr;
    // Closing the job ends what is left in it: helpers that outlived the child.
    if (c->job) CloseHandle(c->job);
    c->job = nullptr;
}

// Every child's job ends with the program (see plat_child_start).
void plat_children_stop(int) {}
