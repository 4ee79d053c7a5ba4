#include "foundation/IniFile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "foundation/AtomicFile.h"
#include "foundation/TextUtils.h"

namespace tq {

namespace {

const char kHex[] = "0123456789abcdef";

bool NeedsEscape(char c, size_t pos) {
    const unsigned char u = static_cast<unsigned char>(c);
    return c == '=' || u < 0x20 || u == 0x7f || (pos == 0 && (c == ';' || c == '['));
}

// The file as lines, without line ends; false when it cannot be read.
bool ReadLines(const std::string& fileName, std::vector<std::string>& lines) {
    FILE* f = std::fopen(fileName.c_str(), "rb");
    if (f == nullptr) return false;
    std::string text;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    std::fclose(f);
    lines = SplitTextLines(text, false);
    return true;
}

bool WriteLines(const std::string& fileName, const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return WriteFileAtomically(fileName, text);
}

bool SameName(std::string_view a, std::string_view b) { return UpperCase(a) == UpperCase(b); }

// Section name of a "[...]" line, or false for any other line.
bool SectionOf(const std::string& line, std::string& name) {
    const std::string t = Trim(line);
    if (t.empty() || t[0] != '[') return false;
    const size_t close = t.rfind(']');
    name = Trim(t.substr(1, close == std::string::npos || close == 0 ? std::string::npos : close - 1));
    return true;
}

bool KeyOf(const std::string& line, std::string& key, std::string& value) {
    const std::string t = TrimLeft(line);
    if (t.empty() || t[0] == ';') return false;
    const size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    key = Trim(t.substr(0, eq));
    value = Trim(t.substr(eq + 1));
    return true;
}

// Index range [first, last) of the key lines of section; first == npos when absent.
void FindSection(const std::vector<std::string>& lines, const std::string& section, size_t& first,
                 size_t& last) {
    first = std::string::npos;
    last = lines.size();
    std::string name;
    for (size_t k = 0; k < lines.size(); ++k) {
        if (!SectionOf(lines[k], name)) continue;
        if (first != std::string::npos) {
            last = k;
            return;
        }
        if (SameName(name, Trim(section))) first = k + 1;
    }
}

bool LookupValue(const std::string& section, const std::string& key, const std::string& fileName,
                 std::string& value) {
    std::vector<std::string> lines;
    if (!ReadLines(fileName, lines)) return false;
    size_t first, last;
    FindSection(lines, section, first, last);
    if (first == std::string::npos) return false;
    std::string k, v;
    for (size_t i = first; i < last; ++i) {
        if (KeyOf(lines[i], k, v) && SameName(k, Trim(key))) {
            value = v;
            return true;
        }
    }
    return false;
}

bool BreaksLine(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

} // namespace

std::string EncodeIniText(std::string_view text) {
    std::string r;
    r.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        // A plain "_" stands for a blank only as the last of a run of blanks and
        // underscores; other blanks are escaped so that runs decode unambiguously.
        if (c == ' ' && next != ' ' && next != '_') {
            r += '_';
        } else if (c == '_') {
            r += "__";
        } else if (c == ' ' || NeedsEscape(c, i)) {
            const unsigned char u = static_cast<unsigned char>(c);
            r += "_ ";
            r += kHex[u >> 4];
            r += kHex[u & 15];
        } else {
            r += c;
        }
    }
    return r;
}

std::string DecodeIniText(std::string_view text) {
    std::string r;
    r.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '_') {
            r += text[i++];
            continue;
        }
        size_t j = i;
        while (j < text.size() && text[j] == '_') ++j;
        uint8_t byte = 0;
        const bool escape = j + 2 < text.size() && text[j] == ' ' &&
                            HexPairToByte(text[j + 1], text[j + 2], byte);
        const size_t run = (j - i) - (escape ? 1 : 0);
        r.append(run / 2, '_');
        if (run % 2) r += ' ';
        if (escape) {
            r += static_cast<char>(byte);
            j += 3;
        }
        i = j;
    }
    return r;
}

bool IniWriteRaw(const std::string& section, const std::string& key, const std::string& value,
                 const std::string& fileName) {
    const std::string k = Trim(key);
    // What would break the line form is refused rather than written corrupt.
    if (k.empty() || k.find('=') != std::string::npos || k[0] == ';' || k[0] == '[' ||
        BreaksLine(k) || BreaksLine(value) || BreaksLine(section) ||
        section.find(']') != std::string::npos)
        return false;
    std::vector<std::string> lines;
    ReadLines(fileName, lines);
    const std::string newLine = k + "=" + value;
    size_t first, last;
    FindSection(lines, section, first, last);
    if (first == std::string::npos) {
        if (!lines.empty() && !Trim(lines.back()).empty()) lines.emplace_back();
        lines.push_back("[" + section + "]");
        lines.push_back(newLine);
        return WriteLines(fileName, lines);
    }
    std::string lk, lv;
    size_t insertAt = first;
    for (size_t i = first; i < last; ++i) {
        if (KeyOf(lines[i], lk, lv) && SameName(lk, k)) {
            lines[i] = lk + "=" + value;
            return WriteLines(fileName, lines);
        }
        if (!Trim(lines[i]).empty()) insertAt = i + 1;
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), newLine);
    return WriteLines(fileName, lines);
}

bool IniWriteInt(const std::string& section, const std::string& key, int64_t number,
                 const std::string& fileName) {
    return IniWriteRaw(section, key, std::to_string(number), fileName);
}

bool IniWriteText(const std::string& section, const std::string& key, const std::string& value,
                  const std::string& fileName) {
    if (Trim(key).empty()) return false;
    return IniWriteRaw(section, EncodeIniText(key), EncodeIniText(value), fileName);
}

std::string IniReadRaw(const std::string& section, const std::string& key,
                       const std::string& defaultValue, bool writeBack,
                       const std::string& fileName) {
    if (Trim(key).empty()) return defaultValue;
    std::string value;
    LookupValue(section, key, fileName, value);
    if (!value.empty()) return value;
    if (writeBack && !defaultValue.empty()) IniWriteRaw(section, key, defaultValue, fileName);
    return defaultValue;
}

std::string IniReadText(const std::string& section, const std::string& key,
                        const std::string& defaultValue, bool writeBack,
                        const std::string& fileName) {
    if (Trim(key).empty()) return defaultValue;
    const std::string raw = IniReadRaw(section, EncodeIniText(key), "", false, fileName);
    if (!raw.empty()) return DecodeIniText(raw);
    if (writeBack && !defaultValue.empty()) IniWriteText(section, key, defaultValue, fileName);
    return defaultValue;
}

int64_t IniReadInt(const std::string& section, const std::string& key, int64_t defaultValue,
                   const std::string& fileName) {
    const std::string raw = IniReadRaw(section, key, "", false, fileName);
    if (raw.empty()) return defaultValue;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(raw.c_str(), &end, 10);
    if (errno != 0 || end == raw.c_str() || *end != '\0') return defaultValue;
    return v;
}

int IniReadKeys(const std::string& fileName, const std::string& section,
                std::vector<std::string>& list) {
    std::vector<std::string> lines;
    if (!ReadLines(fileName, lines)) return 0;
    size_t first, last;
    FindSection(lines, section, first, last);
    if (first != std::string::npos) {
        std::string k, v;
        for (size_t i = first; i < last; ++i)
            if (KeyOf(lines[i], k, v) && k.size() >= 2) list.push_back(k);
    }
    return static_cast<int>(list.size());
}

} // namespace tq
