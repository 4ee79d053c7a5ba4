#include "download/HttpHeaders.h"

#include "foundation/TextUtils.h"
#include "foundation/UrlUtils.h"

#include <vector>

namespace tq {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view StripBlanks(std::string_view s)
{
    while (!s.empty() && IsBlank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back()))
        s.remove_suffix(1);
    return s;
}

// Removes "." and ".." segments of an absolute path (the query is left alone).
std::string RemoveDotSegments(std::string_view path)
{
    std::string_view query;
    if (size_t q = path.find('?'); q != std::string_view::npos) {
        query = path.substr(q);
        path = path.substr(0, q);
    }
    if (!path.empty() && path[0] == '/')
        path.remove_prefix(1);
    std::vector<std::string_view> out;
    bool trailingSlash = false;
    for (size_t i = 0;;) {
        size_t j = path.find('/', i);
        bool last = j == std::string_view::npos;
        std::string_view seg = path.substr(i, last ? std::string_view::npos : j - i);
        if (seg == "..") {
            if (!out.empty())
                out.pop_back();
        } else if (!seg.empty() && seg != ".") {
            out.push_back(seg);
        }
        if (last) {
            trailingSlash = seg.empty() || seg == "." || seg == "..";
            break;
        }
        i = j + 1;
    }
    std::string r;
    for (auto seg : out) {
        r += '/';
        r.append(seg);
    }
    if (r.empty() || trailingSlash)
        r += '/';
    r.append(query);
    return r;
}

// The scheme of a URL (letters, digits, "+", "-", "." after a letter, then ":"), or empty.
std::string_view SchemeOf(std::string_view v)
{
    if (v.empty() || !IsAlpha(v[0]))
        return {};
    for (size_t i = 1; i < v.size(); ++i) {
        char c = v[i];
        if (c == ':')
            return v.substr(0, i);
        if (!(IsAlpha(c) || IsDigit(c) || c == '+' || c == '-' || c == '.'))
            return {};
    }
    return {};
}

bool ValidPort(std::string_view p)
{
    int32_t n = 0;
    return ParsePortNumber(p, n);
}

std::string HostWithPort(std::string_view host, std::string_view port)
{
    std::string r(host);
    if (!port.empty() && port != "80") {
        r += ':';
        r.append(port);
    }
    return r;
}

} // namespace

bool ParseHttpDecimal(std::string_view text, int64_t& value)
{
    if (text.empty())
        return false;
    int64_t v = 0;
    for (char c : text) {
        if (!IsDigit(c))
            return false;
        int d = c - '0';
        if (v > (INT64_MAX - d) / 10)
            return false;
        v = v * 10 + d;
    }
    value = v;
    return true;
}

bool ParseStatusLine(std::string_view line, THttpStatusLine& out)
{
    // "HTTP/1.1 200" is the shortest form.
    if (line.size() < 12 || line.substr(0, 5) != "HTTP/" || !IsDigit(line[5]) || line[6] != '.'
        || !IsDigit(line[7]) || line[8] != ' ')
        return false;
    if (!IsDigit(line[9]) || !IsDigit(line[10]) || !IsDigit(line[11]))
        return false;
    if (line.size() > 12 && line[12] != ' ')
        return false;
    int code = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
    if (code < 100 || code > 599)
        return false;
    out.Major = line[5] - '0';
    out.Minor = line[7] - '0';
    out.Code = code;
    out.Reason = line.size() > 13 ? std::string(line.substr(13)) : std::string();
    return true;
}

bool SplitHeaderLine(std::string_view line, std::string& name, std::string& value)
{
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    std::string_view n = line.substr(0, colon);
    for (char c : n)
        if (c <= ' ' || c == 0x7F)
            return false;
    name = LowerCase(n);
    value = std::string(StripBlanks(line.substr(colon + 1)));
    return true;
}

bool ParseContentRange(std::string_view value, TContentRange& out)
{
    value = StripBlanks(value);
    if (value.size() < 6 || LowerCase(value.substr(0, 6)) != "bytes ")
        return false;
    value = StripBlanks(value.substr(6));
    size_t slash = value.find('/');
    if (slash == std::string_view::npos)
        return false;
    std::string_view range = value.substr(0, slash), total = value.substr(slash + 1);
    TContentRange r;
    if (total != "*" && !ParseHttpDecimal(total, r.Total))
        return false;
    if (range == "*") {
        if (r.Total < 0)
            return false;
        out = r;
        return true;
    }
    size_t dash = range.find('-');
    if (dash == std::string_view::npos || !ParseHttpDecimal(range.substr(0, dash), r.Begin)
        || !ParseHttpDecimal(range.substr(dash + 1), r.End))
        return false;
    if (r.Begin > r.End || (r.Total >= 0 && r.End >= r.Total))
        return false;
    out = r;
    return true;
}

TLocationTarget ResolveLocation(std::string_view value, std::string_view curHost,
                                std::string_view curPort, std::string_view curPath)
{
    TLocationTarget t;
    if (HasLineBreakOrNul(value))
        return t;
    value = StripBlanks(value);
    if (value.empty())
        return t;
    if (size_t hash = value.find('#'); hash != std::string_view::npos)
        value = value.substr(0, hash);

    std::string_view scheme = SchemeOf(value);
    std::string lscheme = LowerCase(scheme);
    std::string_view rest;  // after "//" for a network reference
    if (!scheme.empty()) {
        if (lscheme != "http") {
            t.Kind = lscheme == "ftp" ? TLocationKind::Ftp : TLocationKind::Unsupported;
            t.URL = std::string(value);
            return t;
        }
        rest = value.substr(scheme.size() + 1);
        if (rest.substr(0, 2) != "//")
            return t;
        rest.remove_prefix(2);
    } else if (value.substr(0, 2) == "//") {
        rest = value.substr(2);
    } else {
        // Path-absolute or relative: same host and port.
        std::string path;
        if (value[0] == '/') {
            path = std::string(value);
        } else {
            std::string_view base = curPath.substr(0, curPath.find('?'));
            if (value[0] == '?') {
                path = std::string(base.empty() ? "/" : base);
            } else {
                size_t slash = base.rfind('/');
                path = slash == std::string_view::npos ? "/" : std::string(base.substr(0, slash + 1));
            }
            path.append(value);
            if (path[0] != '/')
                path.insert(path.begin(), '/');
        }
        if (curHost.empty())
            return t;
        t.Kind = TLocationKind::Http;
        t.Host = std::string(curHost);
        t.Port = curPort.empty() ? "80" : std::string(curPort);
        t.Path = RemoveDotSegments(path);
        t.URL = "http://" + HostWithPort(t.Host, t.Port) + t.Path;
        return t;
    }

    // Absolute http URL: authority, then path.
    size_t end = rest.find_first_of("/?");
    std::string_view authority = rest.substr(0, end);
    std::string path = end == std::string_view::npos ? "/" : std::string(rest.substr(end));
    if (path[0] == '?')
        path.insert(path.begin(), '/');
    if (size_t at = authority.rfind('@'); at != std::string_view::npos) {
        std::string_view userinfo = authority.substr(0, at);
        authority = authority.substr(at + 1);
        size_t colon = userinfo.find(':');
        t.User = DecodePercentText(userinfo.substr(0, colon));
        if (colon != std::string_view::npos)
            t.Pass = DecodePercentText(userinfo.substr(colon + 1));
    }
    std::string_view host = authority, port = "80";
    if (size_t colon = authority.rfind(':'); colon != std::string_view::npos) {
        host = authority.substr(0, colon);
        port = authority.substr(colon + 1);
        if (!ValidPort(port))
            return TLocationTarget{};
    }
    if (host.empty())
        return TLocationTarget{};
    for (char c : host)
        if (c <= ' ' || c == '/' || c == '\\' || c == 0x7F)
            return TLocationTarget{};
    t.Kind = TLocationKind::Http;
    t.Host = std::string(host);
    t.Port = std::string(port);
    t.Path = RemoveDotSegments(path);
    t.URL = "http://" + HostWithPort(t.Host, t.Port) + t.Path;
    return t;
}

bool HasLineBreakOrNul(std::string_view s)
{
    return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::string EncodeRequestTarget(std::string_view path)
{
    static const char kHex[] = "0123456789ABCDEF";
    std::string r;
    r.reserve(path.size());
    for (char ch : path) {
        auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F) {
            r += '%';
            r += kHex[c >> 4];
            r += kHex[c & 15];
        } else {
            r += ch;
        }
    }
    return r;
}

std::string Base64Encode(std::string_view data)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string r;
    r.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        uint32_t v = (uint8_t(data[i]) << 16) | (uint8_t(data[i + 1]) << 8) | uint8_t(data[i + 2]);
        r += kAlphabet[v >> 18];
        r += kAlphabet[(v >> 12) & 63];
        r += kAlphabet[(v >> 6) & 63];
        r += kAlphabet[v & 63];
    }
    if (i < data.size()) {
        uint32_t v = uint8_t(data[i]) << 16;
        if (i + 1 < data.size())
            v |= uint8_t(data[i + 1]) << 8;
        r += kAlphabet[v >> 18];
        r += kAlphabet[(v >> 12) & 63];
        r += i + 1 < data.size() ? kAlphabet[(v >> 6) & 63] : '=';
        r += '=';
    }
    return r;
}

bool IsNotFoundStatus(int code) { return code == 404 || code == 410; }

std::string DocNameFromPath(std::string_view path)
{
    path = path.substr(0, path.find('?'));
    size_t slash = path.rfind('/');
    std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
    return last.empty() ? std::string("document.htm") : std::string(last);
}

} // namespace tq
