#include "ftp/FtpReply.h"

#include <cctype>
#include <charconv>
#include <strings.h>

namespace tq {

namespace {
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
}

TReplyLine ClassifyReplyLine(std::string_view line) {
    TReplyLine r;
    if (line.empty() || !IsDigit(line[0])) return r;
    size_t i = 0;
    long code = 0;
    while (i < line.size() && IsDigit(line[i]) && i < 9) code = code * 10 + (line[i++] - '0');
    r.HasCode = true;
    r.Code = int(code);
    r.Continuation = i < line.size() && line[i] == '-';
    return r;
}

bool TakeReplyLine(std::string& buf, bool acceptLF, std::string& line) {
    size_t end, termLen;
    if (acceptLF) {
        end = buf.find('\n');
        termLen = 1;
    } else {
        end = buf.find("\r\n");
        termLen = 2;
    }
    if (end == std::string::npos) return false;
    line.assign(buf, 0, end);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    buf.erase(0, end + termLen);
    return true;
}

std::string ParseQuotedDir(std::string_view reply) {
    size_t i = 0;
    while (i < reply.size() && IsDigit(reply[i])) ++i;
    while (i < reply.size() && (reply[i] == ' ' || reply[i] == '-')) ++i;
    if (i >= reply.size() || reply[i] != '"') return "";
    std::string out;
    for (++i; i < reply.size(); ++i) {
        if (reply[i] == '"') {
            if (i + 1 < reply.size() && reply[i + 1] == '"') {
                out += '"';
                ++i;
            } else {
                break;
            }
        } else {
            out += reply[i];
        }
    }
    return out;
}

bool ParseSizeReply(std::string_view reply, int64_t& size) {
    size_t i = 0;
    while (i < reply.size() && IsDigit(reply[i])) ++i;
    while (i < reply.size() && reply[i] == ' ') ++i;
    size_t j = i;
    while (j < reply.size() && IsDigit(reply[j])) ++j;
    if (j == i) return false;
    size_t k = j;
    while (k < reply.size() && (reply[k] == ' ' || reply[k] == '\t')) ++k;
    if (k != reply.size()) return false;
    int64_t v = 0;
    auto res = std::from_chars(reply.data() + i, reply.data() + j, v);
    if (res.ec != std::errc() || v < 0) return false;
    size = v;
    return true;
}

bool ParsePasvReply(std::string_view reply, std::string& addr, int& port) {
    size_t i = reply.find('(');
    if (i == std::string_view::npos) {
        i = 0;
        while (i < reply.size() && IsDigit(reply[i])) ++i;   // skip the code
        while (i < reply.size() && !IsDigit(reply[i])) ++i;
    } else {
        ++i;
    }
    int n[6];
    for (int k = 0; k < 6; ++k) {
        while (i < reply.size() && reply[i] == ' ') ++i;
        size_t j = i;
        while (j < reply.size() && IsDigit(reply[j]) && j - i < 4) ++j;
        if (j == i) return false;
        int v = 0;
        if (std::from_chars(reply.data() + i, reply.data() + j, v).ec != std::errc() || v > 255) return false;
        n[k] = v;
        i = j;
        while (i < reply.size() && reply[i] == ' ') ++i;
        if (k < 5) {
            if (i >= reply.size() || reply[i] != ',') return false;
            ++i;
        }
    }
    port = n[4] * 256 + n[5];
    if (port == 0) return false;
    addr = std::to_string(n[0]) + "." + std::to_string(n[1]) + "." + std::to_string(n[2]) + "." +
           std::to_string(n[3]);
    return true;
}

std::string FormatPortCommand(const std::string& addr, int port) {
    int b[4];
    const char* p = addr.data();
    const char* e = addr.data() + addr.size();
    for (int k = 0; k < 4; ++k) {
        auto r = std::from_chars(p, e, b[k]);
        if (r.ec != std::errc() || b[k] < 0 || b[k] > 255) return "";
        p = r.ptr;
        if (k < 3) {
            if (p >= e || *p != '.') return "";
            ++p;
        }
    }
    if (p != e || port <= 0 || port > 65535) return "";
    return "PORT " + std::to_string(b[0]) + "," + std::to_string(b[1]) + "," + std::to_string(b[2]) + "," +
           std::to_string(b[3]) + "," + std::to_string(port >> 8) + "," + std::to_string(port & 255);
}

bool HasCommandBreak(std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string TransferStatsText(int64_t bytes, uint32_t startTick, uint32_t stopTick) {
    const uint32_t ms = stopTick - startTick;
    std::string s = std::to_string(bytes) + " bytes received/sent in " + std::to_string(ms / 1000) + " seconds";
    if (ms != 0) s += " (" + std::to_string(bytes * 1000 / int64_t(ms)) + " Bytes/sec)";
    return s;
}

std::string ProxyTargetText(const std::string& user, const std::string& host, const std::string& port) {
    std::string s = user + "@" + host;
    if (strcasecmp(port.c_str(), "ftp") != 0 && port != "21" && !port.empty()) s += ":" + port;
    return s;
}

} // namespace tq
