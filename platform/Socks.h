#pragma once
// The client side of a SOCKS 4, 4A or 5 (RFC 1928, RFC 1929 user/password) connect
// request as a small state machine over bytes: no sockets here. The caller sends what
// Start() and Feed() hand out and reads exactly Wanted() bytes at a time, so no byte
// that the target sends after the reply is taken from the stream.

#include <cstddef>
#include <cstdint>
#include <string>

namespace tq {

enum class TSocksVersion { V4, V4A, V5 };

class TSocksNegotiation {
public:
    enum class TState { Start, WaitReply4, WaitMethod, WaitAuth, WaitReplyHead, WaitReplyTail, Done, Failed };
    enum class TResult { NeedMore, Done, Failed };

    // host: the target host name or numeric address; ipv4: the target's IPv4 address in
    // network order (SOCKS 4 only, which cannot carry a name).
    TSocksNegotiation(TSocksVersion version, std::string host, uint16_t port, uint32_t ipv4,
                      std::string user, std::string password);

    // The first bytes to send; empty (state Failed, Error() set) when the request cannot
    // be expressed (a field longer than 255 bytes, a name in SOCKS 4).
    std::string Start();
    // Bytes the reply needs next; Feed never consumes more than this.
    size_t Wanted() const;
    // Consumes up to Wanted() bytes; returns the number consumed in *used. Bytes to send
    // next (the authentication or the request) are appended to out.
    TResult Feed(const uint8_t* data, size_t len, size_t* used, std::string* out);

    TState State() const { return state_; }
    int Error() const { return error_; }  // one of the kErrSocks... codes of TcpSocket.h

private:
    TResult Fail(int error);
    std::string Request5() const;
    TResult Step(std::string* out);

    TSocksVersion version_;
    std::string host_;
    uint16_t port_;
    uint32_t ipv4_;
    std::string user_, password_;
    TState state_ = TState::Start;
    std::string buf_;    // the part of the current reply read so far
    size_t need_ = 0;    // the length the current reply has
    int error_ = 0;
};

} // namespace tq
