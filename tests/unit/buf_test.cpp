// The growable text buffer, the JSON string encoder, the trim and the line reader.
#include "text/buf.h"
#include "text/text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string text_of(const Buf &b) {
    return b.data ? std::string(b.data, (size_t)b.len) : std::string();
}

// The invariants every Buf with a block keeps.
void expect_sound(const Buf &b) {
    ASSERT_NE(b.data, nullptr);
    EXPECT_LE(b.len + 1, b.cap);
    EXPECT_EQ(b.data[b.len], 0);
    unsigned long long c = b.cap;
    EXPECT_EQ(c % BUF_INITIAL, 0u) << c;
    c /= BUF_INITIAL;
    EXPECT_EQ(c & (c - 1), 0u) << "cap " << b.cap << " is not 4096 times a power of two";
}

std::string json_of(const char *s) {
    Buf b;
    buf_init(&b, DOC_MAX);
    json_str(&b, s);
    std::string out = text_of(b);
    buf_free(&b);
    return out;
}

// ---- json_str ---------------------------------------------------------------

struct JsonCase {
    const char *in;
    const char *out;
};

const JsonCase JSON_CASES[] = {
    {nullptr, "\"\""},
    {"", "\"\""},
    {"plain text", "\"plain text\""},
    {"a\"b\\c/d", "\"a\\\"b\\\\c/d\""},
    {"\n\r\t", "\"\\n\\r\\t\""},
    {"\x01", "\"\\u0001\""},
    {"\x1f", "\"\\u001f\""},
    {"\b", "\"\\u0008\""},
    {"\f", "\"\\u000c\""},
    {"\x1b[0m", "\"\\u001b[0m\""},
    {"\x0b", "\"\\u000b\""},
    {"\x7f", "\"\x7f\""},
    {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
    {"\x80\xfe\xff", "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\""},
    {"C:\\src\\app", "\"C:\\\\src\\\\app\""},
    {"</script>", "\"</script>\""},
    {"\"\"", "\"\\\"\\\"\""},
};

TEST(JsonStr, EscapeTable) {
    for (const JsonCase &c : JSON_CASES) {
        SCOPED_TRACE(c.in ? c.in : "(null)");
        EXPECT_EQ(json_of(c.in), c.out);
    }
}

TEST(JsonStr, EveryByteValue) {
    // Bytes 0x01-0x1F escaped (three short forms, the rest \u00xx lower
    // case), '"' and '\\' escaped, a lone byte 0x80-0xFF (no UTF-8 on its
    // own) replaced by U+FFFD, everything else copied.
    for (int v = 1; v < 256; v++) {
        char in[2] = {(char)v, 0};
        std::string want;
        if (v == '\n')
            want = "\\n";
        else if (v == '\r')
            want = "\\r";
        else if (v == '\t')
            want = "\\t";
        else if (v < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u00%c%c", "01"[v >> 4], "0123456789abcdef"[v & 15]);
            want = esc;
        } else if (v == '"' || v == '\\')
            want = std::string("\\") + (char)v;
        else if (v >= 0x80)
            want = "\xef\xbf\xbd";
        else
            want = in;
        ASSERT_EQ(json_of(in), "\"" + want + "\"") << "byte " << v;
    }
}

// The literal is always valid UTF-8: well-formed sequences pass whole, and
// each longest ill-formed start becomes one U+FFFD.
TEST(JsonStr, InvalidUtf8BecomesReplacementCharacters) {
#define R "\xef\xbf\xbd"
    const JsonCase cases[] = {
        {"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\""},
        {"\xef\xbf\xbf \xf4\x8f\xbf\xbf", "\"\xef\xbf\xbf \xf4\x8f\xbf\xbf\""}, // U+FFFF, U+10FFFF
        {"\xff", "\"" R "\""},
        {"caf\xe9", "\"caf" R "\""},             // Latin-1
        {"\xc0\x80", "\"" R R "\""},             // overlong NUL
        {"\xe0\x80\x80", "\"" R R R "\""},       // overlong
        {"\xed\xa0\x80", "\"" R R R "\""},       // surrogate
        {"\xf4\x90\x80\x80", "\"" R R R R "\""}, // above U+10FFFF
        {"\xe2\x82", "\"" R "\""},               // cut short at the end
        {"\xe2\x82x", "\"" R "x\""},             // cut short before a byte
        {"\xf0\x9f\x98\"", "\"" R "\\\"\""},     // cut short before a quote
        {"a\x80\x80"
         "b",
         "\"a" R R "b\""}, // stray continuation bytes
        {"\xc3\xa9\xc3", "\"\xc3\xa9" R "\""},
    };
#undef R
    for (const JsonCase &c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(json_of(c.in), c.out);
    }
    // A count of bytes: a zero byte among them is escaped, a cut sequence
    // at the end replaced.
    Buf b;
    buf_init(&b, DOC_MAX);
    json_strn(&b, "a\0b\xc3\xa9", 4);
    EXPECT_EQ(text_of(b), "\"a\\u0000b"
                          "\xef\xbf\xbd"
                          "\"");
    buf_free(&b);
}

TEST(JsonUrlParam, EveryByteButTheUnreservedIsEncoded) {
    const JsonCase cases[] = {
        {nullptr, "\"\""},
        {"/home/me/app-1_x.y~z", "\"/home/me/app-1_x.y~z\""},
        {"/a b/\xff\xc3\xa9", "\"/a%20b/%FF%C3%A9\""},
        {"C:\\src\\a&b=c%d+e?f#g\"h", "\"C%3A%5Csrc%5Ca%26b%3Dc%25d%2Be%3Ff%23g%22h\""},
        {"\x01\x7f", "\"%01%7F\""},
    };
    for (const JsonCase &c : cases) {
        SCOPED_TRACE(c.in ? c.in : "(null)");
        Buf b;
        buf_init(&b, DOC_MAX);
        json_url_param(&b, c.in);
        EXPECT_EQ(text_of(b), c.out);
        buf_free(&b);
    }
}

TEST(JsonStr, AppendsAfterExistingText) {
    Buf b;
    buf_init(&b, DOC_MAX);
    buf_puts(&b, "{\"k\":");
    json_str(&b, "v\n");
    buf_puts(&b, "}");
    EXPECT_EQ(text_of(b), "{\"k\":\"v\\n\"}");
    expect_sound(b);
    buf_free(&b);
}

// ---- Buf --------------------------------------------------------------------

struct GrowthCase {
    std::vector<size_t> appends; // sizes appended in turn
    unsigned long long cap;      // capacity afterwards
};

const GrowthCase GROWTH_CASES[] = {
    {{}, 4096},
    {{0}, 4096},
    {{4095}, 4096},        // text + terminator fill the first block exactly
    {{4096}, 8192},        // one more byte needs the next size
    {{4095, 1}, 8192},     // and in two appends
    {{4000, 5000}, 16384}, // two doublings in one resize
    {{8191}, 8192},
    {{8192}, 16384},
    {{100000}, 131072},
    {{1, 2, 3, 4090, 8000, 20000}, 32768},
};

TEST(Buf, GrowthTable) {
    for (const GrowthCase &c : GROWTH_CASES) {
        std::string trace = "appends";
        for (size_t n : c.appends) trace += " " + std::to_string(n);
        SCOPED_TRACE(trace);
        Buf b;
        buf_init(&b, DOC_MAX);
        std::string mirror;
        char fill = 'a';
        for (size_t n : c.appends) {
            std::string piece(n, fill++);
            buf_add(&b, piece.data(), n);
            mirror += piece;
            expect_sound(b);
        }
        EXPECT_EQ(b.cap, c.cap);
        EXPECT_EQ(b.len, mirror.size());
        EXPECT_EQ(text_of(b), mirror);
        buf_free(&b);
    }
}

TEST(Buf, ManyAppendsKeepTheInvariants) {
    Buf b;
    buf_init(&b, DOC_MAX);
    std::string mirror;
    unsigned seed = 12345;
    for (int i = 0; i < 400; i++) {
        seed = seed * 1103515245u + 12345u;
        size_t n = (seed >> 8) % 3000;
        std::string piece(n, (char)('A' + i % 26));
        if (i % 3 == 0)
            buf_puts(&b, piece.c_str());
        else
            buf_add(&b, piece.data(), n);
        mirror += piece;
        expect_sound(b);
        ASSERT_EQ(b.len, mirror.size());
    }
    EXPECT_EQ(text_of(b), mirror);
    buf_free(&b);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.len, 0u);
    EXPECT_EQ(b.cap, 0u);
}

TEST(Buf, InertBufferIgnoresAppends) {
    // A buffer whose block could not be obtained, and one already released.
    Buf never = {nullptr, 0, 0, 0, 1};
    Buf released;
    buf_init(&released, DOC_MAX);
    buf_puts(&released, "gone");
    buf_free(&released);
    for (Buf *b : {&never, &released}) {
        buf_add(b, "abc", 3);
        buf_puts(b, "abc");
        buf_printf(b, "%d %s", 42, std::string(5000, 'x').c_str());
        json_str(b, "abc");
        EXPECT_EQ(b->data, nullptr);
        EXPECT_EQ(b->len, 0u);
        EXPECT_EQ(b->cap, 0u);
    }
}

// A Buf never grows past the ceiling it was created with: the append that
// would pass it fails the whole Buf (released, every later append refused),
// so a text cut short can never be taken for a whole one.
TEST(Buf, CeilingFailsTheBufferLoudly) {
    struct Case {
        unsigned long long max;
        std::vector<size_t> appends; // the last one is the first to fail, or none fails
        bool fails;
        unsigned long long cap; // capacity afterwards when it holds
    };
    const Case CASES[] = {
        {4096, {4095}, false, 4096},   // text and terminator fill it exactly
        {4096, {4096}, true, 0},       // one byte over
        {4096, {4000, 96}, true, 0},   // over in a later append
        {10000, {9999}, false, 10000}, // a ceiling between two doublings
        {10000, {8192, 1807}, false, 10000},
        {10000, {8192, 1808}, true, 0},
        {100, {50}, false, 100}, // smaller than the first block
        {100, {100}, true, 0},
    };
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.max);
        Buf b;
        ASSERT_EQ(buf_init(&b, c.max), 1);
        int last = 1;
        for (size_t n : c.appends) last = buf_add(&b, std::string(n, 'x').data(), n);
        EXPECT_EQ(last, c.fails ? 0 : 1);
        EXPECT_EQ(buf_ok(&b), c.fails ? 0 : 1);
        if (c.fails) {
            EXPECT_EQ(b.data, nullptr);
            EXPECT_EQ(b.failed, 1);
            EXPECT_EQ(buf_puts(&b, "more"), 0);
            EXPECT_EQ(b.data, nullptr);
        } else {
            EXPECT_EQ(b.cap, c.cap);
            EXPECT_LE(b.len + 1, b.cap);
            EXPECT_EQ(b.data[b.len], 0);
        }
        buf_free(&b);
    }
}

TEST(Buf, PrintfAndJsonPastTheCeilingFail) {
    Buf b;
    buf_init(&b, 5000);
    EXPECT_EQ(buf_printf(&b, "%s", std::string(4000, 'p').c_str()), 1);
    EXPECT_EQ(buf_printf(&b, "%s", std::string(3000, 'q').c_str()), 0);
    EXPECT_FALSE(buf_ok(&b));
    buf_free(&b);
    buf_init(&b, 5000);
    json_str(&b, std::string(4990, '\n').c_str()); // each byte becomes two
    EXPECT_FALSE(buf_ok(&b));
    buf_free(&b);
}

TEST(Buf, PutsOfNullAppendsNothing) {
    Buf b;
    buf_init(&b, DOC_MAX);
    buf_puts(&b, "x");
    buf_puts(&b, nullptr);
    buf_puts(&b, "");
    EXPECT_EQ(text_of(b), "x");
    buf_free(&b);
}

TEST(Buf, PrintfLengths) {
    // 2047 bytes fit the local array, 2048 need the second pass; both are
    // appended whole, after what the buffer already holds.
    for (size_t n : {0ul, 1ul, 2046ul, 2047ul, 2048ul, 2049ul, 5000ul, 300000ul}) {
        SCOPED_TRACE(n);
        std::string arg(n, 'q');
        Buf b;
        buf_init(&b, DOC_MAX);
        buf_puts(&b, "head:");
        buf_printf(&b, "%s", arg.c_str());
        EXPECT_EQ(text_of(b), "head:" + arg);
        expect_sound(b);
        buf_free(&b);
    }
}

TEST(Buf, PrintfFormats) {
    Buf b;
    buf_init(&b, DOC_MAX);
    std::string big(3000, 'z');
    buf_printf(&b, "%d|%lld|%s|%s", -7, 9007199254740993LL, "x", big.c_str());
    EXPECT_EQ(text_of(b), "-7|9007199254740993|x|" + big);
    buf_free(&b);

    // Output of exactly 2047 and 2048 bytes built from several conversions.
    for (int total : {2047, 2048}) {
        buf_init(&b, DOC_MAX);
        std::string pad((size_t)total - 6, 'p');
        buf_printf(&b, "%d%s%d", 123, pad.c_str(), 456);
        EXPECT_EQ(text_of(b), "123" + pad + "456");
        EXPECT_EQ(b.len, (unsigned long long)total);
        buf_free(&b);
    }
}

TEST(JsonBool, Words) {
    EXPECT_STREQ(json_bool(0), "false");
    EXPECT_STREQ(json_bool(1), "true");
    EXPECT_STREQ(json_bool(-3), "true");
}

// ---- str_trim ---------------------------------------------------------------

struct TrimCase {
    const char *in;
    const char *out;
};

const TrimCase TRIM_CASES[] = {
    {"", ""},
    {"abc", "abc"},
    {"  a b \r\n", "a b"},
    {"\t", ""},
    {" \t\r\n ", ""},
    {"a\xa0", "a\xa0"},
    {"\xa0 a", "\xa0 a"},
    {"\x01x\x1f", "x"},
    {"\x7f", "\x7f"},
    {" \x80 ", "\x80"},
    {"\x1b[1mbold\x1b[0m", "[1mbold\x1b[0m"},
    {"a  \t  b", "a  \t  b"},
    {"\n\nx\n\n", "x"},
};

TEST(StrTrim, Table) {
    for (const TrimCase &c : TRIM_CASES) {
        SCOPED_TRACE(c.in);
        std::vector<char> s(c.in, c.in + strlen(c.in) + 1);
        str_trim(s.data());
        EXPECT_STREQ(s.data(), c.out);
    }
    str_trim(nullptr); // a null text is left alone
}

// ---- text_next_line ---------------------------------------------------------

struct LineCase {
    const char *text;
    size_t size;
    int drop_rest;
    std::vector<std::string> lines;
};

const LineCase LINE_CASES[] = {
    {"", 16, 0, {}},
    {"a\nb\n", 16, 0, {"a", "b"}},
    {"a\nb", 16, 0, {"a", "b"}},
    {"a\n\nb", 16, 0, {"a", "", "b"}},
    {"\n", 16, 0, {""}},
    {"a\r\nb\r\n", 16, 0, {"a\r", "b\r"}},
    // A longer line: its rest is a line of its own...
    {"abcdef\nxy", 4, 0, {"abc", "def", "xy"}},
    {"abcdefg\n", 4, 0, {"abc", "def", "g"}},
    {"abcdefg", 4, 0, {"abc", "def", "g"}},
    // ...or skipped up to its line feed.
    {"abcdef\nxy", 4, 1, {"abc", "xy"}},
    {"abcdefghij\n\nxy\n", 4, 1, {"abc", "", "xy"}},
    // A last line without a line feed is read on in pieces in both modes.
    {"ab\nabcdefg", 4, 1, {"ab", "abc", "def", "g"}},
    // A line of exactly size - 1 bytes gives no empty extra line.
    {"abc\nx", 4, 0, {"abc", "x"}},
    {"abc\nx", 4, 1, {"abc", "x"}},
    {"abc", 4, 1, {"abc"}},
    {"abc\n", 4, 0, {"abc"}},
};

TEST(TextNextLine, Table) {
    for (const LineCase &c : LINE_CASES) {
        SCOPED_TRACE(std::string("text '") + c.text + "' size " + std::to_string(c.size) +
                     " drop " + std::to_string(c.drop_rest));
        std::vector<char> line(c.size + 8, 'Z');
        std::vector<std::string> got;
        const char *p = c.text;
        while (got.size() < 20 && text_next_line(&p, line.data(), c.size, c.drop_rest)) {
            got.push_back(line.data());
            for (size_t i = c.size; i < line.size(); i++) ASSERT_EQ(line[i], 'Z');
        }
        EXPECT_EQ(got, c.lines);
        EXPECT_EQ(*p, 0) << "not at the end of the text";
    }
}

} // namespace
