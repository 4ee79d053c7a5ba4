#include "foundation/AtomicFile.h"
#include "foundation/TextUtils.h"
#include "tests/support/TestSupport.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace tq::test {

namespace {

int EntryCount(const std::string& dir) {
    int n = 0;
    DIR* d = opendir(dir.c_str());
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
    return n;
}

} // namespace

TEST(AtomicFile, ReplacesWholeAndLeavesNoTemporary) {
    TempDir t;
    const std::string f = t.file("tree.dat");
    ASSERT_TRUE(WriteFileAtomically(f, "old"));
    ASSERT_TRUE(WriteFileAtomically(f, "new contents"));
    EXPECT_EQ(ReadFile(f), "new contents");
    EXPECT_EQ(EntryCount(t.path()), 1);
    struct stat st {};
    ASSERT_EQ(stat(f.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(AtomicFile, FailureKeepsTheOldFile) {
    TempDir t;
    const std::string f = t.file("a.ini");
    ASSERT_TRUE(WriteFileAtomically(f, "keep"));
    // A missing folder makes the temporary file impossible: nothing may change.
    EXPECT_FALSE(WriteFileAtomically(t.file("missing/a.ini"), "x"));
    EXPECT_EQ(ReadFile(f), "keep");
    EXPECT_EQ(EntryCount(t.path()), 1);
}

TEST(TextLines, SplitsOnLfAndCrLf) {
    using V = std::vector<std::string>;
    EXPECT_EQ(SplitTextLines("a\r\nb\n\nc", false), (V{"a", "b", "", "c"}));
    EXPECT_EQ(SplitTextLines("a\r\nb\n\nc", true), (V{"a", "b", "c"}));
    EXPECT_EQ(SplitTextLines("", false), V{});
    EXPECT_EQ(SplitTextLines("x\n", false), V{"x"});
}

} // namespace tq::test
