#include "foundation/TQNFileData.h"

#include <gtest/gtest.h>

namespace tq {

TEST(TQNFileData, DefaultsAndCopyKeepsDateTime) {
    auto a = NewFileData();
    EXPECT_EQ(a->Year, 1980);
    EXPECT_EQ(a->Month, 1);
    EXPECT_EQ(a->Day, 1);
    EXPECT_FALSE(a->IsDir);
    a->FileName = "x";
    a->FileSize = int64_t{5} << 32;
    a->DateTime = 42;
    auto b = NewFileData();
    b->DateTime = 7;
    CopyFileData(*a, *b);
    EXPECT_EQ(b->FileName, "x");
    EXPECT_EQ(b->FileSize, int64_t{5} << 32);
    EXPECT_EQ(b->DateTime, 7);
}

} // namespace tq
