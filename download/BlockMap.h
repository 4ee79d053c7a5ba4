#pragma once
// The block map of a download job: one state byte per 4096-byte block of the file,
// and the block-map file that keeps it between runs.

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace tq {

constexpr int32_t kBlockSize = 4096;
constexpr uint8_t kBlockFree = 255;       // nobody downloads it
constexpr uint8_t kBlockDone = 252;
constexpr uint8_t kBlockReceiving = 253;  // the block a connection is receiving now
// Any other value names the owning connection (its ConnIndex).

// Block indices are 32-bit (the connections keep them so); larger files are refused.
constexpr int64_t kMaxBlockCount = std::numeric_limits<int32_t>::max();
constexpr int64_t kMaxFileSize = kMaxBlockCount * kBlockSize;

// Blocks of a file of size bytes: size div 4096, plus 1 for a shorter tail; 0 when
// size <= 0. Sizes above kMaxFileSize give 0 as well: they cannot be mapped.
int32_t BlockCountOf(int64_t size);
// Length of the last block: size mod 4096, or 4096 for a whole multiple; 0 when there
// are no blocks.
int32_t LastBlockSizeOf(int64_t size);

class TBlockMap {
public:
    // A map for a known length (every block free), or for an unknown one (size <= 0:
    // empty, grows with the data). False, leaving the map unknown and empty, when the
    // size is too large to map.
    bool Setup(int64_t size);

    bool SizeUnknown() const { return sizeUnknown_; }
    int64_t TotalSize() const { return totalSize_; }
    int32_t BlockCount() const { return static_cast<int32_t>(bytes_.size()); }
    int32_t LastBlockSize() const { return LastBlockSizeOf(totalSize_); }
    // Byte offset and real length of block i (the last one may be shorter).
    int64_t BlockOffset(int32_t i) const { return static_cast<int64_t>(i) * kBlockSize; }
    int64_t BlockLength(int32_t i) const;

    // A block outside the map reads as done, so no scan ever hands it out.
    uint8_t At(int32_t i) const;
    // Writes outside the map are ignored.
    void Set(int32_t i, uint8_t value);
    // Blocks first..last (clipped to the map) take value; nothing when last < first.
    void Fill(int32_t first, int32_t last, uint8_t value);
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

    // Every block that is not done becomes free.
    void FreeNotDone();
    // Every block owned by the connection becomes free.
    void ReleaseOwner(uint8_t connIndex);

    int32_t DoneCount() const;
    // Every block done; never while the length is unknown (more data may come).
    bool AllDone() const { return !sizeUnknown_ && DoneCount() == BlockCount(); }
    // Bytes of the done blocks, the last one counted with its real length.
    int64_t DoneBytes() const;

    // Unknown length: the map covers the bytes received so far; whole blocks are done,
    // a shorter tail is being received. False when the count cannot be mapped.
    bool GrowTo(int64_t received);
    // Unknown length, clean end of data: the length becomes what was received (known
    // from now on, even when it is 0) and every block is done, so the job completes.
    bool FinishUnknown(int64_t received);

    // Takes a stored map for a known size; false (map untouched) when its length is
    // not the block count of the size.
    bool Assign(int64_t size, const std::vector<uint8_t>& stored);

    // Changes with every modification; a saver compares it to skip unchanged maps.
    uint64_t Version() const { return version_; }

private:
    std::vector<uint8_t> bytes_;
    int64_t totalSize_ = 0;
    bool sizeUnknown_ = true;
    uint64_t version_ = 0;
};

// The block-map file: exactly BlockCount bytes, no header, written whole at offset 0.
class TBlockMapFile {
public:
    TBlockMapFile() = default;
    ~TBlockMapFile();
    TBlockMapFile(const TBlockMapFile&) = delete;
    TBlockMapFile& operator=(const TBlockMapFile&) = delete;

    // fresh: created empty (an old map is dropped); else opened, created when missing.
    bool Open(const std::string& path, bool fresh);
    bool IsOpen() const { return fd_ >= 0; }
    void Close();

    // Sets map up for size from the file, every block not done freed. False, with the
    // map set up fresh for size, when the file is not exactly the size's block count
    // long or cannot be read: the job then starts from nothing.
    bool Load(int64_t size, TBlockMap& map);
    // One positioned write of the whole map; a longer file is cut to the map's length.
    bool Save(const TBlockMap& map);
    // Save only when the map changed since this file last saved it.
    bool SaveIfChanged(const TBlockMap& map);

private:
    int fd_ = -1;
    int64_t fileLength_ = 0;
    const TBlockMap* savedMap_ = nullptr;
    uint64_t savedVersion_ = 0;
};

// How a job that ran before goes on once the server has reported its length again.
enum class TResumeDecision { Resume, FreshStart };

// Resume only when the server's length is known and equals the stored length, and the
// loaded map is a map of that length; anything else starts from nothing (and the caller
// forgets the stored length, so later starts are fresh too rather than failing again).
TResumeDecision DecideResume(int64_t storedSize, const TBlockMap& map, int64_t serverSize);

} // namespace tq
