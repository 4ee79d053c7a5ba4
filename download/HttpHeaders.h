#pragma once
// Pure parsing and formatting pieces of the HTTP client: everything that reads bytes
// sent by a server or builds bytes for a request from outside text lives here, with
// bounds checks and no I/O.

#include <cstdint>
#include <string>
#include <string_view>

namespace tq {

// Longest header line (without its line end) the client accepts.
constexpr size_t kHttpMaxLine = 16 * 1024;

// Decimal digits only (no sign, no blanks, not empty), fitting a signed 64-bit value.
bool ParseHttpDecimal(std::string_view text, int64_t& value);

struct THttpStatusLine {
    int Major = 0, Minor = 0;
    int Code = 0;
    std::string Reason;
};
// "HTTP/d.d NNN[ reason]" with a code of 100..599; false for anything else.
bool ParseStatusLine(std::string_view line, THttpStatusLine& out);

// "Name: value" gives the lower-cased name and the value without surrounding blanks.
// False when there is no ":" or the name is empty or holds blanks.
bool SplitHeaderLine(std::string_view line, std::string& name, std::string& value);

struct TContentRange {
    int64_t Begin = -1, End = -1;  // -1 for "*"
    int64_t Total = -1;            // -1 when "*"
};
// "bytes B-E/T", "bytes B-E/*" or "bytes */T", with B <= E < T when T is known.
bool ParseContentRange(std::string_view value, TContentRange& out);

enum class TLocationKind { Http, Ftp, Unsupported, Invalid };
struct TLocationTarget {
    TLocationKind Kind = TLocationKind::Invalid;
    std::string URL;               // absolute; for Ftp and Unsupported the value as given
    std::string Host, Port, Path;  // Http only; Path with its leading "/" and query
    std::string User, Pass;        // Http only: credentials carried by the URL itself
};
// Resolves a Location value against the current request. A scheme is recognised in
// either case; "//host/..." keeps http; "/..." replaces the path; anything else is
// taken relative to the current path's folder. Dot segments are removed and a
// fragment is dropped. CR, LF or NUL in the value, a blank value, an empty host or a
// bad port give Invalid.
TLocationTarget ResolveLocation(std::string_view value, std::string_view curHost,
                                std::string_view curPort, std::string_view curPath);

// True when a text would break a request line or header line.
bool HasLineBreakOrNul(std::string_view s);
// Percent-encodes blanks, control bytes and bytes of 0x80 and above; everything else,
// "%" included, is kept (the path may already be encoded).
std::string EncodeRequestTarget(std::string_view path);
// Standard alphabet with "=" padding.
std::string Base64Encode(std::string_view data);
// The status codes that mean the document does not exist.
bool IsNotFoundStatus(int code);
// Last path segment without the query; "document.htm" for an empty one.
std::string DocNameFromPath(std::string_view path);

} // namespace tq
