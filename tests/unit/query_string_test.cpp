// get_query_val: finding one parameter in the raw query string and decoding it.
#include "cgi/query_string.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct QueryCase {
    const char *query;
    const char *key;
    size_t size;
    int found;
    std::string value; // what the caller sees up to the first zero
};

const QueryCase QUERY_CASES[] = {
    // Which parameter is found.
    {"action=repos&action=repo", "action", 64, 1, "repos"},
    {"action=repos", "action", 64, 1, "repos"},
    {"xaction=repo", "action", 64, 0, ""},
    {"action", "action", 64, 0, ""},
    {"action&x=1", "action", 64, 0, ""},
    {"actions=1&action=2", "action", 64, 1, "2"},
    {"act=1", "action", 64, 0, ""},
    {"x=action=repo", "action", 64, 0, ""},
    {"x=1&y=action=repo", "action", 64, 0, ""},
    {"&path=a", "path", 1024, 1, "a"},
    {"a=1&&path=a", "path", 1024, 1, "a"},
    {"a%63tion=repo", "action", 64, 0, ""},
    {"a+b=1", "a b", 64, 0, ""},
    {"a+b=1", "a+b", 64, 1, "1"},
    {"Action=repo", "action", 64, 0, ""},
    {"", "action", 64, 0, ""},
    {"&&&", "action", 64, 0, ""},
    // Empty values are found.
    {"path=", "path", 1024, 1, ""},
    {"path=&x=1", "path", 1024, 1, ""},
    {"x=1&path=", "path", 1024, 1, ""},
    // Decoding.
    {"path=C%3a%5CWork%5crepo", "path", 1024, 1, "C:\\Work\\repo"},
    {"path=%2F%2f", "path", 1024, 1, "//"},
    {"path=a+b%2Bc", "path", 1024, 1, "a b+c"},
    {"path=++", "path", 1024, 1, "  "},
    {"path=100%", "path", 1024, 1, "100%"},
    {"path=%", "path", 1024, 1, "%"},
    {"path=%G1x", "path", 1024, 1, "%G1x"},
    {"path=%1G", "path", 1024, 1, "%1G"},
    {"path=%4", "path", 1024, 1, "%4"},
    {"path=%%41", "path", 1024, 1, "%A"},
    {"path=%4%41", "path", 1024, 1, "%4A"},
    {"path=%2541", "path", 1024, 1, "%41"}, // decoded once only
    {"path=%e9t%C3%A9", "path", 1024, 1, "\xe9t\xc3\xa9"},
    {"path=\xff\x80z", "path", 1024, 1, "\xff\x80z"},
    {"path=a%00b", "path", 1024, 1, "a"},
    {"path=%00", "path", 1024, 1, ""},
    {"path=a=b", "path", 1024, 1, "a=b"},
    {"path=a%26b&c", "path", 1024, 1, "a&b"},
    // The cut at size - 1 raw bytes comes before decoding.
    {"path=%41%42%43", "path", 10, 1, "ABC"},
    {"path=%41%42%43", "path", 7, 1, "AB"},
    {"path=%41%42%43", "path", 6, 1, "A%4"},
    {"path=%41%42%43", "path", 5, 1, "A%"},
    {"path=%41%42%43", "path", 4, 1, "A"},
    {"path=abc", "path", 2, 1, "a"},
    {"path=a+b", "path", 3, 1, "a "},
};

TEST(GetQueryVal, Table) {
    for (const QueryCase &c : QUERY_CASES) {
        SCOPED_TRACE(std::string("query '") + c.query + "' key '" + c.key + "' size " +
                     std::to_string(c.size));
        // The buffer sits inside a larger block whose tail must stay untouched.
        std::vector<char> block(c.size + 64, 'Z');
        int found = get_query_val(c.query, c.key, block.data(), c.size);
        EXPECT_EQ(found, c.found);
        EXPECT_NE(memchr(block.data(), 0, c.size), nullptr) << "not terminated inside size";
        EXPECT_EQ(std::string(block.data()), c.value);
        for (size_t i = c.size; i < block.size(); i++) ASSERT_EQ(block[i], 'Z') << "byte " << i;
    }
}

TEST(GetQueryVal, NullQueryLeavesDestinationAlone) {
    char dst[16] = "untouched";
    EXPECT_EQ(get_query_val(nullptr, "path", dst, sizeof dst), 0);
    EXPECT_STREQ(dst, "untouched");

    // A query without the parameter empties it.
    EXPECT_EQ(get_query_val("x=1", "path", dst, sizeof dst), 0);
    EXPECT_STREQ(dst, "");
}

TEST(GetQueryVal, LongValuesAreCutAtTheBuffer) {
    // A 2000-byte path keeps its first 1023 raw bytes.
    std::string value;
    for (int i = 0; i < 2000; i++) value += (char)('a' + i % 26);
    std::string query = "path=" + value + "&action=repo";
    std::vector<char> dst(1024 + 16, 'Z');
    EXPECT_EQ(get_query_val(query.c_str(), "path", dst.data(), 1024), 1);
    EXPECT_EQ(std::string(dst.data()), value.substr(0, 1023));
    EXPECT_EQ(dst[1024], 'Z');

    // An escaped value is cut in raw bytes: 1023 raw bytes of "%41" are 341
    // escapes, which decode to 341 bytes.
    std::string escaped;
    for (int i = 0; i < 700; i++) escaped += "%41";
    query = "path=" + escaped;
    EXPECT_EQ(get_query_val(query.c_str(), "path", dst.data(), 1024), 1);
    EXPECT_EQ(std::string(dst.data()), std::string(341, 'A'));
}

TEST(GetQueryVal, HundredKilobyteQuery) {
    // 100 KB of other parameters before the wanted one, and a 100 KB value.
    std::string query;
    while (query.size() < 100 * 1024) query += "pathx=filler%20text&";
    query += "path=%2Fsrv%2Frepo&action=";
    query += std::string(100 * 1024, 'r');
    char dst[1024];
    EXPECT_EQ(get_query_val(query.c_str(), "path", dst, sizeof dst), 1);
    EXPECT_STREQ(dst, "/srv/repo");
    EXPECT_EQ(get_query_val(query.c_str(), "action", dst, 64), 1);
    EXPECT_EQ(std::string(dst), std::string(63, 'r'));
    EXPECT_EQ(get_query_val(query.c_str(), "pwd", dst, sizeof dst), 0);
    EXPECT_STREQ(dst, "");
}

TEST(GetQueryVal, EveryByteValueDecodes) {
    // Each escape %00..%FF in both letter cases gives its byte (zero ends the text).
    const char *hex = "0123456789abcdef";
    for (int v = 1; v < 256; v++) {
        for (int upper = 0; upper < 2; upper++) {
            char query[16];
            char hi = hex[v >> 4], lo = hex[v & 15];
            if (upper) hi = (char)toupper(hi), lo = (char)toupper(lo);
            snprintf(query, sizeof query, "v=%%%c%c", hi, lo);
            char dst[4];
            ASSERT_EQ(get_query_val(query, "v", dst, sizeof dst), 1) << query;
            ASSERT_EQ((unsigned char)dst[0], v) << query;
            ASSERT_EQ(dst[1], 0) << query;
        }
    }
}

} // namespace

// The address as the bot links to the page: '?' separates parameters too.
TEST(GetAddressVal, QuestionMarkSeparatesToo) {
    struct Case {
        const char *query;
        int found;
        const char *value;
    } CASES[] = {
        {"plugin=quarlo?pwd=a%2Bb", 1, "a+b"},
        {"plugin=quarlo?theme=dark?pwd=x&node=n", 1, "x"},
        {"pwd=x?embed=1", 1, "x"},
        {"plugin=quarlo&pwd=y", 1, "y"},
        {"plugin=quarlo?xpwd=y", 0, ""},
        {"plugin=quarlo", 0, ""},
    };
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.query);
        char out[64] = "untouched";
        EXPECT_EQ(get_address_val(c.query, "pwd", out, sizeof out), c.found);
        EXPECT_STREQ(out, c.value);
    }
}
