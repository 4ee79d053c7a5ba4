#include "foundation/UrlUtils.h"

#include "foundation/TextUtils.h"

namespace tq {

namespace {

bool StartsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

bool IsSchemeChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '+' || c == '-' || c == '.';
}

// The folder part of a document path, with its trailing "/".
std::string FolderOf(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string("/") : std::string(path.substr(0, slash + 1));
}

void SplitAuthority(std::string_view auth, TURLParts& r) {
    size_t c = PosNth(":", auth, -1);
    const size_t a = PosNth("@", auth, -1);
    // The colons of a bracketed IPv6 literal are not a port separator.
    const size_t bracket = auth.rfind(']');
    if (c > 0 && bracket != std::string_view::npos && bracket + 1 > c) c = 0;
    std::string_view credentials;
    if (c == 0 && a == 0) {
        r.Host = auth;
        return;
    }
    if (c > a) {
        r.Port = auth.substr(c);
        r.Host = auth.substr(a, c - 1 - a);
        if (a == 0) return;
        credentials = auth.substr(0, a - 1);
    } else {
        r.Host = auth.substr(a);
        credentials = auth.substr(0, a - 1);
    }
    const size_t colon = credentials.find(':');
    if (colon == std::string_view::npos) {
        r.User = credentials;
    } else {
        r.User = credentials.substr(0, colon);
        r.Pass = credentials.substr(colon + 1);
    }
}

} // namespace

TURLParts SplitURL(std::string_view url, std::string_view curPath) {
    TURLParts r;
    if (url.empty()) return r;

    if (StartsWith(url, "./")) {
        r.Path = FolderOf(curPath) + std::string(url.substr(2));
        return r;
    }
    if (StartsWith(url, "../")) {
        std::string base = FolderOf(curPath);
        while (StartsWith(url, "../")) {
            const size_t prev = base.size() >= 2 ? base.rfind('/', base.size() - 2) : std::string::npos;
            base = prev == std::string::npos ? std::string("/") : base.substr(0, prev + 1);
            url.remove_prefix(3);
        }
        r.Path = base + std::string(url);
        return r;
    }

    size_t p = url.find("://");
    if (p != std::string_view::npos) {
        for (char c : url.substr(0, p)) {
            if (!IsSchemeChar(c)) {
                r.Proto = "http";
                p = std::string_view::npos;
                break;
            }
        }
    }

    std::string_view rest;
    const std::string lower = LowerCase(url.substr(0, 7));
    if (p != std::string_view::npos) {
        r.Proto = LowerCase(url.substr(0, p));
        rest = url.substr(p + 3);
    } else if (url[0] == '/') {
        r.Proto = "http";
        if (url.size() > 1 && url[1] != '/') {
            r.Path = url;
            return r;
        }
        // "//host/path": the authority follows both slashes.
        rest = url.substr(url.size() > 1 ? 2 : 1);
    } else if (StartsWith(lower, "http:")) {
        r.Proto = "http";
        if (url.size() > 6 && url[6] != '/') {
            r.Path = url.substr(5);
            return r;
        }
        rest = url.substr(std::min<size_t>(6, url.size()));
    } else if (lower == "mailto:") {
        r.Proto = "mailto";
        rest = url.substr(7);
    } else {
        rest = url;
    }

    const size_t end = rest.find_first_of("/?");
    if (end != std::string_view::npos) {
        r.Path = rest.substr(end);
        rest = rest.substr(0, end);
    }
    SplitAuthority(rest, r);
    return r;
}

bool ParsePortNumber(std::string_view text, int32_t& port) {
    if (text.empty() || text.size() > 5) return false;
    int32_t n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + (c - '0');
    }
    if (n < 1 || n > 65535) return false;
    port = n;
    return true;
}

int AnalyseURL(std::string_view url, TURLInfo& info) {
    info = TURLInfo{};
    const std::string upper = UpperCase(url);
    const size_t p = upper.find("://");
    int kind = ukUnsupported;
    if (p == 3 && StartsWith(upper, "FTP")) kind = ukFtp;
    else if (p == 4 && StartsWith(upper, "HTTP")) kind = ukHttp;
    if (kind == ukUnsupported) return kind;

    const TURLParts parts = SplitURL(url);
    std::string_view path = parts.Path;
    if (StartsWith(path, "/")) path.remove_prefix(1);
    info.PathNoSlash = Trim(path);
    info.Host = parts.Host;
    info.Port = parts.Port;
    info.User = parts.User;
    info.Pass = parts.Pass;
    if (!info.User.empty() || !info.Pass.empty()) {
        if (info.Pass.empty()) info.Pass = info.User;
        if (info.User.empty()) info.User = info.Pass;
    }

    std::string fileName = parts.Path;
    fileName = fileName.substr(0, fileName.find('?'));
    fileName = fileName.substr(0, fileName.find('&'));
    const size_t slash = fileName.rfind('/');
    if (slash != std::string::npos) {
        std::string_view dir = std::string_view(fileName).substr(0, slash);
        if (StartsWith(dir, "/")) dir.remove_prefix(1);
        info.Dir = Trim(dir);
        fileName = fileName.substr(slash + 1);
    }
    info.FileName = fileName;
    return kind;
}

} // namespace tq
