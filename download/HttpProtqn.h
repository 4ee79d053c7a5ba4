#pragma once
// THttpCli: the HTTP/1.0 client that fetches one byte range of one download over one
// TCP connection, directly, through an HTTP proxy (absolute request path), through a
// tunnelling proxy (CONNECT) or through SOCKS 4/5. Event-driven on the owning thread's
// loop: starting returns at once and OnRequestDone is always posted, exactly once per
// request, never raised from inside the socket handler that saw the end.
//
// The request runs through the phases of TPhase; DoLoop consumes buffered input one
// phase step at a time until it needs more bytes or the request has ended.

#include "download/HttpHeaders.h"
#include "download/TQNComponent.h"
#include "platform/TcpSocket.h"

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tq {

enum THttpRequest : uint8_t { httpAbort, httpGET, httpPOST, httpHEAD };

enum THttpState : uint8_t {
    httpReady, httpNotConnected, httpConnected, httpDnsLookup, httpDnsLookupDone,
    httpWaitingHeader, httpWaitingBody, httpAborting
};

// Codes of the start exceptions and of RequestDoneError besides errno values and the
// socket layer's negative codes.
constexpr int httperrBusy = 1;
constexpr int httperrNoData = 2;
constexpr int httperrAborted = 3;
constexpr int httperrLineTooLong = 4;
constexpr int httperrBadResponse = 901;     // unreadable status line, length or range
constexpr int httperrBodyTruncated = 902;   // the server closed before Content-Length bytes
constexpr int httperrTunnelRefused = 903;   // the proxy did not open the tunnel
constexpr int httperrUnsafeRequest = 904;   // CR, LF or NUL in a text bound for the request
constexpr int httperrBadRedirect = 905;     // a redirect that cannot be followed here
constexpr int httperrWrongRange = 906;      // a 206 that does not start where asked

class EHttpException : public std::runtime_error {
public:
    EHttpException(const std::string& msg, int code) : std::runtime_error(msg), code_(code) {}
    int ErrorCode() const { return code_; }
private:
    int code_;
};

class THttpCli : public TQNComponent {
public:
    explicit THttpCli(TEventLoop& loop);
    ~THttpCli() override;

    // Request settings.
    bool UseQNExProxyMode = false;  // through the proxy with CONNECT
    std::string URL;
    std::string LocalAddr = "0.0.0.0";
    std::string Proxy;              // proxy host (or "http://host:port"); empty = none
    std::string ProxyPort = "80";
    std::string Sender;
    std::string Agent = "Mozilla/3.0 (compatible)";
    std::string Accept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
    std::string Reference;
    std::string Username, Password;
    std::string ProxyUsername, ProxyPassword;
    bool NoCache = false;
    std::time_t ModifiedSince = 0;  // seconds since 1970, written as it is; 0 = not sent
    std::string Cookie;
    std::string ContentTypePost = "application/x-www-form-urlencoded";
    std::string ContentRangeBegin, ContentRangeEnd;
    bool MultiThreaded = false;     // kept for callers; events always come on the loop's thread
    std::optional<std::string> SendStream;  // the body of a POST
    std::string* RcvdStream = nullptr;       // when set, the body is appended here too
    // A speed limit: the body is read in pieces of at most ReadPiece bytes (0: the
    // default), and no further piece is read while ReadPaused is set (the owner pauses
    // the socket as well and resumes both).
    size_t ReadPiece = 0;
    bool ReadPaused = false;

    // SOCKS: level "4", "4A" or "5"; user and password are used with SocksAuthentication.
    std::string SocksServer, SocksLevel = "5", SocksPort = "1080";
    std::string SocksUsercode, SocksPassword;
    bool SocksAuthentication = false;

    // Filled by the driver before every start, in place of parsing URL.
    std::string TargetHost, TargetPort, TargetUser, TargetPass, TargetPath, TargetScheme;
    bool UseProxy = false;

    // Events.
    using TNotify = std::function<void(THttpCli* sender)>;
    std::function<void(THttpCli* sender, const std::string& text)> OnTrace;
    std::function<void(THttpCli* sender, int error)> OnSessionConnected;
    TNotify OnHeaderData, OnHeaderBegin, OnHeaderEnd, OnRequestHeaderBegin, OnRequestHeaderEnd;
    std::function<void(THttpCli* sender, std::string& line)> OnCommand;
    TNotify OnDocBegin, OnDocEnd;
    std::function<void(THttpCli* sender, const char* data, int32_t len)> OnDocData;
    TNotify OnSendBegin, OnSendEnd;
    std::function<void(THttpCli* sender, int64_t bytes)> OnSendData;
    TNotify OnStateChange, OnLocationChange;
    std::function<void(THttpCli* sender, THttpRequest rqType, int error)> OnRequestDone;
    std::function<void(THttpCli* sender, const std::string& data, bool& accept)> OnCookie;
    std::function<void(THttpCli* sender, int error)> OnSocksError;

    // Starting throws EHttpException when busy (code 1) or for a POST without data (2).
    void GetASync();
    void PostASync();
    void HeadASync();
    void Abort();

    THttpState State() const { return state_; }
    THttpRequest RequestType() const { return rqType_; }
    int StatusCode() const { return statusCode_; }
    bool StatusFromServer() const { return statusFromServer_; }
    const std::string& ReasonPhrase() const { return reasonPhrase_; }
    int64_t ContentLength() const { return contentLength_; }
    int64_t ContentRangeTotal() const { return contentRange_.Total; }
    const std::string& ContentType() const { return contentType_; }
    const std::string& Location() const { return location_; }
    const std::string& DocName() const { return docName_; }
    const std::string& AcceptRanges() const { return acceptRanges_; }
    const std::vector<std::string>& RcvdHeader() const { return rcvdHeader_; }
    const std::vector<std::string>& WWWAuthenticate() const { return wwwAuthenticate_; }
    const std::string& LastResponse() const { return lastResponse_; }
    int RequestDoneError() const { return requestDoneError_; }
    int64_t RcvdCount() const { return rcvdCount_; }
    int HeaderLineCount() const { return headerLines_; }
    int BodyChunkCount() const { return bodyChunks_; }
    TTcpSocket* CtrlSocket() const { return socket_.get(); }
    // The request as it was last sent (header lines only), for logs and tests.
    const std::string& LastRequest() const { return lastRequest_; }

private:
    // What event handlers check after raising an event; shared so that the check never
    // reads the object itself, which the handler may have freed.
    struct TLife {
        bool alive = true;
        uint64_t serial = 0;  // of the request (and redirect leg) under way
        bool ended = true;    // the request ended; its completion is posted
    };
    enum class TPhase : uint8_t {
        Idle,
        Connecting,       // name lookup and connect (SOCKS negotiation inside the socket)
        TunnelStatus,     // CONNECT sent: the proxy's status line
        TunnelHeaders,    // the proxy's header lines up to the blank line
        Status,           // request sent: the status line
        Headers,          // header fields up to the blank line
        Body,             // body pieces until Content-Length or the close
        Done
    };
    // What a phase step tells DoLoop.
    enum class TStep : uint8_t { Continue, NeedInput, Stop };

    void DoRequest(THttpRequest rq);
    void StartConnect();
    void SetState(THttpState s);
    void ResetResponse();
    std::string CheckRequestTexts() const;

    // Socket events of the current request.
    void HandleDnsLookupDone(int error);
    void HandleConnected(int error);
    void HandleDataAvailable();
    void HandleClosed(int error);

    void SendTunnelRequest();
    void SendRequest();
    bool SendLine(std::string& out, std::string line);

    // The phase machine over buffered input.
    void DoLoop();
    TStep DoTunnelStatus();
    TStep DoTunnelHeaders();
    TStep DoStatus();
    TStep DoHeaders();
    TStep DoHeaderField(const std::string& line);
    TStep DoHeaderEnd();
    // One complete line from the buffer; false when none is complete (and fails the
    // request when the incomplete one is already too long).
    bool TakeLine(std::string& line);

    void BeginBody();
    // Hands one piece of body on; false when the request ended or the object went.
    bool DeliverBody(const char* data, size_t len);
    void FollowRedirect();
    // Ends the request with an error; status -1 keeps the status code.
    void Fail(int error, int status, const std::string& reason);
    void EndRequest(int error, bool raiseDocEnd = true);
    void PostCompletion();
    static bool Alive(const std::shared_ptr<TLife>& token, uint64_t serial)
    {
        return token->alive && token->serial == serial && !token->ended;
    }
    // Raises an event of this request; false when the request ended, moved on to a
    // redirect, or the object went inside the handler.
    template <class F, class... A>
    bool Raise(const F& event, A&&... args)
    {
        auto token = life_;
        uint64_t s = life_->serial;
        if (event) {
            F cb = event;  // the handler may replace the member
            cb(this, std::forward<A>(args)...);
        }
        return Alive(token, s);
    }

    TEventLoop& loop_;
    std::shared_ptr<TLife> life_ = std::make_shared<TLife>();
    std::unique_ptr<TTcpSocket> socket_;
    std::vector<std::unique_ptr<TTcpSocket>> retired_;  // sockets replaced inside their own events
    std::vector<char> readBuf_;
    std::string inBuf_;  // unparsed header bytes

    THttpState state_ = httpReady;
    TPhase phase_ = TPhase::Idle;
    THttpRequest rqType_ = httpGET;
    bool completionPending_ = false;

    // The request being made.
    std::string connectHost_, connectPort_;
    std::string hostHeader_;
    std::string requestPath_;  // as written on the request line
    std::string curHost_, curPort_, curPath_;  // the target as it stands after redirects
    std::string scheme_;                       // of the absolute path sent to a proxy
    std::string tunnelTarget_;                 // "host:port" of a CONNECT
    std::string username_, password_;
    std::string rangeBegin_, rangeEnd_;  // as sent in this request
    int redirects_ = 0;
    std::string lastRequest_;

    // The response.
    int statusCode_ = 0;
    bool statusFromServer_ = false;
    std::string reasonPhrase_;
    int64_t contentLength_ = -1;
    TContentRange contentRange_;
    std::string contentType_, location_, docName_, acceptRanges_, lastResponse_;
    std::vector<std::string> rcvdHeader_, wwwAuthenticate_;
    bool locationChanged_ = false;
    bool docBegun_ = false;
    std::optional<TLocationTarget> redirect_;
    int requestDoneError_ = 0;
    int headerLines_ = 0, bodyChunks_ = 0;
    int64_t rcvdCount_ = 0;
    int64_t bodyLeft_ = -1;  // bytes still expected when the length is known
    size_t headerBytes_ = 0;
};

} // namespace tq
