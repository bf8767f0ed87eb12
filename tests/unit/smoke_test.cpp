#include "out/buf.h"

#include <gtest/gtest.h>

TEST(Smoke, BufInit) {
    Buf b;
    buf_init(&b);
    EXPECT_EQ(b.cap, 4096u);
    buf_free(&b);
}
