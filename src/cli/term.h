// Text for the terminal: display widths, cells cut to a width, colour, and
// the output of the terminal commands.
#pragma once

#include "text/buf.h"

#include <cstddef>

// How the output looks: colour on or off, and the width lines are cut to
// (0: not cut).
struct Term {
    int colour;
    int width;
};

// The look of standard output: colour when it is a terminal that takes the
// sequences, NO_COLOR is unset or empty and TERM is not "dumb"; the width
// from COLUMNS (a positive whole number), else the terminal's size, else 0
// (a pipe or a file gets whole lines, for grep).
Term term_for_stdout();

// SGR colours used by the tables.
#define SGR_RED "31"
#define SGR_GREEN "32"
#define SGR_YELLOW "33"
#define SGR_BLUE "34"
#define SGR_MAGENTA "35"
#define SGR_CYAN "36"
#define SGR_DIM "2"
#define SGR_BOLD "1"

// Appends the sequence that starts `sgr` (nothing without colour, or for an
// empty `sgr`) and the one that ends every colour.
void term_on(Buf *b, const Term *t, const char *sgr);
void term_off(Buf *b, const Term *t);

// Columns the text takes on a terminal once made safe (term_cell): wide
// East Asian characters and emoji take 2, combining marks 0, every other
// character 1.
int text_cells(const char *s);
// The same for the `n` bytes at `s`.
int text_cells_n(const char *s, size_t n);

// Appends `s` made safe for a terminal, at most `max` columns of it (a text
// cut short ends in "…"; max < 0: whole), then spaces up to `pad` columns.
// Made safe: bytes that are not UTF-8 become U+FFFD; control characters
// (C0, DEL, C1) and the bidirectional controls, which could move the cursor,
// recolour the terminal or reorder what is shown, become U+FFFD too, so a
// branch name or a commit subject cannot write escape sequences. Characters
// that show nothing (zero-width spaces and joiners, the byte-order mark, the
// other format characters, the line and paragraph separators) are shown by
// their code point, "<U+200B>", so that a name looks like no other; a
// joiner between two pictographs, which makes them one emoji, is kept.
// Returns the columns appended (padding included).
int term_cell(Buf *b, const char *s, int max, int pad);
// The same for the `n` bytes at `s`.
int term_cell_n(Buf *b, const char *s, size_t n, int max, int pad);

// Cuts every line of `b` (text made by these functions: safe, with colour
// sequences) that is wider than the terminal to its width, the cut marked by
// "…"; nothing without a width.
void term_fit_lines(Buf *b, const Term *t);

// An age in a few characters: "now", "5m", "3h", "2d", "5w", "4mo", "2y";
// "" for a time of 0 (none). `out` holds AGE_TEXT_SIZE bytes.
void age_text(long long then, long long now, char *out);

// Writes `b` to standard output (PLAT_STDOUT) or standard error; returns 1,
// 0 when the Buf failed or the write failed (with a line on standard error
// for a failed Buf).
int term_write(const Buf *b, int stream);

// Writes "quarlo: <text>\n" to standard error.
void term_error(const char *text);
