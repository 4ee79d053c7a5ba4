#pragma once
// The --proxy option of the download commands: TYPE://[user[:password]@]host:port,
// with TYPE http (GET proxy), connect (CONNECT tunnel), socks4 or socks5. The text
// becomes a proxy entry of the options store, reused when an equal one exists.

#include "config/TQnOption.h"

#include <string>

namespace tq::cli {

// Proxy types of the options store that the option can name.
constexpr int32_t kProxyHttpGet = 1;
constexpr int32_t kProxyHttpConnect = 2;
constexpr int32_t kProxySocks4 = 7;
constexpr int32_t kProxySocks5 = 8;

// Fills the entry's server, port, type, user, password and name from the text (user
// and password may hold %XX escapes, so ":" and "@" can be given). False with a
// message naming the fault when the text is not of the form above.
bool ParseProxyArg(const std::string& text, TproxyData& proxy, std::string& error);

// The ID of an entry of the store with the same type, server, port and credentials;
// when none exists the entry is added (it gets a new ID). Returns the entry's ID.
int32_t FindOrAddProxy(const TQNoption& options, TproxyData& proxy);

} // namespace tq::cli
