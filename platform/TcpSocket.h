#pragma once
// Non-blocking TCP socket delivering its events on its loop's thread: name lookup on a
// helper thread, connect (optionally through SOCKS 4, 4A or 5), a send queue, reads
// straight into the caller's buffer, listen and accept, pause and resume.
//
// Events are never raised from inside the call that caused them (Connect, Close,
// Abort and Send post theirs), so a handler may destroy the socket once it returns,
// and may also destroy it inside its own handler.

#include "platform/EventLoop.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/types.h>
#include <vector>

namespace tq {

class TSocksNegotiation;

enum class TSocketState { Closed, DnsLookup, Connecting, SocksNegotiating, Connected, Listening, Closing };
enum class TSocksLevel { None, Socks4, Socks4A, Socks5 };

// Error codes of the socket layer that are not errno values.
constexpr int kErrHostNotFound = -10;       // the host name does not resolve
constexpr int kErrServiceNotFound = -11;    // the port is neither a number nor a known service
constexpr int kErrDnsFailed = -12;          // the lookup failed for another reason
constexpr int kErrSocksProtocol = -20;      // the SOCKS server answered something unreadable
constexpr int kErrSocksClosed = -21;        // the SOCKS server closed during negotiation
constexpr int kErrSocksNoMethod = -22;      // SOCKS 5: no offered authentication method accepted
constexpr int kErrSocksAuthFailed = -23;    // SOCKS 5: user / password refused
constexpr int kErrSocksBadRequest = -24;    // user, password or host too long for the protocol, or no IPv4 address (SOCKS 4)
constexpr int kErrSocksTimeout = -25;       // the SOCKS server did not answer in time
constexpr int kErrSocks4Rejected = -91;     // SOCKS 4 reply 91: rejected or failed
constexpr int kErrSocks4NoIdentd = -92;     // SOCKS 4 reply 92
constexpr int kErrSocks4IdentMismatch = -93;// SOCKS 4 reply 93
constexpr int kErrSocks4Other = -94;        // SOCKS 4: any other reply code
constexpr int kErrSocks5ReplyBase = -50;    // SOCKS 5 reply code r (1..8, else 9) gives -50 - r

// A readable text for an errno value or one of the codes above.
std::string SocketErrorText(int error);

// Thrown for misuse (Connect on an open socket) and by Listen when it cannot listen.
class TSocketException : public std::runtime_error {
public:
    TSocketException(const std::string& what, int error) : std::runtime_error(what), error_(error) {}
    int Error() const { return error_; }
private:
    int error_;
};

class TTcpSocket {
public:
    explicit TTcpSocket(TEventLoop& loop);
    ~TTcpSocket();  // closes without raising events
    TTcpSocket(const TTcpSocket&) = delete;
    TTcpSocket& operator=(const TTcpSocket&) = delete;

    // Events; error 0 = success, otherwise an errno value or one of the codes above.
    // OnSessionConnected(error != 0) ends a connect that failed (no OnSessionClosed follows).
    // Otherwise a socket leaves every open state (lookup, connecting, SOCKS, connected,
    // listening) with exactly one OnSessionClosed, after the last OnDataAvailable: error 0
    // for Close, Abort or an orderly close by the peer, the errno of a broken connection.
    // CancelDnsLookup and the destructor raise nothing.
    std::function<void(int error)> OnDnsLookupDone, OnSessionConnected, OnDataAvailable,
                                   OnDataSent, OnSessionClosed, OnSessionAvailable /*listening: a peer waits*/;

    // Name lookup runs on a helper thread (getaddrinfo); port is numeric or a service
    // name. OnDnsLookupDone comes first, then OnSessionConnected.
    void Connect(const std::string& host, const std::string& port, const std::string& localAddr = "");
    // Lookup alone: OnDnsLookupDone(error), then DnsResult() holds the numeric address.
    void DnsLookup(const std::string& host);
    void CancelDnsLookup();  // no event follows
    std::string DnsResult() const { return dnsResult_; }

    // Applies to the next Connect: host/port is the SOCKS server, the Connect target is
    // reached through it. TSocksLevel::None turns SOCKS off.
    void SetSocks(TSocksLevel level, const std::string& host, const std::string& port,
                  const std::string& user = "", const std::string& password = "");
    // A SOCKS server that does not finish the negotiation in this time fails the connect
    // with kErrSocksTimeout (default 30 s).
    void SetSocksTimeout(uint32_t ms) { socksTimeoutMs_ = ms; }

    // Port "0": any free port. Throws TSocketException when it cannot listen.
    void Listen(const std::string& addr, const std::string& port);
    // In OnSessionAvailable; the new socket is Connected on the same loop. nullptr when
    // no peer waits (LastError()).
    std::unique_ptr<TTcpSocket> Accept();

    // Queued; OnDataSent(0) when the queue has drained (OnDataSent(error) when sending
    // failed). What the kernel takes at once is never copied.
    void Send(std::string_view data);
    void Send(std::string&& data);
    void Send(const char* text) { Send(std::string_view(text)); }
    size_t SendQueueSize() const { return queued_; }

    // >0: bytes read; 0: the peer closed; -1: would block (LastError()==EAGAIN) or error (LastError()).
    ssize_t Receive(void* buf, size_t len);

    void Close();   // graceful: sends what is queued, then closes; OnSessionClosed once, posted
    void Abort();   // immediate close (reset); OnSessionClosed once, posted
    void Shutdown(int how = SHUT_RDWR);  // shutdown(2); the close is then seen as usual
    // Linger on with 0 seconds makes Close reset the connection after the queue has gone.
    // A positive time-out is kept for the caller to read but never blocks the loop: the
    // kernel finishes sending in the background.
    void SetLinger(bool on, int seconds);

    void Pause();   // stop OnDataAvailable notifications
    void Resume();  // restart them (raised at once when data wait)

    TSocketState State() const { return state_; }
    std::string LocalAddr() const;
    int LocalPort() const;
    std::string PeerAddr() const;
    int PeerPort() const;
    int LastError() const { return lastError_; }
    int SendBufferSize() const;  // SO_SNDBUF, -1 when not open
    TEventLoop& Loop() const { return loop_; }

private:
    struct TLookup;
    struct TLookupResult;
    struct TLookupRequest;
    static void RunLookup(const TLookupRequest& rq, TLookupResult* out);
    struct TChunk {
        std::string data;
        size_t off = 0;
    };
    using TEvent = std::function<void(int)> TTcpSocket::*;

    void StartLookup(bool forConnect, const std::string& host);
    void LookupDone(bool forConnect, TLookupResult& result);
    void StartConnect(int lastError);
    void ConnectDone();
    void SocksStart();
    void SocksRead();
    bool SocksFlush();
    void OnEvents(uint32_t revents);
    void HandleReadable();
    void FlushQueue();
    void UpdateWatch();
    void FinishClose(int error);
    void FailConnect(int error);
    bool Raise(TEvent event, int error);  // false when the handler destroyed the socket
    void PostEvent(TEvent event, int error);
    void PostCloseCheck();
    void CloseFd(bool reset);
    void CancelPending();
    void Adopt(int fd);
    void QueueData(std::string&& owned, std::string_view view);

    TEventLoop& loop_;
    std::shared_ptr<bool> alive_;
    int fd_ = -1;
    TSocketState state_ = TSocketState::Closed;
    int lastError_ = 0;
    bool paused_ = false;
    bool watching_ = false;
    uint32_t watchMask_ = 0;
    bool lingerOn_ = false;
    int lingerSeconds_ = 0;
    bool peerClosed_ = false;       // Receive saw the end of the stream
    int readError_ = 0;             // Receive saw a fatal error
    bool closeCheckPosted_ = false;
    bool sentPosted_ = false;

    std::deque<TChunk> queue_;
    size_t queued_ = 0;

    std::shared_ptr<TLookup> lookup_;
    std::string dnsResult_;
    std::string host_, port_, localAddr_;
    std::vector<sockaddr_storage> addrs_;
    size_t addrIndex_ = 0;

    TSocksLevel socksLevel_ = TSocksLevel::None;
    std::string socksHost_, socksPort_, socksUser_, socksPassword_;
    uint16_t targetPort_ = 0;
    uint32_t targetIpv4_ = 0;
    std::unique_ptr<TSocksNegotiation> socks_;
    std::string socksOut_;
    TimerId socksTimer_ = 0;
    uint32_t socksTimeoutMs_ = 30000;
};

} // namespace tq
