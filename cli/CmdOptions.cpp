// tarvolin-cli options: list, show or change the settings in the registry.

#include "cli/Commands.h"

#include "config/TQnOption.h"
#include "config/TQnOptionDef.h"
#include "foundation/TextUtils.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace tq::cli {

namespace {

constexpr const char* kUsage =
    "usage: tarvolin-cli options               list every setting: KEY<TAB>NAME<TAB>VALUE\n"
    "       tarvolin-cli options NAME          show one setting\n"
    "       tarvolin-cli options NAME VALUE    change one setting\n"
    "NAME is a value name (MaxCanRunJob). A name that exists under several keys is\n"
    "qualified by the end of its key path, with \\ or / between the parts:\n"
    "AutoFtp/Day, FtpClient\\AutoFtp\\Day, or the whole path from the root as in\n"
    "/Options/FtpClient/AutoFtp/Day. Names compare without regard to case.\n"
    "VALUE: integers in the 32-bit range, booleans as 0, 1, true or false, decimal\n"
    "numbers for Speed and LastPackDate, any text for texts and sound files.\n";

enum class Table { Int, Str, Sound };

struct Setting {
    Table table;
    int index;
    std::string key;   // below the root; "" for the root itself
    std::string name;
    OptType type;
};

std::vector<Setting> AllSettings() {
    std::vector<Setting> all;
    for (int i = 0; i < kIntOptCount; ++i)
        all.push_back({Table::Int, i, IntOptKey(i), IntOptName(i), IntOptType(i)});
    for (int i = 0; i < kStrOptCount; ++i)
        all.push_back({Table::Str, i, StrOptKey(i), StrOptName(i), OptType::String});
    for (int i = 0; i < kSoundOptCount; ++i)
        all.push_back({Table::Sound, i, kKeySound, SoundOptName(i), OptType::String});
    return all;
}

std::vector<std::string> KeyParts(std::string_view path) {
    std::vector<std::string> parts;
    std::string cur;
    for (char c : path) {
        if (c == '\\' || c == '/') {
            if (!cur.empty()) parts.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) parts.push_back(cur);
    return parts;
}

bool SameName(std::string_view a, std::string_view b) {
    return UpperCase(a) == UpperCase(b);
}

std::string ShownKey(const Setting& s) {
    return s.key.empty() ? "\\" : s.key;
}

std::string QualifiedName(const Setting& s) {
    return s.key + "\\" + s.name;
}

// Settings that the (possibly key-qualified) name designates.
std::vector<const Setting*> Match(const std::vector<Setting>& all, const std::string& arg) {
    std::vector<const Setting*> found;
    std::vector<std::string> parts = KeyParts(arg);
    if (parts.empty()) return found;
    const bool fromRoot = arg[0] == '\\' || arg[0] == '/';
    const std::string name = parts.back();
    parts.pop_back();
    for (const Setting& s : all) {
        if (!SameName(s.name, name)) continue;
        const std::vector<std::string> key = KeyParts(s.key);
        if (parts.size() > key.size() || (fromRoot && parts.size() != key.size())) continue;
        bool ok = true;
        for (size_t i = 0; i < parts.size() && ok; ++i)
            ok = SameName(parts[parts.size() - 1 - i], key[key.size() - 1 - i]);
        if (ok) found.push_back(&s);
    }
    return found;
}

std::optional<int32_t> ParseInt32(const std::string& text) {
    size_t pos = 0;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) negative = text[pos++] == '-';
    if (pos == text.size()) return std::nullopt;
    int64_t v = 0;
    for (; pos < text.size(); ++pos) {
        if (text[pos] < '0' || text[pos] > '9') return std::nullopt;
        v = v * 10 + (text[pos] - '0');
        if (v > int64_t{INT32_MAX} + 1) return std::nullopt;
    }
    if (negative) v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return std::nullopt;
    return static_cast<int32_t>(v);
}

std::optional<int32_t> ParseBool(const std::string& text) {
    const std::string t = UpperCase(text);
    if (t == "1" || t == "TRUE") return 1;
    if (t == "0" || t == "FALSE") return 0;
    return std::nullopt;
}

std::optional<double> ParseFloat(const std::string& text) {
    double v = 0;
    const char* end = text.data() + text.size();
    const auto [p, ec] = std::from_chars(text.data(), end, v);
    if (text.empty() || ec != std::errc() || p != end || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::string FormatFloat(double v) {
    char buf[64];
    const auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return ec == std::errc() ? std::string(buf, p) : std::string("?");
}

std::string ReadValue(const TQNoption& opt, const Setting& s, TRegistry& reg) {
    switch (s.table) {
    case Table::Str: return opt.ReadStr(s.key, s.index, &reg);
    case Table::Sound: return opt.ReadSound(s.index, &reg);
    case Table::Int: break;
    }
    if (s.type == OptType::Float) return FormatFloat(opt.ReadFloat(s.key, s.index, &reg));
    return std::to_string(opt.ReadInt(s.key, s.index, &reg));
}

void PrintSetting(const TQNoption& opt, const Setting& s, TRegistry& reg) {
    const std::string value = ReadValue(opt, s, reg);
    std::printf("%s\t%s\t%s\n", ShownKey(s).c_str(), s.name.c_str(), value.c_str());
}

// Error text for a value the setting cannot take, "" when it fits.
std::string CheckValue(const Setting& s, const std::string& text) {
    if (s.table != Table::Int) return "";
    switch (s.type) {
    case OptType::Float:
        return ParseFloat(text) ? "" : s.name + " takes a decimal number";
    case OptType::Bool:
        return ParseBool(text) ? "" : s.name + " takes 0, 1, true or false";
    default:
        return ParseInt32(text) ? "" : s.name + " takes an integer from -2147483648 to 2147483647";
    }
}

// Writes a value that CheckValue accepted.
void WriteValue(const TQNoption& opt, const Setting& s, const std::string& text, TRegistry& reg) {
    switch (s.table) {
    case Table::Str: opt.WriteStr(s.key, s.index, text, &reg); return;
    case Table::Sound: opt.WriteSound(s.index, text, &reg); return;
    case Table::Int: break;
    }
    if (s.type == OptType::Float) opt.WriteFloat(s.key, s.index, ParseFloat(text).value(), &reg);
    else if (s.type == OptType::Bool) opt.WriteInt(s.key, s.index, ParseBool(text).value(), &reg);
    else opt.WriteInt(s.key, s.index, ParseInt32(text).value(), &reg);
}

int Run(const Args& args) {
    const std::vector<Setting> all = AllSettings();
    const Setting* chosen = nullptr;
    if (!args.empty()) {
        const std::vector<const Setting*> found = Match(all, args[0]);
        if (found.empty()) {
            std::fprintf(stderr, "tarvolin-cli options: unknown setting \"%s\"\n", args[0].c_str());
            return kExitUsage;
        }
        if (found.size() > 1) {
            std::fprintf(stderr, "tarvolin-cli options: \"%s\" is ambiguous; qualify it by its key:\n",
                         args[0].c_str());
            for (const Setting* s : found) std::fprintf(stderr, "  %s\n", QualifiedName(*s).c_str());
            return kExitUsage;
        }
        chosen = found[0];
    }
    if (args.size() == 2) {
        const std::string error = CheckValue(*chosen, args[1]);
        if (!error.empty()) {
            std::fprintf(stderr, "tarvolin-cli options: %s, not \"%s\"\n", error.c_str(),
                         args[1].c_str());
            return kExitUsage;
        }
    }

    TRegistry reg;
    TQNoption opt(reg);
    if (!chosen) {
        for (const Setting& s : all) PrintSetting(opt, s, reg);
        return kExitOk;
    }
    if (args.size() == 2) WriteValue(opt, *chosen, args[1], reg);
    PrintSetting(opt, *chosen, reg);
    return kExitOk;
}

} // namespace

int CmdOptions(const CliContext&, const Args& args) {
    if (!args.empty() && (args[0] == "-h" || args[0] == "--help")) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (args.size() > 2) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    try {
        return Run(args);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "tarvolin-cli options: %s\n", e.what());
        return kExitFailed;
    }
}

} // namespace tq::cli
