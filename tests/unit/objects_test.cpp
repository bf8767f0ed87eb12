// The object reader's pure pieces: SHA-1 against the standard test vectors,
// and a commit's summary as git log's %ct and %s give it.
#include "git/objects/objects.h"
#include "text/text.h"

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
        // git shows no time where the zone's sign has no digits.
        {head + "committer C <c> 1700000000 +\n\nx\n", 0, 0, ""},
        {head + "committer C <c> 1700000000 -\n\nx\n", 0, 0, ""},
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
    // Never inside a character: 150 two-byte characters keep 149 of them.
    std::string e;
    for (int i = 0; i < 150; i++) e += "\xc3\xa9";
    content = "tree t\ncommitter C <c> 5 +0000\n\n" + e + "\n";
    ASSERT_EQ(commit_summary_parse((const unsigned char *)content.data(), content.size(), &s), 1);
    EXPECT_EQ(std::string(s.subject), e.substr(0, 298));
}

#if !defined(_WIN32)
#include "files.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

std::string run_sh(const std::string &cmd) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[512];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void spill(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// A repository whose commits are all packed, deltas among them, and the
// name and summary of one packed as a delta.
struct PackedRepo {
    testfs::TempDir tmp;
    std::string git, head, idx, pack;
    CommitSummary want{};

    PackedRepo() {
        git = tmp.sub("r/.git");
        std::string q = "cd '" + tmp.path() + "' && git init -q r && cd r && ";
        const char *env = "GIT_AUTHOR_NAME=a GIT_AUTHOR_EMAIL=a@x GIT_COMMITTER_NAME=c "
                          "GIT_COMMITTER_EMAIL=c@x GIT_CONFIG_NOSYSTEM=1 HOME=/nonexistent ";
        run_sh(q + "for i in 1 2 3 4 5 6 7 8 9 10; do " + env +
               "GIT_COMMITTER_DATE=\"$((1700000000 + i)) +0000\" git commit -q --allow-empty -m "
               "\"a long and similar subject line number $i\"; done && git repack -q -adf "
               "--depth=50 --window=250 && git checkout -q --detach HEAD~4");
        head = run_sh("git -C '" + git + "' rev-parse HEAD");
        idx = run_sh("ls '" + git + "'/objects/pack/*.idx");
        pack = idx.substr(0, idx.size() - 4) + ".pack";
        str_copy(want.hash, sizeof want.hash, head.c_str());
        want.ct = std::stoll(run_sh("git -C '" + git + "' log -1 --format=%ct"));
        str_copy(want.subject, sizeof want.subject,
                 run_sh("git -C '" + git + "' log -1 --format=%s").c_str());
    }
};

void expect_refused_or_right(const PackedRepo &r, const char *what) {
    CommitSummary got{};
    if (!objects_read_commit(r.git.c_str(), r.head.c_str(), &got)) return;
    EXPECT_STREQ(got.hash, r.want.hash) << what;
    EXPECT_EQ(got.ct, r.want.ct) << what;
    EXPECT_STREQ(got.subject, r.want.subject) << what;
}

} // namespace

TEST(ObjectStore, ReadsAPackedDeltaAndRefusesWhatItDoesNotHold) {
    PackedRepo r;
    ASSERT_EQ(r.head.size(), 40u);
    CommitSummary got{};
    ASSERT_EQ(objects_read_commit(r.git.c_str(), r.head.c_str(), &got), 1);
    EXPECT_STREQ(got.hash, r.want.hash);
    EXPECT_EQ(got.ct, r.want.ct);
    EXPECT_STREQ(got.subject, r.want.subject);
    // A name the store does not hold, a sha256 name, a folder that is none.
    EXPECT_EQ(objects_read_commit(r.git.c_str(), "0123456789012345678901234567890123456789", &got),
              0);
    EXPECT_EQ(objects_read_commit(r.git.c_str(), std::string(64, 'a').c_str(), &got), 0);
    EXPECT_EQ(objects_read_commit(r.tmp.sub("none").c_str(), r.head.c_str(), &got), 0);
    // A tree is no commit, even read whole and verified.
    std::string tree = run_sh("git -C '" + r.git + "' rev-parse HEAD^{tree}");
    EXPECT_EQ(objects_read_commit(r.git.c_str(), tree.c_str(), &got), 0);
}

// An index whose offsets all stand in its table of 64-bit offsets: git puts
// an object there once its offset passes the limit given to index-pack (2^31
// by default, so only a pack of over 2 GiB has one otherwise); a limit of 0
// puts every object there. The commit is read through that table.
TEST(ObjectStore, ReadsThroughTheIndexsLargeOffsets) {
    PackedRepo r;
    const std::string small = slurp(r.idx);
    ASSERT_EQ(run_sh("cd '" + r.tmp.path() +
                     "' && git index-pack --index-version=2,0 -o large.idx '" + r.pack +
                     "' >/dev/null && chmod u+w '" + r.idx + "' && mv large.idx '" + r.idx +
                     "' && echo ok"),
              "ok");
    // Each object gained 8 bytes: its offset in the large table.
    const size_t objects = std::stoul(run_sh("git show-index < '" + r.idx + "' | wc -l"));
    ASSERT_GT(objects, 0u);
    ASSERT_EQ(slurp(r.idx).size(), small.size() + 8 * objects);

    CommitSummary got{};
    ASSERT_EQ(objects_read_commit(r.git.c_str(), r.head.c_str(), &got), 1);
    EXPECT_STREQ(got.hash, r.want.hash);
    EXPECT_EQ(got.ct, r.want.ct);
    EXPECT_STREQ(got.subject, r.want.subject);
}

// Every byte of the pack and of its index changed in turn (a sample of them,
// with a few values each): the read refuses or gives the right answer, and
// never reads out of bounds, crashes or loops (the sanitizers watch).
TEST(ObjectStore, CorruptPackOrIndexIsRefusedSafely) {
    PackedRepo r;
    for (const std::string *file : {&r.pack, &r.idx}) {
        const std::string good = slurp(*file);
        ASSERT_GT(good.size(), 100u);
        run_sh("chmod u+w '" + *file + "'");
        size_t step = good.size() / 400 + 1;
        for (size_t at = 0; at < good.size(); at += step) {
            for (int v : {0x00, 0xff, 0x80}) {
                std::string bad = good;
                bad[at] = (char)(bad[at] ^ v ^ (v == 0 ? 1 : 0));
                spill(*file, bad);
                expect_refused_or_right(r, (*file + " byte " + std::to_string(at)).c_str());
            }
        }
        // Cut short anywhere.
        for (size_t len = 0; len < good.size(); len += good.size() / 50 + 1) {
            spill(*file, good.substr(0, len));
            expect_refused_or_right(r, (*file + " cut at " + std::to_string(len)).c_str());
        }
        spill(*file, good);
    }
    // A truncated loose copy alone: refused.
    std::string obj = r.git + "/objects/" + r.head.substr(0, 2) + "/" + r.head.substr(2);
    std::string blob =
        run_sh("git -C '" + r.git + "' cat-file commit HEAD > '" + r.tmp.sub("c") + "' && echo ok");
    ASSERT_EQ(blob, "ok");
    run_sh("rm -f '" + r.git + "'/objects/pack/* && git -C '" + r.git +
           "' hash-object -t commit -w '" + r.tmp.sub("c") + "' >/dev/null");
    const std::string loose = slurp(obj);
    ASSERT_FALSE(loose.empty());
    CommitSummary got{};
    EXPECT_EQ(objects_read_commit(r.git.c_str(), r.head.c_str(), &got), 1);
    run_sh("chmod u+w '" + obj + "'");
    for (size_t len : {size_t(0), size_t(1), loose.size() / 2, loose.size() - 1}) {
        spill(obj, loose.substr(0, len));
        EXPECT_EQ(objects_read_commit(r.git.c_str(), r.head.c_str(), &got), 0) << len;
    }
}

TEST(ObjectStore, ReplacedObjectsAndGraftsAreLeftToGit) {
    PackedRepo r;
    CommitSummary got{};
    for (const char *file : {"info/grafts", "refs/replace"}) {
        std::string path = r.git + "/" + file;
        run_sh("mkdir -p \"$(dirname '" + path + "')\" && touch '" + path + "'");
        EXPECT_EQ(objects_read_commit(r.git.c_str(), r.head.c_str(), &got), 0) << file;
        run_sh("rm -f '" + path + "'");
    }
    spill(r.git + "/packed-refs",
          "# pack-refs with: peeled\n" + r.head + " refs/replace/" + r.head + "\n");
    EXPECT_EQ(objects_read_commit(r.git.c_str(), r.head.c_str(), &got), 0);
    spill(r.git + "/packed-refs", "");
    EXPECT_EQ(objects_read_commit(r.git.c_str(), r.head.c_str(), &got), 1);
}

// A loose object whose content is another commit's, filed under the
// checked-out commit's name (a copy gone wrong, blocks swapped on disk): the
// reader refuses it rather than give the other commit as the checked-out one.
TEST(ObjectStore, LooseObjectUnderAnotherNameIsRefused) {
    PackedRepo r;
    const std::string parent = run_sh("git -C '" + r.git + "' rev-parse HEAD~1");
    const std::string pack = r.tmp.sub("all.pack");
    ASSERT_EQ(run_sh("cd '" + r.git + "' && mv objects/pack/*.pack '" + pack +
                     "' && rm -f objects/pack/* && git unpack-objects -q < '" + pack +
                     "' && echo ok"),
              "ok");
    auto loose = [&](const std::string &hex) {
        return r.git + "/objects/" + hex.substr(0, 2) + "/" + hex.substr(2);
    };
    CommitSummary got{};
    ASSERT_EQ(objects_read_commit(r.git.c_str(), r.head.c_str(), &got), 1);
    EXPECT_STREQ(got.subject, r.want.subject);

    run_sh("chmod u+w '" + loose(r.head) + "'");
    spill(loose(r.head), slurp(loose(parent)));
    got = CommitSummary{};
    EXPECT_EQ(objects_read_commit(r.git.c_str(), r.head.c_str(), &got), 0)
        << "read as the commit: " << got.subject;
}
#endif
