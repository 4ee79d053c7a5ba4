#include "platform/Socks.h"

#include "platform/TcpSocket.h"

#include <arpa/inet.h>
#include <cstring>

namespace tq {

namespace {

void PutPort(std::string& s, uint16_t port)
{
    s.push_back(char(port >> 8));
    s.push_back(char(port & 0xFF));
}

void PutIpv4(std::string& s, uint32_t ipv4NetOrder)
{
    char b[4];
    std::memcpy(b, &ipv4NetOrder, 4);
    s.append(b, 4);
}

// Bytes of the address that follow ATYP in a SOCKS 5 reply, plus the port; for a
// domain name the first byte (its length) was read with the head.
size_t ReplyTailLength(uint8_t atyp, uint8_t firstAddrByte, bool* ok)
{
    *ok = true;
    switch (atyp) {
    case 1: return 4 - 1 + 2;
    case 4: return 16 - 1 + 2;
    case 3: return size_t(firstAddrByte) + 2;
    default: *ok = false; return 0;
    }
}

} // namespace

TSocksNegotiation::TSocksNegotiation(TSocksVersion version, std::string host, uint16_t port, uint32_t ipv4,
                                     std::string user, std::string password)
    : version_(version), host_(std::move(host)), port_(port), ipv4_(ipv4), user_(std::move(user)),
      password_(std::move(password))
{
}

TSocksNegotiation::TResult TSocksNegotiation::Fail(int error)
{
    state_ = TState::Failed;
    error_ = error;
    return TResult::Failed;
}

std::string TSocksNegotiation::Start()
{
    std::string out;
    buf_.clear();
    switch (version_) {
    case TSocksVersion::V4:
    case TSocksVersion::V4A: {
        bool named = version_ == TSocksVersion::V4A;
        if (!named && ipv4_ == 0) {
            Fail(kErrSocksBadRequest);
            return {};
        }
        out.push_back(4);
        out.push_back(1);  // CONNECT
        PutPort(out, port_);
        // 4A: the address 0.0.0.x (x != 0) says that a host name follows the user id.
        PutIpv4(out, named ? htonl(1) : ipv4_);
        if (user_.find('\0') != std::string::npos || (named && host_.find('\0') != std::string::npos)) {
            Fail(kErrSocksBadRequest);
            return {};
        }
        out += user_;
        out.push_back(0);
        if (named) {
            out += host_;
            out.push_back(0);
        }
        state_ = TState::WaitReply4;
        need_ = 8;
        return out;
    }
    case TSocksVersion::V5:
        if (user_.size() > 255 || password_.size() > 255 || host_.size() > 255 || host_.empty()) {
            Fail(kErrSocksBadRequest);
            return {};
        }
        out.push_back(5);
        if (user_.empty()) {
            out.push_back(1);
            out.push_back(0);  // no authentication
        } else {
            out.push_back(2);
            out.push_back(0);
            out.push_back(2);  // user / password
        }
        state_ = TState::WaitMethod;
        need_ = 2;
        return out;
    }
    Fail(kErrSocksBadRequest);
    return {};
}

size_t TSocksNegotiation::Wanted() const
{
    switch (state_) {
    case TState::WaitReply4:
    case TState::WaitMethod:
    case TState::WaitAuth:
    case TState::WaitReplyHead:
    case TState::WaitReplyTail:
        return need_ - buf_.size();
    default:
        return 0;
    }
}

TSocksNegotiation::TResult TSocksNegotiation::Feed(const uint8_t* data, size_t len, size_t* used, std::string* out)
{
    *used = 0;
    if (state_ == TState::Done)
        return TResult::Done;
    if (state_ == TState::Failed || state_ == TState::Start)
        return TResult::Failed;
    TResult result = TResult::NeedMore;
    while (*used < len && result == TResult::NeedMore) {
        size_t take = std::min(len - *used, Wanted());
        buf_.append(reinterpret_cast<const char*>(data) + *used, take);
        *used += take;
        if (Wanted() > 0)
            break;
        result = Step(out);
    }
    return result;
}

std::string TSocksNegotiation::Request5() const
{
    std::string r;
    r.push_back(5);
    r.push_back(1);  // CONNECT
    r.push_back(0);
    in_addr a4;
    in6_addr a6;
    if (inet_pton(AF_INET, host_.c_str(), &a4) == 1) {
        r.push_back(1);
        r.append(reinterpret_cast<const char*>(&a4), 4);
    } else if (inet_pton(AF_INET6, host_.c_str(), &a6) == 1) {
        r.push_back(4);
        r.append(reinterpret_cast<const char*>(&a6), 16);
    } else {
        r.push_back(3);
        r.push_back(char(host_.size()));
        r += host_;
    }
    PutPort(r, port_);
    return r;
}

// A complete reply part is in buf_: evaluate it and choose the next state.
TSocksNegotiation::TResult TSocksNegotiation::Step(std::string* out)
{
    const auto* b = reinterpret_cast<const uint8_t*>(buf_.data());
    switch (state_) {
    case TState::WaitReply4:
        // The reply version is 0; some servers echo 4.
        if (b[0] != 0 && b[0] != 4)
            return Fail(kErrSocksProtocol);
        switch (b[1]) {
        case 90: state_ = TState::Done; return TResult::Done;
        case 91: return Fail(kErrSocks4Rejected);
        case 92: return Fail(kErrSocks4NoIdentd);
        case 93: return Fail(kErrSocks4IdentMismatch);
        default: return Fail(kErrSocks4Other);
        }
    case TState::WaitMethod:
        if (b[0] != 5)
            return Fail(kErrSocksProtocol);
        if (b[1] == 0) {
            *out += Request5();
            state_ = TState::WaitReplyHead;
            need_ = 5;
        } else if (b[1] == 2 && !user_.empty()) {
            out->push_back(1);
            out->push_back(char(user_.size()));
            *out += user_;
            out->push_back(char(password_.size()));
            *out += password_;
            state_ = TState::WaitAuth;
            need_ = 2;
        } else {
            // 0xFF: nothing acceptable; anything else is a method we did not offer.
            return Fail(b[1] == 0xFF ? kErrSocksNoMethod : kErrSocksProtocol);
        }
        buf_.clear();
        return TResult::NeedMore;
    case TState::WaitAuth:
        if (b[0] != 1)
            return Fail(kErrSocksProtocol);
        if (b[1] != 0)
            return Fail(kErrSocksAuthFailed);
        *out += Request5();
        state_ = TState::WaitReplyHead;
        need_ = 5;
        buf_.clear();
        return TResult::NeedMore;
    case TState::WaitReplyHead: {
        if (b[0] != 5)
            return Fail(kErrSocksProtocol);
        if (b[1] != 0)
            return Fail(kErrSocks5ReplyBase - (b[1] <= 8 ? int(b[1]) : 9));
        bool ok;
        size_t tail = ReplyTailLength(b[3], b[4], &ok);
        if (!ok)
            return Fail(kErrSocksProtocol);
        state_ = TState::WaitReplyTail;
        need_ = 5 + tail;
        return TResult::NeedMore;
    }
    case TState::WaitReplyTail:
        // The bound address is of no use to a connect request.
        state_ = TState::Done;
        buf_.clear();
        return TResult::Done;
    default:
        return Fail(kErrSocksProtocol);
    }
}

} // namespace tq
