#include "download/BlockMap.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tq {

int32_t BlockCountOf(int64_t size) {
    if (size <= 0 || size > kMaxFileSize) return 0;
    return static_cast<int32_t>(size / kBlockSize + (size % kBlockSize > 0 ? 1 : 0));
}

int32_t LastBlockSizeOf(int64_t size) {
    if (BlockCountOf(size) == 0) return 0;
    const int32_t rest = static_cast<int32_t>(size % kBlockSize);
    return rest == 0 ? kBlockSize : rest;
}

bool TBlockMap::Setup(int64_t size) {
    ++version_;
    bytes_.clear();
    totalSize_ = 0;
    sizeUnknown_ = true;
    if (size <= 0) return true;
    if (size > kMaxFileSize) return false;
    bytes_.assign(static_cast<size_t>(BlockCountOf(size)), kBlockFree);
    totalSize_ = size;
    sizeUnknown_ = false;
    return true;
}

int64_t TBlockMap::BlockLength(int32_t i) const {
    if (i < 0 || i >= BlockCount()) return 0;
    return i == BlockCount() - 1 ? LastBlockSize() : kBlockSize;
}

uint8_t TBlockMap::At(int32_t i) const {
    if (i < 0 || i >= BlockCount()) return kBlockDone;
    return bytes_[static_cast<size_t>(i)];
}

void TBlockMap::Set(int32_t i, uint8_t value) {
    if (i < 0 || i >= BlockCount() || bytes_[static_cast<size_t>(i)] == value) return;
    bytes_[static_cast<size_t>(i)] = value;
    ++version_;
}

void TBlockMap::Fill(int32_t first, int32_t last, uint8_t value) {
    first = std::max(first, 0);
    last = std::min(last, BlockCount() - 1);
    bool changed = false;
    for (int32_t i = first; i <= last; ++i) {
        uint8_t& b = bytes_[static_cast<size_t>(i)];
        changed |= b != value;
        b = value;
    }
    if (changed) ++version_;
}

void TBlockMap::FreeNotDone() {
    bool changed = false;
    for (uint8_t& b : bytes_) {
        if (b == kBlockDone || b == kBlockFree) continue;
        b = kBlockFree;
        changed = true;
    }
    if (changed) ++version_;
}

void TBlockMap::ReleaseOwner(uint8_t connIndex) {
    // The reserved values are states, not owners.
    if (connIndex >= kBlockDone) return;
    bool changed = false;
    for (uint8_t& b : bytes_) {
        if (b != connIndex) continue;
        b = kBlockFree;
        changed = true;
    }
    if (changed) ++version_;
}

int32_t TBlockMap::DoneCount() const {
    return static_cast<int32_t>(std::count(bytes_.begin(), bytes_.end(), kBlockDone));
}

int64_t TBlockMap::DoneBytes() const {
    const int32_t done = DoneCount();
    if (done == 0) return 0;
    int64_t sum = static_cast<int64_t>(done) * kBlockSize;
    if (bytes_.back() == kBlockDone) sum -= kBlockSize - LastBlockSize();
    return sum;
}

bool TBlockMap::GrowTo(int64_t received) {
    if (received < 0 || received > kMaxFileSize) return false;
    const int32_t oldCount = BlockCount();
    const int32_t count = BlockCountOf(received);
    bytes_.resize(static_cast<size_t>(count), kBlockDone);
    totalSize_ = received;
    sizeUnknown_ = true;
    ++version_;
    if (count == 0) return true;
    // The old tail may have been completed by this piece.
    Fill(std::max(oldCount - 1, 0), count - 1, kBlockDone);
    if (received % kBlockSize != 0) bytes_.back() = kBlockReceiving;
    return true;
}

bool TBlockMap::FinishUnknown(int64_t received) {
    if (!GrowTo(received)) return false;
    Fill(0, BlockCount() - 1, kBlockDone);
    sizeUnknown_ = false;
    return true;
}

bool TBlockMap::Assign(int64_t size, const std::vector<uint8_t>& stored) {
    const int32_t count = BlockCountOf(size);
    if (count == 0 || stored.size() != static_cast<size_t>(count)) return false;
    bytes_ = stored;
    totalSize_ = size;
    sizeUnknown_ = false;
    ++version_;
    return true;
}

TBlockMapFile::~TBlockMapFile() { Close(); }

bool TBlockMapFile::Open(const std::string& path, bool fresh) {
    Close();
    const int flags = O_RDWR | O_CREAT | O_CLOEXEC | (fresh ? O_TRUNC : 0);
    fd_ = ::open(path.c_str(), flags, 0600);
    if (fd_ < 0) return false;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        Close();
        return false;
    }
    fileLength_ = st.st_size;
    return true;
}

void TBlockMapFile::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    fileLength_ = 0;
    savedMap_ = nullptr;
    savedVersion_ = 0;
}

namespace {

bool ReadAll(int fd, uint8_t* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::pread(fd, data + done, n - done, static_cast<off_t>(done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t n) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::pwrite(fd, data + done, n - done, static_cast<off_t>(done));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        done += static_cast<size_t>(r);
    }
    return true;
}

} // namespace

bool TBlockMapFile::Load(int64_t size, TBlockMap& map) {
    const int32_t count = BlockCountOf(size);
    if (fd_ >= 0 && count > 0) {
        struct stat st {};
        if (::fstat(fd_, &st) == 0 && st.st_size == count) {
            std::vector<uint8_t> stored(static_cast<size_t>(count));
            if (ReadAll(fd_, stored.data(), stored.size()) && map.Assign(size, stored)) {
                map.FreeNotDone();
                return true;
            }
        }
    }
    map.Setup(size);
    return false;
}

bool TBlockMapFile::Save(const TBlockMap& map) {
    if (fd_ < 0) return false;
    const auto& bytes = map.Bytes();
    if (!bytes.empty() && !WriteAll(fd_, bytes.data(), bytes.size())) return false;
    const auto length = static_cast<int64_t>(bytes.size());
    if (fileLength_ > length && ::ftruncate(fd_, static_cast<off_t>(length)) != 0) return false;
    fileLength_ = length;
    savedMap_ = &map;
    savedVersion_ = map.Version();
    return true;
}

bool TBlockMapFile::SaveIfChanged(const TBlockMap& map) {
    if (savedMap_ == &map && savedVersion_ == map.Version()) return true;
    return Save(map);
}

TResumeDecision DecideResume(int64_t storedSize, const TBlockMap& map, int64_t serverSize) {
    if (storedSize <= 0 || serverSize != storedSize) return TResumeDecision::FreshStart;
    if (map.SizeUnknown() || map.TotalSize() != storedSize ||
        map.BlockCount() != BlockCountOf(storedSize))
        return TResumeDecision::FreshStart;
    return TResumeDecision::Resume;
}

} // namespace tq
