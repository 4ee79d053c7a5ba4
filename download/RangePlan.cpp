#include "download/RangePlan.h"

#include <algorithm>

namespace tq {

int32_t ClampMaxConnections(int32_t maxConnections) {
    return std::clamp(maxConnections, kMinConnections, kMaxConnections);
}

TBlockRange MakeRange(int32_t first, int32_t last, int32_t blockCount, int64_t totalSize) {
    TBlockRange r;
    r.FirstBlock = first;
    r.LastBlock = last;
    r.RangeBlocks = std::max(last - first + 1, 0);
    r.RangeStart = static_cast<int64_t>(first) * kBlockSize;
    r.RangeLength = static_cast<int64_t>(r.RangeBlocks) * kBlockSize;
    if (blockCount > 0 && last == blockCount - 1) {
        r.RangeToEnd = true;
        // The tail block is shorter than a whole block.
        r.RangeLength -= static_cast<int64_t>(blockCount) * kBlockSize - totalSize;
    }
    return r;
}

int32_t SplitConnections(int32_t blockCount, int32_t maxConnections) {
    int32_t n = ClampMaxConnections(maxConnections);
    if (blockCount > 0 && blockCount < n) n = blockCount;
    if (blockCount <= kMinTakeOverBlocks) n = 1;
    return n;
}

std::vector<TBlockRange> SplitBlocks(int64_t totalSize, int32_t maxConnections) {
    const int32_t blockCount = BlockCountOf(totalSize);
    if (blockCount == 0) {
        TBlockRange whole;
        whole.RangeToEnd = true;
        return {whole};
    }
    const int32_t n = SplitConnections(blockCount, maxConnections);
    const int32_t per = blockCount / n;
    std::vector<TBlockRange> ranges;
    ranges.reserve(static_cast<size_t>(n));
    int32_t first = 0;
    for (int32_t i = 0; i < n; ++i) {
        const int32_t blocks = i == 0 ? per + blockCount % n : per;
        ranges.push_back(MakeRange(first, first + blocks - 1, blockCount, totalSize));
        first += blocks;
    }
    return ranges;
}

void MarkRange(TBlockMap& map, const TBlockRange& range, uint8_t connIndex) {
    if (range.RangeBlocks <= 0) return;
    map.Fill(range.FirstBlock, range.LastBlock, connIndex);
    map.Set(range.FirstBlock, kBlockReceiving);
}

TWorkScan ScanForWork(const TBlockMap& map) {
    TWorkScan scan;
    const auto& bytes = map.Bytes();
    const auto free = std::find(bytes.begin(), bytes.end(), kBlockFree);
    if (free != bytes.end()) {
        const auto end = std::find_if(free, bytes.end(), [](uint8_t b) { return b != kBlockFree; });
        const auto first = static_cast<int32_t>(free - bytes.begin());
        const auto last = static_cast<int32_t>(end - bytes.begin()) - 1;
        scan.FreeRun = MakeRange(first, last, map.BlockCount(), map.TotalSize());
        return scan;
    }
    scan.AllDone = map.AllDone();
    return scan;
}

std::optional<TTakeOver> PlanTakeOver(const std::vector<TRunningRange>& running,
                                      int32_t blockCount, int64_t totalSize) {
    for (size_t i = 0; i < running.size(); ++i) {
        const TBlockRange& old = running[i].Range;
        const int32_t left = old.RangeBlocks - running[i].BlocksDone;
        if (left <= kMinTakeOverBlocks) continue;
        const int32_t half = (left - 2) / 2;
        TTakeOver t;
        t.Victim = i;
        t.Kept = MakeRange(old.FirstBlock, old.LastBlock - half, blockCount, totalSize);
        t.Given = MakeRange(old.LastBlock - half + 1, old.LastBlock, blockCount, totalSize);
        return t;
    }
    return std::nullopt;
}

TPieceClip ClipPiece(const TBlockRange& range, int64_t received, int64_t n) {
    TPieceClip c;
    const int64_t length = std::max<int64_t>(range.RangeLength, 0);
    received = std::clamp<int64_t>(received, 0, length);
    c.Offset = range.RangeStart + received;
    c.FromBlock = static_cast<int32_t>(received / kBlockSize);
    c.Count = std::clamp<int64_t>(n, 0, length - received);
    c.Received = received + c.Count;
    c.Finished = c.Received >= range.RangeLength;
    c.BlocksDone = c.Finished ? range.RangeBlocks : static_cast<int32_t>(c.Received / kBlockSize);
    return c;
}

void MarkPiece(TBlockMap& map, const TBlockRange& range, const TPieceClip& clip) {
    map.Fill(range.FirstBlock + clip.FromBlock, range.FirstBlock + clip.BlocksDone - 1,
             kBlockDone);
    if (!clip.Finished && clip.BlocksDone < range.RangeBlocks)
        map.Set(range.FirstBlock + clip.BlocksDone, kBlockReceiving);
}

} // namespace tq
