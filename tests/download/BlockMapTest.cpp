#include "download/BlockMap.h"

#include <gtest/gtest.h>

#include "tests/support/TestSupport.h"

namespace tq::test {
namespace {

constexpr int64_t kGiB = int64_t{1} << 30;
constexpr int64_t kMiB = int64_t{1} << 20;

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    return std::vector<uint8_t>(values.begin(), values.end());
}

TEST(BlockMapTest, BlockCountAndLastBlockSize) {
    struct Row {
        int64_t size;
        int32_t count;
        int32_t last;
    } rows[] = {
        {-1, 0, 0},
        {0, 0, 0},
        {1, 1, 1},
        {4095, 1, 4095},
        {4096, 1, 4096},
        {4097, 2, 1},
        {8192, 2, 4096},
        {10000, 3, 1808},
        {50 * kMiB, 12800, 4096},
        {5 * kGiB, 1310720, 4096},
        {5 * kGiB + 7, 1310721, 7},
        {kMaxFileSize, static_cast<int32_t>(kMaxBlockCount), 4096},
        {kMaxFileSize + 1, 0, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.size);
        EXPECT_EQ(BlockCountOf(r.size), r.count);
        EXPECT_EQ(LastBlockSizeOf(r.size), r.last);
    }
}

TEST(BlockMapTest, SetupKnownUnknownAndTooLarge) {
    TBlockMap map;
    ASSERT_TRUE(map.Setup(10000));
    EXPECT_FALSE(map.SizeUnknown());
    EXPECT_EQ(map.Bytes(), Bytes({255, 255, 255}));
    EXPECT_EQ(map.BlockLength(2), 1808);
    EXPECT_EQ(map.BlockLength(3), 0);

    ASSERT_TRUE(map.Setup(0));
    EXPECT_TRUE(map.SizeUnknown());
    EXPECT_EQ(map.BlockCount(), 0);
    EXPECT_FALSE(map.AllDone());  // nothing received yet is not a finished file

    EXPECT_FALSE(map.Setup(kMaxFileSize + 1));
    EXPECT_EQ(map.BlockCount(), 0);
}

TEST(BlockMapTest, OutOfRangeAccessIsHarmless) {
    TBlockMap map;
    map.Setup(8192);
    map.Set(-1, 3);
    map.Set(2, 3);
    map.Fill(-5, 10, 7);
    EXPECT_EQ(map.Bytes(), Bytes({7, 7}));
    EXPECT_EQ(map.At(-1), kBlockDone);
    EXPECT_EQ(map.At(2), kBlockDone);
    map.Fill(1, 0, 9);  // empty range
    EXPECT_EQ(map.Bytes(), Bytes({7, 7}));
}

// The done sum always comes from the done blocks; one missing block is never "all".
TEST(BlockMapTest, DoneBytesCountsOnlyDoneBlocks) {
    struct Row {
        int64_t size;
        std::vector<uint8_t> map;
        int64_t done;
    } rows[] = {
        {10000, Bytes({252, 252, 252}), 10000},
        {10000, Bytes({252, 252, 255}), 8192},   // last missing
        {10000, Bytes({252, 255, 252}), 5904},   // middle missing
        {10000, Bytes({255, 252, 252}), 5904},   // first missing
        {10000, Bytes({253, 3, 252}), 1808},     // only the short last block
        {10000, Bytes({255, 255, 255}), 0},
        {8192, Bytes({252, 252}), 8192},
        {8192, Bytes({252, 253}), 4096},
        {1, Bytes({252}), 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.map));
        TBlockMap map;
        ASSERT_TRUE(map.Assign(r.size, r.map));
        EXPECT_EQ(map.DoneBytes(), r.done);
        EXPECT_EQ(map.AllDone(), r.done == r.size);
    }
}

TEST(BlockMapTest, FreeNotDoneAndReleaseOwner) {
    TBlockMap map;
    ASSERT_TRUE(map.Assign(6 * 4096, Bytes({252, 253, 3, 3, 4, 255})));
    const uint64_t v = map.Version();
    map.ReleaseOwner(9);  // owns nothing: no change to save
    map.ReleaseOwner(kBlockDone);
    EXPECT_EQ(map.Version(), v);
    map.ReleaseOwner(3);
    EXPECT_EQ(map.Bytes(), Bytes({252, 253, 255, 255, 4, 255}));
    map.FreeNotDone();
    EXPECT_EQ(map.Bytes(), Bytes({252, 255, 255, 255, 255, 255}));
}

// Unknown length: the first bytes open block 0 (never index -1), and a clean end of
// data completes the map.
TEST(BlockMapTest, UnknownLengthGrowsWithDataAndCompletesAtEnd) {
    struct Step {
        int64_t received;
        std::vector<uint8_t> map;
    } steps[] = {
        {0, {}},
        {100, Bytes({253})},
        {4096, Bytes({252})},
        {4097, Bytes({252, 253})},
        {10000, Bytes({252, 252, 253})},
        {12288, Bytes({252, 252, 252})},
    };
    TBlockMap map;
    map.Setup(-1);
    for (const Step& s : steps) {
        SCOPED_TRACE(s.received);
        ASSERT_TRUE(map.GrowTo(s.received));
        EXPECT_EQ(map.Bytes(), s.map);
        EXPECT_FALSE(map.AllDone());
        EXPECT_TRUE(map.SizeUnknown());
    }
    ASSERT_TRUE(map.FinishUnknown(12300));
    EXPECT_EQ(map.Bytes(), Bytes({252, 252, 252, 252}));
    EXPECT_TRUE(map.AllDone());
    EXPECT_EQ(map.TotalSize(), 12300);
    EXPECT_EQ(map.DoneBytes(), 12300);

    TBlockMap empty;
    empty.Setup(0);
    ASSERT_TRUE(empty.FinishUnknown(0));
    EXPECT_TRUE(empty.AllDone());
    EXPECT_EQ(empty.DoneBytes(), 0);

    EXPECT_FALSE(empty.GrowTo(kMaxFileSize + 1));
}

TEST(BlockMapTest, FileRoundTripFreesUnfinishedBlocks) {
    TempDir dir;
    const std::string path = dir.file("7.blk");
    TBlockMap map;
    ASSERT_TRUE(map.Assign(20000, Bytes({252, 253, 2, 252, 255})));
    {
        TBlockMapFile file;
        ASSERT_TRUE(file.Open(path, true));
        ASSERT_TRUE(file.Save(map));
    }
    EXPECT_EQ(ReadFile(path), std::string("\xFC\xFD\x02\xFC\xFF"));

    TBlockMapFile file;
    ASSERT_TRUE(file.Open(path, false));
    TBlockMap loaded;
    ASSERT_TRUE(file.Load(20000, loaded));
    EXPECT_EQ(loaded.Bytes(), Bytes({252, 255, 255, 252, 255}));
    EXPECT_EQ(loaded.DoneBytes(), 8192);
}

// A map file of the wrong length (or none) means a fresh start, never a read past it.
TEST(BlockMapTest, LoadRejectsWrongLength) {
    TempDir dir;
    struct Row {
        const char* name;
        std::string content;  // empty name: no file at all
        int64_t size;
    } rows[] = {
        {"short", std::string(2, '\xFC'), 20000},
        {"long", std::string(9, '\xFC'), 20000},
        {"empty", "", 20000},
        {"unknown size", std::string(1, '\xFC'), 0},
        {"too large", std::string(1, '\xFC'), kMaxFileSize + 1},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const std::string path = dir.file(r.name);
        WriteFile(path, r.content);
        TBlockMapFile file;
        ASSERT_TRUE(file.Open(path, false));
        TBlockMap map;
        map.Setup(4096);
        EXPECT_FALSE(file.Load(r.size, map));
        EXPECT_EQ(map.BlockCount(), BlockCountOf(r.size));
        EXPECT_EQ(map.DoneCount(), 0);
    }
    TBlockMapFile missing;
    ASSERT_TRUE(missing.Open(dir.file("new.blk"), false));  // created when missing
    TBlockMap map;
    EXPECT_FALSE(missing.Load(20000, map));
    EXPECT_EQ(map.Bytes(), std::vector<uint8_t>(5, 255));
}

TEST(BlockMapTest, SaveWritesOnlyChangesAndTrimsLongerFile) {
    TempDir dir;
    const std::string path = dir.file("1.blk");
    WriteFile(path, std::string(10, 'x'));
    TBlockMapFile file;
    ASSERT_TRUE(file.Open(path, false));
    TBlockMap map;
    map.Setup(3 * 4096);
    ASSERT_TRUE(file.SaveIfChanged(map));
    EXPECT_EQ(ReadFile(path), std::string(3, '\xFF'));

    // Unchanged: no write (an outside edit survives); changed: rewritten whole.
    WriteFile(path, "abc");
    ASSERT_TRUE(file.SaveIfChanged(map));
    EXPECT_EQ(ReadFile(path), "abc");
    map.Set(1, kBlockDone);
    ASSERT_TRUE(file.SaveIfChanged(map));
    EXPECT_EQ(ReadFile(path), std::string("\xFF\xFC\xFF"));

    TBlockMapFile fresh;
    ASSERT_TRUE(fresh.Open(path, true));
    EXPECT_EQ(ReadFile(path), "");

    TBlockMapFile closed;
    EXPECT_FALSE(closed.Save(map));
}

// 64-bit sizes end to end: more than 2^20 blocks, offsets past 2^32.
TEST(BlockMapTest, FiveGiBMap) {
    const int64_t size = 5 * kGiB + 100;
    TBlockMap map;
    ASSERT_TRUE(map.Setup(size));
    const int32_t last = map.BlockCount() - 1;
    EXPECT_EQ(map.BlockCount(), 1310721);
    EXPECT_EQ(map.BlockOffset(last), 5 * kGiB);
    map.Fill(0, last - 2, kBlockDone);
    map.Set(last, kBlockDone);
    EXPECT_EQ(map.DoneBytes(), 5 * kGiB - 4096 + 100);
    EXPECT_FALSE(map.AllDone());

    TempDir dir;
    TBlockMapFile file;
    ASSERT_TRUE(file.Open(dir.file("big.blk"), true));
    ASSERT_TRUE(file.Save(map));
    TBlockMap loaded;
    ASSERT_TRUE(file.Load(size, loaded));
    EXPECT_EQ(loaded.Bytes(), map.Bytes());
    EXPECT_EQ(loaded.DoneBytes(), map.DoneBytes());
}

// A changed server length starts afresh instead of failing every later start.
TEST(BlockMapTest, DecideResume) {
    TBlockMap known;
    known.Setup(20000);
    TBlockMap unknown;
    unknown.Setup(0);
    TBlockMap other;
    other.Setup(30000);
    struct Row {
        int64_t stored;
        const TBlockMap* map;
        int64_t server;
        TResumeDecision expected;
    } rows[] = {
        {20000, &known, 20000, TResumeDecision::Resume},
        {20000, &known, 20001, TResumeDecision::FreshStart},
        {20000, &known, 19999, TResumeDecision::FreshStart},
        {20000, &known, -1, TResumeDecision::FreshStart},     // length no longer known
        {20000, &unknown, 20000, TResumeDecision::FreshStart},  // map not loaded
        {20000, &other, 20000, TResumeDecision::FreshStart},    // map of another length
        {0, &unknown, 0, TResumeDecision::FreshStart},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.stored << " -> " << r.server);
        EXPECT_EQ(DecideResume(r.stored, *r.map, r.server), r.expected);
    }
}

} // namespace
} // namespace tq::test
