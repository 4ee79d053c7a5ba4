#include "download/JobFiles.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/PathUtils.h"

namespace tq {

namespace {

// Closes a descriptor on every path out.
class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard() {
        if (fd_ >= 0) ::close(fd_);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int get() const { return fd_; }
private:
    int fd_;
};

int SystemAllocate(int fd, off_t offset, off_t length) {
    return ::posix_fallocate(fd, offset, length);
}

TCheckDiskResult DiskFailure(int error, int64_t size) {
    TCheckDiskResult r;
    r.Error = error;
    r.Message = kDiskSpaceText + std::to_string(size);
    return r;
}

} // namespace

std::string JobFilePath(const std::string& savePath, const std::string& name) {
    return SafeJoinLocalPath(savePath, name);
}

int OpenPartialFile(const std::string& path, bool create) {
    return ::open(path.c_str(), O_RDWR | O_CLOEXEC | (create ? O_CREAT : 0), 0666);
}

bool WriteAt(int fd, int64_t offset, const void* data, size_t n) {
    const auto* p = static_cast<const char*>(data);
    while (n > 0) {
        const ssize_t w = ::pwrite(fd, p, n, static_cast<off_t>(offset));
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) return false;
        if (w == 0) {
            errno = ENOSPC;
            return false;
        }
        p += w;
        offset += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

bool SetPartialFileSize(const std::string& path, int64_t size) {
    FdGuard fd(OpenPartialFile(path, true));
    if (fd.get() < 0) return false;
    return ::ftruncate(fd.get(), static_cast<off_t>(size < 0 ? 0 : size)) == 0;
}

TCheckDiskResult CheckDisk(const std::string& path, int64_t size,
                           const TAllocateSpace& allocate) {
    if (size <= 0) return {true, 0, ""};
    FdGuard fd(OpenPartialFile(path, false));
    if (fd.get() < 0) return DiskFailure(errno, size);
    // Writing one byte at the end proves nothing on a sparse file: reserve every block.
    int error;
    do {
        error = allocate ? allocate(fd.get(), 0, static_cast<off_t>(size))
                         : SystemAllocate(fd.get(), 0, static_cast<off_t>(size));
    } while (error == EINTR);
    if (error != 0) return DiskFailure(error, size);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return DiskFailure(errno, size);
    // A longer file left from an earlier attempt is cut to the length.
    if (st.st_size > size &&
        (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0 || ::fstat(fd.get(), &st) != 0))
        return DiskFailure(errno, size);
    if (st.st_size != size) return DiskFailure(EIO, size);
    return {true, 0, ""};
}

bool RenameNoReplace(const std::string& from, const std::string& to, int& error,
                     bool allowRenameat2) {
    error = 0;
    if (allowRenameat2) {
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
            return true;
        // Only a file system without the flag falls through to the link form.
        if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) {
            error = errno;
            return false;
        }
    }
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return true;
    }
    error = errno;
    // A file system without hard links: a plain rename after checking, as the last way.
    if (error == EPERM || error == EOPNOTSUPP || error == EMLINK) {
        if (EntryExists(to)) {
            error = EEXIST;
            return false;
        }
        if (::rename(from.c_str(), to.c_str()) == 0) {
            error = 0;
            return true;
        }
        error = errno;
    }
    return false;
}

TCompletion CompletePartialFile(const std::string& savePath, const std::string& tempFileName,
                                const std::string& fileName,
                                const std::function<void(const std::string&)>& beforeRename) {
    TCompletion c;
    const std::string wanted = SanitizeFileName(fileName);
    const std::string temp = JobFilePath(savePath, tempFileName);
    c.FileName = wanted;
    c.FinalPath = JoinLocalPath(savePath, wanted);
    if (temp == c.FinalPath) {
        c.Ok = EntryExists(temp);
        c.Error = c.Ok ? 0 : ENOENT;
    } else {
        // Each round takes the next free number; another process may take a name
        // between the test and the rename, so a lost race simply tries again.
        for (int round = 0; round < 1000; ++round) {
            if (beforeRename) beforeRename(c.FileName);
            if (RenameNoReplace(temp, c.FinalPath, c.Error)) {
                c.Ok = true;
                break;
            }
            if (c.Error != EEXIST) break;
            std::string base = StripFileExt(wanted);
            const std::string ext = ExtractFileExt(wanted);
            UniqueFileName(savePath, base, ext);
            c.FileName = AddFileExt(base, ext);
            c.FinalPath = JoinLocalPath(savePath, c.FileName);
        }
    }
    if (!c.Ok) return c;
    c.NameChanged = c.FileName != fileName;
    c.FileDate = PackFileDate(LocalDateTimeFields(std::time(nullptr)));
    return c;
}

int32_t PackFileDate(const TDateTimeFields& f) {
    if (f.Year < 1980 || f.Year > 2107) return 0;
    const uint32_t date = static_cast<uint32_t>((f.Year - 1980) << 9 | f.Month << 5 | f.Day);
    const uint32_t time = static_cast<uint32_t>(f.Hour << 11 | f.Minute << 5 | f.Second / 2);
    return static_cast<int32_t>(date << 16 | time);
}

bool UnpackFileDate(int32_t packed, TDateTimeFields& f) {
    if (packed == 0) return false;
    const auto v = static_cast<uint32_t>(packed);
    TDateTimeFields r;
    r.Year = static_cast<int>(v >> 25) + 1980;
    r.Month = static_cast<int>(v >> 21 & 15);
    r.Day = static_cast<int>(v >> 16 & 31);
    r.Hour = static_cast<int>(v >> 11 & 31);
    r.Minute = static_cast<int>(v >> 5 & 63);
    r.Second = static_cast<int>(v & 31) * 2;
    if (r.Month < 1 || r.Month > 12 || r.Day < 1 || r.Hour > 23 || r.Minute > 59 ||
        r.Second > 59)
        return false;
    // A day past the month's end (31 February) does not survive the round trip.
    const TDateTimeFields back = DecodeDateTime(EncodeDateTime(r.Year, r.Month, r.Day));
    if (back.Month != r.Month || back.Day != r.Day) return false;
    f = r;
    return true;
}

} // namespace tq
