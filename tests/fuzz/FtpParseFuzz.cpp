// libFuzzer target over the listing parser and the server type detection.
// Input: one byte choosing the server type (and a word number), then the line.

#include "ftp/FtpParse.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // Types past 24 are fed too: a stored site may hold any byte.
    const uint8_t type = uint8_t(data[0] % 32);
    const std::string_view line(reinterpret_cast<const char*>(data + 1), size - 1);
    const tq::ListToday today{2026, 12, 11};

    std::string name, attrs, link, date, sizeText;
    bool isDir = false;
    tq::ParseListLine(type, line, name, isDir, attrs, link, date, sizeText, today);
    tq::ParseListLine(tq::ftpstAutoDetect, line, name, isDir, attrs, link, date, sizeText, today);

    tq::TQNFileData entry;
    tq::LineToFileData(line, entry, type, today);

    int64_t fileSize = 0;
    tq::ParseNameAndSize(line, name, fileSize, today);

    tq::DetectServerType(line, 0);
    tq::ListToken(line, data[0] % 20);
    tq::NameAfterTime(line, data[0] % 12);
    tq::MonthDayTimeToDate(line, date, today);
    tq::NormaliseListDate(line, entry, date);
    tq::EplfTimeToDate(line);
    tq::DosDateToDate(line, line.substr(line.size() / 2));
    tq::ParseListSize(line, fileSize);
    return 0;
}
