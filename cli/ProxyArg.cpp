// The --proxy option: parsing its text and finding or adding its proxy entry.

#include "cli/ProxyArg.h"

#include "foundation/TextUtils.h"
#include "foundation/UrlUtils.h"

#include <string_view>

namespace tq::cli {

namespace {

struct TProxyKind {
    const char* Name;
    int32_t Type;
};

constexpr TProxyKind kKinds[] = {
    {"http", kProxyHttpGet},
    {"connect", kProxyHttpConnect},
    {"socks4", kProxySocks4},
    {"socks5", kProxySocks5},
};

bool HasControlOrSpace(std::string_view s) {
    for (unsigned char c : s)
        if (c <= ' ' || c == 0x7F) return true;
    return false;
}

bool Fail(std::string& error, const std::string& text, const std::string& why) {
    error = "bad --proxy \"" + text + "\": " + why +
            " (expected TYPE://[user[:password]@]host:port, TYPE http, connect, socks4 or socks5)";
    return false;
}

} // namespace

bool ParseProxyArg(const std::string& text, TproxyData& proxy, std::string& error) {
    const size_t sep = text.find("://");
    if (sep == std::string::npos) return Fail(error, text, "no TYPE://");
    const std::string kind = LowerCase(std::string_view(text).substr(0, sep));
    int32_t type = -1;
    for (const TProxyKind& k : kKinds)
        if (kind == k.Name) type = k.Type;
    if (type < 0) return Fail(error, text, "unknown proxy type \"" + kind + "\"");

    std::string_view rest = std::string_view(text).substr(sep + 3);
    if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
    if (rest.find_first_of("/?#") != std::string_view::npos)
        return Fail(error, text, "a proxy address has no path");

    std::string user, password;
    bool hasPassword = false;
    const size_t at = rest.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view userInfo = rest.substr(0, at);
        const size_t colon = userInfo.find(':');
        user = DecodePercentText(userInfo.substr(0, colon));
        if (colon != std::string_view::npos) {
            password = DecodePercentText(userInfo.substr(colon + 1));
            hasPassword = true;
        }
        if (user.empty()) return Fail(error, text, "empty user name before \"@\"");
        rest = rest.substr(at + 1);
    }

    std::string_view host, port;
    if (!rest.empty() && rest.front() == '[') {
        const size_t close = rest.find(']');
        if (close == std::string_view::npos) return Fail(error, text, "unclosed \"[\" in the host");
        host = rest.substr(1, close - 1);
        if (close + 1 >= rest.size() || rest[close + 1] != ':')
            return Fail(error, text, "no port after the host");
        port = rest.substr(close + 2);
    } else {
        const size_t colon = rest.rfind(':');
        if (colon == std::string_view::npos) return Fail(error, text, "no port after the host");
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (host.find(':') != std::string_view::npos)
            return Fail(error, text, "an IPv6 host must be written in [ ]");
    }
    if (host.empty()) return Fail(error, text, "no host");
    if (HasControlOrSpace(host)) return Fail(error, text, "blank or control character in the host");
    int32_t portNumber = 0;
    if (!ParsePortNumber(port, portNumber))
        return Fail(error, text, "the port must be a number from 1 to 65535");
    if (type == kProxySocks4 && hasPassword)
        return Fail(error, text, "socks4 takes a user name only, no password");

    proxy.Type = type;
    proxy.ServerName = std::string(host);
    proxy.ServerPort = std::to_string(portNumber);
    proxy.UserName = user;
    proxy.PassWord = password;
    proxy.Authenticate = !user.empty();
    proxy.PasvMode = true;
    // The name shown in proxy choosers; the password stays out of it.
    proxy.ProxyName = kind + "://" + (user.empty() ? "" : user + "@") +
                      (proxy.ServerName.find(':') != std::string::npos ? "[" + proxy.ServerName + "]"
                                                                       : proxy.ServerName) +
                      ":" + proxy.ServerPort;
    return true;
}

int32_t FindOrAddProxy(const TQNoption& options, TproxyData& proxy) {
    TproxyList list;
    options.LoadProxyList(list);
    for (const auto& p : list) {
        if (p->Type == proxy.Type && p->ServerName == proxy.ServerName &&
            p->ServerPort == proxy.ServerPort && p->UserName == proxy.UserName &&
            p->PassWord == proxy.PassWord && p->Authenticate == proxy.Authenticate) {
            proxy.ID = p->ID;
            proxy.KeyName = p->KeyName;
            return p->ID;
        }
    }
    options.AddProxy(proxy);
    return proxy.ID;
}

} // namespace tq::cli
