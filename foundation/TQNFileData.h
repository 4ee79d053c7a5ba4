#pragma once
// One local or remote directory entry, as listed, compared and transferred.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tq {

struct TQNFileData {
    std::string RawLine;     // the listing line the entry was parsed from (remote entries)
    std::string Dir;         // directory holding the entry (remote or local path)
    std::string OtherDir;    // the matching directory on the other side
    std::string FileName;    // name without directory
    std::string DateText;    // date as text (normalised for remote entries)
    std::string LinkText;    // symbolic-link text from the listing ("->" and target)
    std::string Attributes;  // attribute text from the listing, e.g. drwxr-xr-x
    int32_t Reserved = 0;
    int64_t FileSize = 0;    // 64-bit in memory; stored forms keep a high word apart
    bool IsDir = false;
    int32_t Level = 0;       // depth below the starting directory of a recursive scan
    uint16_t Year = 1980, Month = 1, Day = 1;
    uint16_t Hour = 0, Minute = 0, Second = 0, MilliSecond = 0;
    double DateTime = 0;     // the same date and time as a day count with fraction
};

using PTQNFileData = TQNFileData*;
using TQNFileDataList = std::vector<std::unique_ptr<TQNFileData>>;

std::unique_ptr<TQNFileData> NewFileData();
// Copies every field except DateTime.
void CopyFileData(const TQNFileData& from, TQNFileData& to);
void FreeFileData(std::unique_ptr<TQNFileData>& data);
void FreeFileDataList(TQNFileDataList& list);

} // namespace tq
