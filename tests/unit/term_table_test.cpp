// The terminal table's pieces: cells cut to a width and made safe, ages,
// the state of a record, names that repeat, and the table's width.
#include "cli/status.h"
#include "cli/term.h"
#include "platform/platform.h"
#include "repo/repo.h"
#include "roots/roots.h"
#include "text/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string cell(const std::string &s, int max, int pad, int *cells = nullptr) {
    Buf b;
    buf_init(&b, DOC_MAX);
    int n = term_cell_n(&b, s.data(), s.size(), max, pad);
    if (cells) *cells = n;
    std::string out = b.data ? std::string(b.data, (size_t)b.len) : "";
    buf_free(&b);
    return out;
}

TEST(TermCell, CutsToColumnsAndMakesTextSafe) {
    const std::string R = "\xEF\xBF\xBD"; // U+FFFD
    const std::string E = "\xE2\x80\xA6"; // the ellipsis
    struct Case {
        std::string in;
        int max, pad;
        std::string out;
        int cells;
    } cases[] = {
        {"abcdef", -1, 0, "abcdef", 6},
        {"abcdef", 6, 0, "abcdef", 6},
        {"abcdef", 4, 0, "abc" + E, 4},
        {"abc", 6, 5, "abc  ", 5},
        {"abc", 0, 0, "", 0},
        {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", -1, 0, "\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", 6},
        {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", 5, 0, "\xE6\x97\xA5\xE6\x9C\xAC" + E, 5},
        // A wide character never straddles the cut: one column is left blank.
        {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", 4, 4, "\xE6\x97\xA5" + E + " ", 4},
        {"e\xCC\x81t\xC3\xA9", -1, 0, "e\xCC\x81t\xC3\xA9", 3}, // a combining accent takes none
        {"\xF0\x9F\x98\x80!", -1, 0, "\xF0\x9F\x98\x80!", 3},   // an emoji takes two
        // Escape sequences, other controls, bidirectional overrides and bytes
        // that are not UTF-8 are shown as U+FFFD, never passed on.
        {"a\x1b[31mred", -1, 0, "a" + R + "[31mred", 9},
        {"bell\x07 tab\t cr\r", -1, 0, "bell" + R + " tab" + R + " cr" + R, 14},
        {"\xC2\x9B"
         "2J",
         -1, 0, R + "2J", 3},                        // C1 CSI
        {"x\xE2\x80\xAEy", -1, 0, "x" + R + "y", 3}, // right-to-left override
        {"caf\xE9!", -1, 0, "caf" + R + "!", 5},     // Latin-1
        // One U+FFFD for each longest ill-formed start, as the JSON writer
        // replaces them.
        {"\xE6\x97", -1, 0, R, 1}, // a sequence cut short
        {"\xE6\x97!", -1, 0, R + "!", 2},
        {"\xED\xA0\x80", -1, 0, R + R + R, 3}, // an encoded surrogate
        // Characters that show nothing are shown by their code point.
        {"al\xE2\x80\x8Bpha", -1, 0, "al<U+200B>pha", 13}, // zero-width space
        {"al\xE2\x80\x8Bpha", 6, 0, "al" + E, 3},          // never cut inside
        {"\xEF\xBB\xBFx\xC2\xAD", -1, 0, "<U+FEFF>x<U+00AD>", 17},
        {"a\xE2\x80\x8D"
         "b\xE2\x81\xA0",
         -1, 0, "a<U+200D>b<U+2060>", 18},
        {"\xF3\xA0\x81\x81", -1, 0, "<U+E0041>", 9}, // a tag character
        // The line and paragraph separators, which a terminal shows as
        // nothing or as a break of its own.
        {"a\xE2\x80\xA8"
         "b\xE2\x80\xA9",
         -1, 0, "a<U+2028>b<U+2029>", 18},
        // A joiner between two pictographs makes one emoji and is kept.
        {"\xF0\x9F\xA7\x91\xE2\x80\x8D\xF0\x9F\x92\xBB", -1, 0,
         "\xF0\x9F\xA7\x91\xE2\x80\x8D\xF0\x9F\x92\xBB", 4},
        {"\xF0\x9F\xA7\x91\xE2\x80\x8D", -1, 0, "\xF0\x9F\xA7\x91<U+200D>", 10},
    };
    for (const Case &c : cases) {
        int cells = -1;
        EXPECT_EQ(cell(c.in, c.max, c.pad, &cells), c.out) << c.in;
        EXPECT_EQ(cells, c.cells) << c.in;
        if (c.max < 0) {
            EXPECT_EQ(text_cells(c.in.c_str()), c.cells) << c.in;
        }
    }
}

// Lines wider than the terminal are cut, colour sequences counting for
// nothing and closed after the cut.
TEST(TermCell, FitLinesToTheWidth) {
    const std::string E = "\xE2\x80\xA6";
    const std::string text = "abc\n"
                             "\x1b[1m\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\x1b[0m tail\n"
                             "\x1b[2m12345678\x1b[0m\n"
                             "123456789";
    struct Case {
        int colour, width;
        std::string out;
    } cases[] = {
        {1, 0, text},
        {1, 8,
         "abc\n\x1b[1m\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E" + E +
             "\x1b[0m\n\x1b[2m12345678\x1b[0m\n1234567" + E + "\x1b[0m"},
        {0, 3, "abc\n\x1b[1m\xE6\x97\xA5" + E + "\n\x1b[2m12" + E + "\n12" + E},
        {0, 1, E + "\n\x1b[1m" + E + "\n\x1b[2m" + E + "\n" + E},
    };
    for (const Case &c : cases) {
        Buf b;
        buf_init(&b, DOC_MAX);
        buf_puts(&b, text.c_str());
        Term t = {c.colour, c.width};
        term_fit_lines(&b, &t);
        EXPECT_EQ(std::string(b.data, (size_t)b.len), c.out) << c.width;
        buf_free(&b);
    }
}

TEST(TermCell, Ages) {
    const long long now = 1700000000;
    struct Case {
        long long ago;
        const char *text;
    } cases[] = {{0, "now"},          {59, "now"},         {60, "1m"},
                 {3599, "59m"},       {3600, "1h"},        {86399, "23h"},
                 {86400, "1d"},       {13 * 86400, "13d"}, {14 * 86400, "2w"},
                 {60 * 86400, "8w"},  {61 * 86400, "2mo"}, {364 * 86400, "12mo"},
                 {365 * 86400, "1y"}, {-500, "now"}};
    for (const Case &c : cases) {
        char out[AGE_TEXT_SIZE];
        age_text(now - c.ago, now, out);
        EXPECT_STREQ(out, c.text) << c.ago;
    }
    char none[AGE_TEXT_SIZE] = "x";
    age_text(0, now, none);
    EXPECT_STREQ(none, "");
}

std::string state(const Repo &r, long long now, int max = -1) {
    Buf b;
    buf_init(&b, DOC_MAX);
    Term plain = {0, 0};
    state_cell(&b, &plain, &r, now, max);
    std::string out = b.data ? b.data : "";
    buf_free(&b);
    return out;
}

Repo record(const char *path, const char *root) {
    Repo r;
    repo_init(&r, path, base_name(path), root);
    str_copy(r.branch, sizeof r.branch, "main");
    return r;
}

// The state cell: the step first, then the facts it does not tell.
TEST(StatusTable, StateOfARecord) {
    const long long now = 1700000000;
    struct Case {
        const char *what;
        void (*set)(Repo *);
        std::string state;
    } cases[] = {
        {"nothing", [](Repo *) {}, "Nothing to do"},
        {"changes", [](Repo *r) { r->dirty = 3; }, "Commit or stash 3 changes"},
        {"conflicts", [](Repo *r) { r->conflicted = 1, r->dirty = 1; },
         "Resolve 1 conflict; 1 changed"},
        {"stash", [](Repo *r) { r->stash = 2; }, "Apply or drop 2 stashes"},
        {"ahead and behind", [](Repo *r) { r->ahead = 1, r->behind = 2; },
         "Push 1 commit; \xE2\x86\x93"
         "2"},
        {"behind, fetched two days ago",
         [](Repo *r) { r->behind = 4, r->fetched_at = 1700000000 - 2 * 86400; },
         "Pull 4 commits; fetched 2 days ago"},
        {"rebase of a branch",
         [](Repo *r) {
             str_copy(r->operation, sizeof r->operation, "rebase");
             str_copy(r->operation_branch, sizeof r->operation_branch, "topic");
             r->conflicted = 1, r->dirty = 1;
         },
         "Resolve 1 conflict, then git rebase --continue; 1 changed"},
        {"an error hides the rest",
         [](Repo *r) {
             r->dirty = 2;
             str_copy(r->error, sizeof r->error, "fatal: bad object HEAD");
         },
         "Unreadable: fatal: bad object HEAD"},
    };
    for (const Case &c : cases) {
        Repo r = record("/src/app", "/src");
        c.set(&r);
        EXPECT_EQ(state(r, now), c.state) << c.what;
    }
    // Cut to a width: the parts that fit, the last one ending in an ellipsis.
    Repo r = record("/src/app", "/src");
    r.dirty = 12, r.stash = 3;
    EXPECT_EQ(state(r, now, 14), "Commit or sta\xE2\x80\xA6");
}

TEST(StatusTable, NamesThatRepeatShowTheirPathBelowTheRoot) {
    static Repo repos[5];
    repos[0] = record("/a/web/app", "/a");
    repos[1] = record("/a/api/app", "/a");
    repos[2] = record("/a/lib", "/a");
    repos[3] = record("/b/web/app", "/b"); // the same path below another root
    repos[4] = record("/c/app", "/c/");    // a root written with its separator
    EXPECT_STREQ(table_name(repos, 5, 0), "/a/web/app");
    EXPECT_STREQ(table_name(repos, 5, 1), "api/app");
    EXPECT_STREQ(table_name(repos, 5, 2), "lib");
    EXPECT_STREQ(table_name(repos, 5, 3), "/b/web/app");
    EXPECT_STREQ(table_name(repos, 5, 4), "app");
    EXPECT_STREQ(table_name(repos, 4, 1), "api/app");
}

// Every line fits the width, the summary included, whatever the names.
TEST(StatusTable, FitsTheWidth) {
    static Repo repos[3];
    repos[0] = record("/r/\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E\xE3\x81\xAE\xE9\x95\xB7\xE3\x81\x84"
                      "\xE5\x90\x8D\xE5\x89\x8D\xE3\x81\xAE\xE3\x83\xAA\xE3\x83\x9D\xE3\x82\xB8",
                      "/r");
    repos[0].dirty = 5, repos[0].stash = 2, repos[0].ahead = 3, repos[0].behind = 9;
    str_copy(repos[0].last_subject, sizeof repos[0].last_subject,
             "\xE3\x81\x82\xE3\x81\x84\xE3\x81\x86\xE3\x81\x88\xE3\x81\x8A very long subject text");
    repos[0].last_ct = plat_now() - 90000;
    repos[1] = record("/r/plain", "/r");
    str_copy(repos[1].branch, sizeof repos[1].branch, "feature/a-branch-name-that-goes-on-and-on");
    repos[2] = record("/r/broken", "/r");
    str_copy(repos[2].error, sizeof repos[2].error,
             "fatal: not a git repository (or any of the parent directories): .git");
    for (int width : {80, 50, 30}) {
        Buf b;
        buf_init(&b, DOC_MAX);
        Term t = {1, width};
        status_table(&b, &t, repos, 3);
        std::string out(b.data, (size_t)b.len);
        buf_free(&b);
        size_t start = 0;
        int lines = 0;
        for (size_t nl; (nl = out.find('\n', start)) != std::string::npos; start = nl + 1) {
            std::string line = out.substr(start, nl - start);
            // The columns without the colour sequences.
            std::string plain;
            for (size_t i = 0; i < line.size(); i++) {
                if (line[i] == '\x1b') {
                    while (i < line.size() && line[i] != 'm') i++;
                    continue;
                }
                plain += line[i];
            }
            EXPECT_LE(text_cells(plain.c_str()), width) << width << ": " << plain;
            lines++;
        }
        EXPECT_GE(lines, 4) << out;
        size_t first = out.find('\n'), second = out.find('\n', first + 1);
        size_t at = out.find("broken");
        EXPECT_TRUE(at < first) << "needs the user: first\n" << out;
        (void)second;
    }
}

} // namespace
