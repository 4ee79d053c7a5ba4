#include "download/TQNComponent.h"

#include "download/HttpHeaders.h"
#include "download/HttpProtqn.h"
#include "download/QNDownFtpcli.h"
#include "ftp/FtpParse.h"
#include "ftp/FtpReply.h"
#include "foundation/TextUtils.h"
#include "platform/EventLoop.h"

namespace tq {

TQNComponent::TQNComponent() = default;
TQNComponent::~TQNComponent() { *alive_ = false; }

void TQNComponent::SetClient(uint8_t kind, THttpCli* client)
{
    FClientKind = kind;
    FClient = client;
    httpClient_ = client;
    if (!client)
        return;
    client->OnSessionConnected = [this](THttpCli*, int) {
        if (OSQN_OnSessionConnected)
            OSQN_OnSessionConnected(this, 0);
    };
    client->OnDocBegin = [this](THttpCli* c) {
        if (c->StatusCode() < 400)
            DocBegin();
        else
            StopReason = kStopHttpStatus;
    };
    client->OnDocEnd = [this](THttpCli*) {
        if (OSQN_OnDocEnd)
            OSQN_OnDocEnd(this);
    };
    client->OnDocData = [this](THttpCli* c, const char* data, int32_t len) {
        // An error page is not the document: it must never reach the file.
        if (c->StatusCode() >= 400)
            return;
        FGotData = 1;
        FIdle = 0;
        ErrorCount = 0;
        DocData(data, len);
    };
    client->OnCommand = [this](THttpCli*, std::string& line) {
        if (OSQN_OnCommand)
            OSQN_OnCommand(this, line);
    };
    client->OnHeaderBegin = nullptr;
    client->OnHeaderEnd = nullptr;
    client->OnHeaderData = [this](THttpCli*) {
        if (OSQN_OnHeaderData)
            OSQN_OnHeaderData(this);
    };
    client->OnLocationChange = [this](THttpCli* c) {
        Redirected = 1;
        RedirectNotHttp = LowerCase(c->Location()).rfind("http://", 0) == 0 ? 0 : 1;
        if (OSQN_OnLocationChange)
            OSQN_OnLocationChange(this);
    };
    // Only the GET is a transfer; the driver sees it under the same code as an FTP retrieve.
    client->OnRequestDone = [this](THttpCli*, THttpRequest rq, int error) {
        if (rq == httpGET && OSQN_OnRequestDone)
            OSQN_OnRequestDone(this, ftpRestGetAsync, error, false);
    };
}

void TQNComponent::SetTicks(uint32_t connectTick, uint32_t lastDataTick)
{
    FTicksValid = 0;
    FConnectTick = connectTick;
    FLastDataTick = lastDataTick;
    FTicksValid = 1;
}

void TQNComponent::StartRequest()
{
    Redirected = 0;
    RedirectNotHttp = 0;
    if (THttpCli* h = Http())
        h->GetASync();
    else if (Ftp())
        FtpStart();
    SetTicks(GetTickCount32(), 0);
}

void TQNComponent::PauseReceive(bool pause)
{
    if (THttpCli* h = Http())
        h->ReadPaused = pause;
    for (TTcpSocket* s : {OS_CtrlSocket(), OS_DataSocket()}) {
        if (!s)
            continue;
        if (pause)
            s->Pause();
        else
            s->Resume();
    }
}

void TQNComponent::LimitReadPiece(size_t maxPiece)
{
    if (THttpCli* h = Http())
        h->ReadPiece = maxPiece;
}

void TQNComponent::AbortRequest()
{
    try {
        if (THttpCli* h = Http())
            h->Abort();
        else if (TQNDNFtpClient* f = Ftp())
            f->AbortAndWait();
    } catch (...) {
        // Aborting must never fail the caller.
    }
}

void TQNComponent::DisplayMess(const std::string& text, TDisplayMessTypeDef kind)
{
    if (onDisplayMess)
        onDisplayMess(this, text, kind);
}

void TQNComponent::OutMessage(TQNComponent* sender, const std::string& text, TDisplayMessTypeDef kind)
{
    if (OSQN_QNCLIOutMessage)
        OSQN_QNCLIOutMessage(sender, text, kind);
}

void TQNComponent::DocBegin()
{
    if (OSQN_OnDocBegin)
        OSQN_OnDocBegin(this);
    SetTicks(0, GetTickCount32());
}

void TQNComponent::DocData(const char* buf, int32_t len)
{
    if (OSQN_OnDocData) {
        try {
            OSQN_OnDocData(this, buf, len);
        } catch (...) {
            // Going on after a failed write would leave a hole in the file that the
            // block map calls done: the request ends as failed instead.
            DisplayMess("Disk Write Drror!", fDMESSERROR);
            StopReason = kStopDiskWrite;
            AbortRequest();
            return;
        }
    }
    SetTicks(0, GetTickCount32());
}

int64_t TQNComponent::OS_FileLength()
{
    if (THttpCli* h = Http()) {
        // A partial answer names the whole file's length: its body may be a closed range.
        if (h->StatusCode() == 206 && h->ContentRangeTotal() >= 0)
            return h->ContentRangeTotal();
        int64_t length = h->ContentLength();
        if (length < 0)
            return h->ContentRangeTotal() >= 0 ? h->ContentRangeTotal() : -1;
        int64_t begin = 0;
        if (!ParseHttpDecimal(Trim(OS_RangeBegin()), begin))
            begin = 0;
        return begin + length;
    }
    if (Ftp())
        return FFileSize;
    return 0;
}

TQNCliState TQNComponent::OS_State() const
{
    if (THttpCli* h = Http()) {
        switch (h->State()) {
        case httpReady: return QNCliReady;
        case httpNotConnected: return QNCliNoConnect;
        default: return QNAnyOne;
        }
    }
    if (TQNDNFtpClient* f = Ftp()) {
        // Between the steps of a block download the engine is briefly ready: the
        // connection is not free until the whole block is over.
        if (ftpStep_ != fbIdle)
            return QNAnyOne;
        switch (f->State()) {
        case fcsNotConnected: return QNCliNoConnect;
        case fcsReady:
        case fcsInternalReady: return QNCliReady;
        default: return QNAnyOne;
        }
    }
    return QNAnyOne;
}

int32_t TQNComponent::Os_stateCode() const
{
    if (THttpCli* h = Http())
        return h->StatusCode();
    if (TQNDNFtpClient* f = Ftp())
        return f->ReplyCode();
    return 0;
}

TTcpSocket* TQNComponent::OS_CtrlSocket() const
{
    if (THttpCli* h = Http())
        return h->CtrlSocket();
    if (TQNDNFtpClient* f = Ftp())
        return &f->ControlSocket();
    return nullptr;
}

TTcpSocket* TQNComponent::OS_DataSocket() const
{
    if (THttpCli* h = Http())
        return h->CtrlSocket();
    if (TQNDNFtpClient* f = Ftp())
        return f->DataSocket();
    return nullptr;
}

std::string TQNComponent::OS_LastResponse() const
{
    if (THttpCli* h = Http())
        return h->LastResponse();
    if (TQNDNFtpClient* f = Ftp())
        return f->LastReply();
    return {};
}

std::string TQNComponent::OS_Locate() const
{
    if (THttpCli* h = Http())
        return h->Location();
    return {};
}

void TQNComponent::OS_URL(const std::string& url)
{
    FURL = url;
    if (THttpCli* h = Http())
        h->URL = url;
}

std::string TQNComponent::OS_RangeBegin()
{
    if (THttpCli* h = Http())
        FRangeBegin = h->ContentRangeBegin;
    return FRangeBegin;
}

void TQNComponent::OS_RangeBegin(const std::string& begin)
{
    FRangeBegin = begin;
    if (THttpCli* h = Http()) {
        h->ContentRangeBegin = begin;
        // The client keeps the last answer's Content-Range here: never send it again.
        h->ContentRangeEnd.clear();
    }
}

void TQNComponent::OS_RangeEnd(const std::string& end)
{
    if (THttpCli* h = Http())
        h->ContentRangeEnd = end;
}

bool TQNComponent::OS_NotFound() const
{
    if (THttpCli* h = Http())
        return h->StatusFromServer() && IsNotFoundStatus(h->StatusCode());
    if (Ftp())
        return ftpNotFound_;
    return false;
}

// ---- FTP: the block download ----

void TQNComponent::SetClient(uint8_t kind, TQNDNFtpClient* client)
{
    FClientKind = kind;
    FClient = client;
    ftpClient_ = client;
    if (!client)
        return;
    client->OnSessionConnected = [this](TCustomFtpCli&, int error) {
        if (OSQN_OnSessionConnected)
            OSQN_OnSessionConnected(this, error);
    };
    client->OnRequestDone = [this](TCustomFtpCli&, TFtpRequest rq, uint16_t error) { FtpRequestDone(rq, error); };
    client->OnCommand = [this](TCustomFtpCli&, std::string& cmd) {
        if (OSQN_OnCommand)
            OSQN_OnCommand(this, cmd);
    };
    client->OnDisplayData = [this](TCustomFtpCli&, const char* data, size_t len) {
        FtpDisplayFile(std::string_view(data, len));
    };
    // Client errors end the running request with its completion instead of throwing
    // out of a socket event.
    client->OnError = [this](TCustomFtpCli&, std::string& msg) { OutMessage(this, msg, fDMESSERROR); };
}

void TQNComponent::FtpPrepareTransfer()
{
    TQNDNFtpClient* c = Ftp();
    if (!c)
        return;
    c->SetPassiveMode(FPassive != 0);   // the engine keeps it on for proxy and SOCKS types
    c->DisplayFileFlag = true;
    c->SetDisplayFileMode(1);
}

void TQNComponent::FtpStart()
{
    TQNDNFtpClient* c = Ftp();
    if (ftpStep_ != fbIdle)
        throw FtpException("FTP component not ready");
    ftpNotFound_ = false;
    ftpOffsetRefused_ = false;
    ftpOffset_ = 0;
    ftpUserReply_ = 0;
    ftpListRest_.clear();
    FReadyToRetrieve = 0;
    FRestProbe = 0;
    if (c->UserName.empty())
        c->UserName = FAnonUser;
    if (c->PassWord.empty())
        c->PassWord = FAnonPass;
    // A finished block leaves its session open; every block logs in afresh.
    if (c->Connected())
        c->Abort();
    // Proxies that are told the target by OPEN or SITE need the engine's log-in sequence.
    if (c->ConnectionType() == ftpProxy && c->ProxyLogin != ftpProxyUserAtHost)
        FtpIssue(fbLogin, &TCustomFtpCli::ConnectAsync);
    else
        FtpIssue(fbOpen, &TCustomFtpCli::OpenAsync);
}

void TQNComponent::FtpIssue(TQNFtpBlockStep step, void (TCustomFtpCli::*op)())
{
    TQNDNFtpClient* c = Ftp();
    ftpStep_ = step;
    if (c->State() != fcsReady && c->State() != fcsInternalReady) {
        FtpFailPosted(500, "FTP component not ready");
        return;
    }
    try {
        (c->*op)();
    } catch (const std::exception& e) {
        FtpFailPosted(500, e.what());
    }
}

void TQNComponent::FtpFailPosted(int error, const std::string& why)
{
    // Never inside the caller's own call: the driver may free this connection in the
    // completion.
    std::weak_ptr<bool> alive = alive_;
    Ftp()->Loop().Post([this, alive, error, why] {
        auto a = alive.lock();
        if (a && *a && ftpStep_ != fbIdle)
            FtpFail(error, why);
    });
}

void TQNComponent::FtpFail(int error, const std::string& why)
{
    if (!why.empty())
        OutMessage(this, why, fDMESSERROR);
    FtpComplete(error != 0 ? error : 500, true);
}

void TQNComponent::FtpComplete(int error, bool isError)
{
    ftpStep_ = fbIdle;
    FIdle = 1;
    if (OSQN_OnRequestDone)
        OSQN_OnRequestDone(this, ftpRestGetAsync, error, isError);
}

void TQNComponent::FtpRequestDone(TFtpRequest, int error)
{
    TQNDNFtpClient* c = Ftp();
    if (!c || ftpStep_ == fbIdle)
        return;   // a late completion of an aborted block
    const bool restStep = ftpStep_ == fbRestProbe || ftpStep_ == fbRestReset;
    const bool ok = error == 0 && c->Connected() && c->ReplyCode() < 400 && !ftpOffsetRefused_;
    if (!ok && !restStep) {
        int code = error;
        if (ftpOffsetRefused_) {
            code = c->RestReplyCode() > 0 ? c->RestReplyCode() : 500;
        } else if (code == 0) {
            code = c->ReplyCode() >= 400 ? c->ReplyCode() : 500;
        }
        // Only the server's own 550 to the file's commands means "no such file"; the
        // engine uses 550 for local failures too, without a server reply line.
        const TReplyLine reply = ClassifyReplyLine(c->LastReply());
        if ((ftpStep_ == fbList || ftpStep_ == fbSize || ftpStep_ == fbRetrieve) && !ftpOffsetRefused_ &&
            reply.HasCode && reply.Code == 550 && c->ReplyCode() == 550)
            ftpNotFound_ = true;
        FtpComplete(code, true);
        return;
    }
    OutMessage(this, c->LastReply(), fDMESSYIBAN);
    switch (ftpStep_) {
    case fbOpen: FtpOpenDone(); break;
    case fbUser: FtpUserDone(); break;
    case fbPass:
    case fbLogin: FtpPassDone(); break;
    case fbRestProbe: FtpRestProbeDone(); break;
    case fbRestReset: FtpRestResetDone(); break;
    case fbTypeForList:
    case fbTypeForRetrieve: FtpTypeDone(); break;
    case fbList: FtpListDone(); break;
    case fbSize: FtpSizeDone(); break;
    case fbRetrieve: FtpComplete(error, false); break;
    case fbIdle: break;
    }
}

void TQNComponent::FtpOpenDone() { FtpIssue(fbUser, &TCustomFtpCli::UserAsync); }

void TQNComponent::FtpUserDone()
{
    // 230 to USER: logged in without a password; a PASS now would be refused.
    if (Ftp()->ReplyCode() == 230)
        FtpPassDone();
    else
        FtpIssue(fbPass, &TCustomFtpCli::PassAsync);
}

void TQNComponent::FtpPassDone()
{
    TQNDNFtpClient* c = Ftp();
    FRestProbe = 1;
    FResumeSupported = 0;
    c->Options |= FtpOpt(ftpNoAutoResumeAt);
    c->RestartAt = 300;
    FtpIssue(fbRestProbe, &TCustomFtpCli::RestAsync);
}

void TQNComponent::FtpRestProbeDone()
{
    TQNDNFtpClient* c = Ftp();
    FResumeSupported = c->ReplyCode() == 350 ? 1 : 0;
    FRestProbe = 0;
    c->RestartAt = 0;
    FtpIssue(fbRestReset, &TCustomFtpCli::RestAsync);
}

void TQNComponent::FtpRestResetDone()
{
    TQNDNFtpClient* c = Ftp();
    if (OSQN_OnHeaderData)
        OSQN_OnHeaderData(this);   // the driver reads FResumeSupported now
    c->Options &= ~FtpOpt(ftpNoAutoResumeAt);
    FSizeFromList = 0;
    FSizeTried = 0;
    FFileSize = 0;
    FReadyToRetrieve = 0;
    ftpListRest_.clear();
    c->SetBinary(true);
    if (FKnownFileSize > 0) {
        FFileSize = FKnownFileSize;
        FSizeTried = 1;
        FtpBeginRetrieve();
        return;
    }
    FtpIssue(fbTypeForList, &TCustomFtpCli::TypeSetAsync);
}

void TQNComponent::FtpTypeDone()
{
    TQNDNFtpClient* c = Ftp();
    FtpPrepareTransfer();
    if (!FReadyToRetrieve) {
        FtpIssue(fbList, &TCustomFtpCli::DirAsync);
        return;
    }
    c->Options |= FtpOpt(ftpNoAutoResumeAt);
    c->RestartAt = ftpOffset_;
    FtpIssue(fbRetrieve, &TCustomFtpCli::RestGetAsync);
}

void TQNComponent::FtpListDone()
{
    if (!ftpListRest_.empty()) {
        FtpListLine(ftpListRest_);
        ftpListRest_.clear();
    }
    if (FFileSize == 0 && !FSizeTried) {
        FSizeTried = 1;
        FtpIssue(fbSize, &TCustomFtpCli::SizeAsync);
        return;
    }
    FtpBeginRetrieve();
}

void TQNComponent::FtpSizeDone()
{
    // The engine reads the reply as digits only into 64 bits; anything else is -1. A
    // size that cannot be read is a failure, never a file of 0 bytes.
    const int64_t size = Ftp()->SizeValue();
    if (size < 0) {
        FtpFail(500, "Bad SIZE reply: " + Ftp()->LastReply());
        return;
    }
    FFileSize = size;
    FSizeTried = 1;
    FtpBeginRetrieve();
}

void TQNComponent::FtpBeginRetrieve()
{
    TQNDNFtpClient* c = Ftp();
    const std::string begin = Trim(FRangeBegin);
    int64_t offset = 0;
    if (!begin.empty() && begin != "0" && !ParseHttpDecimal(begin, offset)) {
        FtpFail(500, "Bad range start: " + begin);
        return;
    }
    c->SetLocalFileName(FLocalFileName);
    DocBegin();
    c->DisplayFileFlag = true;
    c->SetDisplayFileMode(1);
    ftpOffset_ = offset;
    FReadyToRetrieve = 1;
    FtpIssue(fbTypeForRetrieve, &TCustomFtpCli::TypeSetAsync);
}

void TQNComponent::FtpDisplayFile(std::string_view text)
{
    TQNDNFtpClient* c = Ftp();
    if (ftpStep_ == fbList) {
        // Pieces are large; the size comes from whole lines.
        ftpListRest_ += text;
        size_t start = 0;
        for (;;) {
            const size_t end = ftpListRest_.find_first_of("\r\n", start);
            if (end == std::string::npos)
                break;
            if (end > start)
                FtpListLine(ftpListRest_.substr(start, end - start));
            start = end + 1;
        }
        ftpListRest_.erase(0, start);
        if (ftpListRest_.size() > 64 * 1024)
            ftpListRest_.clear();   // no line end in 64 KiB: not a listing
        return;
    }
    if (ftpStep_ != fbRetrieve)
        return;
    if (ftpOffset_ > 0 && c->RestReplyCode() != 350) {
        // The server did not take the offset, so these bytes start elsewhere in the
        // file: none of them may reach the block.
        if (!ftpOffsetRefused_) {
            ftpOffsetRefused_ = true;
            DisplayMess("REST " + std::to_string(ftpOffset_) + " refused: " + std::to_string(c->RestReplyCode()),
                        fDMESSERROR);
            c->Abort();
        }
        return;
    }
    FGotData = 1;
    FIdle = 0;
    DocData(text.data(), int32_t(text.size()));
}

void TQNComponent::FtpListLine(std::string line)
{
    if (FSizeFromList)
        return;
    line = Trim(line);
    if (line.empty())
        return;
    DisplayMess(line, fDMESSTISHI);
    // A link's line gives the size of the link, not of the file it names: SIZE follows
    // the link.
    if (line[0] == 'l' && line.find(" -> ") != std::string::npos)
        return;
    std::string name;
    int64_t size = 0;
    if (!ParseNameAndSize(line, name, size))
        return;   // a "total" line or a form we cannot read; SIZE follows if nothing matches
    // The line must name this very file (some servers repeat the whole path), not
    // merely a text that occurs in its path.
    const std::string path = UpperCase(Ftp()->HostFileName);
    const size_t slash = path.find_last_of('/');
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string got = UpperCase(name);
    if (got == base || got == path) {
        FSizeFromList = 1;
        FFileSize = size;
    }
}

} // namespace tq
