// The small shared helpers every reader of texts and paths uses: hex digits,
// percent-decoding and joining a folder and a name.
#include "platform/platform.h"
#include "text/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(HexDigit, ValueOfEveryByte) {
    for (int b = 0; b < 256; b++) {
        char c = static_cast<char>(b);
        int want = b >= '0' && b <= '9'   ? b - '0'
                   : b >= 'a' && b <= 'f' ? b - 'a' + 10
                   : b >= 'A' && b <= 'F' ? b - 'A' + 10
                                          : -1;
        EXPECT_EQ(hex_digit_value(c), want) << "byte " << b;
    }
}

struct DecodeCase {
    std::string raw;
    int plus_as_space;
    std::string decoded;
};

const DecodeCase DECODE_CASES[] = {
    {"", 1, ""},
    {"plain", 1, "plain"},
    {"%41%62c", 1, "Abc"},
    {"%4a%4A", 0, "JJ"},
    {"a+b", 1, "a b"},
    {"a+b", 0, "a+b"},
    {"%2B", 1, "+"},         // an escaped '+' stays a plus
    {"%25", 1, "%"},         // decoded once, never again
    {"%2541", 1, "%41"},     // what an escape gives is not read again
    {"%", 1, "%"},           // a '%' without digits stays
    {"%4", 1, "%4"},         // one digit is not an escape
    {"%4g%G4", 1, "%4g%G4"}, // nor a digit and another byte
    {"50%", 1, "50%"},       // at the end
    {"%%41", 1, "%A"},       // the first '%' stays, the escape after it decodes
    {"%00x", 1, std::string("\0x", 2)},
    {"%ff%80", 0, "\xff\x80"}, // any byte value
    {"%C3%A9", 1, "\xc3\xa9"},
};

TEST(PercentDecode, Table) {
    for (const DecodeCase &c : DECODE_CASES) {
        std::string out(c.raw.size(), '?');
        size_t n = percent_decode(c.raw.data(), c.raw.size(), &out[0], c.plus_as_space);
        EXPECT_EQ(out.substr(0, n), c.decoded) << c.raw;

        // In place, as the query-string reader decodes.
        std::string inplace = c.raw;
        n = percent_decode(inplace.data(), inplace.size(), &inplace[0], c.plus_as_space);
        EXPECT_EQ(inplace.substr(0, n), c.decoded) << c.raw << " in place";
    }
}

TEST(PercentDecode, EscapeMustLieWithinTheGivenBytes) {
    // The digits after the end of the counted bytes are never read: a value
    // cut before its escape ends keeps the '%' as it is.
    const char *raw = "ab%41";
    std::string out(8, '?');
    size_t n = percent_decode(raw, 4, &out[0], 1);
    EXPECT_EQ(out.substr(0, n), "ab%4");
    n = percent_decode(raw, 5, &out[0], 1);
    EXPECT_EQ(out.substr(0, n), "abA");
}

struct JoinCase {
    const char *dir;
    const char *name;
    size_t size;
    int ok;
    std::string joined; // '/' stands for the platform's separator
};

const JoinCase JOIN_CASES[] = {
    {"/srv/code", "repo", 64, 1, "/srv/code/repo"},
    {"/srv/code/", "repo", 64, 1, "/srv/code/repo"}, // no doubled separator
    {"/", ".git", 64, 1, "/.git"},
    {"", "name", 64, 1, "name"}, // nothing to separate
    {"dir", "", 64, 1, "dir/"},
    {"dir", "a/b", 64, 1, "dir/a/b"},
    // The size holds the terminator: 5 bytes of text need 6.
    {"ab", "cd", 6, 1, "ab/cd"},
    {"ab", "cd", 5, 0, ""},
    {"ab/", "cd", 6, 1, "ab/cd"},
    {"ab/", "cd", 5, 0, ""},
    {"ab", "cd", 1, 0, ""},
};

std::string native(std::string s) {
    for (char &c : s)
        if (c == '/') c = PATH_SEP;
    return s;
}

TEST(PathJoin, Table) {
    for (const JoinCase &c : JOIN_CASES) {
        std::string dir = native(c.dir), name = native(c.name);
        char out[64];
        memset(out, 'x', sizeof out);
        EXPECT_EQ(plat_path_join(out, c.size, dir.c_str(), name.c_str()), c.ok)
            << c.dir << " + " << c.name << " in " << c.size;
        EXPECT_EQ(std::string(out), native(c.joined)) << c.dir << " + " << c.name;
    }
}

#if defined(_WIN32)
TEST(PathJoin, EitherSeparatorEndsAFolderOnWindows) {
    char out[32];
    ASSERT_TRUE(plat_path_join(out, sizeof out, "C:/x/", "y"));
    EXPECT_STREQ(out, "C:/x/y");
    ASSERT_TRUE(plat_path_join(out, sizeof out, "C:\\", "y"));
    EXPECT_STREQ(out, "C:\\y");
}
#else
TEST(PathJoin, BackslashIsPartOfANameOnLinux) {
    char out[32];
    ASSERT_TRUE(plat_path_join(out, sizeof out, "a\\", "b"));
    EXPECT_STREQ(out, "a\\/b");
}
#endif

} // namespace
