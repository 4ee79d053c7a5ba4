#include "download/RangePlan.h"

#include <gtest/gtest.h>

#include <random>

namespace tq::test {
namespace {

constexpr int64_t kGiB = int64_t{1} << 30;
constexpr int64_t kMiB = int64_t{1} << 20;

TEST(RangePlanTest, ClampMaxConnections) {
    const std::pair<int32_t, int32_t> rows[] = {
        {-5, 1}, {0, 1}, {1, 1}, {5, 5}, {99, 99}, {100, 99}, {1 << 30, 99}};
    for (auto [in, out] : rows) EXPECT_EQ(ClampMaxConnections(in), out) << in;
}

// The split covers every block once, in order, the first range taking the remainder
// and the last running to the file's end with the real length.
TEST(RangePlanTest, SplitCoversFileForEveryConnectionCount) {
    const int64_t sizes[] = {1, 4095, 4096, 4097, 8192, 10000, 6 * 4096, 50 * kMiB, 5 * kGiB,
                             5 * kGiB + 1};
    for (const int64_t size : sizes) {
        for (int32_t n = 0; n <= 8; ++n) {
            SCOPED_TRACE(testing::Message() << size << " bytes, " << n << " connections");
            const int32_t blocks = BlockCountOf(size);
            const auto ranges = SplitBlocks(size, n);
            const int32_t used = blocks <= 5 ? 1 : std::min(std::max(n, 1), blocks);
            ASSERT_EQ(static_cast<int32_t>(ranges.size()), used);
            int32_t next = 0;
            int64_t bytes = 0;
            for (size_t i = 0; i < ranges.size(); ++i) {
                const TBlockRange& r = ranges[i];
                EXPECT_EQ(r.FirstBlock, next);
                EXPECT_EQ(r.RangeBlocks, r.LastBlock - r.FirstBlock + 1);
                EXPECT_EQ(r.RangeStart, int64_t{r.FirstBlock} * 4096);
                EXPECT_EQ(r.RangeBlocks, (i == 0 ? blocks / used + blocks % used : blocks / used));
                EXPECT_EQ(r.RangeToEnd, i + 1 == ranges.size());
                next = r.LastBlock + 1;
                bytes += r.RangeLength;
            }
            EXPECT_EQ(next, blocks);
            EXPECT_EQ(bytes, size);
        }
    }
}

TEST(RangePlanTest, SplitExamples) {
    // 3 blocks: one connection for all, the last block 1808 bytes.
    auto r = SplitBlocks(10000, 5);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0], (TBlockRange{0, 2, 3, 0, 10000, true}));

    r = SplitBlocks(100 * 4096, 5);
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0], (TBlockRange{0, 19, 20, 0, 20 * 4096, false}));
    EXPECT_EQ(r[4], (TBlockRange{80, 99, 20, 80 * 4096, 20 * 4096, true}));

    r = SplitBlocks(100 * 4096, 3);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].RangeBlocks, 34);
    EXPECT_EQ(r[1], (TBlockRange{34, 66, 33, 34 * 4096, 33 * 4096, false}));
    EXPECT_EQ(r[2].RangeBlocks, 33);

    // 5 GiB over 8: offsets past 2^32.
    r = SplitBlocks(5 * kGiB, 8);
    ASSERT_EQ(r.size(), 8u);
    EXPECT_EQ(r[7].FirstBlock, 7 * 163840);
    EXPECT_EQ(r[7].RangeStart, 35 * kGiB / 8);
    EXPECT_EQ(r[7].RangeLength, 5 * kGiB / 8);

    // Unknown or empty length: one connection reading to the end.
    for (const int64_t size : {int64_t{0}, int64_t{-1}}) {
        r = SplitBlocks(size, 5);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].RangeBlocks, 0);
        EXPECT_TRUE(r[0].RangeToEnd);
    }
}

TEST(RangePlanTest, MarkRangeOwnsBlocksAndFlagsFirst) {
    TBlockMap map;
    map.Setup(6 * 4096);
    MarkRange(map, MakeRange(1, 3, 6, 6 * 4096), 4);
    MarkRange(map, TBlockRange{}, 7);  // empty: nothing
    EXPECT_EQ(map.Bytes(), (std::vector<uint8_t>{255, 253, 4, 4, 255, 255}));
}

TEST(RangePlanTest, ScanForWork) {
    struct Row {
        int64_t size;
        std::vector<uint8_t> map;
        bool allDone;
        int32_t first, last;  // -1: no free run
        int64_t length;
    } rows[] = {
        {10000, {255, 255, 255}, false, 0, 2, 10000},
        {10000, {252, 255, 255}, false, 1, 2, 5904},
        {10000, {255, 1, 255}, false, 0, 0, 4096},
        {10000, {252, 253, 255}, false, 2, 2, 1808},
        {10000, {252, 252, 252}, true, -1, -1, 0},
        {10000, {252, 253, 252}, false, -1, -1, 0},
        {10000, {1, 1, 1}, false, -1, -1, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.map));
        TBlockMap map;
        ASSERT_TRUE(map.Assign(r.size, r.map));
        const TWorkScan scan = ScanForWork(map);
        EXPECT_EQ(scan.AllDone, r.allDone);
        ASSERT_EQ(scan.FreeRun.has_value(), r.first >= 0);
        if (!scan.FreeRun) continue;
        EXPECT_EQ(scan.FreeRun->FirstBlock, r.first);
        EXPECT_EQ(scan.FreeRun->LastBlock, r.last);
        EXPECT_EQ(scan.FreeRun->RangeLength, r.length);
        EXPECT_EQ(scan.FreeRun->RangeToEnd, r.last == 2);
    }
    TBlockMap unknown;
    unknown.Setup(0);
    EXPECT_FALSE(ScanForWork(unknown).AllDone);
}

TEST(RangePlanTest, TakeOverSplitsFirstRangeWithMoreThanFiveBlocksLeft) {
    const int32_t blocks = 100;
    const int64_t size = 100 * 4096 - 96;  // short last block
    struct Row {
        const char* name;
        std::vector<TRunningRange> running;
        int victim;  // -1: nothing to take over
        TBlockRange kept, given;
    } rows[] = {
        {"20 left: keeps 11, gives 9",
         {{MakeRange(0, 19, blocks, size), 0}}, 0,
         MakeRange(0, 10, blocks, size), MakeRange(11, 19, blocks, size)},
        {"5 left: not split", {{MakeRange(0, 19, blocks, size), 15}}, -1, {}, {}},
        {"6 left: gives 2",
         {{MakeRange(0, 19, blocks, size), 14}}, 0,
         MakeRange(0, 17, blocks, size), MakeRange(18, 19, blocks, size)},
        {"list order, not the largest",
         {{MakeRange(0, 19, blocks, size), 17},
          {MakeRange(20, 39, blocks, size), 10},
          {MakeRange(40, 99, blocks, size), 0}}, 1,
         MakeRange(20, 35, blocks, size), MakeRange(36, 39, blocks, size)},
        {"the range to the end passes its end on",
         {{MakeRange(80, 99, blocks, size), 1}}, 0,
         MakeRange(80, 91, blocks, size), MakeRange(92, 99, blocks, size)},
        {"nothing running", {}, -1, {}, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const auto t = PlanTakeOver(r.running, blocks, size);
        ASSERT_EQ(t.has_value(), r.victim >= 0);
        if (!t) continue;
        EXPECT_EQ(t->Victim, static_cast<size_t>(r.victim));
        EXPECT_EQ(t->Kept, r.kept);
        EXPECT_EQ(t->Given, r.given);
        EXPECT_FALSE(t->Kept.RangeToEnd);
        EXPECT_EQ(t->Kept.RangeLength, int64_t{t->Kept.RangeBlocks} * 4096);
        EXPECT_EQ(t->Given.RangeToEnd, r.running[t->Victim].Range.RangeToEnd);
    }
    const auto t = PlanTakeOver(rows[4].running, blocks, size);
    EXPECT_EQ(t->Given.RangeLength, 8 * 4096 - 96);
}

// Only the bytes inside the range are written and counted: a server that keeps
// sending past the range end adds nothing.
TEST(RangePlanTest, ClipPieceAtRangeEnds) {
    const TBlockRange mid = MakeRange(2, 3, 10, 10 * 4096 - 100);  // 8192 bytes at 8192
    const TBlockRange tail = MakeRange(8, 9, 10, 10 * 4096 - 100);  // 8092 bytes
    struct Row {
        const char* name;
        TBlockRange range;
        int64_t received, n;
        TPieceClip expected;
    } rows[] = {
        {"inside", mid, 0, 1000, {8192, 1000, 1000, 0, 0, false}},
        {"crosses a block", mid, 4000, 200, {12192, 200, 4200, 0, 1, false}},
        {"ends exactly", mid, 4096, 4096, {12288, 4096, 8192, 1, 2, true}},
        {"runs past the end", mid, 8000, 1000, {16192, 192, 8192, 1, 2, true}},
        {"after the end", mid, 8192, 500, {16384, 0, 8192, 2, 2, true}},
        {"short tail block", tail, 8000, 4096, {40768, 92, 8092, 1, 2, true}},
        {"empty piece", mid, 100, 0, {8292, 0, 100, 0, 0, false}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const TPieceClip c = ClipPiece(r.range, r.received, r.n);
        EXPECT_EQ(c.Offset, r.expected.Offset);
        EXPECT_EQ(c.Count, r.expected.Count);
        EXPECT_EQ(c.Received, r.expected.Received);
        EXPECT_EQ(c.FromBlock, r.expected.FromBlock);
        EXPECT_EQ(c.BlocksDone, r.expected.BlocksDone);
        EXPECT_EQ(c.Finished, r.expected.Finished);
    }
}

TEST(RangePlanTest, MarkPieceMovesReceivingMark) {
    TBlockMap map;
    map.Setup(5 * 4096);
    const TBlockRange r = MakeRange(1, 3, 5, 5 * 4096);
    MarkRange(map, r, 0);
    MarkPiece(map, r, ClipPiece(r, 0, 5000));
    EXPECT_EQ(map.Bytes(), (std::vector<uint8_t>{255, 252, 253, 0, 255}));
    MarkPiece(map, r, ClipPiece(r, 5000, 99999));
    EXPECT_EQ(map.Bytes(), (std::vector<uint8_t>{255, 252, 252, 252, 255}));
}

// A whole job played out on the map: ranges split, pieces of odd sizes arriving at
// different rates, finished connections taking free runs or half of a running range.
// Every byte of the file must be written exactly once and the job end all done.
TEST(RangePlanTest, SimulatedJobWritesEveryByteOnce) {
    for (const int32_t maxConns : {1, 3, 5, 8}) {
        SCOPED_TRACE(maxConns);
        const int64_t size = 97 * 4096 + 123;
        TBlockMap map;
        ASSERT_TRUE(map.Setup(size));
        // A stopped run left some blocks done, so the first free runs come from the map.
        map.Fill(10, 14, kBlockDone);
        std::vector<uint8_t> writes(static_cast<size_t>(size), 0);
        for (int32_t b = 10; b <= 14; ++b)
            for (int64_t i = map.BlockOffset(b); i < map.BlockOffset(b) + 4096; ++i) writes[i] = 1;

        struct Conn {
            TBlockRange range;
            int64_t received = 0;
            int32_t blocksDone = 0;
            bool active = false;
            int rate = 0;
        };
        std::vector<Conn> conns(static_cast<size_t>(maxConns));
        std::mt19937 rng(42);
        for (size_t i = 0; i < conns.size(); ++i) conns[i].rate = 1000 + 3000 * static_cast<int>(i);

        int64_t doneSize = map.DoneBytes();
        for (int round = 0; round < 100000 && !map.AllDone(); ++round) {
            for (size_t i = 0; i < conns.size(); ++i) {
                Conn& c = conns[i];
                if (!c.active) {
                    const TWorkScan scan = ScanForWork(map);
                    if (scan.FreeRun) {
                        c.range = *scan.FreeRun;
                    } else {
                        std::vector<TRunningRange> running;
                        std::vector<size_t> owners;
                        for (size_t j = 0; j < conns.size(); ++j) {
                            if (!conns[j].active) continue;
                            running.push_back({conns[j].range, conns[j].blocksDone});
                            owners.push_back(j);
                        }
                        const auto t = PlanTakeOver(running, map.BlockCount(), size);
                        if (!t) continue;
                        conns[owners[t->Victim]].range = t->Kept;
                        c.range = t->Given;
                    }
                    MarkRange(map, c.range, static_cast<uint8_t>(i));
                    c.received = 0;
                    c.blocksDone = 0;
                    c.active = true;
                }
                const int64_t n = c.rate + static_cast<int64_t>(rng() % 5000);
                const TPieceClip clip = ClipPiece(c.range, c.received, n);
                ASSERT_LE(clip.Offset + clip.Count, size);
                for (int64_t k = clip.Offset; k < clip.Offset + clip.Count; ++k) ++writes[k];
                doneSize += clip.Count;
                c.received = clip.Received;
                c.blocksDone = clip.BlocksDone;
                MarkPiece(map, c.range, clip);
                if (clip.Finished) c.active = false;
            }
        }
        ASSERT_TRUE(map.AllDone());
        EXPECT_EQ(doneSize, size);
        EXPECT_EQ(map.DoneBytes(), size);
        EXPECT_EQ(std::count(writes.begin(), writes.end(), 1), size);
    }
}

} // namespace
} // namespace tq::test
