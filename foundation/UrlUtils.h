#pragma once
// Splitting and classifying download URLs.

#include <cstdint>
#include <string>
#include <string_view>

namespace tq {

struct TURLParts {
    std::string Proto;  // scheme as lower case; "http" for "/path" forms; empty when none
    std::string User, Pass, Host, Port;
    std::string Path;   // with its leading "/" and any query
};

// curPath is the path of the current document, used by "./" and "../" URLs.
TURLParts SplitURL(std::string_view url, std::string_view curPath = "");

constexpr int ukFtp = 1;
constexpr int ukHttp = 2;
constexpr int ukUnsupported = 3;

struct TURLInfo {
    std::string Host, Port, User, Pass;
    std::string PathNoSlash;  // path without its leading "/", query kept
    std::string Dir;          // directory of the file, no leading "/"
    std::string FileName;     // last path element, query cut off
};

// A TCP port as written in a URL or by a user: 1 to 65535 in decimal digits only.
bool ParsePortNumber(std::string_view text, int32_t& port);

// Returns ukFtp, ukHttp or ukUnsupported; info is cleared, then filled for the first two.
int AnalyseURL(std::string_view url, TURLInfo& info);

} // namespace tq
