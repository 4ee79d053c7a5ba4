#include "foundation/AtomicFile.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tq {

namespace {

std::string DirOf(const std::string& fileName) {
    const size_t p = fileName.rfind('/');
    if (p == std::string::npos) return ".";
    return p == 0 ? "/" : fileName.substr(0, p);
}

} // namespace

bool SyncDirectory(const std::string& dir) {
    const int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

bool WriteFileAtomically(const std::string& fileName, std::string_view bytes, unsigned mode) {
    // A unique temporary name, so two writers never share one temporary file.
    std::string temp = fileName + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);  // created 0600
    if (fd < 0) return false;
    bool ok = mode == 0600 || ::fchmod(fd, mode) == 0;
    for (size_t done = 0; ok && done < bytes.size();) {
        const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = ENOSPC;
            ok = false;
        } else {
            done += static_cast<size_t>(w);
        }
    }
    if (ok && ::fsync(fd) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    if (ok && ::rename(temp.c_str(), fileName.c_str()) != 0) ok = false;
    if (!ok) {
        const int e = errno;
        ::unlink(temp.c_str());
        errno = e;
        return false;
    }
    SyncDirectory(DirOf(fileName));
    return true;
}

} // namespace tq
