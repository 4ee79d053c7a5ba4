// parse-listing: reads LIST output on standard input and prints one tab-separated line
// per entry: server type, directory flag, size, date and time, link target, name.

#include "cli/Commands.h"
#include "ftp/FtpParse.h"

#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>

namespace tq::cli {

namespace {

int Usage(const char* why, const std::string& what = "") {
    std::fprintf(stderr, "tarvolin-cli parse-listing: %s%s\n", why, what.c_str());
    std::fprintf(stderr, "usage: tarvolin-cli parse-listing [--type N | --syst TEXT]\n"
                         "  --type N     server type 0 to 24\n"
                         "  --syst TEXT  choose the type from a SYST reply, e.g. \"215 UNIX Type: L8\"\n");
    return kExitUsage;
}

bool ReadType(const std::string& text, uint8_t& type) {
    if (text.empty() || text.size() > 2) return false;
    int v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    if (v >= kFtpServerTypeCount) return false;
    type = uint8_t(v);
    return true;
}

} // namespace

int CmdParseListing(const CliContext&, const Args& args) {
    uint8_t type = ftpstAutoDetect;
    bool typeGiven = false, systGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--type" || a == "--syst") {
            if (i + 1 >= args.size()) return Usage("missing value after ", a);
            if (typeGiven || systGiven) return Usage("give either --type or --syst, once", "");
            const std::string& v = args[++i];
            if (a == "--type") {
                if (!ReadType(v, type)) return Usage("--type needs a number from 0 to 24, not ", v);
                typeGiven = true;
            } else {
                type = DetectServerType(v, ftpstAutoDetect);
                systGiven = true;
            }
        } else {
            return Usage("unknown argument ", a);
        }
    }

    const std::string input{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    std::string_view rest = input;
    TQNFileData entry;
    std::string out;
    long unread = 0;
    while (!rest.empty()) {
        const size_t nl = rest.find('\n');
        std::string_view line = rest.substr(0, nl);
        rest = nl == rest.npos ? std::string_view() : rest.substr(nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        entry = TQNFileData{};
        if (!LineToFileData(line, entry, type)) {
            ++unread;
            continue;
        }
        std::string_view target = entry.LinkText;
        if (target.substr(0, 2) == "->") target.remove_prefix(2);
        while (!target.empty() && target.front() == ' ') target.remove_prefix(1);
        out += std::to_string(type);
        out += '\t';
        out += entry.IsDir ? "d" : "-";
        out += '\t';
        out += std::to_string(entry.FileSize);
        out += '\t';
        out += entry.DateText;
        out += '\t';
        out += target;
        out += '\t';
        out += entry.FileName;
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (unread > 0)
        std::fprintf(stderr, "tarvolin-cli parse-listing: %ld line(s) not read as entries\n", unread);
    return kExitOk;
}

} // namespace tq::cli
