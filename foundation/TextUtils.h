#pragma once
// Small text helpers shared by every engine folder. Texts are byte strings; case
// folding is ASCII only; positions handed out are 1-based, 0 meaning "absent".

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tq {

std::string UpperCase(std::string_view s);
std::string LowerCase(std::string_view s);
// Remove characters <= ' ' at either end.
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);

// N > 0: 1-based position of the N-th occurrence of sub in s (a value greater than
// s.size() when fewer occur). N < 0: the |N|-th occurrence counted from the end, 0
// when fewer. N = 0 or empty sub: 0.
size_t PosNth(std::string_view sub, std::string_view s, int n);

// Case-insensitive wildcard match with "*" and "?", without backtracking (the first
// occurrence after a star wins). Text is cut at its first NUL.
bool MatchWildcard(std::string_view text, std::string_view mask);
// Name and extension (split at the last ".") are matched separately.
bool MatchFileMask(std::string_view fileName, std::string_view mask);

std::string ReplaceChar(char oldChar, char newChar, std::string s);

// True when an entry of the ";"-list ends with item (ASCII case-insensitive); a
// blank list holds everything, a blank item nothing.
bool InSemicolonList(std::string_view item, std::string_view list);
// The extension of fileName (after its last ".") tested with InSemicolonList.
bool ExtInSemicolonList(std::string_view fileName, std::string_view list);
// Blank text: returns 0 and leaves list untouched. Otherwise list is replaced by the
// pieces (untrimmed; with skipEmpty, blank pieces are left out). Returns list.size().
int SplitSemicolonList(std::string_view text, std::vector<std::string>& list, bool skipEmpty);
std::string JoinSemicolonList(const std::vector<std::string>& list, bool skipEmpty);
// Index of the first entry containing sub (ASCII upper case compare); false when none.
bool FindInList(const std::vector<std::string>& list, std::string_view sub, int& index);

// Lines of a text ended by LF or CR LF, without their line ends; a last line without
// an end is kept. With skipEmpty, empty lines are left out.
std::vector<std::string> SplitTextLines(std::string_view text, bool skipEmpty);

// "1023 byte", "1 KB" (kilobytes rounded up).
std::string FormatSize(uint64_t bytes);
void SplitMilliseconds(uint64_t ms, uint64_t& hours, int& minutes, int& seconds);
// part * 100 / whole in 64 bits (saturating); 0 when whole is 0.
int64_t PercentOf(int64_t part, int64_t whole);

// "0"-"9" give 0-9, "A"-"F"/"a"-"f" give 10-15, anything else -1.
int HexDigitValue(char c);
// Two hex digits to a byte; false (byte untouched) when either is not a hex digit.
bool HexPairToByte(char high, char low, uint8_t& byte);
// "%" + two hex digits becomes that byte, "%%" becomes "%"; everything else is kept.
std::string DecodePercentText(std::string_view text);

} // namespace tq
