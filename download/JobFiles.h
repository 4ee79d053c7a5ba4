#pragma once
// The files of a download job on the saving side: the partial file that every
// connection writes at its offsets, the space check before a fresh start, and the
// rename to the final name when the job is complete.

#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

#include "foundation/DateTimeUtils.h"

namespace tq {

constexpr const char* kPartialFileExt = "zl!";
constexpr const char* kWriteFailedText = "写入文件时产生错误,请使用工具修复";
constexpr const char* kDiskSpaceText = "目标磁盘剩余空间小于";

// Path of a partial or final file in the save folder; the name may come from a server,
// so it is sanitised and the path stays inside the folder.
std::string JobFilePath(const std::string& savePath, const std::string& name);

// Descriptor of the partial file opened for positioned writes (created when create);
// -1 on failure with errno set.
int OpenPartialFile(const std::string& path, bool create);
// All n bytes at the 64-bit offset; false on a failed or short write (errno set).
bool WriteAt(int fd, int64_t offset, const void* data, size_t n);
// Opens or creates the file and sets its length (sparse), as the first connection of
// a fresh start does.
bool SetPartialFileSize(const std::string& path, int64_t size);

// Space reservation, posix_fallocate's contract: 0 or an error number.
using TAllocateSpace = std::function<int(int fd, off_t offset, off_t length)>;

struct TCheckDiskResult {
    bool Ok = false;
    int Error = 0;        // errno of the failed step
    std::string Message;  // the log line for a failure
};

// Reserves the whole length on disk for an existing partial file and verifies its size;
// a missing file, a failed reservation (no space, quota) or a wrong size afterwards
// fails with kDiskSpaceText + the length. Unknown lengths (size <= 0) pass. allocate
// defaults to posix_fallocate.
TCheckDiskResult CheckDisk(const std::string& path, int64_t size,
                           const TAllocateSpace& allocate = {});

// Moves from to to without ever replacing an entry at to (file, folder or link):
// renameat2 with RENAME_NOREPLACE, or where the file system lacks it (or
// allowRenameat2 is false) a hard link and unlink. False with error = EEXIST when to
// is taken, another errno otherwise.
bool RenameNoReplace(const std::string& from, const std::string& to, int& error,
                     bool allowRenameat2 = true);

struct TCompletion {
    bool Ok = false;
    int Error = 0;            // errno when the rename failed
    std::string FileName;     // the final name (numbered when the wanted one was taken)
    std::string FinalPath;
    bool NameChanged = false; // FileName differs from the wanted name
    int32_t FileDate = 0;     // completion time as a packed file date-time
};

// Renames the partial file tempFileName in savePath to fileName; a taken name (by a
// file or a folder) gives the next free numbered one ("a.zip" -> "a1.zip"). The
// partial file is never lost and nothing existing is replaced.
// beforeRename, when given, learns each name just before the rename to it is tried,
// so the caller can record it first: a crash right after the rename then still finds
// the file under the recorded name.
TCompletion CompletePartialFile(const std::string& savePath, const std::string& tempFileName,
                                const std::string& fileName,
                                const std::function<void(const std::string&)>& beforeRename = {});

// Packed file date-time: date in the high word ((year - 1980) << 9 | month << 5 | day),
// time in the low word (hour << 11 | minute << 5 | second / 2); 0 outside 1980..2107.
int32_t PackFileDate(const TDateTimeFields& f);
// The fields of a packed date-time; false for 0 or a value that is no valid date.
bool UnpackFileDate(int32_t packed, TDateTimeFields& f);

} // namespace tq
