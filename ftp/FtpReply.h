#pragma once
// Small pure parsers for FTP control replies and the command texts built from them.

#include <cstdint>
#include <string>
#include <string_view>

namespace tq {

// One reply line: does it start with a code, which, and is it a "ddd-" continuation.
struct TReplyLine {
    bool HasCode = false;
    int Code = 0;
    bool Continuation = false;
};
TReplyLine ClassifyReplyLine(std::string_view line);

// Cuts the first complete line out of buf. With acceptLF a line ends at LF, else only
// at CR LF. The line loses its terminator and any trailing CR or LF.
bool TakeReplyLine(std::string& buf, bool acceptLF, std::string& line);

// The quoted directory of a 257-style reply: blanks after the code are skipped, then a
// double-quoted text where "" stands for one quote. Empty when there is no quote.
std::string ParseQuotedDir(std::string_view reply);

// The number after the code of a SIZE reply ("213 12345"); false when it is missing,
// has other characters or does not fit 63 bits.
bool ParseSizeReply(std::string_view reply, int64_t& size);

// The six numbers of a 227 reply, after "(" when there is one, else after the code.
// Each must be 0..255; the port must not be 0.
bool ParsePasvReply(std::string_view reply, std::string& addr, int& port);

// "PORT a,b,c,d,h,l" for a dotted IPv4 address; empty when addr is not IPv4.
std::string FormatPortCommand(const std::string& addr, int port);

// True when text holds CR, LF or NUL, which would end a command early and let the
// rest be read as another command.
bool HasCommandBreak(std::string_view text);

// "N bytes received/sent in S seconds (R Bytes/sec)"; the rate only when the ticks differ.
std::string TransferStatsText(int64_t bytes, uint32_t startTick, uint32_t stopTick);

// "USER user@host" or "user@host:port" for an FTP proxy that takes the target in the
// user name; the port is left out when it is "ftp" or "21".
std::string ProxyTargetText(const std::string& user, const std::string& host, const std::string& port);

} // namespace tq
