#include "foundation/QNZoleftpFileStream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tq {

namespace {

constexpr int64_t kReadAhead = 64 * 1024;

void PutLE32(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

uint32_t GetLE32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

} // namespace

void TQNStream::WriteBuffer(const void* buffer, int64_t count) {
    if (count <= 0) return;
    if (Write(buffer, count) != count) throw EStreamWriteError("Stream write error");
}

// ---- file stream ----

TQNCustomFileStream::TQNCustomFileStream(const std::string& fileName, TQNFileMode mode,
                                         unsigned createPerm)
    : fileName_(fileName) {
    int flags = O_CLOEXEC;
    switch (mode) {
    case TQNFileMode::fmCreate: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    case TQNFileMode::fmOpenRead: flags |= O_RDONLY; break;
    case TQNFileMode::fmOpenReadWrite: flags |= O_RDWR; break;
    }
    do {
        fd_ = ::open(fileName.c_str(), flags, static_cast<mode_t>(createPerm));
    } while (fd_ < 0 && errno == EINTR);
    if (fd_ < 0)
        throw EFOpenError("Cannot open file \"" + fileName + "\". " + std::strerror(errno));
}

TQNCustomFileStream::~TQNCustomFileStream() {
    if (fd_ >= 0) ::close(fd_);
}

int64_t TQNCustomFileStream::Read(void* buffer, int64_t count) {
    if (count <= 0) return 0;
    auto* out = static_cast<char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        int64_t bufEnd = bufStart_ + static_cast<int64_t>(buf_.size());
        if (pos_ >= bufStart_ && pos_ < bufEnd) {
            int64_t n = std::min(count - done, bufEnd - pos_);
            std::memcpy(out + done, buf_.data() + (pos_ - bufStart_), static_cast<size_t>(n));
            done += n;
            pos_ += n;
            continue;
        }
        int64_t want = count - done;
        if (want >= kReadAhead) {
            // Large reads go straight to the caller's buffer.
            ssize_t r = ::pread(fd_, out + done, static_cast<size_t>(want), pos_);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            done += r;
            pos_ += r;
            continue;
        }
        buf_.resize(static_cast<size_t>(kReadAhead));
        ssize_t r = ::pread(fd_, buf_.data(), buf_.size(), pos_);
        if (r < 0 && errno == EINTR) { buf_.clear(); continue; }
        if (r <= 0) { buf_.clear(); break; }
        buf_.resize(static_cast<size_t>(r));
        bufStart_ = pos_;
    }
    return done;
}

int64_t TQNCustomFileStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    buf_.clear();
    auto* in = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        ssize_t w = ::pwrite(fd_, in + done, static_cast<size_t>(count - done), pos_);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) break;
        done += w;
        pos_ += w;
    }
    return done;
}

int64_t TQNCustomFileStream::Size() {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return 0;
    return static_cast<int64_t>(st.st_size);
}

bool TQNCustomFileStream::CanRead(int64_t count) {
    // Bytes already read ahead need no size query.
    if (pos_ >= bufStart_ && pos_ + count <= bufStart_ + static_cast<int64_t>(buf_.size()))
        return true;
    return TQNStream::CanRead(count);
}

bool TQNCustomFileStream::Flush() { return ::fsync(fd_) == 0; }

bool TQNCustomFileStream::Truncate() {
    buf_.clear();
    return ::ftruncate(fd_, pos_) == 0;
}

// ---- memory stream ----

int64_t TQNTMemoryStream::Read(void* buffer, int64_t count) {
    int64_t size = Size();
    if (count <= 0 || pos_ >= size) return 0;
    int64_t n = std::min(count, size - pos_);
    std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
    pos_ += n;
    return n;
}

int64_t TQNTMemoryStream::Write(const void* buffer, int64_t count) {
    if (count <= 0) return 0;
    size_t end = static_cast<size_t>(pos_ + count);
    if (end > data_.size()) data_.resize(end);
    std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
    pos_ += count;
    return count;
}

// ---- item routines ----

bool StreamSeek(TQNStream& s, int64_t position) {
    if (position < 0 || position > s.Size()) return false;
    s.SetPosition(position);
    return true;
}

bool StreamReadRaw4(TQNStream& s, void* dest4) { return s.Read(dest4, 4) == 4; }

bool StreamReadInteger(TQNStream& s, int32_t& value) {
    uint32_t v = 0;
    if (!StreamReadCardinal(s, v)) return false;
    value = static_cast<int32_t>(v);
    return true;
}

bool StreamReadCardinal(TQNStream& s, uint32_t& value) {
    unsigned char b[4];
    if (!StreamReadRaw4(s, b)) return false;
    value = GetLE32(b);
    return true;
}

bool StreamReadWord(TQNStream& s, uint16_t& value) {
    uint32_t v = 0;
    if (!StreamReadCardinal(s, v)) return false;
    value = static_cast<uint16_t>(v & 0xFFFF);
    return true;
}

bool StreamReadBytes(TQNStream& s, std::string& value, int32_t count) {
    value.clear();
    if (count < 0) return false;
    if (count == 0) return true;
    if (!s.CanRead(count)) return false;
    value.resize(static_cast<size_t>(count));
    return s.Read(value.data(), count) == count;
}

bool StreamReadString(TQNStream& s, std::string& value) {
    value.clear();
    int32_t n = 0;
    if (!StreamReadInteger(s, n)) return false;
    return StreamReadBytes(s, value, n);
}

void StreamWriteInteger(TQNStream& s, int32_t value) {
    StreamWriteCardinal(s, static_cast<uint32_t>(value));
}

void StreamWriteCardinal(TQNStream& s, uint32_t value) {
    unsigned char b[4];
    PutLE32(b, value);
    s.WriteBuffer(b, 4);
}

void StreamWriteString(TQNStream& s, const std::string& value) {
    StreamWriteInteger(s, static_cast<int32_t>(value.size()));
    s.WriteBuffer(value.data(), static_cast<int64_t>(value.size()));
}

void StreamWriteRaw(TQNStream& s, const std::string& value) {
    s.WriteBuffer(value.data(), static_cast<int64_t>(value.size()));
}

bool StreamWriteIntBytes(TQNStream& s, int32_t value) {
    unsigned char b[4];
    PutLE32(b, static_cast<uint32_t>(value));
    for (unsigned char c : b) s.Write(&c, 1);
    return true;
}

void StreamWriteChars(TQNStream& s, const std::string& value) {
    for (char c : value) s.Write(&c, 1);
}

void StreamWriteLine(TQNStream& s, const std::string& value) {
    StreamWriteRaw(s, value);
    const char cr = 13, lf = 10;
    s.Write(&cr, 1);
    s.Write(&lf, 1);
}

bool StreamReadLine(TQNStream& s, std::string& line) {
    std::string acc;
    bool result = false;
    for (;;) {
        char c = 0;
        if (s.Read(&c, 1) != 1) break;
        if (c == 10) { result = true; break; }
        acc.push_back(c == 13 ? ' ' : c);
    }
    size_t b = 0, e = acc.size();
    while (b < e && static_cast<unsigned char>(acc[b]) <= 32) ++b;
    while (e > b && static_cast<unsigned char>(acc[e - 1]) <= 32) --e;
    line = acc.substr(b, e - b);
    return result;
}

} // namespace tq
