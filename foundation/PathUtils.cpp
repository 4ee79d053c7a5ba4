#include "foundation/PathUtils.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/DateTimeUtils.h"
#include "foundation/Encoding.h"

namespace tq {

namespace {

void FillTimes(TQNFileData& entry, const struct stat& st) {
    const TDateTimeFields f = LocalDateTimeFields(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    entry.Year = static_cast<uint16_t>(f.Year);
    entry.Month = static_cast<uint16_t>(f.Month);
    entry.Day = static_cast<uint16_t>(f.Day);
    entry.Hour = static_cast<uint16_t>(f.Hour);
    entry.Minute = static_cast<uint16_t>(f.Minute);
    entry.Second = static_cast<uint16_t>(f.Second);
    entry.MilliSecond = static_cast<uint16_t>(f.MilliSecond);
    entry.DateTime = EncodeDateTime(f);
}

// Status of an entry for listings: links to plain files count as those files;
// links to folders and dangling links are not taken (false).
bool ListableStat(const std::string& path, struct stat& st) {
    if (lstat(path.c_str(), &st) != 0) return false;
    if (!S_ISLNK(st.st_mode)) return true;
    return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::vector<std::string> SortedNames(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return names;
    while (const struct dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool CopyFileContents(const std::string& source, const std::string& target) {
    const int in = open(source.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    struct stat st {};
    if (fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(in);
        return false;
    }
    const int out = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777);
    if (out < 0) {
        close(in);
        return false;
    }
    bool ok = true;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        const ssize_t n = read(in, buffer.data(), buffer.size());
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(out, buffer.data() + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok) break;
    }
    // The copy keeps the last-write time of its source.
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (ok) futimens(out, times);
    if (close(out) != 0) ok = false;
    close(in);
    if (!ok) unlink(target.c_str());
    return ok;
}

bool DeleteTreeAt(int parentFd, const char* name) {
    const int fd = openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    DIR* d = fdopendir(fd);
    if (d == nullptr) {
        close(fd);
        return false;
    }
    while (const struct dirent* e = readdir(d)) {
        const std::string entry = e->d_name;
        if (entry == "." || entry == "..") continue;
        struct stat st {};
        if (fstatat(fd, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            DeleteTreeAt(fd, entry.c_str());
            unlinkat(fd, entry.c_str(), AT_REMOVEDIR);
        } else {
            unlinkat(fd, entry.c_str(), 0);
        }
    }
    closedir(d);
    return true;
}

bool IsUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

} // namespace

std::string JoinLocalPath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (dir.back() == '/') return dir + name;
    return dir + "/" + name;
}

std::string JoinRemotePath(const std::string& dir, const std::string& name) {
    if (dir.empty()) return name;
    if (name.empty()) return dir;
    // Names are not trimmed: remote names may begin or end with blanks.
    const std::string tail = name[0] == '/' ? name.substr(1) : name;
    std::string r = dir.back() == '/' ? dir + tail : dir + "/" + tail;
    if (r.size() > 1 && r.back() == '/') r.pop_back();
    return r;
}

void SplitRemotePath(const std::string& path, std::string& dir, std::string& name) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
        dir.clear();
        name = path;
        return;
    }
    dir = path.substr(0, slash);
    name = path.substr(slash + 1);
}

std::string AddFileExt(const std::string& name, const std::string& ext) {
    if (ext.empty()) return name;
    if (ext[0] == '.') return name + ext;
    return name + "." + ext;
}

std::string ExtractFileExt(const std::string& name) {
    const size_t slash = name.rfind('/');
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    return name.substr(dot);
}

std::string StripFileExt(const std::string& name) {
    return name.substr(0, name.size() - ExtractFileExt(name).size());
}

bool EntryExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && lstat(path.c_str(), &st) == 0;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool ForceDirectories(const std::string& path, unsigned mode) {
    if (path.empty()) return false;
    if (DirExists(path)) return true;
    for (size_t pos = path.find('/', 1); ; pos = path.find('/', pos + 1)) {
        const std::string part = path.substr(0, pos);
        if (!part.empty() && part.back() != '/' && mkdir(part.c_str(), mode) != 0 && errno != EEXIST)
            return false;
        if (pos == std::string::npos) break;
    }
    return DirExists(path);
}

void UniqueFileName(const std::string& dir, std::string& base, const std::string& ext) {
    for (uint64_t n = 0;; ++n) {
        const std::string candidate = n == 0 ? base : base + std::to_string(n);
        if (!EntryExists(JoinLocalPath(dir, AddFileExt(candidate, ext)))) {
            base = candidate;
            return;
        }
    }
}

void TimeFileName(const std::string& dir, std::string& name, const std::string& ext) {
    const double now = NowDateTime();
    char text[64];
    std::snprintf(text, sizeof text, "%.15g", now - std::floor(now));
    std::string digits = text;
    const size_t dot = digits.find('.');
    if (dot != std::string::npos) digits.erase(0, dot + 1);
    name = digits;
    UniqueFileName(dir, name, ext);
}

void NextFreeFileNumber(const std::string& dir, int& n, const std::string& ext) {
    while (EntryExists(JoinLocalPath(dir, AddFileExt(std::to_string(n), ext)))) ++n;
}

void NextFreeDirNumber(const std::string& dir, int& n) {
    while (EntryExists(JoinLocalPath(dir, std::to_string(n)))) ++n;
}

bool CopyFileToDir(const std::string& srcDir, const std::string& destDir, std::string& fileName,
                   bool move) {
    if (!DirExists(destDir) && !ForceDirectories(destDir)) return false;
    const std::string source = JoinLocalPath(srcDir, fileName);
    std::string target = JoinLocalPath(destDir, fileName);

    struct stat ss {}, ts {};
    if (source == target ||
        (stat(source.c_str(), &ss) == 0 && stat(target.c_str(), &ts) == 0 &&
         ss.st_dev == ts.st_dev && ss.st_ino == ts.st_ino))
        return true;

    std::string newName = fileName;
    if (EntryExists(target)) {
        std::string base = StripFileExt(fileName);
        const std::string ext = ExtractFileExt(fileName);
        UniqueFileName(destDir, base, ext);
        newName = AddFileExt(base, ext);
        target = JoinLocalPath(destDir, newName);
    }

    bool ok = false;
    if (move && rename(source.c_str(), target.c_str()) == 0) {
        ok = true;
    } else {
        ok = CopyFileContents(source, target);
        if (ok && move) unlink(source.c_str());
    }
    if (ok) fileName = newName;
    return ok;
}

bool GetLocalFileInfo(const std::string& dir, const std::string& name, TQNFileData& entry) {
    const std::string path = JoinLocalPath(dir, name);
    struct stat st {};
    if (stat(path.c_str(), &st) != 0 && lstat(path.c_str(), &st) != 0) return false;
    entry.FileName = name;
    entry.Dir = dir;
    entry.OtherDir.clear();
    entry.Level = 0;
    entry.FileSize = static_cast<int64_t>(st.st_size);
    entry.IsDir = S_ISDIR(st.st_mode);
    FillTimes(entry, st);
    return true;
}

void ScanLocalTree(const std::string& dir, TQNFileDataList& dirList, TQNFileDataList& fileList,
                   int level, const std::string& remoteDir, const TScanFilter& filter,
                   bool recurse) {
    const size_t firstDir = dirList.size();
    for (const std::string& name : SortedNames(dir)) {
        struct stat st {};
        if (!ListableStat(JoinLocalPath(dir, name), st)) continue;
        const bool isDir = S_ISDIR(st.st_mode);
        if (filter && filter(name, isDir) != 1) continue;
        auto entry = NewFileData();
        entry->FileName = name;
        entry->Dir = dir;
        entry->OtherDir = remoteDir;
        entry->Level = level;
        entry->IsDir = isDir;
        entry->FileSize = isDir ? 0 : static_cast<int64_t>(st.st_size);
        FillTimes(*entry, st);
        (isDir ? dirList : fileList).push_back(std::move(entry));
    }
    if (!recurse) return;
    const size_t lastDir = dirList.size();
    for (size_t k = firstDir; k < lastDir; ++k) {
        const std::string name = dirList[k]->FileName;
        ScanLocalTree(JoinLocalPath(dir, name), dirList, fileList, level + 1,
                      JoinLocalPath(remoteDir, name), filter, true);
    }
}

void ListLocalSubdirs(const std::string& dir, bool recurse, TQNFileDataList& dirList,
                      TQNFileDataList& fileList, const TScanFilter& filter,
                      std::vector<std::string>& names) {
    ScanLocalTree(dir, dirList, fileList, 0, "", filter, recurse);
    std::stable_sort(dirList.begin(), dirList.end(),
                     [](const auto& a, const auto& b) { return a->Level < b->Level; });
    for (const auto& d : dirList) {
        const std::string rel = JoinLocalPath(d->OtherDir, d->FileName);
        if (std::find(names.begin(), names.end(), rel) == names.end()) names.push_back(rel);
    }
}

void ListFilesInDir(const std::string& dir, std::vector<std::string>& list) {
    for (const std::string& name : SortedNames(dir)) {
        struct stat st {};
        if (stat(JoinLocalPath(dir, name).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            list.push_back(name);
    }
}

bool DeleteDirTree(const std::string& dir) {
    struct stat st {};
    if (dir.empty() || lstat(dir.c_str(), &st) != 0) return true;
    if (!S_ISDIR(st.st_mode)) return unlink(dir.c_str()) == 0;  // a link is removed, not followed
    DeleteTreeAt(AT_FDCWD, dir.c_str());
    rmdir(dir.c_str());
    return !EntryExists(dir);
}

std::string SanitizeFileName(const std::string& name) {
    // Server bytes that are not UTF-8 (GBK names) become readable local names.
    std::string r = ServerTextToUtf8(name);
    for (char& c : r) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '/' || u < 0x20 || u == 0x7f) c = '_';
    }
    constexpr size_t kMaxName = 255;
    if (r.size() > kMaxName) {
        // Keep a short extension so the file still opens with the right program.
        std::string ext = ExtractFileExt(r);
        if (ext.size() > 16) ext.clear();
        size_t cut = kMaxName - ext.size();
        while (cut > 0 && IsUtf8Continuation(r[cut])) --cut;
        r = r.substr(0, cut) + ext;
    }
    if (r.empty() || r == "." || r == "..") return "unnamed";
    return r;
}

std::string SafeJoinLocalPath(const std::string& dir, const std::string& name) {
    return JoinLocalPath(dir, SanitizeFileName(name));
}

} // namespace tq
