// The object store: loose objects, packs through their .idx (version 2),
// deltas, alternates. Every size, offset and count read from a file is
// checked before it is used; anything out of place makes the read fail, and
// the caller then asks git.
#include "git/objects/objects.h"
#include "platform/platform.h"
#include "text/text.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define OBJ_COMMIT 1
#define OBJ_OFS_DELTA 6
#define OBJ_REF_DELTA 7
#define PACK_HEADER_LEN 12       // "PACK", version, count
#define IDX_HEADER_LEN 8         // "\377tOc", version 2
#define IDX_FANOUT_LEN 1024      // 256 counts of four bytes
#define PACK_ENTRY_HEADER_MAX 32 // type and size, and an offset delta's distance

struct Pack {
    char base[FULL_PATH_SIZE]; // the path without ".idx" / ".pack"
    int state;                 // 0 not opened, 1 open, -1 unusable
    PlatFile idx, pack;
    long long idx_size, pack_size;
    uint32_t fanout[256];
};

struct Store {
    char dirs[OBJECT_DIRS_MAX][FULL_PATH_SIZE]; // object folders
    int dir_count;
    Pack *packs; // PACKS_MAX
    int pack_count;
};

// An object read whole: its type and content (malloc'd).
struct Obj {
    int type;
    unsigned char *data;
    size_t len;
};

static void obj_free(Obj *o) {
    free(o->data);
    o->data = nullptr;
    o->len = 0;
}

// Reads a whole file of at most `max` bytes into a malloc'd block with a
// terminator after it. Returns 1, or 0 when it is missing, larger, or unreadable.
static int read_small_file(const char *path, size_t max, unsigned char **data, size_t *len) {
    PlatFile f;
    if (!plat_file_open(&f, path)) return 0;
    long long size = plat_file_size(&f);
    int ok = 0;
    if (size >= 0 && (unsigned long long)size <= max) {
        unsigned char *p = (unsigned char *)malloc((size_t)size + 1);
        if (p && plat_file_read_at(&f, 0, p, (unsigned long long)size) == size) {
            p[size] = 0;
            *data = p;
            *len = (size_t)size;
            ok = 1;
        } else {
            free(p);
        }
    }
    plat_file_close(&f);
    return ok;
}

// ---- inflating --------------------------------------------------------------

// Inflates a zlib stream of the file `f` from `offset` into `out`, which
// must come out exactly `size` bytes long and end the stream.
static int inflate_file(PlatFile *f, unsigned long long offset, long long file_size,
                        unsigned char *out, size_t size) {
    unsigned char in[INFLATE_CHUNK_SIZE];
    unsigned char spare;
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit(&z) != Z_OK) return 0;
    z.next_out = size ? out : &spare;
    z.avail_out = (uInt)size;
    int rc = Z_OK, ok = 0;
    while (rc == Z_OK) {
        if (z.avail_in == 0) {
            if ((long long)offset >= file_size) break;
            long long got = plat_file_read_at(f, offset, in, sizeof in);
            if (got <= 0) break;
            offset += (unsigned long long)got;
            z.next_in = in;
            z.avail_in = (uInt)got;
        }
        if (z.avail_out == 0) {
            // All the bytes expected are there: the stream must end now,
            // without one more byte of output.
            z.next_out = &spare;
            z.avail_out = 1;
            rc = inflate(&z, Z_NO_FLUSH);
            ok = rc == Z_STREAM_END && z.avail_out == 1;
            break;
        }
        rc = inflate(&z, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) ok = z.total_out == size;
        if (rc == Z_BUF_ERROR && z.avail_in == 0) rc = Z_OK; // needs more input
    }
    inflateEnd(&z);
    return ok;
}

// ---- loose objects ----------------------------------------------------------

static int type_from_name(const char *s, size_t n) {
    if (n == 6 && memcmp(s, "commit", 6) == 0) return OBJ_COMMIT;
    if (n == 4 && memcmp(s, "tree", 4) == 0) return 2;
    if (n == 4 && memcmp(s, "blob", 4) == 0) return 3;
    if (n == 3 && memcmp(s, "tag", 3) == 0) return 4;
    return 0;
}

static int read_loose(const char *dir, const char *hex, Obj *o) {
    char name[SHA1_HEX_LEN + 2], path[FULL_PATH_SIZE];
    memcpy(name, hex, 2);
    name[2] = PATH_SEP;
    memcpy(name + 3, hex + 2, SHA1_HEX_LEN - 2 + 1);
    if (!plat_path_join(path, sizeof path, dir, name)) return 0;
    PlatFile f;
    if (!plat_file_open(&f, path)) return 0;
    long long size = plat_file_size(&f);
    int ok = 0;
    // The header ("commit 123\0") comes first: inflate that much, then
    // the whole object once its size is known.
    if (size > 0 && size <= (long long)OBJECT_SIZE_MAX + 64) {
        unsigned char *whole = (unsigned char *)malloc((size_t)size);
        unsigned char *body = nullptr;
        if (whole && plat_file_read_at(&f, 0, whole, (unsigned long long)size) == size) {
            z_stream z;
            memset(&z, 0, sizeof z);
            unsigned char head[PACK_ENTRY_HEADER_MAX];
            if (inflateInit(&z) == Z_OK) {
                z.next_in = whole;
                z.avail_in = (uInt)size;
                z.next_out = head;
                z.avail_out = sizeof head;
                int rc = inflate(&z, Z_NO_FLUSH);
                size_t got = sizeof head - z.avail_out;
                const unsigned char *sp = (const unsigned char *)memchr(head, ' ', got);
                const unsigned char *nul = (const unsigned char *)memchr(head, 0, got);
                unsigned long long n = 0;
                int type = sp && nul && sp < nul
                               ? type_from_name((const char *)head, (size_t)(sp - head))
                               : 0;
                int digits = 0;
                for (const unsigned char *d = sp ? sp + 1 : head; type && d < nul; d++) {
                    if (*d < '0' || *d > '9' || ++digits > 9) {
                        type = 0;
                        break;
                    }
                    n = n * 10 + (*d - '0');
                }
                if (type && digits && n <= OBJECT_SIZE_MAX && (rc == Z_OK || rc == Z_STREAM_END)) {
                    size_t have = got - (size_t)(nul + 1 - head);
                    body = (unsigned char *)malloc(n + 1);
                    if (body && have <= n) {
                        memcpy(body, nul + 1, have);
                        z.next_out = body + have;
                        z.avail_out = (uInt)(n - have + 1); // one more: the stream must end
                        if (rc != Z_STREAM_END) rc = inflate(&z, Z_FINISH);
                        if (rc == Z_STREAM_END && z.avail_out == 1) {
                            o->type = type;
                            o->data = body;
                            o->len = (size_t)n;
                            body = nullptr;
                            ok = 1;
                        }
                    }
                }
                inflateEnd(&z);
            }
        }
        free(body);
        free(whole);
    }
    plat_file_close(&f);
    return ok;
}

// ---- packs ------------------------------------------------------------------

static uint32_t be32(const unsigned char *p) {
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static int pack_open(Pack *p) {
    if (p->state) return p->state > 0;
    p->state = -1;
    char path[FULL_PATH_SIZE];
    size_t n = strlen(p->base);
    if (n + sizeof ".pack" > sizeof path) return 0;
    memcpy(path, p->base, n);
    memcpy(path + n, ".idx", sizeof ".idx");
    if (!plat_file_open(&p->idx, path)) return 0;
    memcpy(path + n, ".pack", sizeof ".pack");
    if (!plat_file_open(&p->pack, path)) {
        plat_file_close(&p->idx);
        return 0;
    }
    unsigned char head[IDX_HEADER_LEN + IDX_FANOUT_LEN];
    unsigned char pack_head[PACK_HEADER_LEN];
    p->idx_size = plat_file_size(&p->idx);
    p->pack_size = plat_file_size(&p->pack);
    int ok =
        p->idx_size >= (long long)sizeof head &&
        plat_file_read_at(&p->idx, 0, head, sizeof head) == (long long)sizeof head &&
        memcmp(head, "\377tOc\0\0\0\2", IDX_HEADER_LEN) == 0 && p->pack_size >= PACK_HEADER_LEN &&
        plat_file_read_at(&p->pack, 0, pack_head, sizeof pack_head) == PACK_HEADER_LEN &&
        memcmp(pack_head, "PACK", 4) == 0 && (be32(pack_head + 4) == 2 || be32(pack_head + 4) == 3);
    for (int i = 0; ok && i < 256; i++) {
        p->fanout[i] = be32(head + IDX_HEADER_LEN + 4 * i);
        if (i && p->fanout[i] < p->fanout[i - 1]) ok = 0;
    }
    // Names, checksums and offsets of every object, and two checksums.
    if (ok) {
        unsigned long long need = IDX_HEADER_LEN + IDX_FANOUT_LEN +
                                  (unsigned long long)p->fanout[255] * (SHA1_LEN + 4 + 4) +
                                  2 * SHA1_LEN;
        ok = (unsigned long long)p->idx_size >= need;
    }
    if (!ok) {
        plat_file_close(&p->idx);
        plat_file_close(&p->pack);
        return 0;
    }
    p->state = 1;
    return 1;
}

// Finds `name` in the pack's index; stores its offset in the pack.
static int pack_find(Pack *p, const unsigned char name[SHA1_LEN], unsigned long long *offset) {
    if (!pack_open(p)) return 0;
    uint32_t lo = name[0] ? p->fanout[name[0] - 1] : 0, hi = p->fanout[name[0]];
    uint32_t count = p->fanout[255];
    const unsigned long long names = IDX_HEADER_LEN + IDX_FANOUT_LEN;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        unsigned char got[SHA1_LEN];
        if (plat_file_read_at(&p->idx, names + (unsigned long long)mid * SHA1_LEN, got, SHA1_LEN) !=
            SHA1_LEN)
            return 0;
        int c = memcmp(name, got, SHA1_LEN);
        if (c < 0) {
            hi = mid;
        } else if (c > 0) {
            lo = mid + 1;
        } else {
            unsigned long long offsets = names + (unsigned long long)count * (SHA1_LEN + 4);
            unsigned char b[8];
            if (plat_file_read_at(&p->idx, offsets + 4ull * mid, b, 4) != 4) return 0;
            unsigned long long off = be32(b);
            if (off & 0x80000000u) {
                // An index into the table of large offsets after this one.
                unsigned long long at = offsets + 4ull * count + 8ull * (off & 0x7fffffffu);
                if (at + 8 + 2 * SHA1_LEN > (unsigned long long)p->idx_size ||
                    plat_file_read_at(&p->idx, at, b, 8) != 8)
                    return 0;
                off = (unsigned long long)be32(b) << 32 | be32(b + 4);
            }
            if (off < PACK_HEADER_LEN || off >= (unsigned long long)p->pack_size) return 0;
            *offset = off;
            return 1;
        }
    }
    return 0;
}

static int find_object(Store *s, const unsigned char name[SHA1_LEN], int depth, Obj *o);

// Applies a git delta to `base`, giving an object of at most OBJECT_SIZE_MAX.
static int apply_delta(const unsigned char *base, size_t base_len, const unsigned char *d, size_t n,
                       Obj *o) {
    const unsigned char *end = d + n;
    unsigned long long sizes[2];
    for (int k = 0; k < 2; k++) {
        unsigned long long v = 0;
        int shift = 0;
        unsigned char c;
        do {
            if (d >= end || shift > 56) return 0;
            c = *d++;
            v |= (unsigned long long)(c & 127) << shift;
            shift += 7;
        } while (c & 128);
        sizes[k] = v;
    }
    if (sizes[0] != base_len || sizes[1] > OBJECT_SIZE_MAX) return 0;
    size_t out_len = (size_t)sizes[1], at = 0;
    unsigned char *out = (unsigned char *)malloc(out_len + 1);
    if (!out) return 0;
    while (d < end) {
        unsigned char cmd = *d++;
        if (cmd & 128) {
            unsigned long long off = 0, len = 0;
            for (int i = 0; i < 4; i++)
                if (cmd & (1 << i)) {
                    if (d >= end) goto fail;
                    off |= (unsigned long long)*d++ << (8 * i);
                }
            for (int i = 0; i < 3; i++)
                if (cmd & (16 << i)) {
                    if (d >= end) goto fail;
                    len |= (unsigned long long)*d++ << (8 * i);
                }
            if (len == 0) len = 0x10000;
            if (off > base_len || len > base_len - off || len > out_len - at) goto fail;
            memcpy(out + at, base + off, (size_t)len);
            at += (size_t)len;
        } else if (cmd) {
            if (cmd > (size_t)(end - d) || cmd > out_len - at) goto fail;
            memcpy(out + at, d, cmd);
            d += cmd;
            at += cmd;
        } else {
            goto fail; // reserved
        }
    }
    if (at != out_len) goto fail;
    o->data = out;
    o->len = out_len;
    return 1;
fail:
    free(out);
    return 0;
}

// Reads the object at `offset` of the pack, its delta bases first.
static int pack_read(Store *s, Pack *p, unsigned long long offset, int depth, Obj *o) {
    if (depth > DELTA_DEPTH_MAX) return 0;
    unsigned char h[PACK_ENTRY_HEADER_MAX];
    long long got = plat_file_read_at(&p->pack, offset, h, sizeof h);
    if (got <= 0) return 0;
    const unsigned char *c = h, *end = h + got;
    int type = (*c >> 4) & 7;
    unsigned long long size = *c & 15;
    int shift = 4;
    while (*c & 128) {
        if (++c >= end || shift > 56) return 0;
        size |= (unsigned long long)(*c & 127) << shift;
        shift += 7;
    }
    c++;
    if (size > OBJECT_SIZE_MAX) return 0;
    Obj base = {0, nullptr, 0};
    if (type == OBJ_OFS_DELTA) {
        // The distance back to the base, in git's offset encoding.
        if (c >= end) return 0;
        unsigned long long back = *c & 127;
        while (*c & 128) {
            if (++c >= end || back >= (1ull << 50)) return 0;
            back = ((back + 1) << 7) | (*c & 127);
        }
        c++;
        if (back == 0 || back > offset - PACK_HEADER_LEN) return 0;
        if (!pack_read(s, p, offset - back, depth + 1, &base)) return 0;
    } else if (type == OBJ_REF_DELTA) {
        if (end - c < SHA1_LEN) return 0;
        unsigned char name[SHA1_LEN];
        memcpy(name, c, SHA1_LEN);
        c += SHA1_LEN;
        if (!find_object(s, name, depth + 1, &base)) return 0;
    } else if (type < 1 || type > 4) {
        return 0;
    }
    unsigned char *data = (unsigned char *)malloc((size_t)size + 1);
    int ok = data && inflate_file(&p->pack, offset + (unsigned long long)(c - h), p->pack_size,
                                  data, (size_t)size);
    if (ok && base.data) {
        o->type = base.type;
        ok = apply_delta(base.data, base.len, data, (size_t)size, o);
        free(data);
    } else if (ok) {
        o->type = type;
        o->data = data;
        o->len = (size_t)size;
    } else {
        free(data);
    }
    obj_free(&base);
    return ok;
}

// Finds and reads an object anywhere in the store (packs first, as git looks).
static int find_object(Store *s, const unsigned char name[SHA1_LEN], int depth, Obj *o) {
    if (depth > DELTA_DEPTH_MAX) return 0;
    for (int i = 0; i < s->pack_count; i++) {
        unsigned long long off;
        if (pack_find(&s->packs[i], name, &off)) return pack_read(s, &s->packs[i], off, depth, o);
    }
    char hex[SHA1_HEX_LEN + 1];
    sha1_to_hex(name, hex);
    for (int i = 0; i < s->dir_count; i++)
        if (read_loose(s->dirs[i], hex, o)) return 1;
    return 0;
}

// ---- the store's folders ----------------------------------------------------

static void add_packs(Store *s, const char *dir) {
    char pack_dir[FULL_PATH_SIZE];
    if (!plat_path_join(pack_dir, sizeof pack_dir, dir, "pack")) return;
    PlatDir d;
    if (plat_dir_open(&d, pack_dir) != 1) return;
    while (plat_dir_next(&d)) {
        size_t n = strlen(d.name);
        if (d.is_dir || n < 5 || n >= PACK_NAME_SIZE || memcmp(d.name + n - 4, ".idx", 4) != 0)
            continue;
        if (s->pack_count >= PACKS_MAX) break;
        Pack *p = &s->packs[s->pack_count];
        memset(p, 0, sizeof *p);
        char name[PACK_NAME_SIZE];
        memcpy(name, d.name, n - 4);
        name[n - 4] = 0;
        if (plat_path_join(p->base, sizeof p->base, pack_dir, name)) s->pack_count++;
    }
    plat_dir_close(&d);
}

static int add_dir(Store *s, const char *dir) {
    for (int i = 0; i < s->dir_count; i++)
        if (strcmp(s->dirs[i], dir) == 0) return 0;
    if (s->dir_count >= OBJECT_DIRS_MAX || strlen(dir) >= FULL_PATH_SIZE) return 0;
    str_copy(s->dirs[s->dir_count++], FULL_PATH_SIZE, dir);
    add_packs(s, dir);
    return 1;
}

static int is_absolute(const char *p) {
    if (plat_is_sep(p[0])) return 1;
#if defined(_WIN32)
    if (((p[0] >= 'A' && p[0] <= 'Z') || (p[0] >= 'a' && p[0] <= 'z')) && p[1] == ':') return 1;
#endif
    return 0;
}

// Adds the folders named in `dir`/info/alternates, and theirs: one per line,
// absolute or relative to `dir`. A quoted line is not read (then an object
// kept there is not found, and git is asked).
static void add_alternates(Store *s, const char *dir, int level) {
    char path[FULL_PATH_SIZE];
    unsigned char *text;
    size_t len;
    if (level > OBJECT_DIRS_MAX ||
        !plat_path_join(path, sizeof path, dir, "info" PATH_SEP_STR "alternates") ||
        !read_small_file(path, SMALL_FILE_MAX, &text, &len))
        return;
    for (char *line = (char *)text; line && *line;) {
        char *nl = strchr(line, '\n');
        if (nl) *nl = 0;
        str_trim(line);
        char alt[FULL_PATH_SIZE];
        if (line[0] && line[0] != '#' && line[0] != '"' &&
            (is_absolute(line) ? strlen(line) < sizeof alt && (str_copy(alt, sizeof alt, line), 1)
                               : plat_path_join(alt, sizeof alt, dir, line)) &&
            add_dir(s, alt))
            add_alternates(s, s->dirs[s->dir_count - 1], level + 1);
        line = nl ? nl + 1 : nullptr;
    }
    free(text);
}

static void store_close(Store *s) {
    for (int i = 0; i < s->pack_count; i++)
        if (s->packs[i].state > 0) {
            plat_file_close(&s->packs[i].idx);
            plat_file_close(&s->packs[i].pack);
        }
    free(s->packs);
}

// ---- what makes git answer otherwise ---------------------------------------

// 1 when the file holds `needle` (compared without letter case when `fold`),
// read in chunks; also 1 when the file cannot be read to its end.
static int file_mentions(const char *path, const char *needle, int fold) {
    PlatFile f;
    if (!plat_file_open(&f, path)) return plat_exists(path);
    size_t n = strlen(needle);
    char buf[INFLATE_CHUNK_SIZE + 64];
    size_t keep = 0;
    unsigned long long at = 0;
    int found = 0;
    for (;;) {
        long long got = plat_file_read_at(&f, at, buf + keep, INFLATE_CHUNK_SIZE);
        if (got < 0) {
            found = 1;
            break;
        }
        if (got == 0) break;
        at += (unsigned long long)got;
        size_t have = keep + (size_t)got;
        for (size_t i = 0; !found && i + n <= have; i++) {
            size_t k = 0;
            while (k < n) {
                char a = buf[i + k], b = needle[k];
                if (fold && a >= 'A' && a <= 'Z') a = (char)(a - 'A' + 'a');
                if (a != b) break;
                k++;
            }
            found = k == n;
        }
        if (found) break;
        keep = have < n ? have : n - 1;
        memmove(buf, buf + have - keep, keep);
    }
    plat_file_close(&f);
    return found;
}

// 1 when the config file `name` in the git folder `dir` might change how git
// shows a commit: it sets a log output encoding or includes another file.
static int config_rewrites(const char *dir, const char *name) {
    char path[FULL_PATH_SIZE];
    return !plat_path_join(path, sizeof path, dir, name) ||
           file_mentions(path, "logoutputencoding", 1) || file_mentions(path, "include", 1);
}

// 1 when git might show another commit, or the same commit otherwise, than
// the one the store holds under the name: replaced objects, grafts, refs in
// a form not read here, a log output encoding or a config include (in the
// common config or a working copy's config.worktree, the main one's in
// `common`, a linked one's in its own git folder `own_git`).
static int store_is_rewritten(const char *common, const char *own_git) {
    char path[FULL_PATH_SIZE];
    static const char *const PRESENT[] = {"info" PATH_SEP_STR "grafts",
                                          "refs" PATH_SEP_STR "replace", "reftable"};
    for (const char *name : PRESENT)
        if (!plat_path_join(path, sizeof path, common, name) || plat_exists(path)) return 1;
    if (!plat_path_join(path, sizeof path, common, "packed-refs") ||
        file_mentions(path, "refs/replace/", 0))
        return 1;
    return config_rewrites(common, "config") || config_rewrites(common, "config.worktree") ||
           (own_git && strcmp(own_git, common) != 0 && config_rewrites(own_git, "config.worktree"));
}

int objects_read_commit(const char *common, const char *hex, CommitSummary *out,
                        const char *own_git) {
    unsigned char name[SHA1_LEN];
    if (!sha1_from_hex(hex, name) || store_is_rewritten(common, own_git)) return 0;
    Store *s = (Store *)calloc(1, sizeof *s);
    if (!s) return 0;
    s->packs = (Pack *)calloc(PACKS_MAX, sizeof(Pack));
    char objects[FULL_PATH_SIZE];
    int ok = 0;
    if (s->packs && plat_path_join(objects, sizeof objects, common, "objects") &&
        add_dir(s, objects)) {
        add_alternates(s, objects, 0);
        Obj o = {0, nullptr, 0};
        if (find_object(s, name, 0, &o)) {
            // The content must be what the name says.
            char head[PACK_ENTRY_HEADER_MAX];
            int hn = snprintf(head, sizeof head, "commit %zu", o.len);
            unsigned char check[SHA1_LEN];
            Sha1 h;
            sha1_init(&h);
            sha1_update(&h, head, (size_t)hn + 1);
            sha1_update(&h, o.data, o.len);
            sha1_final(&h, check);
            ok = o.type == OBJ_COMMIT && memcmp(check, name, SHA1_LEN) == 0 &&
                 commit_summary_parse(o.data, o.len, out);
            if (ok) sha1_to_hex(name, out->hash);
        }
        obj_free(&o);
    }
    store_close(s);
    free(s);
    return ok;
}

int objects_store_may_be_partial(const char *common) {
    char path[FULL_PATH_SIZE];
    return !plat_path_join(path, sizeof path, common, "config") ||
           file_mentions(path, "promisor", 1) || file_mentions(path, "partialclone", 1);
}

int objects_ref_may_exist(const char *common, const char *name) {
    char rel[FULL_PATH_SIZE], path[FULL_PATH_SIZE];
    str_copy(rel, sizeof rel, name);
    if (strlen(name) >= sizeof rel) return 1;
    for (char *c = rel; *c; c++)
        if (*c == '/') *c = PATH_SEP;
    if (!plat_path_join(path, sizeof path, common, rel) || plat_exists(path)) return 1;
    // A packed ref is a line "<hash> <name>".
    char line_end[FULL_PATH_SIZE];
    if (strlen(name) + 2 >= sizeof line_end) return 1;
    snprintf(line_end, sizeof line_end, " %s\n", name);
    return !plat_path_join(path, sizeof path, common, "packed-refs") ||
           file_mentions(path, line_end, 0);
}
