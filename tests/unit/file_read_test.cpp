// Reading files through the platform layer: what the program reads of a git
// folder itself. Runs on Linux and, in the Windows unit tests, under Wine.
#include "files.h"
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <ctime>
#if !defined(_WIN32)
#include <sys/stat.h>
#endif
#include <string>

using namespace testfs;

TEST(FileRead, ReadsAtOffsetsUpToTheEnd) {
    TempDir dir;
    std::string content;
    for (int i = 0; i < 70000; i++) content += (char)('a' + i % 26);
    write_file(dir / "data", content);

    PlatFile f;
    ASSERT_EQ(plat_file_open(&f, (dir / "data").c_str()), 1);
    EXPECT_EQ(plat_file_size(&f), 70000);
    struct Case {
        unsigned long long offset, n;
        long long got;
    };
    const Case CASES[] = {{0, 10, 10},   {65530, 20, 20}, {69990, 100, 10},
                          {70000, 5, 0}, {80000, 5, 0},   {0, 70000, 70000}};
    for (const Case &c : CASES) {
        SCOPED_TRACE(c.offset);
        std::string buf((size_t)c.n, '\0');
        ASSERT_EQ(plat_file_read_at(&f, c.offset, &buf[0], c.n), c.got);
        if (c.got > 0) {
            EXPECT_EQ(buf.substr(0, (size_t)c.got),
                      content.substr((size_t)c.offset, (size_t)c.got));
        }
    }
    plat_file_close(&f);
}

TEST(FileRead, MissingFilesAndFolders) {
    TempDir dir;
    write_file(dir / "file", "x");
    PlatFile f;
    EXPECT_EQ(plat_file_open(&f, (dir / "absent").c_str()), 0);
    EXPECT_EQ(plat_is_dir(dir.path().c_str()), 1);
    EXPECT_EQ(plat_is_dir((dir / "file").c_str()), 0);
    EXPECT_EQ(plat_is_dir((dir / "absent").c_str()), 0);
    long long t = -1;
    EXPECT_EQ(plat_file_mtime((dir / "absent").c_str(), &t), 0);
    ASSERT_EQ(plat_file_mtime((dir / "file").c_str(), &t), 1);
    long long now = (long long)time(nullptr);
    EXPECT_LE(t, now + 2);
    EXPECT_GE(t, now - 600);
}

#if !defined(_WIN32)
// A FIFO planted where a state file belongs would block a reader until some
// writer came: it is refused at once, as a folder is.
TEST(FileRead, OnlyRegularFilesOpen) {
    TempDir dir;
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);
    PlatFile f;
    EXPECT_EQ(plat_file_open(&f, (dir / "fifo").c_str()), 0);
    EXPECT_EQ(plat_file_open(&f, dir.path().c_str()), 0);
    EXPECT_EQ(plat_file_open(&f, "/dev/null"), 0);
}
#endif
