#pragma once
// Whole-file rewrites that a crash cannot leave half done: the bytes go to a
// temporary sibling, which is flushed and renamed over the old file.

#include <string>
#include <string_view>

namespace tq {

// False (with errno set) when any step failed; the old file is then untouched and no
// temporary file is left. mode applies to a newly written file (0600: the files of
// this program can hold scrambled passwords).
bool WriteFileAtomically(const std::string& fileName, std::string_view bytes, unsigned mode = 0600);

// Flushes a folder's entries, so a rename in it survives a crash.
bool SyncDirectory(const std::string& dir);

} // namespace tq
