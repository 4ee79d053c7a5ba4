#include "foundation/TextUtils.h"

#include <cstdio>
#include <limits>

namespace tq {

namespace {

char UpperChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
bool IsBlankChar(char c) { return static_cast<unsigned char>(c) <= ' '; }
bool IsBlank(std::string_view s) {
    for (char c : s)
        if (!IsBlankChar(c)) return false;
    return true;
}

} // namespace

std::string UpperCase(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = UpperChar(c);
    return r;
}

std::string LowerCase(std::string_view s) {
    std::string r(s);
    for (char& c : r) c = LowerChar(c);
    return r;
}

std::string TrimLeft(std::string_view s) {
    size_t b = 0;
    while (b < s.size() && IsBlankChar(s[b])) ++b;
    return std::string(s.substr(b));
}

std::string TrimRight(std::string_view s) {
    size_t e = s.size();
    while (e > 0 && IsBlankChar(s[e - 1])) --e;
    return std::string(s.substr(0, e));
}

std::string Trim(std::string_view s) { return TrimLeft(TrimRight(s)); }

size_t PosNth(std::string_view sub, std::string_view s, int n) {
    if (n == 0 || sub.empty()) return 0;
    if (n > 0) {
        size_t from = 0;
        size_t found = std::string_view::npos;
        for (int k = 0; k < n; ++k) {
            found = from <= s.size() ? s.find(sub, from) : std::string_view::npos;
            if (found == std::string_view::npos) return s.size() + 1;
            from = found + 1;
        }
        return found + 1;
    }
    if (sub.size() > s.size()) return 0;
    int wanted = -n;
    for (size_t pos = s.size() - sub.size() + 1; pos-- > 0;) {
        if (s.compare(pos, sub.size(), sub) == 0 && --wanted == 0) return pos + 1;
    }
    return 0;
}

bool MatchWildcard(std::string_view text, std::string_view mask) {
    const size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);
    const std::string t = UpperCase(text);
    const std::string m = UpperCase(mask);
    if (m.empty()) return t.empty();

    size_t i = 1;  // 1-based position of the next text character
    bool afterStar = false;
    for (char c : m) {
        if (c == '*') {
            afterStar = true;
        } else if (c == '?') {
            ++i;
            if (i > t.size()) return true;
        } else if (afterStar) {
            const size_t k = i - 1 <= t.size() ? t.find(c, i - 1) : std::string::npos;
            if (k == std::string::npos) return false;
            i = k + 2;
        } else {
            if (t.empty() || i > t.size() || t[i - 1] != c) return false;
            ++i;
        }
    }
    if (t.size() > i - 1) return m.back() == '*';
    return true;
}

bool MatchFileMask(std::string_view fileName, std::string_view mask) {
    const size_t maskDot = mask.rfind('.');
    // A mask without "." ("*", "abc*") is matched against the whole name.
    if (maskDot == std::string_view::npos) return MatchWildcard(fileName, mask);
    const size_t nameDot = fileName.rfind('.');
    const std::string_view name = fileName.substr(0, nameDot);
    const std::string_view ext =
        nameDot == std::string_view::npos ? std::string_view() : fileName.substr(nameDot + 1);
    return MatchWildcard(name, mask.substr(0, maskDot)) &&
           MatchWildcard(ext, mask.substr(maskDot + 1));
}

std::string ReplaceChar(char oldChar, char newChar, std::string s) {
    for (char& c : s)
        if (c == oldChar) c = newChar;
    return s;
}

bool InSemicolonList(std::string_view item, std::string_view list) {
    if (IsBlank(item)) return false;
    if (IsBlank(list)) return true;
    std::string haystack(1, ';');
    haystack += UpperCase(list);
    haystack += ';';
    std::string needle = UpperCase(item);
    needle += ';';
    return haystack.find(needle) != std::string::npos;
}

bool ExtInSemicolonList(std::string_view fileName, std::string_view list) {
    if (IsBlank(fileName)) return false;
    if (IsBlank(list)) return true;
    const size_t dot = fileName.rfind('.');
    if (dot == std::string_view::npos) return false;
    return InSemicolonList(fileName.substr(dot + 1), list);
}

int SplitSemicolonList(std::string_view text, std::vector<std::string>& list, bool skipEmpty) {
    if (IsBlank(text)) return 0;
    list.clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view piece = text.substr(start, end - start);
        if (!skipEmpty || !IsBlank(piece)) list.emplace_back(piece);
        start = end + 1;
    }
    return static_cast<int>(list.size());
}

std::string JoinSemicolonList(const std::vector<std::string>& list, bool skipEmpty) {
    std::string r;
    for (const std::string& entry : list) {
        if (skipEmpty && IsBlank(entry)) continue;
        r += entry;
        r += ';';
    }
    return r;
}

std::vector<std::string> SplitTextLines(std::string_view text, bool skipEmpty) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!skipEmpty || !line.empty()) lines.emplace_back(line);
        start = end + 1;
    }
    return lines;
}

bool FindInList(const std::vector<std::string>& list, std::string_view sub, int& index) {
    const std::string wanted = UpperCase(sub);
    for (size_t k = 0; k < list.size(); ++k) {
        if (UpperCase(list[k]).find(wanted) != std::string::npos) {
            index = static_cast<int>(k);
            return true;
        }
    }
    return false;
}

std::string FormatSize(uint64_t bytes) {
    if (bytes < 1024) return std::to_string(bytes) + " byte";
    return std::to_string(bytes / 1024 + (bytes % 1024 ? 1 : 0)) + " KB";
}

void SplitMilliseconds(uint64_t ms, uint64_t& hours, int& minutes, int& seconds) {
    hours = ms / 3600000;
    const uint64_t r = (ms / 1000) % 3600;
    minutes = static_cast<int>(r / 60);
    seconds = static_cast<int>(r % 60);
}

int64_t PercentOf(int64_t part, int64_t whole) {
    if (whole == 0) return 0;
    const __int128 r = static_cast<__int128>(part) * 100 / whole;
    if (r > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
    if (r < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(r);
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool HexPairToByte(char high, char low, uint8_t& byte) {
    const int h = HexDigitValue(high);
    const int l = HexDigitValue(low);
    if (h < 0 || l < 0) return false;
    byte = static_cast<uint8_t>(h * 16 + l);
    return true;
}

std::string DecodePercentText(std::string_view text) {
    std::string r;
    r.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%' || i + 1 >= text.size()) {
            r += text[i];
            continue;
        }
        if (text[i + 1] == '%') {
            r += '%';
            ++i;
            continue;
        }
        uint8_t byte = 0;
        if (i + 2 < text.size() && HexPairToByte(text[i + 1], text[i + 2], byte)) {
            r += static_cast<char>(byte);
            i += 2;
        } else {
            r += '%';
        }
    }
    return r;
}

} // namespace tq
