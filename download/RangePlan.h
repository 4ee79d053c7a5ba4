#pragma once
// How a job's blocks are shared among its connections: the first split, the next free
// run for an idle connection, the take-over of part of a running range, and how much
// of a received piece belongs to a range.

#include <cstdint>
#include <optional>
#include <vector>

#include "download/BlockMap.h"

namespace tq {

constexpr int32_t kMinConnections = 1;
constexpr int32_t kMaxConnections = 99;
// A range with this many blocks left or fewer is never split.
constexpr int32_t kMinTakeOverBlocks = 5;

// A job's connection limit as a damaged record may hold it, brought into 1..99.
int32_t ClampMaxConnections(int32_t maxConnections);

// One connection's range of blocks, in the connection's own terms.
struct TBlockRange {
    int32_t FirstBlock = 0;
    int32_t LastBlock = -1;
    int32_t RangeBlocks = 0;
    int64_t RangeStart = 0;   // byte offset of FirstBlock
    int64_t RangeLength = 0;  // bytes of the range (the file's tail may be shorter)
    bool RangeToEnd = false;  // the range ends at the file's last block
    bool operator==(const TBlockRange&) const = default;
};

// The range of blocks first..last of a map of blockCount blocks for totalSize bytes.
TBlockRange MakeRange(int32_t first, int32_t last, int32_t blockCount, int64_t totalSize);

// Connections used for the first split of blockCount blocks under a limit: never more
// than the blocks, one for 5 blocks or fewer.
int32_t SplitConnections(int32_t blockCount, int32_t maxConnections);

// The first split of a file of totalSize bytes: blockCount div n blocks each, the first
// range taking the remainder as well, the last one running to the end. An unknown or
// empty length gives one range with no blocks (the connection reads to the end).
std::vector<TBlockRange> SplitBlocks(int64_t totalSize, int32_t maxConnections);

// Blocks of the range get the connection's index, its first block "receiving".
void MarkRange(TBlockMap& map, const TBlockRange& range, uint8_t connIndex);

// What an idle connection finds in the map: every block done, a free run (from the
// first free block up to the next block that is not free), or nothing free.
struct TWorkScan {
    bool AllDone = false;
    std::optional<TBlockRange> FreeRun;
};
TWorkScan ScanForWork(const TBlockMap& map);

// A running range as the take-over judges it.
struct TRunningRange {
    TBlockRange Range;
    int32_t BlocksDone = 0;
};

// Half of a running range handed to an idle connection.
struct TTakeOver {
    size_t Victim = 0;   // index into the list of running ranges
    TBlockRange Kept;    // the victim's range from now on
    TBlockRange Given;   // the idle connection's new range
};

// The first range in list order with more than 5 blocks left gives up its upper part:
// half := (left - 2) div 2 blocks, so it keeps the larger share. Nothing when no range
// qualifies. Speeds play no part; list order decides.
std::optional<TTakeOver> PlanTakeOver(const std::vector<TRunningRange>& running,
                                      int32_t blockCount, int64_t totalSize);

// A received piece measured against the range of the connection that got it.
struct TPieceClip {
    int64_t Offset = 0;      // file offset of the piece's first byte
    int64_t Count = 0;       // bytes of the piece inside the range: write and count these
    int64_t Received = 0;    // bytes of the range received after this piece
    int32_t FromBlock = 0;   // range-relative block the piece starts in
    int32_t BlocksDone = 0;  // blocks of the range complete after this piece
    bool Finished = false;   // the range is complete
};

// The part of an n-byte piece that belongs to a range that has already received
// `received` bytes; bytes past the range's end are not counted.
TPieceClip ClipPiece(const TBlockRange& range, int64_t received, int64_t n);

// Marks the blocks the piece completed done and, while the range is not complete, the
// next block as receiving. Only the piece's own blocks are touched, so a pass costs
// the same at the end of a large range as at its start.
void MarkPiece(TBlockMap& map, const TBlockRange& range, const TPieceClip& clip);

} // namespace tq
