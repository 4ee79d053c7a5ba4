#include "download/TQNComponent.h"

#include "download/HttpHeaders.h"
#include "download/HttpProtqn.h"
#include "foundation/TextUtils.h"
#include "platform/EventLoop.h"

namespace tq {

TQNComponent::TQNComponent() = default;
TQNComponent::~TQNComponent() = default;

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
            HttpDocBegin();
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
        HttpDocData(data, len);
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
    SetTicks(GetTickCount32(), 0);
}

void TQNComponent::AbortRequest()
{
    try {
        if (THttpCli* h = Http())
            h->Abort();
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

void TQNComponent::HttpDocBegin()
{
    if (OSQN_OnDocBegin)
        OSQN_OnDocBegin(this);
    SetTicks(0, GetTickCount32());
}

void TQNComponent::HttpDocData(const char* buf, int32_t len)
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
        int64_t length = h->ContentLength();
        if (length < 0)
            return h->ContentRangeTotal() >= 0 ? h->ContentRangeTotal() : -1;
        int64_t begin = 0;
        if (!ParseHttpDecimal(Trim(OS_RangeBegin()), begin))
            begin = 0;
        return begin + length;
    }
    if (FClientKind == kQNClientFtp)
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
    return QNAnyOne;
}

int32_t TQNComponent::Os_stateCode() const
{
    if (THttpCli* h = Http())
        return h->StatusCode();
    return 0;
}

TTcpSocket* TQNComponent::OS_CtrlSocket() const
{
    if (THttpCli* h = Http())
        return h->CtrlSocket();
    return nullptr;
}

TTcpSocket* TQNComponent::OS_DataSocket() const
{
    if (THttpCli* h = Http())
        return h->CtrlSocket();
    return nullptr;
}

std::string TQNComponent::OS_LastResponse() const
{
    if (THttpCli* h = Http())
        return h->LastResponse();
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
    if (THttpCli* h = Http())
        h->ContentRangeBegin = begin;
}

bool TQNComponent::OS_NotFound() const
{
    if (THttpCli* h = Http())
        return h->StatusFromServer() && IsNotFoundStatus(h->StatusCode());
    return false;
}

} // namespace tq
