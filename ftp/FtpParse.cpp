#include "ftp/FtpParse.h"

#include <initializer_list>
#include <charconv>
#include <cstring>
#include <ctime>

namespace tq {

namespace {

// ---- small text helpers -------------------------------------------------------------

constexpr bool IsTrimmed(char c) { return static_cast<unsigned char>(c) <= ' '; }
constexpr bool IsDigit(char c) { return c >= '0' && c <= '9'; }
constexpr char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c; }
constexpr char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsTrimmed(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsTrimmed(s.back())) s.remove_suffix(1);
    return s;
}

bool Contains(std::string_view s, std::string_view what) { return s.find(what) != s.npos; }

bool IsAllDigits(std::string_view s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!IsDigit(c)) return false;
    return true;
}

// Listing words and dates are short: a plain loop beats a library call here.
size_t FindChar(std::string_view s, char c, size_t from = 0) {
    for (size_t i = from; i < s.size(); ++i)
        if (s[i] == c) return i;
    return std::string_view::npos;
}

size_t FindArrow(std::string_view s) {
    for (size_t i = 0; i + 1 < s.size(); ++i)
        if (s[i] == '-' && s[i + 1] == '>') return i;
    return std::string_view::npos;
}

bool StartsWith(std::string_view s, std::string_view what) {
    return s.size() >= what.size() && s.substr(0, what.size()) == what;
}

bool EndsWith(std::string_view s, std::string_view what) {
    return s.size() >= what.size() && s.substr(s.size() - what.size()) == what;
}

bool ContainsUpper(std::string_view upper, std::string_view what) { return Contains(upper, what); }

// Decimal digits only, at most nine of them, so the value always fits.
bool ReadSmallNumber(std::string_view s, int& out) {
    if (s.empty() || s.size() > 9) return false;
    int v = 0;
    for (char c : s) {
        if (!IsDigit(c)) return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

// A bounded text builder on the stack: listing dates are short, and a date part that
// would not fit is no date.
class TextBuf {
public:
    void Add(std::string_view s) {
        if (s.empty()) return;
        if (s.size() > sizeof(buf_) - len_) {
            overflow_ = true;
            return;
        }
        std::memcpy(buf_ + len_, s.data(), s.size());
        len_ += s.size();
    }
    void Add(char c) {
        if (len_ >= sizeof(buf_)) {
            overflow_ = true;
            return;
        }
        buf_[len_++] = c;
    }
    void AddNumber(long long v) {
        if (v >= 0 && v < 100) {
            if (v >= 10) Add(char('0' + v / 10));
            Add(char('0' + v % 10));
            return;
        }
        char tmp[24];
        auto r = std::to_chars(tmp, tmp + sizeof(tmp), v);
        Add(std::string_view(tmp, size_t(r.ptr - tmp)));
    }
    void AddTwoDigits(int v) {
        if (v >= 0 && v < 10) Add('0');
        AddNumber(v);
    }
    void Clear() { len_ = 0; overflow_ = false; }
    bool Ok() const { return !overflow_; }
    std::string_view View() const { return {buf_, len_}; }
private:
    char buf_[120];
    size_t len_ = 0;
    bool overflow_ = false;
};

// Days since 1970-01-01 of a proleptic Gregorian date (the day may run past the month).
constexpr long long DaysFromCivil(long long y, int m, int d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void CivilFromDays(long long z, long long& y, int& m, int& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    d = int(doy - (153 * mp + 2) / 5 + 1);
    m = int(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2);
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

ListToday ResolveToday(const ListToday& today) {
    if (today.Year > 0 && today.Month >= 1 && today.Month <= 12 && today.Day >= 1 && today.Day <= 31)
        return today;
    return ListTodayFromClock();
}

// ---- the word scanner ---------------------------------------------------------------

// The words of a line as ListToken sees them: runs of blanks count as one blank, a word
// counts only when a blank follows it. Words are found as far as they are asked for,
// so the name at the end of a line is not scanned word by word.
class Words {
public:
    explicit Words(std::string_view line) : line_(line) {}
    std::string_view operator[](int n) {
        if (n < 0 || !Reach(n)) return {};
        return n < kMax ? std::string_view(line_.data() + begin_[n], end_[n] - begin_[n]) : far_;
    }
    // Where word n ends in the line, or npos when there is no such word.
    size_t EndOf(int n) {
        if (n < 0 || !Reach(n)) return std::string_view::npos;
        return n < kMax ? end_[n] : size_t(far_.data() - line_.data()) + far_.size();
    }
private:
    // Scans until word n is known; false when the line has no word n.
    bool Reach(int n) {
        if (n < count_) return true;
        if (done_) return false;
        if (n >= kMax) {
            far_ = {};
            size_t i = 0;
            for (int k = 0;; ++k) {
                const size_t s = i;
                while (i < line_.size() && line_[i] != ' ') ++i;
                if (i >= line_.size()) return false;
                if (k == n) {
                    far_ = line_.substr(s, i - s);
                    return true;
                }
                while (i < line_.size() && line_[i] == ' ') ++i;
            }
        }
        const char* const base = line_.data();
        const size_t size = line_.size();
        while (count_ <= n) {
            size_t i = pos_;
            size_t e = i;
            while (e < size && base[e] != ' ') ++e;
            if (e >= size) {
                done_ = true;
                return false;
            }
            begin_[count_] = i;
            end_[count_] = e;
            ++count_;
            i = e + 1;
            while (i < size && base[i] == ' ') ++i;
            pos_ = i;
        }
        return true;
    }
    static constexpr int kMax = 16;
    std::string_view line_;
    std::string_view far_;
    size_t begin_[kMax];
    size_t end_[kMax];
    size_t pos_ = 0;
    int count_ = 0;
    bool done_ = false;
};

// Takes the next word off the front (the whole text when it has no blank) and leaves
// the trimmed rest.
std::string_view TakeWord(std::string_view& rest) {
    const size_t b = rest.find(' ');
    if (b == rest.npos) {
        std::string_view w = rest;
        rest = {};
        return w;
    }
    std::string_view w = rest.substr(0, b);
    rest = Trim(rest.substr(b + 1));
    return w;
}

// ---- dates --------------------------------------------------------------------------

// Month number from the first letters of an English month name, 0 when unknown.
int MonthFromLetters(std::string_view t) {
    if (t.empty()) return 0;
    const char c1 = t.size() > 1 ? LowerAscii(t[1]) : '\0';
    const char c2 = t.size() > 2 ? LowerAscii(t[2]) : '\0';
    switch (UpperAscii(t[0])) {
    case 'A': return c1 == 'p' ? 4 : 8;
    case 'D': return 12;
    case 'F': return 2;
    case 'J': return c1 == 'a' ? 1 : (c2 == 'n' ? 6 : 7);
    case 'M': return c2 == 'r' ? 3 : 5;
    case 'N': return 11;
    case 'O': return 10;
    case 'S': return 9;
    default: return 0;
    }
}

// Position in MonthAbbrevTable of the first entry found in the upper-cased word; 1 when
// none is found.
int MonthFromTable(std::string_view word) {
    char up[16];
    const size_t n = word.size() < sizeof(up) ? word.size() : sizeof(up);
    for (size_t i = 0; i < n; ++i) up[i] = UpperAscii(word[i]);
    const std::string_view u(up, n);
    for (size_t m = 0; m < MonthAbbrevTable.size(); ++m)
        if (Contains(u, MonthAbbrevTable[m])) return int(m) + 1;
    return 1;
}

constexpr uint32_t MonthKey(char a, char b, char c) {
    return uint32_t(uint8_t(UpperAscii(a))) << 16 | uint32_t(uint8_t(UpperAscii(b))) << 8 |
           uint32_t(uint8_t(UpperAscii(c)));
}

// A word that is exactly a month name of MonthAbbrevTable, in any case.
bool IsMonthWord(std::string_view w) {
    if (w.size() != 3) return false;
    switch (MonthKey(w[0], w[1], w[2])) {
    case MonthKey('J', 'A', 'N'): case MonthKey('F', 'E', 'B'): case MonthKey('M', 'A', 'R'):
    case MonthKey('A', 'P', 'R'): case MonthKey('M', 'A', 'Y'): case MonthKey('J', 'U', 'N'):
    case MonthKey('J', 'U', 'L'): case MonthKey('A', 'U', 'G'): case MonthKey('S', 'E', 'P'):
    case MonthKey('O', 'C', 'T'): case MonthKey('N', 'O', 'V'): case MonthKey('D', 'E', 'C'):
        return true;
    default:
        return false;
    }
}

// The year for a listing date that carries a time instead of a year: this year, or the
// one before when the date would lie more than a day ahead of today (servers print the
// time only for recent entries, so such a date is from last year).
int YearForRecentDate(int month, std::string_view dayText, const ListToday& given) {
    const ListToday today = ResolveToday(given);
    int day = 0;
    if (month < 1 || month > 12 || !ReadSmallNumber(Trim(dayText), day) || day < 1 || day > 31)
        return today.Year;
    const long long ahead = DaysFromCivil(today.Year, month, day) -
                            DaysFromCivil(today.Year, today.Month, today.Day);
    return ahead > 1 ? today.Year - 1 : today.Year;
}

void AddYear2(TextBuf& out, int year) {
    int y = year % 100;
    if (y < 0) y += 100;
    out.AddTwoDigits(y);
}

bool MonthDayTimeInto(std::string_view text, TextBuf& out, const ListToday& today) {
    const int month = MonthFromLetters(text);
    const size_t blank = FindChar(text, ' ');
    if (blank == text.npos) return false;
    std::string_view rest = text.substr(blank + 1);
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    if (rest.empty()) return false;

    const std::string_view day = Trim(rest.substr(0, 2));
    rest.remove_prefix(rest.size() > 2 && rest[2] == ' ' ? 3 : (rest.size() < 2 ? rest.size() : 2));

    if (month > 0) out.AddNumber(month);
    out.Add('/');
    out.Add(day);
    out.Add('/');
    if (FindChar(rest, ':') != rest.npos) {
        AddYear2(out, YearForRecentDate(month, day, today));
        out.Add(' ');
        const std::string_view t = Trim(rest);
        int h = 0;
        if (t.size() == 5 && !ReadSmallNumber(t.substr(0, 2), h)) return false;
        if (t.size() == 5 && h >= 13) {
            out.AddNumber(h - 12);
            out.Add(t.substr(2));
            out.Add(" PM");
        } else {
            // "09:07" reads "9:07"; a time of another length keeps its text.
            out.Add(!t.empty() && t.front() == '0' ? t.substr(1) : t);
            out.Add(" AM");
        }
    } else {
        const std::string_view y = Trim(rest);
        out.Add(y.size() > 2 ? y.substr(2) : std::string_view());
        out.Add(" 12:00 AM");
    }
    return out.Ok();
}

// The date words of a listing line, joined by blanks, normalised into out.
bool WordsDateInto(std::initializer_list<std::string_view> words, TextBuf& out, const ListToday& today) {
    TextBuf joined;
    bool first = true;
    for (std::string_view word : words) {
        if (!first) joined.Add(' ');
        joined.Add(word);
        first = false;
    }
    return joined.Ok() && MonthDayTimeInto(joined.View(), out, today);
}

// month "/" day "/0 " H ":" M " " AM-or-PM, the date form of the L8 families.
bool L8DateInto(int month, int day, std::string_view timeWord, bool readTime, TextBuf& out) {
    int h = 1, m = 1;
    if (readTime) {
        const size_t colon = FindChar(timeWord, ':');
        if (colon != timeWord.npos) {
            if (!ReadSmallNumber(timeWord.substr(0, colon), h)) return false;
            if (!ReadSmallNumber(timeWord.substr(colon + 1), m)) return false;
        }
    }
    const bool pm = h >= 13;
    if (pm) h -= 12;
    out.AddNumber(month);
    out.Add('/');
    out.AddNumber(day);
    out.Add("/0 ");
    out.AddNumber(h);
    out.Add(':');
    out.AddNumber(m);
    out.Add(pm ? " PM" : " AM");
    return out.Ok();
}

void DosDateInto(std::string_view dateWord, std::string_view timeWord, TextBuf& out) {
    for (size_t i = 0; i < dateWord.size(); ++i) out.Add(i == 2 || i == 5 ? '/' : dateWord[i]);
    out.Add(' ');
    out.Add(timeWord.substr(0, 5));
    out.Add(' ');
    if (timeWord.size() > 5) out.Add(timeWord.substr(5, 2));
}

void EplfTimeInto(std::string_view seconds, TextBuf& out) {
    // Anything after 9999-12-31 is no time stamp.
    constexpr unsigned long long kMax = 253402300799ULL;
    unsigned long long v = 0;
    bool ok = !seconds.empty() && seconds.size() <= 12;
    for (char c : seconds) {
        if (!ok) break;
        if (!IsDigit(c)) ok = false;
        else v = v * 10 + unsigned(c - '0');
    }
    if (!ok || v > kMax) {
        out.Add(kEplfDefaultDate);
        return;
    }
    long long y = 0;
    int m = 0, d = 0;
    CivilFromDays(static_cast<long long>(v / 86400), y, m, d);
    const int secOfDay = int(v % 86400);
    out.AddTwoDigits(m);
    out.Add('/');
    out.AddTwoDigits(d);
    out.Add('/');
    AddYear2(out, int(y));
    out.Add(' ');
    out.AddTwoDigits(secOfDay / 3600);
    out.Add(':');
    out.AddTwoDigits(secOfDay / 60 % 60);
}

// VMS dates read "15-MAR-2003 12:30:00"; they become the month-name form's text.
bool VmsDateInto(std::string_view dateWord, std::string_view timeWord, TextBuf& out) {
    const size_t d1 = dateWord.find('-');
    if (d1 == dateWord.npos) return false;
    const size_t d2 = dateWord.find('-', d1 + 1);
    if (d2 == dateWord.npos) return false;
    int day = 0, year = 0, h = 0, m = 0;
    const std::string_view mon = dateWord.substr(d1 + 1, d2 - d1 - 1);
    if (!ReadSmallNumber(dateWord.substr(0, d1), day) || !IsMonthWord(mon) ||
        !ReadSmallNumber(dateWord.substr(d2 + 1), year))
        return false;
    const size_t c1 = timeWord.find(':');
    if (c1 == timeWord.npos || !ReadSmallNumber(timeWord.substr(0, c1), h)) return false;
    std::string_view minutes = timeWord.substr(c1 + 1);
    minutes = minutes.substr(0, minutes.find(':'));
    if (!ReadSmallNumber(minutes, m)) return false;
    out.AddNumber(MonthFromLetters(mon));
    out.Add('/');
    out.AddNumber(day);
    out.Add('/');
    AddYear2(out, year);
    out.Add(' ');
    const bool pm = h >= 13;
    out.AddNumber(pm ? h - 12 : h);
    out.Add(':');
    out.AddTwoDigits(m);
    out.Add(pm ? " PM" : " AM");
    return out.Ok();
}

// ---- one parsed line ----------------------------------------------------------------

// The fields of a parsed line as views into the line (or into composed), so a line is
// read without touching the heap.
struct Parsed {
    std::string_view name, attributes, link, size;
    bool isDir = false;
    TextBuf date;
    std::string composed;  // names built from several words (VM, VPS)
};

std::string_view NameAfterWord(std::string_view line, Words& w, int n) {
    const size_t end = w.EndOf(n);
    if (end == std::string_view::npos || end + 1 > line.size()) return {};
    std::string_view rest = line.substr(end + 1);
    const size_t arrow = FindArrow(rest);
    if (arrow != rest.npos) rest = rest.substr(0, arrow);
    return Trim(rest);
}

void ApplyLink(std::string_view linkSource, Parsed& p) {
    const size_t arrow = FindArrow(linkSource);
    p.link = arrow == linkSource.npos ? std::string_view() : linkSource.substr(arrow);
    if (!p.link.empty()) p.isDir = LinkTargetIsDir(p.link);
}

// The size column of a UNIX-style line: the number right before the first month name
// that is followed by a day and a time or year. Owners and groups of any width (even
// run together) then leave the size where it is. 0 when there is no such column.
int SizeColumnBeforeMonth(Words& w) {
    for (int m = 3; m < 14 && w.EndOf(m + 2) != std::string_view::npos; ++m) {
        if (!IsMonthWord(w[m])) continue;
        const std::string_view size = w[m - 1], day = w[m + 1], tail = w[m + 2];
        int d = 0;
        if (!IsAllDigits(size)) continue;
        if (!ReadSmallNumber(day, d) || day.size() > 2 || d < 1 || d > 31) continue;
        const bool isTime = tail.size() >= 4 && tail.size() <= 5 && FindChar(tail, ':') != tail.npos;
        const bool isYear = tail.size() == 4 && IsAllDigits(tail);
        if (isTime || isYear) return m - 1;
    }
    return 0;
}

bool ParseGeneric(uint8_t type, std::string_view line, Parsed& p, const ListToday& today) {
    Words w(line);
    const char first = line.front();
    if (IsDigit(first)) {
        // DOS style: date, time, <DIR> or size, then the name from the fortieth column.
        const std::string_view size = w[2];
        p.isDir = size == "<DIR>";
        p.size = p.isDir ? std::string_view("0") : size;
        DosDateInto(w[0], w[1], p.date);
        const size_t sizeEnd = w.EndOf(2);
        if (sizeEnd == std::string_view::npos) return false;
        if (line.size() > 39 && sizeEnd <= 38 && line[38] == ' ' && line[39] != ' ') {
            p.name = line.substr(39);
        } else {
            // Wider columns (four-digit years, long sizes): the name follows the size.
            std::string_view rest = line.substr(sizeEnd);
            while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
            p.name = rest;
        }
        return !p.name.empty() && p.date.Ok();
    }
    if (first == 'd' || first == 'l') p.isDir = true;
    else if (first == '-' || first == 'f') p.isDir = false;
    else return false;

    p.attributes = w[0];
    int c = 0;
    if (type == ftpstNetTerm) {
        c = 2;
    } else if (type == ftpstNetware) {
        c = 3;
    } else if (type == ftpstNetPresenz) {
        c = p.isDir ? 2 : 3;
    } else {
        const std::string_view w1 = w[1];
        if (w1.empty()) return false;
        c = SizeColumnBeforeMonth(w);
        if (c == 0) {
            if (w1.front() == '[' || p.attributes.size() > 10) c = 3;
            else c = w[2].size() <= 8 ? 4 : 3;
        }
    }
    p.size = w[c];

    if (!WordsDateInto({w[c + 1], w[c + 2], w[c + 3]}, p.date, today)) return false;

    // The name follows the time word and one blank; a link target follows "->".
    const size_t end = w.EndOf(c + 3);
    if (end == std::string_view::npos) return false;
    const std::string_view tail = line.substr(end + 1);
    const size_t arrow = FindArrow(tail);
    p.name = Trim(arrow == tail.npos ? tail : tail.substr(0, arrow));
    if (p.name.empty()) return false;
    if (arrow != tail.npos) {
        p.link = tail.substr(arrow);
        p.isDir = LinkTargetIsDir(p.link);
    }
    return true;
}

bool ParseVms(std::string_view line, Parsed& p, const ListToday& today) {
    if (!Contains(line, ";")) return false;
    Words w(line);
    std::string_view name = w[0];
    if (name.empty()) return false;
    name = name.substr(0, name.find(';'));
    const size_t dir = name.find(".DIR");
    p.isDir = dir != name.npos;
    if (p.isDir) name = name.substr(0, dir);
    if (name.empty()) return false;
    p.name = name;
    p.size = w[1];
    if (!VmsDateInto(w[2], w[3], p.date)) {
        p.date.Clear();
        if (!WordsDateInto({w[2], w[3]}, p.date, today)) return false;
    }
    ApplyLink(line, p);
    return true;
}

bool ParseVm(std::string_view line, Parsed& p, const ListToday& today) {
    Words w(line);
    if (w[0].empty()) return false;
    p.composed.assign(w[0]);
    p.composed += '.';
    p.composed.append(w[1]);
    p.name = p.composed;
    p.size = w[3];
    p.isDir = false;
    if (!WordsDateInto({w[6], w[7]}, p.date, today)) return false;
    ApplyLink(line, p);
    return true;
}

bool IsVpsNoise(std::string_view line) {
    return Contains(line, "=") || Contains(line, "totals:") || Contains(line, " rf trks") ||
           Contains(line, "track limit");
}

bool ParseVps(std::string_view line, Parsed& p, const ListToday& today) {
    if (IsVpsNoise(line)) return false;
    Words w(line);
    if (w[1].empty()) return false;
    p.composed.assign(1, '.');
    p.composed.append(w[1]);
    p.name = p.composed;
    p.size = w[2];
    p.isDir = false;
    if (!WordsDateInto({w[7], w[6]}, p.date, today)) return false;
    ApplyLink(line, p);
    return true;
}

bool ParseEplf(std::string_view line, Parsed& p) {
    std::string_view rest = line.substr(1);
    p.size = "0";
    p.date.Add(kEplfDefaultDate);
    // The facts end at the tab; the name after it may hold commas of its own.
    std::string_view facts = rest, name;
    const size_t tab = rest.find('\t');
    if (tab != rest.npos) {
        facts = rest.substr(0, tab);
        name = rest.substr(tab + 1);
    }
    size_t comma;
    while ((comma = facts.find(',')) != facts.npos) {
        const std::string_view fact = facts.substr(0, comma);
        facts.remove_prefix(comma + 1);
        if (fact.empty()) continue;
        const std::string_view value = fact.substr(1);
        switch (fact.front()) {
        case '/': p.isDir = true; break;
        case 'i': p.link = value; break;
        case 'm':
            p.date.Clear();
            EplfTimeInto(value, p.date);
            break;
        case 'r': p.isDir = false; break;
        case 's': p.size = value; break;
        default: break;
        }
    }
    p.name = Trim(tab != rest.npos ? name : facts);
    return !p.name.empty();
}

bool ParseUnixL8(std::string_view line, Parsed& p) {
    if (StartsWith(line, "tota")) {
        p.name = ".";
        return false;
    }
    p.isDir = !line.empty() && line.front() == 'd';
    std::string_view rest = line;
    const std::string_view attrs = TakeWord(rest);
    TakeWord(rest);  // link count
    TakeWord(rest);  // owner; this form has no group column
    const std::string_view size = TakeWord(rest);
    const int month = MonthFromTable(TakeWord(rest));
    int day = 0;
    if (!ReadSmallNumber(TakeWord(rest), day)) return false;
    const std::string_view time = TakeWord(rest);
    if (!L8DateInto(month, day, time, !p.isDir, p.date)) return false;
    p.attributes = attrs;
    p.size = size;
    p.name = rest;
    return !p.name.empty();
}

bool ParseSunOsL8(std::string_view line, Parsed& p) {
    if (IsVpsNoise(line)) return false;
    p.isDir = !line.empty() && line.front() == 'd';
    std::string_view rest = line;
    const std::string_view attrs = TakeWord(rest);
    TakeWord(rest);  // link count
    TakeWord(rest);  // owner
    TakeWord(rest);  // group
    const std::string_view size = TakeWord(rest);
    std::string_view monthWord = TakeWord(rest);
    if (EndsWith(monthWord, kListMonthUtf8)) monthWord.remove_suffix(kListMonthUtf8.size());
    else if (EndsWith(monthWord, kListMonthGbk)) monthWord.remove_suffix(kListMonthGbk.size());
    int month = 0, day = 0;
    if (!ReadSmallNumber(monthWord, month)) return false;
    if (!ReadSmallNumber(TakeWord(rest), day)) return false;
    const std::string_view time = TakeWord(rest);
    if (!L8DateInto(month, day, time, true, p.date)) return false;
    p.attributes = attrs;
    p.size = size;
    p.name = TakeWord(rest);
    return !p.name.empty();
}

bool ParseUnixL8Net(std::string_view line, Parsed& p) {
    p.isDir = !line.empty() && line.front() == 'd';
    std::string_view rest = line;
    const std::string_view attrs = TakeWord(rest);
    TakeWord(rest);  // link count
    TakeWord(rest);  // owner
    TakeWord(rest);  // group
    const std::string_view size = TakeWord(rest);
    const int month = MonthFromTable(TakeWord(rest));
    int day = 0;
    if (!ReadSmallNumber(TakeWord(rest), day)) return false;
    const std::string_view time = TakeWord(rest);
    if (!L8DateInto(month, day, time, true, p.date)) return false;
    p.attributes = attrs;
    p.size = size;
    p.name = Trim(TakeWord(rest));
    return !p.name.empty();
}

bool ParseInto(uint8_t type, std::string_view line, Parsed& p, const ListToday& today) {
    if (line.empty()) return false;
    switch (type) {
    case ftpstUNIXL8EX_51NET: return ParseUnixL8Net(line, p);
    case ftpstUNIXL8EX: return ParseUnixL8(line, p);
    case ftpstSUNOSL8EX: return ParseSunOsL8(line, p);
    default: break;
    }
    if (line.front() == '+') return ParseEplf(line, p);
    switch (type) {
    case ftpstVmsMultinet:
    case ftpstVmsUcx: return ParseVms(line, p, today);
    case ftpstVM: return ParseVm(line, p, today);
    case ftpstVMVPS: return ParseVps(line, p, today);
    default: return ParseGeneric(type, line, p, today);
    }
}

void Store(const Parsed& p, std::string& Name, bool& IsDir, std::string& Attributes,
           std::string& Link, std::string& DateText, std::string& SizeText) {
    Name.assign(p.name);
    IsDir = p.isDir;
    Attributes.assign(p.attributes);
    Link.assign(p.link);
    DateText.assign(p.date.View());
    SizeText.assign(p.size);
}

using FamilyParser = bool (*)(std::string_view, Parsed&);

bool RunFamily(FamilyParser f, std::string_view Line, std::string& Name, bool& IsDir,
               std::string& Attributes, std::string& Link, std::string& DateText,
               std::string& SizeText) {
    Parsed p;
    if (Line.empty()) return false;
    const bool ok = f(Line, p);
    if (ok) Store(p, Name, IsDir, Attributes, Link, DateText, SizeText);
    else if (p.name == ".") Name.assign(1, '.');
    return ok;
}

// Reads the normalised date into its parts; false when a separator or number is missing.
struct DateParts {
    int year, month, day, hour, minute;
};

bool ReadListDate(std::string_view text, DateParts& d) {
    const size_t s1 = FindChar(text, '/');
    if (s1 == text.npos) return false;
    const size_t s2 = FindChar(text, '/', s1 + 1);
    if (s2 == text.npos) return false;
    const size_t sp = FindChar(text, ' ', s2 + 1);
    if (sp == text.npos) return false;
    const size_t colon = FindChar(text, ':', sp + 1);
    if (colon == text.npos) return false;
    const size_t sp2 = FindChar(text, ' ', colon + 1);
    if (sp2 == text.npos) return false;
    const std::string_view marker = text.substr(sp2 + 1);
    if (!ReadSmallNumber(text.substr(0, s1), d.month) ||
        !ReadSmallNumber(text.substr(s1 + 1, s2 - s1 - 1), d.day) ||
        !ReadSmallNumber(text.substr(s2 + 1, sp - s2 - 1), d.year) ||
        !ReadSmallNumber(text.substr(sp + 1, colon - sp - 1), d.hour) ||
        !ReadSmallNumber(text.substr(colon + 1, sp2 - colon - 1), d.minute))
        return false;
    if (d.year <= 1980) d.year += d.year < 70 ? 2000 : 1900;
    // 12:xx PM is noon, not hour 24.
    if (marker == "PM" && d.hour < 12) d.hour += 12;
    // The record keeps 16-bit fields; larger values are no date.
    return d.year <= 0xFFFF && d.month <= 0xFFFF && d.day <= 0xFFFF && d.hour <= 0xFFFF &&
           d.minute <= 0xFFFF;
}

void NormaliseInto(std::string_view dateText, TQNFileData& e, TextBuf* text) {
    DateParts d{};
    if (!ReadListDate(dateText, d)) return;
    if (text) {
        text->AddNumber(d.year);
        text->Add('-');
        text->AddNumber(d.month);
        text->Add('-');
        text->AddNumber(d.day);
        text->Add(' ');
        text->AddNumber(d.hour);
        text->Add(':');
        text->AddTwoDigits(d.minute);
    }
    e.Year = uint16_t(d.year);
    e.Month = uint16_t(d.month);
    e.Day = uint16_t(d.day);
    e.Hour = uint16_t(d.hour);
    e.Minute = uint16_t(d.minute);
    e.Second = 0;
    e.MilliSecond = 0;
    const bool valid = d.year >= 1 && d.year <= 9999 && d.month >= 1 && d.month <= 12 &&
                       d.day >= 1 && d.day <= DaysInMonth(d.year, d.month) && d.hour < 24 &&
                       d.minute < 60;
    if (valid) {
        // Days since 1899-12-30 with the time of day as fraction.
        constexpr long long kEpoch = DaysFromCivil(1899, 12, 30);
        const long long days = DaysFromCivil(d.year, d.month, d.day) - kEpoch;
        e.DateTime = double(days) + (d.hour * 60 + d.minute) / 1440.0;
    }
}

} // namespace

// ---- public routines ------------------------------------------------------------------

ListToday ListTodayFromClock() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
}

std::string CurrentYear2(const ListToday& today) {
    TextBuf b;
    AddYear2(b, ResolveToday(today).Year);
    return std::string(b.View());
}

std::string_view ListToken(std::string_view Text, int N) {
    Words w(Text);
    return w[N];
}

std::string ListDateText(std::string_view Text, int N, bool TwoWords, const ListToday& today) {
    Words w(Text);
    TextBuf joined, out;
    joined.Add(w[N]);
    joined.Add(' ');
    joined.Add(w[N + 1]);
    if (!TwoWords) {
        joined.Add(' ');
        joined.Add(w[N + 2]);
    }
    if (!joined.Ok() || !MonthDayTimeInto(joined.View(), out, today)) return {};
    return std::string(out.View());
}

std::string_view NameAfterTime(std::string_view Line, int TimeWord) {
    Words w(Line);
    return NameAfterWord(Line, w, TimeWord);
}

std::string_view LinkText(std::string_view Line) {
    const size_t arrow = FindArrow(Line);
    return arrow == Line.npos ? std::string_view() : Line.substr(arrow);
}

bool LinkTargetIsDir(std::string_view LowerLink) {
    // Lower-cased here as well, so a caller's casing does not matter.
    char buf[256];
    std::string lowered;
    std::string_view low;
    if (LowerLink.size() <= sizeof(buf)) {
        for (size_t i = 0; i < LowerLink.size(); ++i) buf[i] = LowerAscii(LowerLink[i]);
        low = std::string_view(buf, LowerLink.size());
    } else {
        lowered.assign(LowerLink);
        for (char& ch : lowered) ch = LowerAscii(ch);
        low = lowered;
    }
    for (std::string_view marker : LinkFileMarkers)
        if (low.find(marker) != low.npos) return false;
    return true;
}

bool MonthDayTimeToDate(std::string_view Text, std::string& Out, const ListToday& today) {
    TextBuf b;
    if (!MonthDayTimeInto(Text, b, today)) return false;
    Out.assign(b.View());
    return true;
}

std::string DosDateToDate(std::string_view DateWord, std::string_view TimeWord) {
    TextBuf b;
    DosDateInto(DateWord, TimeWord, b);
    return std::string(b.View());
}

std::string EplfTimeToDate(std::string_view Seconds) {
    TextBuf b;
    EplfTimeInto(Seconds, b);
    return std::string(b.View());
}

bool ParseListLine(uint8_t ServerType, std::string_view Line, std::string& Name, bool& IsDir,
                   std::string& Attributes, std::string& Link, std::string& DateText,
                   std::string& SizeText, const ListToday& today) {
    Parsed p;
    const bool ok = ParseInto(ServerType, Line, p, today);
    if (ok) Store(p, Name, IsDir, Attributes, Link, DateText, SizeText);
    else if (ServerType == ftpstUNIXL8EX && p.name == ".") Name.assign(1, '.');
    return ok;
}

bool ParseEplfLine(std::string_view Line, std::string& Name, bool& IsDir, std::string& Attributes,
                   std::string& Link, std::string& DateText, std::string& SizeText) {
    if (Line.empty() || Line.front() != '+') return false;
    return RunFamily(ParseEplf, Line, Name, IsDir, Attributes, Link, DateText, SizeText);
}

bool ParseSunOsL8Line(std::string_view Line, std::string& Name, bool& IsDir,
                      std::string& Attributes, std::string& Link, std::string& DateText,
                      std::string& SizeText) {
    return RunFamily(ParseSunOsL8, Line, Name, IsDir, Attributes, Link, DateText, SizeText);
}

bool ParseUnixL8Line(std::string_view Line, std::string& Name, bool& IsDir,
                     std::string& Attributes, std::string& Link, std::string& DateText,
                     std::string& SizeText) {
    return RunFamily(ParseUnixL8, Line, Name, IsDir, Attributes, Link, DateText, SizeText);
}

bool ParseUnixL8NetLine(std::string_view Line, std::string& Name, bool& IsDir,
                        std::string& Attributes, std::string& Link, std::string& DateText,
                        std::string& SizeText) {
    return RunFamily(ParseUnixL8Net, Line, Name, IsDir, Attributes, Link, DateText, SizeText);
}

uint8_t DetectServerType(std::string_view Text, uint8_t Current) {
    if (Current != 0) return Current;
    std::string u(Text);
    for (char& c : u) c = UpperAscii(c);
    auto has = [&](std::string_view w) { return ContainsUpper(u, w); };
    if (has("SUNOS") && has("L8")) return ftpstSUNOSL8EX;
    if (has("UNIX")) return ftpstUNIX;
    if (has("BSD")) return ftpstBSD;
    if (has("SUNOS")) return ftpstSunOS;
    if (has("CLIX")) return ftpstClix;
    if (has("ULTRIX")) return ftpstULTRIX;
    if (has("MVS")) return ftpstMVS;
    if (has("QVT")) return ftpstQVT;
    if (has("NCSA")) return ftpstNCSA;
    if (has("WFTPD")) return ftpstWfTPD;
    if (has("WINDOWS_NT")) return ftpstMSfTP;
    if (has("CHAMELEON")) return ftpstChameleon;
    if (has("PROFTPD")) return ftpstUNIXL8EX_51NET;
    if (has("VMS")) return has("MULTINET") ? ftpstVmsMultinet : ftpstVmsUcx;
    if (has("VM")) return has("VPS") ? ftpstVMVPS : ftpstVM;
    return ftpstDefault;
}

bool ParseListSize(std::string_view SizeText, int64_t& Size) {
    const std::string_view s = Trim(SizeText);
    if (s.empty()) {
        Size = 0;
        return true;
    }
    int64_t v = 0;
    for (char c : s) {
        if (!IsDigit(c)) return false;
        // A size that does not fit in 63 bits is refused, never wrapped.
        if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, c - '0', &v)) return false;
    }
    Size = v;
    return true;
}

bool LineToFileData(std::string_view Line, TQNFileData& Entry, uint8_t ServerType,
                    const ListToday& today) {
    Parsed p;
    if (!ParseInto(ServerType, Line, p, today)) return false;
    int64_t size = 0;
    if (!ParseListSize(p.size, size)) return false;
    Entry.Attributes.assign(p.attributes);
    Entry.RawLine.assign(Line);
    Entry.FileName.assign(p.name);
    Entry.FileSize = size;
    Entry.LinkText.assign(p.link);
    Entry.IsDir = p.isDir;
    TextBuf normalised;
    NormaliseInto(p.date.View(), Entry, &normalised);
    Entry.DateText.assign(normalised.View());
    return true;
}

void NormaliseListDate(std::string_view DateText, TQNFileData& Entry, std::string& Normalised) {
    TextBuf b;
    NormaliseInto(DateText, Entry, &b);
    Normalised.assign(b.View());
}

bool ParseNameAndSize(std::string_view Line, std::string& Name, int64_t& Size,
                      const ListToday& today) {
    Parsed first;
    const bool firstOk = ParseInto(ftpstAutoDetect, Line, first, today);
    int64_t size = 0;
    if (firstOk && !ParseListSize(first.size, size)) return false;
    if (firstOk && size != 0) {
        Name.assign(first.name);
        Size = size;
        return true;
    }
    // A size of 0 may come from a server whose columns the generic rules misread; the
    // second reading wins when it finds a size (or the first found no entry at all).
    Parsed again;
    int64_t againSize = 0;
    if (!Line.empty() && ParseUnixL8Net(Line, again) && ParseListSize(again.size, againSize) &&
        (againSize != 0 || !firstOk)) {
        Name.assign(again.name);
        Size = againSize;
        return true;
    }
    if (!firstOk) return false;
    Name.assign(first.name);
    Size = 0;
    return true;
}

} // namespace tq
