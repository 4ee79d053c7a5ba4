#include "download/HttpProtqn.h"

#include "foundation/TextUtils.h"
#include "foundation/UrlUtils.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace tq {

namespace {

// Body data are read in large pieces straight into this buffer and handed on from it.
constexpr size_t kReadPiece = 512 * 1024;
// Reads per readiness event before the loop gets a turn for other sockets.
constexpr int kReadsPerEvent = 64;
// The whole header, all lines together.
constexpr size_t kMaxHeaderBytes = 1024 * 1024;
constexpr int kMaxRedirects = 10;

const char* MethodName(THttpRequest rq)
{
    switch (rq) {
    case httpPOST: return "POST";
    case httpHEAD: return "HEAD";
    default: return "GET";
    }
}

std::string HttpDate(std::time_t t)
{
    static const char kDays[] = "SunMonTueWedThuFriSat";
    static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3s, %2.2d %.3s %4.4d %2.2d:%2.2d:%2.2d GMT", kDays + 3 * tm.tm_wday,
                  tm.tm_mday, kMonths + 3 * tm.tm_mon, tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

bool StartsWithNoCase(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && LowerCase(s.substr(0, prefix.size())) == LowerCase(prefix);
}

} // namespace

THttpCli::THttpCli(TEventLoop& loop) : loop_(loop), readBuf_(kReadPiece) {}

THttpCli::~THttpCli()
{
    life_->alive = false;
}

void THttpCli::GetASync() { DoRequest(httpGET); }
void THttpCli::PostASync() { DoRequest(httpPOST); }
void THttpCli::HeadASync() { DoRequest(httpHEAD); }

void THttpCli::SetState(THttpState s)
{
    if (state_ == s)
        return;
    state_ = s;
    if (OnStateChange) {
        auto cb = OnStateChange;
        cb(this);
    }
}

void THttpCli::ResetResponse()
{
    statusCode_ = 0;
    statusFromServer_ = false;
    reasonPhrase_.clear();
    contentLength_ = -1;
    contentRange_ = TContentRange{};
    contentType_.clear();
    rcvdHeader_.clear();
    wwwAuthenticate_.clear();
    locationChanged_ = false;
    docBegun_ = false;
    redirect_.reset();
    requestDoneError_ = 0;
    headerLines_ = bodyChunks_ = 0;
    rcvdCount_ = 0;
    bodyLeft_ = -1;
    headerBytes_ = 0;
    inBuf_.clear();
}

// The first text bound for the request that holds a line break or NUL, or empty.
std::string THttpCli::CheckRequestTexts() const
{
    const std::pair<const char*, const std::string*> texts[] = {
        {"host", &TargetHost}, {"port", &TargetPort}, {"path", &TargetPath}, {"scheme", &TargetScheme},
        {"Referer", &Reference}, {"User-Agent", &Agent}, {"Accept", &Accept}, {"From", &Sender},
        {"Cookie", &Cookie}, {"Content-Type", &ContentTypePost}, {"range", &ContentRangeBegin},
        {"range", &ContentRangeEnd}, {"proxy", &Proxy}, {"proxy port", &ProxyPort},
    };
    for (const auto& [name, text] : texts)
        if (HasLineBreakOrNul(*text))
            return name;
    return {};
}

void THttpCli::DoRequest(THttpRequest rq)
{
    if (state_ != httpReady || completionPending_)
        throw EHttpException("HTTP component is busy", httperrBusy);
    if (rq == httpPOST && !SendStream)
        throw EHttpException("HTTP component has nothing to post", httperrNoData);

    // Sockets replaced during the last request are gone by now: no event of theirs runs.
    retired_.clear();
    socket_.reset();

    ++life_->serial;
    life_->ended = false;
    rqType_ = rq;
    redirects_ = 0;
    SetState(httpNotConnected);
    ResetResponse();
    location_ = URL;
    curHost_ = TargetHost;
    curPort_ = TargetPort;
    curPath_ = TargetPath;
    scheme_ = TargetScheme.empty() ? "http" : TargetScheme;
    if (!TargetUser.empty())
        Username = TargetUser;
    if (!TargetPass.empty())
        Password = TargetPass;
    username_ = Username;
    password_ = Password;
    rangeBegin_ = ContentRangeBegin;
    rangeEnd_ = ContentRangeEnd;

    if (std::string bad = CheckRequestTexts(); !bad.empty()) {
        Fail(httperrUnsafeRequest, 404, "request refused: line break or NUL in the " + bad);
        return;
    }
    StartConnect();
}

void THttpCli::StartConnect()
{
    std::string path = curPath_.empty() ? "/" : curPath_;
    docName_ = DocNameFromPath(path);
    hostHeader_ = curHost_;
    if (!curPort_.empty() && curPort_ != "80")
        hostHeader_ += ":" + curPort_;
    tunnelTarget_.clear();
    if (!Proxy.empty()) {
        TURLParts p = SplitURL(Proxy);
        connectHost_ = p.Host.empty() ? Proxy : p.Host;
        connectPort_ = p.Port.empty() ? ProxyPort : p.Port;
        if (UseQNExProxyMode) {
            tunnelTarget_ = curHost_ + ":" + (curPort_.empty() ? "80" : curPort_);
            requestPath_ = EncodeRequestTarget(path);
        } else {
            requestPath_ = scheme_ + "://" + curHost_ + (curPort_.empty() ? "" : ":" + curPort_)
                           + EncodeRequestTarget(path);
        }
    } else {
        connectHost_ = curHost_;
        connectPort_ = curPort_.empty() ? "80" : curPort_;
        requestPath_ = EncodeRequestTarget(path);
    }

    auto sock = std::make_unique<TTcpSocket>(loop_);
    auto token = life_;
    uint64_t s = life_->serial;
    sock->OnDnsLookupDone = [this, token, s](int e) { if (Alive(token, s)) HandleDnsLookupDone(e); };
    sock->OnSessionConnected = [this, token, s](int e) { if (Alive(token, s)) HandleConnected(e); };
    sock->OnDataAvailable = [this, token, s](int) { if (Alive(token, s)) HandleDataAvailable(); };
    sock->OnSessionClosed = [this, token, s](int e) { if (Alive(token, s)) HandleClosed(e); };
    if (!SocksServer.empty()) {
        std::string level = UpperCase(SocksLevel);
        TSocksLevel lv = level == "4" ? TSocksLevel::Socks4 : level == "4A" ? TSocksLevel::Socks4A
                                                                            : TSocksLevel::Socks5;
        sock->SetSocks(lv, SocksServer, SocksPort, SocksAuthentication ? SocksUsercode : "",
                       SocksAuthentication ? SocksPassword : "");
    }
    socket_ = std::move(sock);
    phase_ = TPhase::Connecting;
    SetState(httpDnsLookup);
    try {
        socket_->Connect(connectHost_, connectPort_, LocalAddr == "0.0.0.0" ? "" : LocalAddr);
    } catch (const TSocketException& e) {
        Fail(e.Error() ? e.Error() : EINVAL, 404, e.what());
    } catch (const std::exception& e) {
        Fail(EINVAL, 404, e.what());
    }
}

void THttpCli::HandleDnsLookupDone(int error)
{
    if (error) {
        Fail(error, 404, "can't resolve hostname to IP address");
        return;
    }
    SetState(httpDnsLookupDone);
}

void THttpCli::HandleConnected(int error)
{
    if (error) {
        if (error <= kErrSocksProtocol && OnSocksError && !Raise(OnSocksError, error))
            return;
        Fail(error, 404, "can't connect: " + SocketErrorText(error) + " (Error #" + std::to_string(error) + ")");
        return;
    }
    SetState(httpConnected);
    if (!Raise(OnSessionConnected, 0))
        return;
    SetState(httpWaitingHeader);
    if (!tunnelTarget_.empty())
        SendTunnelRequest();
    else
        SendRequest();
}

bool THttpCli::SendLine(std::string& out, std::string line)
{
    if (!Raise(OnCommand, line))
        return false;
    out += line;
    out += "\r\n";
    return true;
}

void THttpCli::SendTunnelRequest()
{
    std::string out;
    if (!SendLine(out, "CONNECT " + tunnelTarget_ + " HTTP/1.0"))
        return;
    if (!ProxyUsername.empty()
        && !SendLine(out, "Proxy-Authorization: Basic " + Base64Encode(ProxyUsername + ":" + ProxyPassword)))
        return;
    if (!Raise(OnRequestHeaderEnd))
        return;
    out += "\r\n";
    lastRequest_ = out;
    phase_ = TPhase::TunnelStatus;
    socket_->Send(std::move(out));
}

void THttpCli::SendRequest()
{
    if (!Raise(OnRequestHeaderBegin))
        return;
    std::string out;
    bool ok = SendLine(out, std::string(MethodName(rqType_)) + " " + requestPath_ + " HTTP/1.0");
    ok = ok && (Sender.empty() || SendLine(out, "From: " + Sender));
    ok = ok && (Accept.empty() || SendLine(out, "Accept: " + Accept));
    ok = ok && (Reference.empty() || SendLine(out, "Referer: " + Reference));
    ok = ok && (rqType_ != httpPOST || ContentTypePost.empty() || SendLine(out, "Content-Type: " + ContentTypePost));
    ok = ok && (Agent.empty() || SendLine(out, "User-Agent: " + Agent));
    ok = ok && SendLine(out, "Host: " + hostHeader_);
    ok = ok && (!NoCache || SendLine(out, "Pragma: no-cache"));
    ok = ok && (rqType_ != httpPOST || SendLine(out, "Content-Length: " + std::to_string(SendStream->size())));
    ok = ok && (ModifiedSince == 0 || SendLine(out, "If-Modified-Since: " + HttpDate(ModifiedSince)));
    ok = ok && (username_.empty()
                || SendLine(out, "Authorization: Basic " + Base64Encode(username_ + ":" + password_)));
    // Inside a tunnel the proxy's credentials stay with the CONNECT.
    ok = ok && (Proxy.empty() || !tunnelTarget_.empty() || ProxyUsername.empty()
                || SendLine(out, "Proxy-Authorization: Basic " + Base64Encode(ProxyUsername + ":" + ProxyPassword)));
    ok = ok && (Cookie.empty() || SendLine(out, "Cookie: " + Cookie));
    ok = ok && ((rangeBegin_.empty() && rangeEnd_.empty())
                || SendLine(out, "Range: bytes=" + rangeBegin_ + "-" + rangeEnd_));
    if (!ok)
        return;
    ContentRangeBegin.clear();
    ContentRangeEnd.clear();
    acceptRanges_.clear();
    if (!Raise(OnRequestHeaderEnd))
        return;
    out += "\r\n";
    lastRequest_ = out;
    phase_ = TPhase::Status;
    socket_->Send(std::move(out));
    if (rqType_ == httpPOST) {
        if (!Raise(OnSendBegin))
            return;
        socket_->Send(std::string_view(*SendStream));
        if (!Raise(OnSendData, int64_t(SendStream->size())) || !Raise(OnSendEnd))
            return;
    }
}

// ---- receiving ----

void THttpCli::HandleDataAvailable()
{
    auto token = life_;
    uint64_t s = life_->serial;
    for (int round = 0; round < kReadsPerEvent; ++round) {
        if (ReadPaused && phase_ == TPhase::Body)
            return;
        const size_t want = ReadPiece > 0 ? std::min(ReadPiece, readBuf_.size()) : readBuf_.size();
        ssize_t n = socket_->Receive(readBuf_.data(), want);
        if (n <= 0)
            return;  // would block, or the close event follows
        if (phase_ == TPhase::Body) {
            if (!DeliverBody(readBuf_.data(), size_t(n)))
                return;
            continue;
        }
        if (phase_ == TPhase::Connecting || phase_ == TPhase::Idle || phase_ == TPhase::Done)
            return;
        inBuf_.append(readBuf_.data(), size_t(n));
        DoLoop();
        if (!Alive(token, s))
            return;
    }
}

bool THttpCli::TakeLine(std::string& line)
{
    size_t lf = inBuf_.find('\n');
    size_t len = lf == std::string::npos ? inBuf_.size() : lf;
    if (len > 0 && lf != std::string::npos && inBuf_[len - 1] == '\r')
        --len;
    if (len > kHttpMaxLine + (lf == std::string::npos ? 1 : 0)) {
        Fail(httperrLineTooLong, -1, "HTTP line too long");
        return false;
    }
    if (lf == std::string::npos)
        return false;
    headerBytes_ += lf + 1;
    if (headerBytes_ > kMaxHeaderBytes) {
        Fail(httperrBadResponse, -1, "HTTP header too large");
        return false;
    }
    line.assign(inBuf_, 0, len);
    inBuf_.erase(0, lf + 1);
    return true;
}

void THttpCli::DoLoop()
{
    auto token = life_;
    uint64_t s = life_->serial;
    for (;;) {
        TStep step;
        switch (phase_) {
        case TPhase::TunnelStatus: step = DoTunnelStatus(); break;
        case TPhase::TunnelHeaders: step = DoTunnelHeaders(); break;
        case TPhase::Status: step = DoStatus(); break;
        case TPhase::Headers: step = DoHeaders(); break;
        case TPhase::Body: {
            // What came with the header is the first piece of the body.
            if (!inBuf_.empty()) {
                std::string rest;
                rest.swap(inBuf_);
                if (!DeliverBody(rest.data(), rest.size()))
                    return;
            }
            // An error page ends with what arrived together with its header.
            if (statusCode_ >= 400)
                EndRequest(0);
            return;
        }
        default: return;
        }
        if (step != TStep::Continue || !Alive(token, s))
            return;
    }
}

THttpCli::TStep THttpCli::DoTunnelStatus()
{
    std::string line;
    if (!TakeLine(line))
        return life_->ended ? TStep::Stop : TStep::NeedInput;
    if (line.empty())
        return TStep::Continue;
    THttpStatusLine st;
    lastResponse_ = line;
    if (!ParseStatusLine(line, st)) {
        Fail(httperrTunnelRefused, 404, "bad reply from the proxy: " + line);
        return TStep::Stop;
    }
    if (st.Code / 100 != 2) {
        Fail(httperrTunnelRefused, st.Code, "the proxy refused the tunnel: " + st.Reason);
        return TStep::Stop;
    }
    if (!Raise(OnHeaderData))
        return TStep::Stop;
    phase_ = TPhase::TunnelHeaders;
    return TStep::Continue;
}

THttpCli::TStep THttpCli::DoTunnelHeaders()
{
    std::string line;
    if (!TakeLine(line))
        return life_->ended ? TStep::Stop : TStep::NeedInput;
    if (!line.empty())
        return TStep::Continue;  // the proxy's own fields are not the document's
    // The tunnel is open: what follows is the server's answer to the real request.
    headerBytes_ = 0;
    SendRequest();
    return TStep::Continue;
}

THttpCli::TStep THttpCli::DoStatus()
{
    std::string line;
    if (!TakeLine(line))
        return life_->ended ? TStep::Stop : TStep::NeedInput;
    if (line.empty() && headerLines_ == 0)
        return TStep::Continue;
    THttpStatusLine st;
    if (!ParseStatusLine(line, st)) {
        if (headerLines_ == 0 && StartsWithNoCase(line, "<HTML>")) {
            // A server that answers with the page alone.
            if (contentType_.empty())
                contentType_ = "text/html";
            inBuf_.insert(0, line);
            BeginBody();
            return life_->ended ? TStep::Stop : TStep::Continue;
        }
        lastResponse_ = line;
        Fail(httperrBadResponse, -1, "bad HTTP status line");
        return TStep::Stop;
    }
    statusCode_ = st.Code;
    statusFromServer_ = true;
    reasonPhrase_ = st.Reason;
    rcvdHeader_.push_back(line);
    lastResponse_ = line;
    if (headerLines_++ == 0 && !Raise(OnHeaderBegin))
        return TStep::Stop;
    if (!Raise(OnHeaderData))
        return TStep::Stop;
    phase_ = TPhase::Headers;
    return TStep::Continue;
}

THttpCli::TStep THttpCli::DoHeaders()
{
    std::string line;
    if (!TakeLine(line))
        return life_->ended ? TStep::Stop : TStep::NeedInput;
    if (line.empty())
        return DoHeaderEnd();
    return DoHeaderField(line);
}

THttpCli::TStep THttpCli::DoHeaderField(const std::string& line)
{
    rcvdHeader_.push_back(line);
    lastResponse_ = line;
    ++headerLines_;
    std::string name, value;
    if (line[0] != ' ' && line[0] != '\t' && SplitHeaderLine(line, name, value)) {
        if (name == "location") {
            TLocationTarget t = ResolveLocation(value, curHost_, curPort_, curPath_);
            location_ = t.Kind == TLocationKind::Http ? t.URL : value;
            if (statusCode_ / 100 == 3) {
                locationChanged_ = true;
                redirect_ = std::move(t);
            }
        } else if (name == "content-length") {
            int64_t n = 0;
            if (!ParseHttpDecimal(value, n) || (contentLength_ >= 0 && contentLength_ != n)) {
                Fail(httperrBadResponse, -1, "bad Content-Length: " + value);
                return TStep::Stop;
            }
            contentLength_ = n;
        } else if (name == "content-range") {
            TContentRange r;
            if (!ParseContentRange(value, r)) {
                Fail(httperrBadResponse, -1, "bad Content-Range: " + value);
                return TStep::Stop;
            }
            contentRange_ = r;
            ContentRangeBegin = r.Begin >= 0 ? std::to_string(r.Begin) : std::string();
            ContentRangeEnd = r.End >= 0 ? std::to_string(r.End) : std::string();
        } else if (name == "accept-ranges") {
            acceptRanges_ = value;
        } else if (name == "content-type") {
            contentType_ = LowerCase(value);
        } else if (name == "www-authenticate") {
            wwwAuthenticate_.push_back(value);
        } else if (name == "transfer-encoding") {
            // Not asked for with HTTP/1.0; its framing must never end up in the file.
            if (LowerCase(value) != "identity") {
                Fail(httperrBadResponse, -1, "unsupported Transfer-Encoding: " + value);
                return TStep::Stop;
            }
        } else if (name == "set-cookie") {
            bool accept = true;
            if (!Raise(OnCookie, value, accept))
                return TStep::Stop;
        }
    }
    return Raise(OnHeaderData) ? TStep::Continue : TStep::Stop;
}

THttpCli::TStep THttpCli::DoHeaderEnd()
{
    if (statusCode_ / 100 == 1) {
        // An interim answer: the real status line follows.
        phase_ = TPhase::Status;
        headerLines_ = 0;
        rcvdHeader_.clear();
        return TStep::Continue;
    }
    if (locationChanged_) {
        if (!Raise(OnHeaderEnd))
            return TStep::Stop;
        headerLines_ = 0;
        bodyChunks_ = 0;
        if (!Raise(OnLocationChange))
            return TStep::Stop;  // the owner aborted: it decides where to go
        FollowRedirect();
        return TStep::Stop;
    }
    if (statusCode_ == 206 && !rangeBegin_.empty()) {
        int64_t want = -1;
        if (!ParseHttpDecimal(rangeBegin_, want) || contentRange_.Begin != want) {
            Fail(httperrWrongRange, -1, "the range starts at " + std::to_string(contentRange_.Begin)
                                            + ", not at " + rangeBegin_);
            return TStep::Stop;
        }
    }
    bool noBody = rqType_ == httpHEAD || statusCode_ == 204 || statusCode_ == 304 || contentLength_ == 0;
    if (noBody) {
        if (!Raise(OnHeaderEnd))
            return TStep::Stop;
        // An empty document still begins (and ends), so its length gets evaluated.
        if (rqType_ != httpHEAD && statusCode_ < 300) {
            docBegun_ = true;
            if (!Raise(OnDocBegin))
                return TStep::Stop;
        }
        EndRequest(0);
        return TStep::Stop;
    }
    // A page saved under a program's name or under no extension gets ".htm".
    if (contentType_ == "text/html") {
        size_t dot = docName_.rfind('.');
        if (dot == std::string::npos)
            docName_ += ".htm";
        else if (LowerCase(docName_.substr(dot)) == ".exe")
            docName_.replace(dot, std::string::npos, ".htm");
    }
    BeginBody();
    return life_->ended ? TStep::Stop : TStep::Continue;
}

void THttpCli::BeginBody()
{
    phase_ = TPhase::Body;
    bodyLeft_ = contentLength_;
    SetState(httpWaitingBody);
    Raise(OnHeaderEnd);
}

bool THttpCli::DeliverBody(const char* data, size_t len)
{
    // Bytes past the announced length are not part of the document.
    if (bodyLeft_ >= 0 && int64_t(len) > bodyLeft_)
        len = size_t(bodyLeft_);
    if (len == 0) {
        if (bodyLeft_ == 0)
            EndRequest(0);
        return !life_->ended;
    }
    if (!docBegun_) {
        docBegun_ = true;
        if (!Raise(OnDocBegin))
            return false;
    }
    ++bodyChunks_;
    rcvdCount_ += int64_t(len);
    if (bodyLeft_ > 0)
        bodyLeft_ -= int64_t(len);
    if (RcvdStream)
        RcvdStream->append(data, len);
    if (!Raise(OnDocData, data, int32_t(len)))
        return false;
    if (bodyLeft_ == 0) {
        EndRequest(0);
        return false;
    }
    return true;
}

void THttpCli::HandleClosed(int error)
{
    switch (phase_) {
    case TPhase::Body:
        if (!error && bodyLeft_ > 0)
            error = httperrBodyTruncated;
        EndRequest(error);
        return;
    case TPhase::Status:
    case TPhase::Headers:
        if (phase_ == TPhase::Headers && !Raise(OnHeaderEnd))
            return;
        if (locationChanged_) {
            if (!Raise(OnLocationChange))
                return;
            FollowRedirect();
            return;
        }
        Fail(error ? error : httperrBadResponse, -1,
             statusCode_ ? "connection closed inside the header" : "connection closed without a response");
        return;
    case TPhase::TunnelStatus:
    case TPhase::TunnelHeaders:
        Fail(error ? error : httperrTunnelRefused, 404, "the proxy closed the connection");
        return;
    default:
        Fail(error ? error : ECONNRESET, 404, "connection closed");
        return;
    }
}

void THttpCli::FollowRedirect()
{
    const TLocationTarget t = *redirect_;
    if (t.Kind != TLocationKind::Http) {
        Fail(httperrBadRedirect, -1,
             t.Kind == TLocationKind::Invalid ? "bad redirect location" : "redirect not followed: " + t.URL);
        return;
    }
    if (++redirects_ > kMaxRedirects) {
        Fail(httperrBadRedirect, -1, "too many redirects");
        return;
    }
    std::string oldPort = curPort_.empty() ? "80" : curPort_;
    bool sameServer = LowerCase(t.Host) == LowerCase(curHost_) && t.Port == oldPort;
    // Credentials belong to the server they were given for.
    if (!t.User.empty()) {
        username_ = t.User;
        password_ = t.Pass;
    } else if (!sameServer) {
        username_.clear();
        password_.clear();
    }
    curHost_ = t.Host;
    curPort_ = t.Port;
    curPath_ = t.Path;
    scheme_ = "http";
    if (rqType_ == httpPOST)
        rqType_ = httpGET;

    // Events still on their way from the old connection belong to the old serial.
    ++life_->serial;
    if (socket_) {
        socket_->Abort();
        retired_.push_back(std::move(socket_));
    }
    ResetResponse();
    location_ = t.URL;
    SetState(httpNotConnected);
    if (!Raise(OnLocationChange))
        return;
    StartConnect();
}

void THttpCli::Fail(int error, int status, const std::string& reason)
{
    if (life_->ended)
        return;
    if (status >= 0) {
        statusCode_ = status;
        statusFromServer_ = false;
    }
    reasonPhrase_ = reason;
    requestDoneError_ = error;
    EndRequest(error, false);
}

void THttpCli::EndRequest(int error, bool raiseDocEnd)
{
    if (life_->ended)
        return;
    life_->ended = true;
    if (error && !requestDoneError_)
        requestDoneError_ = error;
    phase_ = TPhase::Done;
    if (socket_ && socket_->State() != TSocketState::Closed) {
        if (socket_->State() == TSocketState::Connected && !error)
            socket_->Close();
        else
            socket_->Abort();
    }
    PostCompletion();
    if (raiseDocEnd && docBegun_ && OnDocEnd) {
        auto cb = OnDocEnd;
        cb(this);
    }
}

void THttpCli::PostCompletion()
{
    completionPending_ = true;
    loop_.Post([this, token = life_] {
        if (!token->alive)
            return;
        completionPending_ = false;
        SetState(httpReady);
        if (!token->alive || !OnRequestDone)
            return;
        auto cb = OnRequestDone;
        cb(this, rqType_, requestDoneError_);
    });
}

void THttpCli::Abort()
{
    if (life_->ended) {
        // Nothing runs; a connection left open is simply closed.
        if (!completionPending_ && socket_ && socket_->State() != TSocketState::Closed)
            socket_->Abort();
        return;
    }
    SetState(httpAborting);
    Fail(httperrAborted, 404, "Connection aborted on request");
}

} // namespace tq
