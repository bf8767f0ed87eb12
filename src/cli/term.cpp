// Text for the terminal: display widths, safe cells, colour and output.
#include "cli/term.h"

#include "base/sizes.h"
#include "platform/platform.h"
#include "text/utf8.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

Term term_for_stdout() {
    Term t = {0, 0};
    // NO_COLOR asks for none; a terminal that calls itself "dumb" takes none.
    const char *no_colour = getenv("NO_COLOR");
    const char *term = getenv("TERM");
    int colour_allowed = !(no_colour && *no_colour) && !(term && strcmp(term, "dumb") == 0);
    t.colour = colour_allowed && plat_terminal_prepare(PLAT_STDOUT);
    const char *cols = getenv("COLUMNS");
    if (cols && *cols) {
        char *end = nullptr;
        long n = strtol(cols, &end, 10);
        if (*end == 0 && n > 0 && n < 100000 && cols[0] >= '0' && cols[0] <= '9') {
            t.width = (int)n;
            return t;
        }
    }
    t.width = plat_terminal_columns(PLAT_STDOUT);
    return t;
}

void term_on(Buf *b, const Term *t, const char *sgr) {
    if (t->colour && sgr && *sgr) buf_printf(b, "\x1b[%sm", sgr);
}

void term_off(Buf *b, const Term *t) {
    if (t->colour) buf_puts(b, "\x1b[0m");
}

// ---- characters ---------------------------------------------------------------

#define REPLACEMENT UTF8_REPLACEMENT

// The character at s[0..n) (U+FFFD for an ill-formed start) and the bytes it
// takes.
static size_t next_char(const unsigned char *s, size_t n, unsigned *cp) {
    int len = utf8_decode((const char *)s, n, cp);
    return (size_t)(len < 0 ? -len : len);
}

struct Range {
    unsigned lo, hi;
};

static int in_ranges(unsigned c, const Range *r, size_t n) {
    for (size_t i = 0; i < n; i++)
        if (c >= r[i].lo && c <= r[i].hi) return 1;
    return 0;
}

// Characters a terminal must not be given: they move the cursor, start
// sequences, or reorder the text around them.
static int is_unsafe(unsigned c) {
    return c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) ||
           (c >= 0x2066 && c <= 0x2069) || c == 0x200E || c == 0x200F || c == 0x061C;
}

static const Range ZERO_WIDTH[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489},   {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5}, {0x05C7, 0x05C7},   {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DC}, {0x06DF, 0x06E4},   {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0900, 0x0902},
    {0x093A, 0x093A}, {0x093C, 0x093C},   {0x0941, 0x0948}, {0x094D, 0x094D}, {0x0951, 0x0957},
    {0x0962, 0x0963}, {0x0E31, 0x0E31},   {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E}, {0x1AB0, 0x1AFF},
    {0x1DC0, 0x1DFF}, {0x200B, 0x200D},   {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
    {0xFEFF, 0xFEFF}, {0xE0100, 0xE01EF},
};

static const Range WIDE[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},
    {0x23F0, 0x23F0},   {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},
    {0x2648, 0x2653},   {0x267F, 0x267F},   {0x2693, 0x2693},   {0x26A1, 0x26A1},
    {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},   {0x26CE, 0x26CE},
    {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},
    {0x2728, 0x2728},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2795, 0x2797},   {0x27B0, 0x27B0},   {0x27BF, 0x27BF},
    {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},   {0x2E80, 0x303E},
    {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},
    {0xFE30, 0xFE6F},   {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4},
    {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF}, {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251}, {0x1F300, 0x1F64F},
    {0x1F680, 0x1F6FF}, {0x1F7E0, 0x1F7EB}, {0x1F90C, 0x1F9FF}, {0x1FA70, 0x1FAFF},
    {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD},
};

// Characters that show nothing and move nothing (format characters:
// zero-width spaces and joiners, word joiners, invisible operators, the
// byte-order mark, tag characters; and the line and paragraph separators,
// which a terminal shows as nothing or as a break of its own): passed on,
// "al<U+200B>pha" would show as "alpha", a name that is not the folder's.
// They are shown by their code point instead. The bidirectional controls
// among them are unsafe above.
static const Range INVISIBLE[] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
    {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200D},
    {0x2028, 0x2029},   {0x2060, 0x2064},   {0x206A, 0x206F},   {0xFEFF, 0xFEFF},
    {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F},
    {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
};

#define ZWJ 0x200Du

// Pictographs that a zero-width joiner joins into one emoji ("🧑‍💻").
static int is_pictograph(unsigned c) {
    return (c >= 0x1F000 && c <= 0x1FAFF) || (c >= 0x2600 && c <= 0x27BF);
}

// Columns of one (safe) character.
static int char_cells(unsigned c) {
    if (in_ranges(c, ZERO_WIDTH, sizeof ZERO_WIDTH / sizeof ZERO_WIDTH[0])) return 0;
    if (c >= 0x1100 && in_ranges(c, WIDE, sizeof WIDE / sizeof WIDE[0])) return 2;
    return 1;
}

// One character as the terminal is given it.
struct Shown {
    unsigned cp;     // the character, U+FFFD for an unsafe one
    char escape[16]; // for an invisible one: "<U+200B>", shown instead
    int cells;
};

// Reads the character at s[i..n) (after `prev`, the one before it, 0 at the
// start) into *out; returns the bytes it takes.
static size_t next_shown(const unsigned char *s, size_t n, size_t i, unsigned prev, Shown *out) {
    size_t len = next_char(s + i, n - i, &out->cp);
    out->escape[0] = 0;
    if (is_unsafe(out->cp)) out->cp = REPLACEMENT;
    int invisible = in_ranges(out->cp, INVISIBLE, sizeof INVISIBLE / sizeof INVISIBLE[0]);
    if (invisible && out->cp == ZWJ && is_pictograph(prev) && i + len < n) {
        unsigned following;
        next_char(s + i + len, n - i - len, &following);
        invisible = !is_pictograph(following);
    }
    if (invisible) {
        out->cells = snprintf(out->escape, sizeof out->escape, "<U+%04X>", out->cp);
    } else {
        out->cells = char_cells(out->cp);
    }
    return len;
}

int text_cells_n(const char *s, size_t n) {
    const unsigned char *p = (const unsigned char *)s;
    int cells = 0;
    Shown c = {0, "", 0};
    for (size_t i = 0; i < n;) {
        i += next_shown(p, n, i, c.cp, &c);
        cells += c.cells;
    }
    return cells;
}

int text_cells(const char *s) {
    return s ? text_cells_n(s, strlen(s)) : 0;
}

static void put_char(Buf *b, unsigned c) {
    char u[UTF8_CHAR_SIZE];
    buf_add(b, u, (size_t)utf8_encode(c, u));
}

#define ELLIPSIS 0x2026u

int term_cell_n(Buf *b, const char *s, size_t n, int max, int pad) {
    const unsigned char *p = (const unsigned char *)s;
    int whole = text_cells_n(s, n);
    int cut = max >= 0 && whole > max;
    // Room for the text before the ellipsis of a cut one.
    int room = cut ? max - 1 : whole;
    int cells = 0;
    Shown c = {0, "", 0};
    for (size_t i = 0; i < n;) {
        i += next_shown(p, n, i, c.cp, &c);
        if (cells + c.cells > room) break;
        if (c.escape[0])
            buf_puts(b, c.escape);
        else
            put_char(b, c.cp);
        cells += c.cells;
    }
    if (cut && max > 0) {
        put_char(b, ELLIPSIS);
        cells++;
    }
    for (; cells < pad; cells++) buf_add(b, " ", 1);
    return cells;
}

int term_cell(Buf *b, const char *s, int max, int pad) {
    return term_cell_n(b, s ? s : "", s ? strlen(s) : 0, max, pad);
}

void term_fit_lines(Buf *b, const Term *t) {
    if (t->width <= 0 || !buf_ok(b)) return;
    Buf fitted;
    buf_init(&fitted, DOC_MAX);
    const unsigned char *p = (const unsigned char *)b->data;
    size_t n = (size_t)b->len;
    for (size_t start = 0; start < n;) {
        const unsigned char *nl = (const unsigned char *)memchr(p + start, '\n', n - start);
        size_t end = nl ? (size_t)(nl - p) : n;
        // The line's columns, and where a cut leaves room for the ellipsis.
        // The text is safe already, so an ESC starts one of the colour
        // sequences, which take none.
        int cells = 0;
        size_t cut_at = end;
        for (size_t i = start; i < end;) {
            if (p[i] == 0x1b) {
                while (i < end && p[i] != 'm') i++;
                i++;
                continue;
            }
            unsigned c;
            size_t len = next_char(p + i, end - i, &c);
            int w = char_cells(c);
            if (cut_at == end && cells + w > t->width - 1) cut_at = i;
            cells += w;
            i += len;
        }
        size_t keep = cells > t->width ? cut_at : end;
        buf_add(&fitted, (const char *)p + start, keep - start);
        if (keep < end) {
            put_char(&fitted, ELLIPSIS);
            term_off(&fitted, t);
        }
        if (nl) buf_add(&fitted, "\n", 1);
        start = end + (nl ? 1 : 0);
    }
    if (buf_ok(&fitted)) {
        Buf old = *b;
        *b = fitted;
        buf_free(&old);
    } else {
        buf_free(&fitted);
    }
}

void age_text(long long then, long long now, char *out) {
    if (then <= 0) {
        out[0] = 0;
        return;
    }
    long long d = now - then;
    if (d < 60)
        snprintf(out, AGE_TEXT_SIZE, "now");
    else if (d < 3600)
        snprintf(out, AGE_TEXT_SIZE, "%lldm", d / 60);
    else if (d < 86400)
        snprintf(out, AGE_TEXT_SIZE, "%lldh", d / 3600);
    else if (d < 14 * 86400)
        snprintf(out, AGE_TEXT_SIZE, "%lldd", d / 86400);
    else if (d < 61 * 86400)
        snprintf(out, AGE_TEXT_SIZE, "%lldw", d / (7 * 86400));
    else if (d < 365 * 86400)
        snprintf(out, AGE_TEXT_SIZE, "%lldmo", d / (30 * 86400));
    else
        snprintf(out, AGE_TEXT_SIZE, "%lldy", d / (365 * 86400));
}

int term_write(const Buf *b, int stream) {
    if (!buf_ok(b)) {
        term_error("the answer did not fit in memory");
        return 0;
    }
    return plat_write_text(stream, b->data, (size_t)b->len);
}

void term_error(const char *text) {
    Buf b;
    buf_init(&b, DOC_MAX);
    buf_puts(&b, "quarlo: ");
    buf_puts(&b, text);
    buf_puts(&b, "\n");
    if (buf_ok(&b)) plat_write_text(PLAT_STDERR, b.data, (size_t)b.len);
    buf_free(&b);
}
