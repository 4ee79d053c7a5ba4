#include "platform/Socks.h"

namespace tq {

TSocksNegotiation::TSocksNegotiation(TSocksVersion version, std::string host, uint16_t port, uint32_t ipv4,
                                     std::string user, std::string password)
    : version_(version), host_(std::move(host)), port_(port), ipv4_(ipv4), user_(std::move(user)),
      password_(std::move(password))
{
}

std::string TSocksNegotiation::Start() { return {}; }
size_t TSocksNegotiation::Wanted() const { return 0; }
TSocksNegotiation::TResult TSocksNegotiation::Feed(const uint8_t*, size_t, size_t*, std::string*) { return TResult::Failed; }

} // namespace tq
