#pragma once
// Record streams: the byte-exact items (Integer, Cardinal, Word, String, raw text,
// text lines) of every binary data file, over a file descriptor or a memory buffer.

#include <cstdint>
#include <stdexcept>
#include <string>

namespace tq {

// Raised by the raising write form when fewer bytes than asked could be written.
class EStreamWriteError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Raised when a file stream cannot be opened.
class EFOpenError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What the record routines need of a stream.
class TQNStream {
public:
    virtual ~TQNStream() = default;
    // Reads up to count bytes; returns the count read (0 at the end).
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    // Writes up to count bytes; returns the count written.
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    virtual int64_t Size() = 0;
    virtual int64_t Position() const = 0;
    // Any position >= 0 is accepted here; StreamSeek is the checked form.
    virtual void SetPosition(int64_t position) = 0;
    // Makes written bytes durable (no-op for memory).
    virtual bool Flush() { return true; }
    // True when count bytes remain after the position.
    virtual bool CanRead(int64_t count) { return count <= Size() - Position(); }
    // The raising write form.
    void WriteBuffer(const void* buffer, int64_t count);
};

enum class TQNFileMode {
    fmCreate,         // create or truncate, read and write
    fmOpenRead,       // existing file, read only
    fmOpenReadWrite,  // existing file, read and write
};

// A file stream over a POSIX descriptor with 64-bit positions. Reads are served
// from a read-ahead buffer so that item-by-item reading of a record file does not
// cost a system call per item; every write is one positioned write.
class TQNCustomFileStream : public TQNStream {
public:
    // Throws EFOpenError. Created files get the given permission bits.
    TQNCustomFileStream(const std::string& fileName, TQNFileMode mode, unsigned createPerm = 0600);
    ~TQNCustomFileStream() override;
    TQNCustomFileStream(const TQNCustomFileStream&) = delete;
    TQNCustomFileStream& operator=(const TQNCustomFileStream&) = delete;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Size() override;
    int64_t Position() const override { return pos_; }
    void SetPosition(int64_t position) override { pos_ = position < 0 ? 0 : position; }
    bool Flush() override;  // fsync
    bool CanRead(int64_t count) override;
    // Cuts the file at the current position.
    bool Truncate();
    const std::string& FileName() const { return fileName_; }
    int Handle() const { return fd_; }

private:
    std::string fileName_;
    int fd_ = -1;
    int64_t pos_ = 0;
    std::string buf_;        // read-ahead bytes
    int64_t bufStart_ = 0;   // file offset of buf_[0]
};

// The stream class with which the stores open their record files.
class TQNZoleftpFileStream : public TQNCustomFileStream {
public:
    using TQNCustomFileStream::TQNCustomFileStream;
};

// An in-memory stream (listings, cached directory text).
class TQNTMemoryStream : public TQNStream {
public:
    TQNTMemoryStream() = default;
    explicit TQNTMemoryStream(std::string bytes) : data_(std::move(bytes)) {}
    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Size() override { return static_cast<int64_t>(data_.size()); }
    int64_t Position() const override { return pos_; }
    void SetPosition(int64_t position) override { pos_ = position < 0 ? 0 : position; }
    const std::string& Data() const { return data_; }
    void Clear() { data_.clear(); pos_ = 0; }

private:
    std::string data_;
    int64_t pos_ = 0;
};

// Sets the position when 0 <= position <= size; otherwise false, position unchanged.
bool StreamSeek(TQNStream& s, int64_t position);
bool StreamReadRaw4(TQNStream& s, void* dest4);
bool StreamReadInteger(TQNStream& s, int32_t& value);
bool StreamReadCardinal(TQNStream& s, uint32_t& value);
bool StreamReadWord(TQNStream& s, uint16_t& value);
// Never allocates more than what remains in the stream.
bool StreamReadString(TQNStream& s, std::string& value);
bool StreamReadBytes(TQNStream& s, std::string& value, int32_t count);

void StreamWriteInteger(TQNStream& s, int32_t value);
void StreamWriteCardinal(TQNStream& s, uint32_t value);
void StreamWriteString(TQNStream& s, const std::string& value);
void StreamWriteRaw(TQNStream& s, const std::string& value);
// Byte-wise writers: short writes are ignored.
bool StreamWriteIntBytes(TQNStream& s, int32_t value);
void StreamWriteChars(TQNStream& s, const std::string& value);
// The bytes with the raising form, then CR LF with plain writes.
void StreamWriteLine(TQNStream& s, const std::string& value);
// CR LF or LF ends a line; CR inside becomes a space; the result is trimmed of bytes
// <= 32. False at the end of the stream (the unterminated last line is still given).
bool StreamReadLine(TQNStream& s, std::string& line);

} // namespace tq
