#pragma once
// Reads one line of an FTP LIST reply into the fields of a directory entry, for the
// 25 server families a site can name, and turns it into a file-data record.
//
// Every routine here is pure: it reads only its arguments (and the clock when no
// date is handed in), never throws and never reads past the end of its input.
// Texts are the server's bytes as received; no character-set conversion is done.

#include "foundation/TQNFileData.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace tq {

// Server types as a site stores them; the index into FtpServerTypeNames.
enum TFtpServerType : uint8_t {
    ftpstAutoDetect = 0,
    ftpstDefault,
    ftpstUNIX,
    ftpstULTRIX,
    ftpstClix,
    ftpstChameleon,
    ftpstNCSA,
    ftpstQVT,
    ftpstBSD,
    ftpstSunOS,
    ftpstVmsMultinet,
    ftpstVmsUcx,
    ftpstMVS,
    ftpstVM,
    ftpstVMVPS,
    ftpstMSfTP,
    ftpstNetTerm,
    ftpstServU,
    ftpstWfTPD,
    ftpWarfTPD,
    ftpstNetware,
    ftpstNetPresenz,
    ftpstUNIXL8EX,
    ftpstSUNOSL8EX,
    ftpstUNIXL8EX_51NET,
};

inline constexpr int kFtpServerTypeCount = 25;

// The names shown to the user by the site dialogs, in index order.
inline constexpr std::array<std::string_view, kFtpServerTypeCount> FtpServerTypeNames = {
    "ftpstAutoDetect", "ftpstDefault",     "ftpstUNIX",        "ftpstULTRIX",
    "ftpstClix",       "ftpstChameleon",   "ftpstNCSA",        "ftpstQVT",
    "ftpstBSD",        "ftpstSunOS",       "ftpstVmsMultinet", "ftpstVmsUcx",
    "ftpstMVS",        "ftpstVM",          "ftpstVMVPS",       "ftpstMSfTP",
    "ftpstNetTerm",    "ftpstServU",       "ftpstWfTPD",       "ftpWarfTPD",
    "ftpstNetware",    "ftpstNetPresenz",  "ftpstUNIXL8EX",    "ftpstSUNOSL8EX",
    "ftpstUNIXL8EX_51NET",
};

// A month's number is its position, 1 to 12.
inline constexpr std::array<std::string_view, 12> MonthAbbrevTable = {
    "JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC",
};

// A link whose lower-cased text holds one of these points at a file, not a folder.
inline constexpr std::array<std::string_view, 7> LinkFileMarkers = {
    ".gz", ".exe", ".txt", ".tar", "copying", "readme", ".diff",
};

// The month word of the Chinese listing form is a number followed by "月", sent in
// GBK by older servers and in UTF-8 by newer ones; both are accepted.
inline constexpr std::string_view kListMonthGbk = "\xD4\xC2";
inline constexpr std::string_view kListMonthUtf8 = "\xE6\x9C\x88";

// The default date text of an EPLF line.
inline constexpr std::string_view kEplfDefaultDate = "1/1/80 12:00";

// "Today" as the listing reader sees it: a listing date with a time but no year is
// placed in the year that keeps it from lying in the future. All zero (the default)
// means the local clock, read when such a date is met.
struct ListToday {
    int Year = 0;
    int Month = 0;
    int Day = 0;
};

ListToday ListTodayFromClock();

// The current year without its first two digits, e.g. "26".
std::string CurrentYear2(const ListToday& today = {});

// One listing line -> entry fields. False when the line is no entry (a "total" line,
// an empty line, a line of an unknown form, a date that cannot be read).
bool ParseListLine(uint8_t ServerType, std::string_view Line, std::string& Name, bool& IsDir,
                   std::string& Attributes, std::string& Link, std::string& DateText,
                   std::string& SizeText, const ListToday& today = {});

// The server type named by a SYST reply line; Current is returned when it is not 0.
uint8_t DetectServerType(std::string_view Text, uint8_t Current);

// Parses Line into Entry (name, attributes, link, directory flag, 64-bit size, the
// normalised date text and the numeric date fields). On false Entry is unchanged.
bool LineToFileData(std::string_view Line, TQNFileData& Entry, uint8_t ServerType,
                    const ListToday& today = {});

// Reads "month/day/year hour:minute marker" into Entry's date fields and gives the text
// "Y-M-D H:MM". When the text cannot be read, Entry is unchanged and Normalised empty.
void NormaliseListDate(std::string_view DateText, TQNFileData& Entry, std::string& Normalised);

// Name and size of a listing line of an unknown server, for the download side.
bool ParseNameAndSize(std::string_view Line, std::string& Name, int64_t& Size,
                      const ListToday& today = {});

// Word N of Text with runs of blanks counted as one blank; empty when no blank follows
// it (so the last word of a line is never returned). The result points into Text.
std::string_view ListToken(std::string_view Text, int N);

// Words N, N+1 (and N+2 unless TwoWords) as a date text of MonthDayTimeToDate; empty
// when they do not form one.
std::string ListDateText(std::string_view Text, int N, bool TwoWords, const ListToday& today = {});

// The name that follows word TimeWord of Line (blanks around it trimmed, a link target
// "-> ..." removed). Found by position, so a name never depends on what else the line
// holds.
std::string_view NameAfterTime(std::string_view Line, int TimeWord);

// From the first "->" to the end, "->" included; empty without "->".
std::string_view LinkText(std::string_view Line);
bool LinkTargetIsDir(std::string_view LowerLink);

// "Jan 5 12:30" / "Jan 05 2003" -> "1/5/yy 12:30 AM" / "1/05/03 12:00 AM".
// False when the text holds no day or an unreadable time.
bool MonthDayTimeToDate(std::string_view Text, std::string& Out, const ListToday& today = {});
// "03-15-03", "02:30PM" -> "03/15/03 02:30 PM".
std::string DosDateToDate(std::string_view DateWord, std::string_view TimeWord);
// Seconds since 1970 (UTC) -> "mm/dd/yy hh:mm"; not a number -> "1/1/80 12:00".
std::string EplfTimeToDate(std::string_view Seconds);

// The families that do not go through the server-type switch.
bool ParseEplfLine(std::string_view Line, std::string& Name, bool& IsDir, std::string& Attributes,
                   std::string& Link, std::string& DateText, std::string& SizeText);
bool ParseSunOsL8Line(std::string_view Line, std::string& Name, bool& IsDir,
                      std::string& Attributes, std::string& Link, std::string& DateText,
                      std::string& SizeText);
bool ParseUnixL8Line(std::string_view Line, std::string& Name, bool& IsDir,
                     std::string& Attributes, std::string& Link, std::string& DateText,
                     std::string& SizeText);
bool ParseUnixL8NetLine(std::string_view Line, std::string& Name, bool& IsDir,
                        std::string& Attributes, std::string& Link, std::string& DateText,
                        std::string& SizeText);

// A size column: digits only (blanks around them allowed, empty counts as 0), refused
// when it does not fit in 63 bits.
bool ParseListSize(std::string_view SizeText, int64_t& Size);

} // namespace tq
