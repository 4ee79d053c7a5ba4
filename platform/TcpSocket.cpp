#include "platform/TcpSocket.h"

#include "platform/Socks.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>

namespace tq {

namespace {

constexpr size_t kCoalesceLimit = 16 * 1024;   // small sends are appended to the last chunk
constexpr size_t kChunkLimit = 64 * 1024;
constexpr int kMaxIov = 64;

bool IsNumericHost(const std::string& host)
{
    in_addr a4;
    in6_addr a6;
    return inet_pton(AF_INET, host.c_str(), &a4) == 1 || inet_pton(AF_INET6, host.c_str(), &a6) == 1;
}

bool IsDigits(const std::string& s)
{
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A port is a decimal number up to 65535 or a TCP service name.
int ResolvePort(const std::string& port, uint16_t* out)
{
    if (IsDigits(port)) {
        if (port.size() > 5 || std::stoul(port) > 65535)
            return kErrServiceNotFound;
        *out = uint16_t(std::stoul(port));
        return 0;
    }
    if (port.empty())
        return kErrServiceNotFound;
    servent se;
    servent* found = nullptr;
    char buf[1024];
    if (getservbyname_r(port.c_str(), "tcp", &se, buf, sizeof buf, &found) != 0 || !found)
        return kErrServiceNotFound;
    *out = ntohs(uint16_t(found->s_port));
    return 0;
}

int MapGaiError(int rc, int savedErrno)
{
    switch (rc) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
#endif
        return kErrHostNotFound;
    case EAI_SERVICE:
        return kErrServiceNotFound;
    case EAI_SYSTEM:
        return savedErrno ? savedErrno : kErrDnsFailed;
    default:
        return kErrDnsFailed;
    }
}

void SetPort(sockaddr_storage& ss, uint16_t port)
{
    if (ss.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in&>(ss).sin_port = htons(port);
    else if (ss.ss_family == AF_INET6)
        reinterpret_cast<sockaddr_in6&>(ss).sin6_port = htons(port);
}

socklen_t AddrLen(const sockaddr_storage& ss)
{
    return ss.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
}

// Blocking; IPv4 addresses first, since the servers we meet mostly listen there only.
int ResolveHost(const std::string& host, uint16_t port, int family, std::vector<sockaddr_storage>* out)
{
    if (host.empty())
        return kErrHostNotFound;
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    errno = 0;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (rc != 0)
        return MapGaiError(rc, errno);
    for (addrinfo* ai = res; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6)
            continue;
        sockaddr_storage ss{};
        std::memcpy(&ss, ai->ai_addr, std::min<size_t>(ai->ai_addrlen, sizeof ss));
        SetPort(ss, port);
        out->push_back(ss);
    }
    freeaddrinfo(res);
    std::stable_partition(out->begin(), out->end(), [](const sockaddr_storage& s) { return s.ss_family == AF_INET; });
    return out->empty() ? kErrHostNotFound : 0;
}

std::string AddrText(const sockaddr_storage& ss)
{
    char buf[INET6_ADDRSTRLEN] = "";
    if (ss.ss_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(ss).sin_addr, buf, sizeof buf);
    else if (ss.ss_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(ss).sin6_addr, buf, sizeof buf);
    return buf;
}

int AddrPort(const sockaddr_storage& ss)
{
    if (ss.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(ss).sin_port);
    if (ss.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(ss).sin6_port);
    return 0;
}

} // namespace

std::string SocketErrorText(int error)
{
    switch (error) {
    case 0: return "No error";
    case kErrHostNotFound: return "Host not found";
    case kErrServiceNotFound: return "Unknown port or service name";
    case kErrDnsFailed: return "Name lookup failed";
    case kErrSocksProtocol: return "SOCKS server sent an invalid reply";
    case kErrSocksClosed: return "SOCKS server closed the connection";
    case kErrSocksNoMethod: return "SOCKS server accepts none of the offered authentication methods";
    case kErrSocksAuthFailed: return "SOCKS authentication failed";
    case kErrSocksBadRequest: return "SOCKS request cannot be expressed (name too long or no IPv4 address)";
    case kErrSocksTimeout: return "SOCKS server did not answer in time";
    case kErrSocks4Rejected: return "SOCKS request rejected or failed";
    case kErrSocks4NoIdentd: return "SOCKS request rejected: no identd on the client";
    case kErrSocks4IdentMismatch: return "SOCKS request rejected: identd user mismatch";
    case kErrSocks4Other: return "SOCKS request failed";
    case kErrSocks5ReplyBase - 1: return "SOCKS: general server failure";
    case kErrSocks5ReplyBase - 2: return "SOCKS: connection not allowed by ruleset";
    case kErrSocks5ReplyBase - 3: return "SOCKS: network unreachable";
    case kErrSocks5ReplyBase - 4: return "SOCKS: host unreachable";
    case kErrSocks5ReplyBase - 5: return "SOCKS: connection refused";
    case kErrSocks5ReplyBase - 6: return "SOCKS: TTL expired";
    case kErrSocks5ReplyBase - 7: return "SOCKS: command not supported";
    case kErrSocks5ReplyBase - 8: return "SOCKS: address type not supported";
    case kErrSocks5ReplyBase - 9: return "SOCKS: unknown failure";
    default: break;
    }
    if (error > 0) {
        char buf[256];
        return strerror_r(error, buf, sizeof buf);
    }
    return "Unknown error " + std::to_string(error);
}

// Shared by the socket and its helper thread. Only the loop thread reads or writes
// `cancelled`: the result is posted there and dropped when the socket has gone on.
struct TTcpSocket::TLookup {
    bool cancelled = false;
};

struct TTcpSocket::TLookupResult {
    int error = 0;
    std::vector<sockaddr_storage> addrs;
    uint16_t targetPort = 0;
    uint32_t targetIpv4 = 0;
};

struct TTcpSocket::TLookupRequest {
    bool forConnect = false;
    std::string host, port;           // what to reach (the SOCKS server when there is one)
    TSocksLevel socks = TSocksLevel::None;
    std::string targetHost, targetPort;
};

TTcpSocket::TTcpSocket(TEventLoop& loop)
    : loop_(loop), alive_(std::make_shared<bool>(true))
{
}

TTcpSocket::~TTcpSocket()
{
    *alive_ = false;
    CancelPending();
    CloseFd(false);
}

bool TTcpSocket::Raise(TEvent event, int error)
{
    if (!(this->*event))
        return true;
    auto alive = alive_;
    auto cb = this->*event;  // the handler may destroy the socket and with it the member
    cb(error);
    return *alive;
}

void TTcpSocket::PostEvent(TEvent event, int error)
{
    loop_.Post([this, alive = alive_, event, error] {
        if (*alive)
            Raise(event, error);
    });
}

void TTcpSocket::CancelPending()
{
    if (lookup_) {
        lookup_->cancelled = true;
        lookup_.reset();
    }
    if (socksTimer_) {
        loop_.CancelTimer(socksTimer_);
        socksTimer_ = 0;
    }
    socks_.reset();
    socksOut_.clear();
}

void TTcpSocket::SetSocks(TSocksLevel level, const std::string& host, const std::string& port,
                          const std::string& user, const std::string& password)
{
    socksLevel_ = level;
    socksHost_ = host;
    socksPort_ = port;
    socksUser_ = user;
    socksPassword_ = password;
}

// ---- name lookup ----

// Blocking: runs on the helper thread (or at once for numeric input).
void TTcpSocket::RunLookup(const TLookupRequest& rq, TLookupResult* out)
{
    uint16_t port = 0;
    if (rq.forConnect) {
        if ((out->error = ResolvePort(rq.port, &port)) != 0)
            return;
        if (rq.socks != TSocksLevel::None) {
            if ((out->error = ResolvePort(rq.targetPort, &out->targetPort)) != 0)
                return;
            if (rq.socks == TSocksLevel::Socks4) {
                // SOCKS 4 carries only an IPv4 address, so the target is looked up here.
                std::vector<sockaddr_storage> target;
                if ((out->error = ResolveHost(rq.targetHost, 0, AF_INET, &target)) != 0)
                    return;
                out->targetIpv4 = reinterpret_cast<const sockaddr_in&>(target.front()).sin_addr.s_addr;
            }
        }
    }
    out->error = ResolveHost(rq.host, port, AF_UNSPEC, &out->addrs);
}

void TTcpSocket::StartLookup(bool forConnect, const std::string& host)
{
    TLookupRequest rq;
    rq.forConnect = forConnect;
    bool socks = forConnect && socksLevel_ != TSocksLevel::None;
    rq.host = socks ? socksHost_ : host;
    rq.port = socks ? socksPort_ : port_;
    if (socks) {
        rq.socks = socksLevel_;
        rq.targetHost = host;
        rq.targetPort = port_;
    }
    auto lookup = std::make_shared<TLookup>();
    lookup_ = lookup;
    auto deliver = [this, lookup, forConnect](TLookupResult result) {
        if (lookup->cancelled)
            return;
        lookup_.reset();
        LookupDone(forConnect, result);
    };
    // Numeric addresses and ports need no helper thread; the result is posted all the same.
    bool numeric = IsNumericHost(rq.host) && (!forConnect || IsDigits(rq.port)) &&
                   (!socks || (IsDigits(rq.targetPort) && (rq.socks != TSocksLevel::Socks4 || IsNumericHost(host))));
    if (numeric) {
        TLookupResult result;
        RunLookup(rq, &result);
        loop_.Post([deliver, result]() mutable { deliver(std::move(result)); });
        return;
    }
    std::thread([rq, deliver, poster = loop_.Poster()]() mutable {
        TLookupResult result;
        RunLookup(rq, &result);
        poster->Post([deliver = std::move(deliver), result = std::move(result)]() mutable { deliver(std::move(result)); });
    }).detach();
}

void TTcpSocket::DnsLookup(const std::string& host)
{
    if (state_ != TSocketState::Closed)
        throw TSocketException("socket is in use", EISCONN);
    state_ = TSocketState::DnsLookup;
    dnsResult_.clear();
    StartLookup(false, host);
}

void TTcpSocket::CancelDnsLookup()
{
    if (!lookup_)
        return;
    lookup_->cancelled = true;
    lookup_.reset();
    if (state_ == TSocketState::DnsLookup)
        state_ = TSocketState::Closed;
}

void TTcpSocket::LookupDone(bool forConnect, TLookupResult& result)
{
    if (!result.error)
        dnsResult_ = AddrText(result.addrs.front());
    if (!forConnect) {
        state_ = TSocketState::Closed;
        lastError_ = result.error;
        Raise(&TTcpSocket::OnDnsLookupDone, result.error);
        return;
    }
    if (!Raise(&TTcpSocket::OnDnsLookupDone, result.error) || state_ != TSocketState::DnsLookup)
        return;  // the handler closed or destroyed the socket
    if (result.error) {
        FailConnect(result.error);
        return;
    }
    addrs_ = std::move(result.addrs);
    addrIndex_ = 0;
    targetPort_ = result.targetPort;
    targetIpv4_ = result.targetIpv4;
    StartConnect(0);
}

// ---- connect ----

void TTcpSocket::Connect(const std::string& host, const std::string& port, const std::string& localAddr)
{
    if (state_ != TSocketState::Closed)
        throw TSocketException("socket is in use", EISCONN);
    host_ = host;
    port_ = port;
    localAddr_ = localAddr;
    lastError_ = 0;
    state_ = TSocketState::DnsLookup;
    StartLookup(true, host);
}

// Tries the addresses from addrIndex_ on; the first that starts connecting wins.
void TTcpSocket::StartConnect(int lastError)
{
    int error = lastError;
    for (; addrIndex_ < addrs_.size(); ++addrIndex_) {
        const sockaddr_storage& ss = addrs_[addrIndex_];
        int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            error = errno;
            continue;
        }
        if (!localAddr_.empty()) {
            std::vector<sockaddr_storage> local;
            int rc = ResolveHost(localAddr_, 0, ss.ss_family, &local);
            if (rc == 0 && bind(fd, reinterpret_cast<const sockaddr*>(&local.front()), AddrLen(local.front())) < 0)
                rc = errno;
            if (rc != 0) {
                close(fd);
                error = rc;
                continue;
            }
        }
        if (connect(fd, reinterpret_cast<const sockaddr*>(&ss), AddrLen(ss)) < 0 && errno != EINPROGRESS) {
            error = errno;
            close(fd);
            continue;
        }
        fd_ = fd;
        state_ = TSocketState::Connecting;
        UpdateWatch();  // completion (even an immediate one) shows as writable
        return;
    }
    FailConnect(error ? error : ECONNREFUSED);
}

void TTcpSocket::FailConnect(int error)
{
    CancelPending();
    CloseFd(false);
    state_ = TSocketState::Closed;
    lastError_ = error;
    queue_.clear();
    queued_ = 0;
    Raise(&TTcpSocket::OnSessionConnected, error);
}

void TTcpSocket::ConnectDone()
{
    if (socksTimer_) {
        loop_.CancelTimer(socksTimer_);
        socksTimer_ = 0;
    }
    socks_.reset();
    state_ = TSocketState::Connected;
    peerClosed_ = false;
    readError_ = 0;
    UpdateWatch();
    if (!Raise(&TTcpSocket::OnSessionConnected, 0))
        return;
    if (state_ == TSocketState::Connected && !queue_.empty())
        FlushQueue();
}

// ---- SOCKS ----

void TTcpSocket::SocksStart()
{
    TSocksVersion v = socksLevel_ == TSocksLevel::Socks4 ? TSocksVersion::V4
                      : socksLevel_ == TSocksLevel::Socks4A ? TSocksVersion::V4A : TSocksVersion::V5;
    socks_ = std::make_unique<TSocksNegotiation>(v, host_, targetPort_, targetIpv4_, socksUser_, socksPassword_);
    socksOut_ = socks_->Start();
    if (socks_->State() == TSocksNegotiation::TState::Failed) {
        FailConnect(socks_->Error());
        return;
    }
    state_ = TSocketState::SocksNegotiating;
    socksTimer_ = loop_.AddTimer(socksTimeoutMs_, [this, alive = alive_] {
        if (!*alive)
            return;
        socksTimer_ = 0;
        FailConnect(kErrSocksTimeout);
    });
    if (SocksFlush())
        UpdateWatch();
}

// False when sending failed (the connect has then failed).
bool TTcpSocket::SocksFlush()
{
    while (!socksOut_.empty()) {
        ssize_t n = send(fd_, socksOut_.data(), socksOut_.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            FailConnect(errno);
            return false;
        }
        socksOut_.erase(0, size_t(n));
    }
    return true;
}

void TTcpSocket::SocksRead()
{
    // Exactly what the negotiation asks for, so nothing the target sends afterwards is taken.
    uint8_t buf[300];
    size_t want = std::min(socks_->Wanted(), sizeof buf);
    ssize_t n = recv(fd_, buf, want, 0);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            return;
        FailConnect(errno);
        return;
    }
    if (n == 0) {
        FailConnect(kErrSocksClosed);
        return;
    }
    size_t used = 0;
    std::string out;
    switch (socks_->Feed(buf, size_t(n), &used, &out)) {
    case TSocksNegotiation::TResult::Done:
        ConnectDone();
        return;
    case TSocksNegotiation::TResult::Failed:
        FailConnect(socks_->Error());
        return;
    case TSocksNegotiation::TResult::NeedMore:
        socksOut_ += out;
        if (SocksFlush())
            UpdateWatch();
        return;
    }
}

// ---- events ----

void TTcpSocket::UpdateWatch()
{
    if (fd_ < 0)
        return;
    constexpr uint32_t in = EPOLLIN, out = EPOLLOUT;
    uint32_t mask = 0;
    switch (state_) {
    case TSocketState::Connecting:
        mask = EPOLLOUT;
        break;
    case TSocketState::SocksNegotiating:
        mask = in | (socksOut_.empty() ? 0 : out);
        break;
    case TSocketState::Listening:
        mask = paused_ ? 0 : in;
        break;
    case TSocketState::Connected:
        mask = (paused_ || peerClosed_ || readError_ ? 0 : in) | (queue_.empty() ? 0 : out);
        break;
    case TSocketState::Closing:
        mask = out | (peerClosed_ ? 0 : in);
        break;
    default:
        break;
    }
    // With nothing wanted the fd leaves epoll altogether: a paused socket whose peer
    // reset would otherwise report EPOLLERR over and over.
    if (mask == 0) {
        if (watching_)
            loop_.UnwatchFd(fd_);
        watching_ = false;
    } else if (!watching_) {
        loop_.WatchFd(fd_, mask, [this](uint32_t revents) { OnEvents(revents); });
        watching_ = true;
    } else if (mask != watchMask_) {
        loop_.ModifyFd(fd_, mask);
    }
    watchMask_ = mask;
}

void TTcpSocket::OnEvents(uint32_t revents)
{
    switch (state_) {
    case TSocketState::Connecting: {
        int err = 0;
        socklen_t len = sizeof err;
        if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) < 0)
            err = errno;
        if (err == 0 && !(revents & EPOLLOUT))
            return;
        if (err != 0) {
            // Another address of the name may answer.
            CloseFd(false);
            ++addrIndex_;
            StartConnect(err);
            return;
        }
        if (socksLevel_ != TSocksLevel::None)
            SocksStart();
        else
            ConnectDone();
        return;
    }
    case TSocketState::SocksNegotiating:
        if ((revents & EPOLLOUT) && !SocksFlush())
            return;
        if (revents & (EPOLLIN | EPOLLERR | EPOLLHUP))
            SocksRead();
        else
            UpdateWatch();
        return;
    case TSocketState::Listening:
        if (!OnSessionAvailable) {
            // Nobody takes peers: refuse them rather than spin on a readable listener.
            int fd = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                close(fd);
            return;
        }
        Raise(&TTcpSocket::OnSessionAvailable, 0);
        return;
    case TSocketState::Connected: {
        auto alive = alive_;
        if (revents & EPOLLOUT) {
            FlushQueue();
            if (!*alive || state_ != TSocketState::Connected)
                return;
        }
        if ((revents & (EPOLLIN | EPOLLERR | EPOLLHUP)) && (watchMask_ & EPOLLIN))
            HandleReadable();
        return;
    }
    case TSocketState::Closing:
        if (revents & EPOLLIN) {
            // Input after Close is unwanted, but it is read so the peer never blocks on us.
            char buf[16384];
            ssize_t n;
            while ((n = recv(fd_, buf, sizeof buf, 0)) > 0) {
            }
            if (n == 0) {
                peerClosed_ = true;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                FinishClose(errno);
                return;
            }
        }
        FlushQueue();
        return;
    default:
        return;
    }
}

void TTcpSocket::HandleReadable()
{
    if (OnDataAvailable) {
        Raise(&TTcpSocket::OnDataAvailable, 0);
        return;
    }
    // Nobody reads: discard, so the end of the stream is still noticed.
    char buf[16384];
    while (Receive(buf, sizeof buf) > 0) {
    }
}

ssize_t TTcpSocket::Receive(void* buf, size_t len)
{
    if (fd_ < 0 || (state_ != TSocketState::Connected && state_ != TSocketState::Closing)) {
        lastError_ = ENOTCONN;
        return -1;
    }
    if (peerClosed_)
        return 0;
    if (readError_) {
        lastError_ = readError_;
        return -1;
    }
    for (;;) {
        ssize_t n = recv(fd_, buf, len, 0);
        if (n > 0)
            return n;
        if (n == 0) {
            if (len == 0)
                return 0;
            peerClosed_ = true;
            UpdateWatch();
            PostCloseCheck();
            return 0;
        }
        if (errno == EINTR)
            continue;
        lastError_ = errno == EWOULDBLOCK ? EAGAIN : errno;
        if (lastError_ != EAGAIN) {
            readError_ = lastError_;
            UpdateWatch();
            PostCloseCheck();
        }
        return -1;
    }
}

// The end of the stream (or a fatal read error) was seen: OnSessionClosed follows,
// after the OnDataAvailable that is running now.
void TTcpSocket::PostCloseCheck()
{
    if (closeCheckPosted_)
        return;
    closeCheckPosted_ = true;
    loop_.Post([this, alive = alive_] {
        if (!*alive)
            return;
        closeCheckPosted_ = false;
        if (state_ == TSocketState::Connected && (peerClosed_ || readError_))
            FinishClose(readError_);
    });
}

// ---- sending ----

void TTcpSocket::Send(std::string_view data)
{
    QueueData(std::string(), data);
}

void TTcpSocket::Send(std::string&& data)
{
    std::string_view view(data);
    QueueData(std::move(data), view);
}

// `owned` is either empty or the string that `view` looks at; it is moved into the queue
// instead of copied when what the kernel does not take at once is most of it.
void TTcpSocket::QueueData(std::string&& owned, std::string_view view)
{
    bool open = state_ == TSocketState::Connected || state_ == TSocketState::Connecting ||
                state_ == TSocketState::DnsLookup || state_ == TSocketState::SocksNegotiating;
    if (!open) {
        lastError_ = ENOTCONN;
        return;
    }
    if (view.empty())
        return;
    size_t sent = 0;
    if (state_ == TSocketState::Connected && queue_.empty() && !readError_) {
        for (;;) {
            ssize_t n = send(fd_, view.data(), view.size(), MSG_NOSIGNAL);
            if (n >= 0) {
                sent = size_t(n);
                break;
            }
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // The read side reports the broken connection; the sender learns it here.
                lastError_ = errno;
                PostEvent(&TTcpSocket::OnDataSent, errno);
                return;
            }
            break;
        }
        if (sent == view.size()) {
            if (!sentPosted_) {
                sentPosted_ = true;
                loop_.Post([this, alive = alive_] {
                    if (!*alive)
                        return;
                    sentPosted_ = false;
                    if (queue_.empty() && (state_ == TSocketState::Connected))
                        Raise(&TTcpSocket::OnDataSent, 0);
                });
            }
            return;
        }
    }
    std::string_view rest = view.substr(sent);
    if (!queue_.empty() && rest.size() <= kCoalesceLimit && queue_.back().data.size() + rest.size() <= kChunkLimit) {
        queue_.back().data.append(rest);
    } else if (!owned.empty() && rest.size() * 2 >= owned.size()) {
        queue_.push_back(TChunk{std::move(owned), sent});
    } else {
        queue_.push_back(TChunk{std::string(rest), 0});
    }
    queued_ += rest.size();
    UpdateWatch();
}

void TTcpSocket::FlushQueue()
{
    while (!queue_.empty()) {
        iovec iov[kMaxIov];
        int cnt = 0;
        for (auto it = queue_.begin(); it != queue_.end() && cnt < kMaxIov; ++it, ++cnt) {
            iov[cnt].iov_base = it->data.data() + it->off;
            iov[cnt].iov_len = it->data.size() - it->off;
        }
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = size_t(cnt);
        ssize_t n = sendmsg(fd_, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                UpdateWatch();
                return;
            }
            int err = errno;
            lastError_ = err;
            queue_.clear();
            queued_ = 0;
            if (state_ == TSocketState::Closing) {
                FinishClose(err);
                return;
            }
            UpdateWatch();
            Raise(&TTcpSocket::OnDataSent, err);
            return;
        }
        size_t left = size_t(n);
        queued_ -= left;
        while (left > 0) {
            TChunk& c = queue_.front();
            size_t take = std::min(left, c.data.size() - c.off);
            c.off += take;
            left -= take;
            if (c.off == c.data.size())
                queue_.pop_front();
        }
    }
    if (state_ == TSocketState::Closing) {
        FinishClose(0);
        return;
    }
    UpdateWatch();
    Raise(&TTcpSocket::OnDataSent, 0);
}

// ---- closing ----

void TTcpSocket::CloseFd(bool reset)
{
    if (fd_ < 0)
        return;
    if (watching_)
        loop_.UnwatchFd(fd_);
    watching_ = false;
    watchMask_ = 0;
    if (reset || (lingerOn_ && lingerSeconds_ == 0)) {
        linger lg{1, 0};
        setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    } else if (state_ == TSocketState::Connected || state_ == TSocketState::Closing) {
        // Unread input would make the kernel answer the close with a reset, and a reset
        // can destroy data the peer has not read yet.
        char buf[16384];
        for (int i = 0; i < 64 && recv(fd_, buf, sizeof buf, MSG_DONTWAIT) > 0; ++i) {
        }
    }
    close(fd_);
    fd_ = -1;
}

void TTcpSocket::FinishClose(int error)
{
    if (state_ == TSocketState::Closed)
        return;
    CancelPending();
    CloseFd(false);
    state_ = TSocketState::Closed;
    queue_.clear();
    queued_ = 0;
    if (error)
        lastError_ = error;
    Raise(&TTcpSocket::OnSessionClosed, error);
}

void TTcpSocket::Close()
{
    switch (state_) {
    case TSocketState::Closed:
    case TSocketState::Closing:
        return;
    case TSocketState::Connected:
        if (!queue_.empty() && !readError_) {
            state_ = TSocketState::Closing;
            UpdateWatch();
            return;
        }
        break;
    default:
        break;
    }
    CancelPending();
    CloseFd(false);
    state_ = TSocketState::Closed;
    queue_.clear();
    queued_ = 0;
    PostEvent(&TTcpSocket::OnSessionClosed, 0);
}

void TTcpSocket::Abort()
{
    if (state_ == TSocketState::Closed)
        return;
    CancelPending();
    CloseFd(true);
    state_ = TSocketState::Closed;
    queue_.clear();
    queued_ = 0;
    PostEvent(&TTcpSocket::OnSessionClosed, 0);
}

void TTcpSocket::Shutdown(int how)
{
    if (fd_ >= 0 && state_ != TSocketState::Listening)
        shutdown(fd_, how);
}

void TTcpSocket::SetLinger(bool on, int seconds)
{
    lingerOn_ = on;
    lingerSeconds_ = seconds < 0 ? 0 : seconds;
}

// ---- listening ----

void TTcpSocket::Listen(const std::string& addr, const std::string& port)
{
    if (state_ != TSocketState::Closed)
        throw TSocketException("socket is in use", EISCONN);
    uint16_t p = 0;
    int rc = ResolvePort(port, &p);
    std::vector<sockaddr_storage> addrs;
    if (rc == 0) {
        std::string host = addr.empty() ? "0.0.0.0" : addr;
        if (!IsNumericHost(host))
            rc = kErrHostNotFound;  // a listener binds to a local numeric address
        else
            rc = ResolveHost(host, p, AF_UNSPEC, &addrs);
    }
    if (rc != 0) {
        lastError_ = rc;
        throw TSocketException("cannot listen on " + addr + ":" + port + ": " + SocketErrorText(rc), rc);
    }
    const sockaddr_storage& ss = addrs.front();
    int fd = socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    if (fd >= 0)
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&ss), AddrLen(ss)) < 0 || listen(fd, SOMAXCONN) < 0) {
        int err = errno;
        if (fd >= 0)
            close(fd);
        lastError_ = err;
        throw TSocketException("cannot listen on " + addr + ":" + port + ": " + SocketErrorText(err), err);
    }
    fd_ = fd;
    lastError_ = 0;
    state_ = TSocketState::Listening;
    UpdateWatch();
}

std::unique_ptr<TTcpSocket> TTcpSocket::Accept()
{
    if (state_ != TSocketState::Listening) {
        lastError_ = EINVAL;
        return nullptr;
    }
    int fd;
    do {
        fd = accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        lastError_ = errno == EWOULDBLOCK ? EAGAIN : errno;
        return nullptr;
    }
    auto s = std::make_unique<TTcpSocket>(loop_);
    s->lingerOn_ = lingerOn_;
    s->lingerSeconds_ = lingerSeconds_;
    s->Adopt(fd);
    return s;
}

void TTcpSocket::Adopt(int fd)
{
    fd_ = fd;
    state_ = TSocketState::Connected;
    UpdateWatch();
}

// ---- pause, addresses ----

void TTcpSocket::Pause()
{
    paused_ = true;
    UpdateWatch();
}

void TTcpSocket::Resume()
{
    paused_ = false;
    UpdateWatch();
}

std::string TTcpSocket::LocalAddr() const
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len) < 0)
        return "";
    return AddrText(ss);
}

int TTcpSocket::LocalPort() const
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (fd_ < 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&ss), &len) < 0)
        return 0;
    return AddrPort(ss);
}

std::string TTcpSocket::PeerAddr() const
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (fd_ < 0 || getpeername(fd_, reinterpret_cast<sockaddr*>(&ss), &len) < 0)
        return "";
    return AddrText(ss);
}

int TTcpSocket::PeerPort() const
{
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (fd_ < 0 || getpeername(fd_, reinterpret_cast<sockaddr*>(&ss), &len) < 0)
        return 0;
    return AddrPort(ss);
}

int TTcpSocket::SendBufferSize() const
{
    int size = 0;
    socklen_t len = sizeof size;
    if (fd_ < 0 || getsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, &len) < 0)
        return -1;
    return size;
}

} // namespace tq
