// The object reader's pure pieces: SHA-1 against the standard test vectors,
// and a commit's summary as git log's %ct and %s give it.
#include "repo/objects/objects.h"

#include <gtest/gtest.h>

#include <string>

static std::string sha1_hex(const std::string &data, size_t repeat = 1) {
    Sha1 s;
    sha1_init(&s);
    for (size_t i = 0; i < repeat; i++) sha1_update(&s, data.data(), data.size());
    unsigned char out[SHA1_LEN];
    sha1_final(&s, out);
    char hex[SHA1_HEX_LEN + 1];
    sha1_to_hex(out, hex);
    return hex;
}

TEST(Sha1, StandardVectors) {
    EXPECT_EQ(sha1_hex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(sha1_hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(sha1_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
    EXPECT_EQ(sha1_hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmn"
                       "hijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
              "a49b2446a02c645bf419f995b67091253a04a259");
    EXPECT_EQ(sha1_hex("a", 1000000), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    // An empty blob's git name: the header is hashed with the content.
    EXPECT_EQ(sha1_hex(std::string("blob 0\0", 7)), "e69de29bb2d1d6434b8b29ae775ad8c2e48c5391");
}

TEST(Sha1, HexForms) {
    unsigned char b[SHA1_LEN];
    EXPECT_TRUE(sha1_from_hex("A9993E364706816ABA3E25717850C26C9CD0D89D", b));
    char hex[SHA1_HEX_LEN + 1];
    sha1_to_hex(b, hex);
    EXPECT_STREQ(hex, "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_FALSE(sha1_from_hex("a9993e364706816aba3e25717850c26c9cd0d89", b));   // 39
    EXPECT_FALSE(sha1_from_hex("a9993e364706816aba3e25717850c26c9cd0d89d0", b)); // 41
    EXPECT_FALSE(sha1_from_hex("g9993e364706816aba3e25717850c26c9cd0d89d", b));
    EXPECT_FALSE(sha1_from_hex("", b));
}

TEST(CommitSummary, SubjectTimeAndRefusals) {
    const std::string head = "tree 4b825dc642cb6eb9a060e54bf8d69288fbee4904\n"
                             "author A U Thor <a@example.com> 1600000000 +0000\n";
    const std::string who = "committer C O Mitter <c@example.com> ";
    struct Case {
        std::string content;
        int ok;
        long long ct;
        std::string subject;
    } cases[] = {
        {head + who + "1700000000 +0100\n\nSubject\n\nBody\n", 1, 1700000000, "Subject"},
        {head + who + "0001700000000 -0130\n\nx\n", 1, 1700000000, "x"},
        // The first paragraph's lines joined by one space, trailing blanks
        // of each line dropped; blank lines before it passed.
        {head + who + "5 +0000\n\n\n  \nline one  \nline\ttwo\r\n\nbody", 1, 5,
         "line one line\ttwo"},
        {head + who + "5 +0000\n\n", 1, 5, ""},
        {head + who + "5 +0000\n", 1, 5, ""},
        {head + who + "5 +0000\nencoding UTF-8\n\nutf\n", 1, 5, "utf"},
        {head + who + "5 +0000\nencoding utf8\n\nutf\n", 1, 5, "utf"},
        {head + who + "5 +0000\ngpgsig -----BEGIN-----\n x\n -----END-----\n\nsigned\n", 1, 5,
         "signed"},
        // Leading blanks trimmed as the record trims git's line.
        {head + who + "5 +0000\n\n   indented\n", 1, 5, "indented"},
        // Forms git shows otherwise, or that are not understood.
        {head + who + "5 +0000\nencoding ISO-8859-1\n\ncaf\xe9\n", 0, 0, ""},
        {head + "\nno committer\n", 0, 0, ""},
        {head + who + "5 +0000\n" + who + "6 +0000\n\ntwo\n", 0, 0, ""},
        {head + "committer C <c> <d> 5 +0000\n\nx\n", 0, 0, ""},
        {head + "committer C <c> x5 +0000\n\nx\n", 0, 0, ""},
        {head + "committer C <c> 5\n\nx\n", 0, 0, ""},
        {head + who + "5 +0000\n\n" + std::string("zero\0byte", 9), 0, 0, ""},
    };
    for (const Case &c : cases) {
        CommitSummary s{};
        int ok =
            commit_summary_parse((const unsigned char *)c.content.data(), c.content.size(), &s);
        EXPECT_EQ(ok, c.ok) << c.content;
        if (!ok || !c.ok) continue;
        EXPECT_EQ(s.ct, c.ct) << c.content;
        EXPECT_EQ(s.subject, c.subject) << c.content;
    }
}

TEST(CommitSummary, LongSubjectCutAsTheRecordCutsIt) {
    std::string content = "tree t\ncommitter C <c> 5 +0000\n\n" + std::string(400, 's') + "\n";
    CommitSummary s{};
    ASSERT_EQ(commit_summary_parse((const unsigned char *)content.data(), content.size(), &s), 1);
    EXPECT_EQ(std::string(s.subject), std::string(SUBJECT_SIZE - 1, 's'));
}
