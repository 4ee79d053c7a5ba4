#pragma once
// Local ("/"-separated, case-sensitive) and remote path helpers, free-name
// choosers and local folder scans.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "foundation/TQNFileData.h"

namespace tq {

std::string JoinLocalPath(const std::string& dir, const std::string& name);
std::string JoinRemotePath(const std::string& dir, const std::string& name);
void SplitRemotePath(const std::string& path, std::string& dir, std::string& name);

std::string AddFileExt(const std::string& name, const std::string& ext);
// Extension of the last path element from its last ".", with the "."; "" when none.
std::string ExtractFileExt(const std::string& name);
// name without the suffix ExtractFileExt gives.
std::string StripFileExt(const std::string& name);

// Any entry (file, folder, link, dangling link) at path.
bool EntryExists(const std::string& path);
// An existing entry that is not a folder (links followed).
bool FileExists(const std::string& path);
bool DirExists(const std::string& path);
// Create path with every missing parent; true when it exists as a folder afterwards.
bool ForceDirectories(const std::string& path, unsigned mode = 0777);

// Makes base free in dir: base, base1, base2, ... + ext (AddFileExt rules).
void UniqueFileName(const std::string& dir, std::string& base, const std::string& ext);
// A free name made of the digits of the current day fraction.
void TimeFileName(const std::string& dir, std::string& name, const std::string& ext);
// Raises n to the first number whose name (with ext) is free in dir.
void NextFreeFileNumber(const std::string& dir, int& n, const std::string& ext);
void NextFreeDirNumber(const std::string& dir, int& n);

// Copies (or moves) dir/fileName into destDir, creating destDir; a taken target name
// is made free and written back to fileName. Copying a file onto itself succeeds
// without doing anything.
bool CopyFileToDir(const std::string& srcDir, const std::string& destDir,
                   std::string& fileName, bool move);

// Fills entry from dir/name (a link describes its target; a dangling link itself);
// false when absent.
bool GetLocalFileInfo(const std::string& dir, const std::string& name, TQNFileData& entry);

// Keep an entry when the filter answers 1; an empty filter keeps everything.
using TScanFilter = std::function<int(const std::string& name, bool isDir)>;

// Lists dir (dot files included, sorted by name) into dirList and fileList; with
// recurse, kept folders are scanned with level + 1. A link to a plain file is listed
// as that file; links to folders and dangling links are left out, so a scan never
// leaves the tree.
void ScanLocalTree(const std::string& dir, TQNFileDataList& dirList, TQNFileDataList& fileList,
                   int level, const std::string& remoteDir, const TScanFilter& filter,
                   bool recurse);
// Relative folder names below dir, parents before children, each once.
void ListLocalSubdirs(const std::string& dir, bool recurse, TQNFileDataList& dirList,
                      TQNFileDataList& fileList, const TScanFilter& filter,
                      std::vector<std::string>& names);
// Appends the names of the plain files of dir.
void ListFilesInDir(const std::string& dir, std::vector<std::string>& list);
// Removes dir and everything below it; links are removed, never followed. True when
// dir is gone afterwards.
bool DeleteDirTree(const std::string& dir);

// A usable single file name from untrusted text: UTF-8 (other bytes read as GB18030),
// no "/", no control bytes, not "." or "..", at most 255 bytes (UTF-8 sequences kept
// whole), never empty.
std::string SanitizeFileName(const std::string& name);
// dir joined with the sanitised name; the result always lies directly inside dir.
std::string SafeJoinLocalPath(const std::string& dir, const std::string& name);

} // namespace tq
