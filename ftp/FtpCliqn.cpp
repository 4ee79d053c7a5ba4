#include "ftp/FtpCliqn.h"

#include "ftp/FtpReply.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <typeinfo>
#include <unistd.h>

namespace tq {

namespace {

constexpr size_t kReplyBufferLimit = 4095;   // a reply line longer than this is refused
constexpr size_t kIoPiece = 512 * 1024;       // one read or write of the data connection
constexpr int kPiecesPerEvent = 64;           // then other events get their turn
constexpr size_t kSendQueueHigh = 1024 * 1024;

std::string WinsockText(int error) {
    return SocketErrorText(error) + " (Winsock error #" + std::to_string(error) + ")";
}

std::string ErrnoText(int e) { return std::strerror(e); }

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += w;
        n -= size_t(w);
    }
    return true;
}

TSocksLevel SocksLevelOf(TFtpConnectionType t) {
    switch (t) {
    case ftpSocks4: return TSocksLevel::Socks4;
    case ftpSocks4A: return TSocksLevel::Socks4A;
    case ftpSocks5: return TSocksLevel::Socks5;
    default: return TSocksLevel::None;
    }
}

// The order in which a multi-step request runs its steps.
constexpr TFtpStep kStepOrder[] = {
    ftpStepOpen, ftpStepProxyUser, ftpStepProxyPass, ftpStepProxyOpen, ftpStepUser, ftpStepPass,
    ftpStepCwd, ftpStepCDup, ftpStepTypeSet, ftpStepPort, ftpStepRest, ftpStepGet, ftpStepPut,
    ftpStepAppend, ftpStepDir, ftpStepLs, ftpStepSyst, ftpStepMkd, ftpStepRmd, ftpStepRenFrom,
    ftpStepRenTo, ftpStepSize, ftpStepDele, ftpStepPwd, ftpStepAbortXfer, ftpStepQuote, ftpStepQuit,
};

constexpr TFtpStepSet kLogin = StepBit(ftpStepOpen) | StepBit(ftpStepUser) | StepBit(ftpStepPass);
constexpr TFtpStepSet kSession = kLogin | StepBit(ftpStepCwd);

} // namespace

TCustomFtpCli::TCustomFtpCli(TEventLoop& loop) : FLoop(loop), FAlive(std::make_shared<bool>(true)) {
    FControlSocket = std::make_unique<TTcpSocket>(FLoop);
}

TCustomFtpCli::~TCustomFtpCli() {
    *FAlive = false;
    FDataSocket.reset();
    FListenSocket.reset();
    FControlSocket.reset();
    FRetired.clear();
    DropLocalStream();
}

// ---- properties ----

void TCustomFtpCli::SetLocalFileName(const std::string& name) {
    if (FExternalStream) FLocalFd = -1;
    FExternalStream = false;
    FLocalFileName = name;
}

void TCustomFtpCli::SetLocalStream(int fd) {
    DropLocalStream();
    FLocalFd = fd;
    FExternalStream = fd >= 0;
}

void TCustomFtpCli::SetConnectionType(TFtpConnectionType type) {
    if (FConnected) {
        RaiseClientError("FTP component connected");
        return;
    }
    FConnectionType = type <= ftpSocks5 ? type : ftpDirect;
    if (FConnectionType != ftpDirect) FPassiveMode = true;
}

void TCustomFtpCli::SetPassiveMode(bool on) { FPassiveMode = FConnectionType != ftpDirect ? true : on; }

// ---- events and reports ----

void TCustomFtpCli::SetState(TFtpClientState s) {
    if (s == FState) return;
    FState = s;
    if (OnStateChange) OnStateChange(*this);
}

void TCustomFtpCli::SendCommandLine(const std::string& cmd) {
    std::string c = cmd;
    if (OnCommand) OnCommand(*this, c);
    Display("> " + c);
    if (FControlSocket && FControlSocket->State() == TSocketState::Connected) FControlSocket->Send(c + "\r\n");
}

void TCustomFtpCli::Display(const std::string& msg) {
    if (OnDisplay) {
        std::string m = msg;
        OnDisplay(*this, m);
    }
}

void TCustomFtpCli::AskReadyToTransmit(bool& cancel) {
    if (OnReadyToTransmit) OnReadyToTransmit(*this, cancel);
}

void TCustomFtpCli::DisplayFile(const std::string& msg) {
    if (OnDisplayFile) {
        std::string m = msg;
        OnDisplayFile(*this, m);
    }
}

void TCustomFtpCli::ReportError(const std::string& msg) {
    if (OnError) {
        std::string m = msg;
        OnError(*this, m);
    }
}

void TCustomFtpCli::RaiseClientError(const std::string& msg) {
    if (OnError)
        ReportError(msg);
    else
        throw FtpException(msg);
}

void TCustomFtpCli::FailStart(const std::string& msg, int code) {
    // Inside a multi-step request, or when errors go to OnError, the request ends now
    // with its request-done; otherwise the caller learns it from the exception.
    if (FErrorMessage.empty()) FErrorMessage = msg;
    FReplyCode = code;
    FRequestResult = code;
    if (!FSequence && !OnError) throw FtpException(msg);
    Display("! " + msg);
    if (OnError) ReportError(msg);
    FContinuation = false;
    FRequestDone = false;
    FinishRequest(code);
}

bool TCustomFtpCli::EnsureReady() {
    if (FState == fcsReady || FState == fcsInternalReady) return true;
    RaiseClientError("FTP component not ready");
    return false;
}

void TCustomFtpCli::ReportBgException(const std::exception& e) {
    bool canClose = true;
    if (OnBgException) OnBgException(*this, e, canClose);
}

void TCustomFtpCli::Guard(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        ReportBgException(e);
    }
}

bool TCustomFtpCli::ReportProgress() {
    bool abort = false;
    if (OnProgress) OnProgress(*this, FBytesMoved + std::max<int64_t>(RestartAt, 0), abort);
    if (!abort) return true;
    Display("! Abort requested");
    if (!FLocalError) {
        FLocalError = kFtpAbortedByApp;
        SetErrorOnce("426 Transfer aborted by application");
    }
    DropDataSocket(true);
    if (FDataDirection == 2)
        UploadCompletionTest();
    else
        DownloadCompletionTest();
    return false;
}

void TCustomFtpCli::ReportTransferStats() {
    FStopTick = GetTickCount32();
    Display("! " + TransferStatsText(FBytesMoved, FStartTick, FStopTick));
}

void TCustomFtpCli::SetErrorOnce(const std::string& msg) {
    if (FErrorMessage.empty()) FErrorMessage = msg;
}

void TCustomFtpCli::SetReplyError(const std::string& reply, int code) {
    FLastReply = reply;
    FReplyCode = code;
    FRequestResult = code;
    SetErrorOnce(reply);
}

bool TCustomFtpCli::ArgumentsSafe(std::initializer_list<const std::string*> args) {
    for (const std::string* a : args)
        if (HasCommandBreak(*a)) return false;
    return true;
}

// ---- request bookkeeping ----

void TCustomFtpCli::FinishRequest(int code) {
    if (FRequestDone) return;
    FRequestDone = true;
    if (code == 0 && FContinuation) {
        if (FState != fcsAbort) SetState(fcsInternalReady);
        RunNextStep();
        return;
    }
    SetState(fcsReady);
    DropDataSocket(true);
    DropListenSocket();
    if (FSequence && FSavedCode >= 0) {
        FLastReply = FSavedReply;
        FReplyCode = FSavedCode;
    }
    FSequence = false;
    FContinuation = false;
    FNext = rhNone;
    FRequestResult = code;
    PostRequestDone(code);
}

void TCustomFtpCli::PostRequestDone(int code) {
    std::weak_ptr<bool> alive = FAlive;
    const TFtpRequest rq = FRequestType;
    FLoop.Post([this, alive, rq, code] {
        auto a = alive.lock();
        if (!a || !*a) return;
        Guard([&] {
            if (OnRequestDone) OnRequestDone(*this, rq, uint16_t(code));
        });
    });
}

void TCustomFtpCli::SendCmdAsync(TFtpRequest rq, TFtpStep step, const std::string& cmd,
                                 std::initializer_list<int> ok, TDoneHandler done) {
    if (cmd != "ABOR" && cmd != "STAT" && cmd != "QUIT") {
        if (!EnsureReady()) return;
        if (!FConnected) {
            if (!FSequence) FRequestType = rq;
            FailStart("FTP component not connected", 500);
            return;
        }
    }
    if (!FSequence) FRequestType = rq;
    if (HasCommandBreak(cmd)) {
        FailStart("Refused: CR, LF or NUL in an argument of " + cmd.substr(0, cmd.find_first_of(" \r\n")), kFtpBadArgument);
        return;
    }
    FCurrentStep = step;
    FOkCodes.assign(ok.begin(), ok.end());
    if (FOkCodes.size() > 16) FOkCodes.resize(16);
    FRequestDone = false;
    FNext = rhEvaluate;
    FDone = done;
    FErrorMessage.clear();
    SetState(fcsWaitingReply);
    SendCommandLine(cmd);
}

// ---- multi-step requests ----

void TCustomFtpCli::StartStepSequence(TFtpRequest rq, TFtpStepSet steps) {
    if (FConnected && (steps & StepBit(ftpStepOpen))) {
        if (!EnsureReady()) return;
        FRequestType = rq;
        FailStart("FTP component already connected", 500);
        return;
    }
    if (!EnsureReady()) return;
    // Every text that goes into a command line is checked before anything is sent.
    const bool usesLocalName = steps & (StepBit(ftpStepRenTo) | StepBit(ftpStepQuote));
    if (!ArgumentsSafe({&HostFileName, &HostDirName, &UserName, &PassWord, &HostName, &ProxyUserName,
                        &ProxyPassWord}) ||
        (usesLocalName && HasCommandBreak(FLocalFileName))) {
        FRequestType = rq;
        FErrorMessage.clear();
        FailStart("Refused: CR, LF or NUL in a command argument", kFtpBadArgument);
        return;
    }
    if (FConnectionType == ftpProxy && ProxyLogin != ftpProxyUserAtHost && (steps & StepBit(ftpStepUser)))
        steps |= StepBit(ftpStepProxyUser) | StepBit(ftpStepProxyPass) | StepBit(ftpStepProxyOpen);
    FSavedReply = FLastReply;
    FSavedCode = -1;
    FRequestType = rq;
    FRequestResult = 0;
    FStepSet = steps;
    FCurrentStep = ftpStepNone;
    FPrevStep = ftpStepNone;
    FSequenceResult = 0;
    FSequence = true;
    FLastReply.clear();
    FErrorMessage.clear();
    FContinuation = false;
    RunNextStep();
}

void TCustomFtpCli::RunNextStep() {
    FContinuation = true;
    if (FState == fcsAbort) {
        FStepSet = 0;
        FSequenceResult = 426;
        FErrorMessage = "426 Operation aborted.";
    } else if (FRequestResult != 0) {
        FSequenceResult = FRequestResult;
        FStepSet = ((FStepSet & StepBit(ftpStepQuit)) && FCurrentStep != ftpStepQuit) ? StepBit(ftpStepQuit) : 0;
    }
    ExtractResult();
    FPrevStep = FCurrentStep;

    const bool viaProxy = FConnectionType == ftpProxy;
    for (TFtpStep s : kStepOrder) {
        if (!(FStepSet & StepBit(s))) continue;
        FStepSet &= ~StepBit(s);
        // Steps that are dropped when they have nothing to do.
        if (s == ftpStepProxyUser && ProxyUserName.empty()) continue;
        if (s == ftpStepProxyPass && !(FPrevStep == ftpStepProxyUser && FLoginReplyCode == 331)) continue;
        if (s == ftpStepUser && viaProxy && ProxyLogin == ftpProxySiteUserAtHost) continue;
        if (s == ftpStepPass && (FPrevStep == ftpStepUser || FPrevStep == ftpStepProxyOpen) && FLoginReplyCode != 331)
            continue;
        if (s == ftpStepCwd && HostDirName.empty()) continue;
        FCurrentStep = s;
        if ((s == ftpStepGet || s == ftpStepPut || s == ftpStepAppend) && FPrevStep == ftpStepRest &&
            (RestartAt < 0 || FRestReplyCode != 350))
            RestartAt = 0;   // the server did not take the offset: start from the beginning
        else if (s == ftpStepGet && FPrevStep != ftpStepRest)
            RestartAt = 0;
        switch (s) {
        case ftpStepOpen: OpenAsync(); break;
        case ftpStepProxyUser:
            SendCmdAsync(ftpUserAsync, ftpStepProxyUser, "USER " + ProxyUserName, {331, 230});
            break;
        case ftpStepProxyPass:
            SendCmdAsync(ftpPassAsync, ftpStepProxyPass, "PASS " + ProxyPassWord, {230, 202});
            break;
        case ftpStepProxyOpen: {
            std::string target = ProxyLogin == ftpProxySiteUserAtHost ? ProxyTargetText(UserName, HostName, Port)
                                                                       : ProxyTargetText("", HostName, Port).substr(1);
            SendCmdAsync(ftpUserAsync, ftpStepProxyOpen, (ProxyLogin == ftpProxyOpenHost ? "OPEN " : "SITE ") + target, {});
            break;
        }
        case ftpStepUser: UserAsync(); break;
        case ftpStepPass: PassAsync(); break;
        case ftpStepCwd: CwdAsync(); break;
        case ftpStepCDup: CDupAsync(); break;
        case ftpStepTypeSet: TypeSetAsync(); break;
        case ftpStepPort: PortAsync(); break;
        case ftpStepRest: RestAsync(); break;
        case ftpStepGet: GetStep(); break;
        case ftpStepPut: PutStep(); break;
        case ftpStepAppend: AppendStep(); break;
        case ftpStepDir: DirStep(); break;
        case ftpStepLs: LsStep(); break;
        case ftpStepSyst: SystAsync(); break;
        case ftpStepMkd: MkdAsync(); break;
        case ftpStepRmd: RmdAsync(); break;
        case ftpStepRenFrom: RenFromAsync(); break;
        case ftpStepRenTo: RenToAsync(); break;
        case ftpStepSize: SizeAsync(); break;
        case ftpStepDele: DeleAsync(); break;
        case ftpStepPwd: PwdAsync(); break;
        case ftpStepAbortXfer: AbortXferAsync(); break;
        case ftpStepQuote: QuoteAsync(); break;
        case ftpStepQuit:
            FSavedReply = FLastReply;
            FSavedCode = FReplyCode;
            QuitAsync();
            break;
        default: break;
        }
        return;
    }
    FStepSet = 0;
    FContinuation = false;
    FRequestDone = false;
    FinishRequest(FSequenceResult);
}

void TCustomFtpCli::ExtractResult() {
    if (FRequestResult != 0) return;
    switch (FCurrentStep) {
    case ftpStepSize: {
        int64_t v = 0;
        FSizeValue = ParseSizeReply(FLastReply, v) ? v : -1;
        break;
    }
    case ftpStepCwd:
    case ftpStepMkd:
    case ftpStepPwd:
    case ftpStepCDup: FDirValue = ParseQuotedDir(FLastReply); break;
    default: break;
    }
}

// ---- control connection ----

void TCustomFtpCli::OpenAsync() {
    if (!EnsureReady()) return;
    if (!FSequence) FRequestType = ftpOpenAsync;
    if (FConnected) {
        FailStart("FTP component already connected", 500);
        return;
    }
    FRequestDone = false;
    FRecvBuffer.clear();
    FMultiLineCode = 0;
    FRequestResult = 0;
    FDnsResult.clear();
    FQuitting = false;
    FAborted = false;

    // A fresh socket per session: nothing of the last one can raise events into this one.
    if (FControlSocket) Retire(std::move(FControlSocket));
    FControlSocket = std::make_unique<TTcpSocket>(FLoop);
    TTcpSocket& s = *FControlSocket;
    s.OnDnsLookupDone = [this](int e) { Guard([&] { ControlLookupDone(e); }); };
    s.OnSessionConnected = [this](int e) { Guard([&] { ControlConnected(e); }); };
    s.OnDataAvailable = [this](int) { Guard([&] { ControlDataAvailable(); }); };
    s.OnSessionClosed = [this](int e) { Guard([&] { ControlClosed(e); }); };

    const TSocksLevel socks = SocksLevelOf(FConnectionType);
    if (socks != TSocksLevel::None) {
        // The SOCKS server reaches the host; the socket looks the name up itself.
        s.SetSocks(socks, SocksServer, SocksPort, SocksUserCode, SocksPassword);
        SetState(fcsWaitingBanner);
        try {
            s.Connect(HostName, Port, LocalAddr == "0.0.0.0" ? "" : LocalAddr);
        } catch (const std::exception& e) {
            SetReplyError(std::string("500 ") + typeid(e).name() + ": " + e.what(), 500);
            FinishRequest(500);
        }
        return;
    }
    SetState(fcsDnsLookup);
    s.DnsLookup(FConnectionType == ftpProxy ? ProxyServer : HostName);
}

void TCustomFtpCli::ControlLookupDone(int error) {
    if (FState != fcsDnsLookup) return;
    if (error != 0) {
        SetReplyError("500 " + WinsockText(error), 500);
        FinishRequest(error > 0 ? error : 500);
        return;
    }
    FDnsResult = FControlSocket->DnsResult();
    const std::string port = (FConnectionType == ftpProxy && !ProxyPort.empty()) ? ProxyPort : Port;
    SetState(fcsWaitingBanner);
    try {
        FControlSocket->Connect(FDnsResult, port, LocalAddr == "0.0.0.0" ? "" : LocalAddr);
    } catch (const std::exception& e) {
        SetReplyError(std::string("500 ") + typeid(e).name() + ": " + e.what(), 500);
        FinishRequest(500);
    }
}

void TCustomFtpCli::ControlConnected(int error) {
    if (error != 0) {
        SetReplyError("500 " + WinsockText(error), 500);
        FContinuation = false;
        FinishRequest(error > 0 ? error : 500);
        SetState(fcsReady);
        return;
    }
    FConnected = true;
}

void TCustomFtpCli::ControlDataAvailable() {
    char buf[4096];
    for (;;) {
        if (!FControlSocket) return;
        ssize_t n = FControlSocket->Receive(buf, sizeof buf);
        if (n == 0) {
            FControlSocket->Close();
            return;
        }
        if (n < 0) return;
        FRecvBuffer.append(buf, size_t(n));
        TTcpSocket* sock = FControlSocket.get();
        std::string line;
        while (FControlSocket.get() == sock && TakeReplyLine(FRecvBuffer, (Options & FtpOpt(ftpAcceptLF)) != 0, line)) {
            FLastReply = line;
            if (OnResponse) OnResponse(*this);
            HandleReplyLine(line);
            if (FControlSocket.get() != sock || sock->State() != TSocketState::Connected) return;
        }
        if (FRecvBuffer.size() >= kReplyBufferLimit) {
            // No line end in a full buffer: the server is not speaking FTP.
            FRecvBuffer.clear();
            SetReplyError("500 Reply line too long", 500);
            FControlSocket->Abort();
            return;
        }
    }
}

void TCustomFtpCli::HandleReplyLine(const std::string& line) {
    // A multi-line reply ends at the line with its own code and a blank (not "-").
    const TReplyLine r = ClassifyReplyLine(line);
    bool final = false;
    if (FMultiLineCode != 0) {
        if (r.HasCode && r.Code == FMultiLineCode && !r.Continuation && (line.size() == 3 || line[3] == ' ')) {
            FMultiLineCode = 0;
            final = true;
        }
    } else if (r.HasCode) {
        if (r.Continuation)
            FMultiLineCode = r.Code;
        else
            final = true;
    }

    if (FState == fcsWaitingBanner) {
        Display("< " + line);
        if (!final) return;
        FReplyCode = r.Code;
        if (r.Code != 220) {
            SetErrorOnce(line);
            FRequestResult = r.Code;
            FControlSocket->Close();
            return;
        }
        SetState(fcsConnected);
        if (OnSessionConnected) OnSessionConnected(*this, 0);
        FinishRequest(0);
        return;
    }
    if (FState != fcsWaitingReply || !final) {
        Display("< " + line);
        return;
    }
    switch (FNext) {
    case rhEvaluate: EvaluateReply(); break;
    case rhDataFirst: DataFirstReply(); break;
    case rhDataSecond: DataSecondReply(); break;
    case rhStorReply: StorReply(); break;
    case rhStorFinal: StorFinalReply(); break;
    case rhNone:
        Display("< " + line);
        RaiseClientError("Program error: FNext is nil");
        break;
    }
}

void TCustomFtpCli::EvaluateReply() {
    Display("< " + FLastReply);
    const TReplyLine r = ClassifyReplyLine(FLastReply);
    FReplyCode = r.Code;
    bool ok;
    if (FOkCodes.empty())
        ok = r.Code < 500;
    else
        ok = std::find(FOkCodes.begin(), FOkCodes.end(), r.Code) != FOkCodes.end();
    if (ok) {
        FRequestResult = 0;
    } else {
        FRequestResult = r.Code;
        SetErrorOnce(FLastReply);
    }
    if (FPassiveMode && r.Code == 227) FPasvReply = FLastReply;
    if (FCurrentStep == ftpStepRest) FRestReplyCode = r.Code;
    if (FCurrentStep == ftpStepUser || FCurrentStep == ftpStepProxyUser || FCurrentStep == ftpStepProxyOpen)
        FLoginReplyCode = r.Code;
    ExtractResult();
    if (FDone == dhQuit && ok) {
        FQuitting = true;
        FControlSocket->Close();   // the request ends when the connection has closed
        return;
    }
    FinishRequest(FRequestResult);
}

void TCustomFtpCli::ControlClosed(int error) {
    if (FConnected) {
        FConnected = false;
        if (FState != fcsAbort) SetState(fcsNotConnected);
        if (OnSessionClosed) OnSessionClosed(*this, error);
    }
    if (FState != fcsAbort) SetState(fcsInternalReady);
    if (error != 0) {
        SetReplyError("500 Control connection closed. " + WinsockText(error), 500);
    } else if (!FRequestDone && FRequestResult == 0 && !FQuitting &&
               !(FDone == dhQuit && FState != fcsAbort)) {
        // A request cut short by the server (or by Abort) has not succeeded; only
        // QUIT may end with the close alone, even without its 221.
        if (FAborted)
            SetReplyError("426 Operation aborted.", 426);
        else
            SetReplyError("421 Control connection closed.", 421);
    }
    if (!FRequestDone) FContinuation = FContinuation && FRequestResult == 0;
    FinishRequest(FRequestResult);
    if (FState == fcsInternalReady && !FSequence) SetState(fcsReady);
}

void TCustomFtpCli::Abort() {
    const bool running = !FRequestDone;
    SetState(fcsAbort);
    FAborted = true;
    DropLocalStream();
    bool closeEventFollows = false;
    if (FControlSocket) {
        TSocketState cs = FControlSocket->State();
        if (cs == TSocketState::DnsLookup) {
            FControlSocket->CancelDnsLookup();
            FControlSocket->OnSessionConnected = nullptr;
        } else if (cs != TSocketState::Closed) {
            FControlSocket->Abort();
            closeEventFollows = true;
        }
    }
    DropDataSocket(true);
    DropListenSocket();
    DropLocalStream();
    FConnected = false;
    SetState(fcsReady);
    // Without a close event nothing else would end the running request.
    if (running && !closeEventFollows) {
        SetReplyError("426 Operation aborted.", 426);
        FContinuation = false;
        FinishRequest(426);
    }
}

// ---- single commands ----

void TCustomFtpCli::UserAsync() {
    if (UserName.empty()) {
        if (!FSequence) FRequestType = ftpUserAsync;
        FailStart("UserName emtpy", 500);
        return;
    }
    std::string cmd = "USER ";
    if (FConnectionType == ftpProxy && ProxyLogin == ftpProxyUserAtHost)
        cmd += ProxyTargetText(UserName, HostName, Port);
    else
        cmd += UserName;
    SendCmdAsync(ftpUserAsync, ftpStepUser, cmd, {331, 230});
}

void TCustomFtpCli::PassAsync() {
    if (PassWord.empty()) {
        if (!FSequence) FRequestType = ftpPassAsync;
        FailStart("Password emtpy", 500);
        return;
    }
    SendCmdAsync(ftpPassAsync, ftpStepPass, "PASS " + PassWord, {230, 202});
}

void TCustomFtpCli::CwdAsync() {
    if (HostDirName.empty()) {
        if (!FSequence) FRequestType = ftpCwdAsync;
        FailStart("HostDirName emtpy", 500);
        return;
    }
    SendCmdAsync(ftpCwdAsync, ftpStepCwd, "CWD " + HostDirName, {200, 250, 257});
}

void TCustomFtpCli::SystAsync() { SendCmdAsync(ftpSystAsync, ftpStepSyst, "SYST", {215}); }

void TCustomFtpCli::SizeAsync() {
    FSizeValue = 0;
    SendCmdAsync(ftpSizeAsync, ftpStepSize, "SIZE " + HostFileName, {213});
}

void TCustomFtpCli::TypeSetAsync() { SendCmdAsync(ftpTypeSetAsync, ftpStepTypeSet, std::string("TYPE ") + FTypeLetter, {200}); }
void TCustomFtpCli::TypeBinaryAsync() { SetBinary(true); TypeSetAsync(); }
void TCustomFtpCli::TypeAsciiAsync() { SetBinary(false); TypeSetAsync(); }
void TCustomFtpCli::MkdAsync() { SendCmdAsync(ftpMkdAsync, ftpStepMkd, "MKD " + HostFileName, {250, 257}); }
void TCustomFtpCli::RmdAsync() { SendCmdAsync(ftpRmdAsync, ftpStepRmd, "RMD " + HostFileName, {250, 257}); }
void TCustomFtpCli::DeleAsync() { SendCmdAsync(ftpDeleAsync, ftpStepDele, "DELE " + HostFileName, {250, 257}); }
void TCustomFtpCli::AbortXferAsync() { SendCmdAsync(ftpAbortXferAsync, ftpStepAbortXfer, "ABOR", {}); }
void TCustomFtpCli::QuoteAsync() { SendCmdAsync(ftpQuoteAsync, ftpStepQuote, FLocalFileName, {}); }
void TCustomFtpCli::PwdAsync() { SendCmdAsync(ftpPwdAsync, ftpStepPwd, "PWD", {250, 257}); }
void TCustomFtpCli::CDupAsync() { SendCmdAsync(ftpCDupAsync, ftpStepCDup, "CDUP", {200, 250, 257}); }
void TCustomFtpCli::RenFromAsync() { SendCmdAsync(ftpRenFromAsync, ftpStepRenFrom, "RNFR " + HostFileName, {350}); }
void TCustomFtpCli::RenToAsync() { SendCmdAsync(ftpRenToAsync, ftpStepRenTo, "RNTO " + FLocalFileName, {200, 250, 257}); }

void TCustomFtpCli::QuitAsync() {
    DropLocalStream();
    if (!FConnected) {
        // Nothing to leave: the request ends at once.
        if (!FSequence) FRequestType = ftpQuitAsync;
        FRequestDone = false;
        FRequestResult = 0;
        FinishRequest(0);
        return;
    }
    SendCmdAsync(ftpQuitAsync, ftpStepQuit, "QUIT", {221}, dhQuit);
}

void TCustomFtpCli::RestAsync() {
    FCurrentStep = ftpStepRest;
    if (!(FRequestType == ftpRestPutAsync || FRequestType == ftpRestartPutAsync) &&
        !(Options & FtpOpt(ftpNoAutoResumeAt))) {
        struct stat st;
        RestartAt = ::stat(FLocalFileName.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
    }
    if (RestartAt < 0) {
        if (!FSequence) FRequestType = ftpRestAsync;
        FRequestDone = false;
        FNext = rhEvaluate;
        FDone = dhNone;
        FRestReplyCode = 0;
        FRequestResult = 0;
        FinishRequest(0);
        return;
    }
    SendCmdAsync(ftpRestAsync, ftpStepRest, "REST " + std::to_string(RestartAt), {});
}

// ---- multi-step requests ----

void TCustomFtpCli::ConnectAsync() { StartStepSequence(ftpConnectAsync, kLogin); }
void TCustomFtpCli::ReceiveAsync() {
    StartStepSequence(ftpReceiveAsync, kSession | StepBit(ftpStepTypeSet) | StepBit(ftpStepPort) |
                                           StepBit(ftpStepGet) | StepBit(ftpStepQuit));
}
void TCustomFtpCli::PutAsync() { StartStepSequence(ftpPutAsync, StepBit(ftpStepPort) | StepBit(ftpStepPut)); }
void TCustomFtpCli::RestPutAsync() {
    StartStepSequence(ftpRestPutAsync, StepBit(ftpStepPort) | StepBit(ftpStepRest) | StepBit(ftpStepPut));
}
void TCustomFtpCli::RestartPutAsync() {
    StartStepSequence(ftpRestartPutAsync, kSession | StepBit(ftpStepTypeSet) | StepBit(ftpStepPort) |
                                              StepBit(ftpStepRest) | StepBit(ftpStepPut) | StepBit(ftpStepQuit));
}
void TCustomFtpCli::TransmitAsync() {
    StartStepSequence(ftpTransmitAsync, kSession | StepBit(ftpStepTypeSet) | StepBit(ftpStepPort) |
                                            StepBit(ftpStepPut) | StepBit(ftpStepQuit));
}
void TCustomFtpCli::AppendAsync() { StartStepSequence(ftpAppendAsync, StepBit(ftpStepPort) | StepBit(ftpStepAppend)); }
void TCustomFtpCli::AppendFileAsync() {
    StartStepSequence(ftpTransmitAsync, kSession | StepBit(ftpStepTypeSet) | StepBit(ftpStepPort) |
                                            StepBit(ftpStepAppend) | StepBit(ftpStepQuit));
}
void TCustomFtpCli::DirAsync() { StartStepSequence(ftpDirAsync, StepBit(ftpStepPort) | StepBit(ftpStepDir)); }
void TCustomFtpCli::DirectoryAsync() {
    StartStepSequence(ftpDirectoryAsync, kSession | StepBit(ftpStepPort) | StepBit(ftpStepDir) | StepBit(ftpStepQuit));
}
void TCustomFtpCli::LsAsync() { StartStepSequence(ftpLsAsync, StepBit(ftpStepPort) | StepBit(ftpStepLs)); }
void TCustomFtpCli::ListAsync() {
    StartStepSequence(ftpListAsync, kSession | StepBit(ftpStepPort) | StepBit(ftpStepLs) | StepBit(ftpStepQuit));
}
void TCustomFtpCli::SystemAsync() {
    StartStepSequence(ftpSystemAsync, kLogin | StepBit(ftpStepSyst) | StepBit(ftpStepQuit));
}
void TCustomFtpCli::GetAsync() { StartStepSequence(ftpGetAsync, StepBit(ftpStepPort) | StepBit(ftpStepGet)); }
void TCustomFtpCli::RestGetAsync() {
    StartStepSequence(ftpRestGetAsync, StepBit(ftpStepPort) | StepBit(ftpStepRest) | StepBit(ftpStepGet));
}
void TCustomFtpCli::RestartGetAsync() {
    StartStepSequence(ftpRestartGetAsync, kSession | StepBit(ftpStepTypeSet) | StepBit(ftpStepPort) |
                                              StepBit(ftpStepRest) | StepBit(ftpStepGet) | StepBit(ftpStepQuit));
}
void TCustomFtpCli::MkdirAsync() { StartStepSequence(ftpMkdirAsync, kSession | StepBit(ftpStepMkd) | StepBit(ftpStepQuit)); }
void TCustomFtpCli::RmdirAsync() { StartStepSequence(ftpRmdirAsync, kSession | StepBit(ftpStepRmd) | StepBit(ftpStepQuit)); }
void TCustomFtpCli::DeleteAsync() { StartStepSequence(ftpDeleteAsync, kSession | StepBit(ftpStepDele) | StepBit(ftpStepQuit)); }
void TCustomFtpCli::DoQuoteAsync() {
    StartStepSequence(ftpDoQuoteAsync, kSession | StepBit(ftpStepQuote) | StepBit(ftpStepQuit));
}
void TCustomFtpCli::RenameAsync() {
    StartStepSequence(ftpRenameAsync,
                      kSession | StepBit(ftpStepRenFrom) | StepBit(ftpStepRenTo) | StepBit(ftpStepQuit));
}
void TCustomFtpCli::RenAsync() { StartStepSequence(ftpRenAsync, StepBit(ftpStepRenFrom) | StepBit(ftpStepRenTo)); }
void TCustomFtpCli::FileSizeAsync() {
    StartStepSequence(ftpSizeAsync, kSession | StepBit(ftpStepSize) | StepBit(ftpStepQuit));
}

// ---- data connection ----

std::unique_ptr<TTcpSocket> TCustomFtpCli::NewDataSocket() {
    auto s = std::make_unique<TTcpSocket>(FLoop);
    const TSocksLevel socks = SocksLevelOf(FConnectionType);
    if (socks != TSocksLevel::None) s->SetSocks(socks, SocksServer, SocksPort, SocksUserCode, SocksPassword);
    return s;
}

void TCustomFtpCli::Retire(std::unique_ptr<TTcpSocket> s) {
    if (!s) return;
    s->OnDnsLookupDone = nullptr;
    s->OnSessionConnected = nullptr;
    s->OnDataAvailable = nullptr;
    s->OnDataSent = nullptr;
    s->OnSessionClosed = nullptr;
    s->OnSessionAvailable = nullptr;
    FRetired.push_back(std::move(s));
    std::weak_ptr<bool> alive = FAlive;
    FLoop.Post([this, alive] {
        auto a = alive.lock();
        if (a && *a) FRetired.clear();
    });
}

void TCustomFtpCli::DropDataSocket(bool reset) {
    if (FDataSocket) {
        std::unique_ptr<TTcpSocket> s = std::move(FDataSocket);
        if (s->State() != TSocketState::Closed) {
            if (reset)
                s->Abort();
            else
                s->Close();
        }
        Retire(std::move(s));
    }
    FDataClosed = true;
}

void TCustomFtpCli::DropListenSocket() {
    if (!FListenSocket) return;
    std::unique_ptr<TTcpSocket> s = std::move(FListenSocket);
    if (s->State() != TSocketState::Closed) s->Abort();
    Retire(std::move(s));
}

void TCustomFtpCli::DropLocalStream() {
    if (FLocalFd >= 0 && !FExternalStream) {
        if (::close(FLocalFd) != 0 && !FLocalError && FState != fcsAbort) {
            // A delayed write error shows up here; the data did not reach the disk.
            FLocalError = kFtpLocalFileError;
            SetErrorOnce("550 Error writing local file: " + ErrnoText(errno));
        }
        FLocalFd = -1;
    }
}

std::string TCustomFtpCli::DataTargetHost() const {
    // Through SOCKS the control peer is the SOCKS server: the data connection goes to
    // the same host the control connection was made to.
    if (SocksLevelOf(FConnectionType) != TSocksLevel::None) return HostName;
    return FControlSocket ? FControlSocket->PeerAddr() : std::string();
}

void TCustomFtpCli::PortAsync() {
    if (!EnsureReady()) return;
    if (!FConnected) {
        if (!FSequence) FRequestType = ftpPortAsync;
        FailStart("FTP component not connected", 500);
        return;
    }
    DropDataSocket(true);
    DropListenSocket();
    FDataDirection = 0;
    std::string cmd;
    if (FPassiveMode) {
        cmd = "PASV";
    } else {
        const std::string local = FControlSocket->LocalAddr();
        FListenSocket = NewDataSocket();
        FListenSocket->SetLinger(true, 10);
        try {
            FListenSocket->Listen(local, "0");
        } catch (const std::exception& e) {
            if (!FSequence) FRequestType = ftpPortAsync;
            FailStart(std::string("500 ") + typeid(e).name() + ": " + e.what(), 500);
            return;
        }
        FListenSocket->OnSessionAvailable = [this](int) { Guard([&] { AcceptData(); }); };
        cmd = FormatPortCommand(local, FListenSocket->LocalPort());
        if (cmd.empty()) {
            if (!FSequence) FRequestType = ftpPortAsync;
            FailStart("500 Active mode needs an IPv4 control connection", 500);
            return;
        }
    }
    FBytesMoved = 0;
    SendCmdAsync(ftpPortAsync, ftpStepPort, cmd, {200, 227});
}

bool TCustomFtpCli::ConnectPassiveData(std::function<void(int)> onConnected) {
    std::string addr;
    int port = 0;
    if (!ParsePasvReply(FPasvReply, addr, port)) {
        SetReplyError("550 No usable PASV reply: " + FPasvReply, 550);
        return false;
    }
    FPasvReplyAddr = addr;
    FPasvReplyPort = port;
    const std::string host = DataTargetHost();
    DropDataSocket(true);
    FDataSocket = NewDataSocket();
    FDataSocket->SetLinger(false, 0);
    FDataSocket->OnSessionConnected = [this, cb = std::move(onConnected)](int e) { Guard([&] { cb(e); }); };
    try {
        FDataSocket->Connect(host, std::to_string(port), LocalAddr == "0.0.0.0" ? "" : LocalAddr);
    } catch (const std::exception& e) {
        SetReplyError(std::string("550 ") + typeid(e).name() + ": " + e.what(), 550);
        return false;
    }
    FDataClosed = false;
    return true;
}

// Accepts the server's connection to our listening socket (active mode). A connection
// from any other address is turned away and the listener keeps waiting. Some servers
// connect as soon as PORT is answered, before the transfer command: the connection
// then waits, paused, for the step that uses it.
void TCustomFtpCli::AcceptData() {
    if (!FListenSocket) return;
    std::unique_ptr<TTcpSocket> s = FListenSocket->Accept();
    if (!s) return;
    if (FConnectionType == ftpDirect && FControlSocket && s->PeerAddr() != FControlSocket->PeerAddr()) {
        Display("! Data connection from " + s->PeerAddr() + " refused");
        s->Abort();
        Retire(std::move(s));
        return;
    }
    DropListenSocket();
    FDataSocket = std::move(s);
    FDataSocket->Pause();
    FDataClosed = false;
    AttachAcceptedData();
}

// Each drained send queue pulls the next piece of the upload; a send error ends it.
void TCustomFtpCli::InstallUploadSentHandler() {
    if (!FDataSocket) return;
    FDataSocket->OnDataSent = [this](int e) {
        Guard([&] {
            if (e != 0) {
                Display("! Error #" + std::to_string(e) + " sending data");
                FDataCloseError = e;
                DropDataSocket(true);
                UploadCompletionTest();
                return;
            }
            UploadSend();
        });
    };
}

void TCustomFtpCli::AttachAcceptedData() {
    if (!FDataSocket || FPassiveMode) return;
    if (FDataDirection == 2) {
        FDataSocket->OnDataAvailable = [this](int) {
            Guard([&] {
                char sink[2048];
                while (FDataSocket && FDataSocket->Receive(sink, sizeof sink) > 0) {
                }
            });
        };
        InstallUploadSentHandler();
        FDataSocket->OnSessionClosed = [this](int e) { Guard([&] { UploadDataClosed(e); }); };
        FDataSocket->SetLinger(false, 10);
        FDataSocket->Resume();
        FDataUp = true;
        if (FStorAccepted && FStartTick == 0) {
            FStartTick = GetTickCount32();
            std::weak_ptr<bool> alive = FAlive;
            FLoop.Post([this, alive] {
                auto a = alive.lock();
                if (a && *a) Guard([&] { UploadSend(); });
            });
        }
    } else if (FDataDirection == 1) {
        InstallDownloadHandlers();
        if (FTransferAccepted) FDataSocket->Resume();
        FStartTick = GetTickCount32();
    }
}

// ---- downloads: RETR, LIST, NLST ----

void TCustomFtpCli::GetStep() { StartDownload(ftpGetAsync, "RETR"); }
void TCustomFtpCli::DirStep() { StartDownload(ftpDirAsync, "LIST"); }
void TCustomFtpCli::LsStep() { StartDownload(ftpLsAsync, "NLST"); }

bool TCustomFtpCli::CheckLocalWritable() {
    // Checked before the command so a plain mistake fails at once; the file itself is
    // only opened (and truncated) once the server has accepted the transfer.
    struct stat st;
    if (::stat(FLocalFileName.c_str(), &st) == 0) return !S_ISDIR(st.st_mode) && ::access(FLocalFileName.c_str(), W_OK) == 0;
    if (RestartAt > 0) return false;
    std::string dir = FLocalFileName;
    size_t slash = dir.rfind('/');
    dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : dir.substr(0, slash));
    return ::access(dir.c_str(), W_OK | X_OK) == 0;
}

bool TCustomFtpCli::OpenLocalForDownload() {
    int fd;
    if (RestartAt > 0) {
        fd = ::open(FLocalFileName.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd >= 0 && ::lseek(fd, RestartAt, SEEK_SET) < 0) {
            ::close(fd);
            fd = -1;
        }
    } else {
        fd = ::open(FLocalFileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    if (fd < 0) return false;
    FLocalFd = fd;
    return true;
}

void TCustomFtpCli::StartDownload(TFtpRequest rq, const char* dataCommand) {
    if (!FSequence) FRequestType = rq;
    if (!FConnected) {
        FailStart(FDataCommand + ": not connected", 500);
        return;
    }
    if (FLocalFileName.empty() && !DisplayFileFlag && !FExternalStream) {
        FailStart("LocalFileName empty", 500);
        return;
    }
    if (!ArgumentsSafe({&HostFileName})) {
        FailStart("Refused: CR, LF or NUL in an argument of " + std::string(dataCommand), kFtpBadArgument);
        return;
    }
    FCurrentStep = rq == ftpGetAsync ? ftpStepGet : rq == ftpDirAsync ? ftpStepDir : ftpStepLs;
    FDataDirection = 1;
    FDataCommand = dataCommand;
    FFinalReply = false;
    FDataClosed = false;
    FRequestDone = false;
    FBytesMoved = 0;
    FDataCloseError = 0;
    FTransferAccepted = false;
    FLocalError = 0;
    FAppend = false;
    FStartTick = FStopTick = GetTickCount32();

    if (!DisplayFileFlag && !FExternalStream) {
        DropLocalStream();
        FLocalError = 0;
        if (!CheckLocalWritable()) {
            SetReplyError("Unable to open local file " + FLocalFileName, kFtpLocalFileError);
            DropDataSocket(true);
            FinishRequest(kFtpLocalFileError);
            return;
        }
    }
    if (FPassiveMode) {
        if (!ConnectPassiveData([this](int e) {
                if (e != 0) {
                    // Keep reading the control connection: the server answers the
                    // command it already has, and that reply ends the request.
                    SetReplyError("Unable to establish data connection, error #" + std::to_string(e),
                                  kFtpLocalFileError);
                    FLocalError = kFtpLocalFileError;
                    DropDataSocket(true);
                    return;
                }
                InstallDownloadHandlers();
                FStartTick = GetTickCount32();
            })) {
            DropDataSocket(true);
            FinishRequest(kFtpLocalFileError);
            return;
        }
    } else if (FListenSocket || FDataSocket) {
        FDataDirection = 1;
        FDataClosed = false;
        AttachAcceptedData();
    } else {
        SetReplyError("Unable to establish data connection, error #0", kFtpLocalFileError);
        FinishRequest(kFtpLocalFileError);
        return;
    }
    SetState(fcsWaitingReply);
    FNext = rhDataFirst;
    SendCommandLine(HostFileName.empty() ? FDataCommand : FDataCommand + " " + HostFileName);
}

void TCustomFtpCli::InstallDownloadHandlers() {
    if (!FDataSocket) return;
    FDataSocket->OnDataAvailable = [this](int) { Guard([&] { DownloadDataAvailable(); }); };
    FDataSocket->OnSessionClosed = [this](int e) { Guard([&] { DownloadDataClosed(e); }); };
    if (!FTransferAccepted) FDataSocket->Pause();   // nothing is written before the server's yes
}

void TCustomFtpCli::DataFirstReply() {
    Display("< " + FLastReply);
    const int code = ClassifyReplyLine(FLastReply).Code;
    FReplyCode = code;
    if (code == 125 || (code >= 150 && code <= 159)) {
        FNext = rhDataSecond;
        DownloadAccepted();
        return;
    }
    RefuseTransfer(code);
}

void TCustomFtpCli::DownloadAccepted() {
    FTransferAccepted = true;
    if (!DisplayFileFlag && !FExternalStream && !FLocalError) {
        if (!OpenLocalForDownload()) {
            SetReplyError("Unable to open local file " + FLocalFileName, kFtpLocalFileError);
            FLocalError = kFtpLocalFileError;
            DropDataSocket(true);
            return;
        }
    }
    if (FDataSocket) FDataSocket->Resume();
}

// The server refused to open the transfer: nothing was moved, the local file is
// left as it was.
void TCustomFtpCli::RefuseTransfer(int code) {
    SetErrorOnce(FLastReply);
    FNext = rhNone;
    DropDataSocket(true);
    DropLocalStream();
    RestartAt = 0;
    FRequestResult = code;
    FinishRequest(code);
}

// The server's final reply says the transfer failed; a local error found on the
// way takes precedence as the result.
void TCustomFtpCli::FailTransfer(int code, const std::string& logLine) {
    SetErrorOnce(FLastReply);
    DropLocalStream();
    DropDataSocket(true);
    Display(logLine);
    FRequestResult = FLocalError ? FLocalError : code;
    FinishRequest(FRequestResult);
}

void TCustomFtpCli::DataSecondReply() {
    Display("< " + FLastReply);
    const int code = ClassifyReplyLine(FLastReply).Code;
    FReplyCode = code;
    if (code == 125 || code == 226 || code == 250) {
        FFinalReply = true;
        DownloadCompletionTest();
        return;
    }
    FailTransfer(code, "! RETR/LIST/NLST Failed");
}

void TCustomFtpCli::DownloadDataAvailable() {
    if (!FDataSocket) return;
    if (!FTransferAccepted) {
        FDataSocket->Pause();
        return;
    }
    if (FIoBuffer.size() < kIoPiece) FIoBuffer.resize(kIoPiece);
    for (int piece = 0; piece < kPiecesPerEvent; ++piece) {
        if (!ReportProgress() || !FDataSocket) return;
        ssize_t n = FDataSocket->Receive(FIoBuffer.data(), FIoBuffer.size());
        if (n > 0) {
            FBytesMoved += n;
            if (HasLocalStream() && !WriteAll(FLocalFd, FIoBuffer.data(), size_t(n))) {
                LocalTransferError("! Error writing local file", ErrnoText(errno));
                return;
            }
            if (DisplayFileFlag) DeliverDisplayData(FIoBuffer.data(), size_t(n));
            continue;
        }
        if (n == 0) return;   // the close event follows
        const int e = FDataSocket->LastError();
        if (e == EAGAIN || e == EWOULDBLOCK) return;
        Display("! Data: Receive error " + std::to_string(e));
        FDataCloseError = e;
        FDataSocket->Shutdown();
        return;
    }
}

void TCustomFtpCli::LocalTransferError(const std::string& note, const std::string& error) {
    Display(note);
    if (!FLocalError) {
        FLocalError = kFtpLocalFileError;
        SetErrorOnce("550 " + note.substr(2) + ": " + error);
    }
    DropDataSocket(true);
    if (FDataDirection == 2)
        UploadCompletionTest();
    else
        DownloadCompletionTest();
}

void TCustomFtpCli::DeliverDisplayData(const char* data, size_t len) {
    if (FDisplayFileMode == 1) {
        if (OnDisplayData)
            OnDisplayData(*this, data, len);
        else
            DisplayFile(std::string(data, len));
        return;
    }
    size_t i = 0;
    while (i < len) {
        size_t j = i;
        while (j < len && data[j] != '\r' && data[j] != '\n') ++j;
        DisplayFile(std::string(data + i, j - i));
        while (j < len && (data[j] == '\r' || data[j] == '\n')) ++j;
        i = j;
    }
}

void TCustomFtpCli::DownloadDataClosed(int error) {
    // The socket reports the close only after its data have been read.
    if (!FDataCloseError) FDataCloseError = error;
    if (FDataSocket) Retire(std::move(FDataSocket));
    FDataClosed = true;
    DownloadCompletionTest();
}

void TCustomFtpCli::DownloadCompletionTest() {
    if (!FFinalReply || !FDataClosed || FRequestDone) return;
    ReportTransferStats();
    RestartAt = 0;
    DropLocalStream();
    const int result = FLocalError ? FLocalError : FDataCloseError;
    FRequestResult = result;
    FinishRequest(result);
}

// ---- uploads: STOR, APPE ----

void TCustomFtpCli::PutStep() { StartUpload(false); }
void TCustomFtpCli::AppendStep() { StartUpload(true); }

void TCustomFtpCli::StartUpload(bool append) {
    FAppend = append;
    FRequestType = append ? ftpAppendAsync : ftpPutAsync;
    if (!FConnected) {
        FailStart("STOR/APPE: not connected", 500);
        return;
    }
    if (FLocalFileName.empty() && !FExternalStream) {
        FailStart("LocalFileName empty", 500);
        return;
    }
    if (!ArgumentsSafe({&HostFileName})) {
        FailStart(std::string("Refused: CR, LF or NUL in an argument of ") + (append ? "APPE" : "STOR"), kFtpBadArgument);
        return;
    }
    FCurrentStep = append ? ftpStepAppend : ftpStepPut;
    FDataDirection = 2;
    FFinalReply = FDataClosed = FRequestDone = FDataUp = FStorAccepted = FEof = false;
    FStartTick = 0;
    FBytesMoved = 0;
    FDataCloseError = 0;
    FLocalError = 0;

    bool cancel = false;
    AskReadyToTransmit(cancel);
    if (cancel) {
        FErrorMessage = "426 Transmit cancelled by application";
        FReplyCode = 426;
        Display("! " + FErrorMessage);
        FinishRequest(426);
        return;
    }
    if (!FExternalStream) {
        DropLocalStream();
        FLocalError = 0;
        FLocalFd = ::open(FLocalFileName.c_str(), O_RDONLY | O_CLOEXEC);
        if (FLocalFd < 0) {
            FErrorMessage = "426 Unable to open local file " + FLocalFileName;
            FReplyCode = 426;
            Display("! " + FErrorMessage);
            DropDataSocket(true);
            FinishRequest(426);
            return;
        }
    }
    if (RestartAt > 0 && ::lseek(FLocalFd, RestartAt, SEEK_SET) < 0) {
        FErrorMessage = "426 Unable to open local file " + FLocalFileName;
        FReplyCode = 426;
        DropLocalStream();
        DropDataSocket(true);
        FinishRequest(426);
        return;
    }
    if (FPassiveMode) {
        // STOR goes out once the data connection is up; the request is busy meanwhile.
        SetState(fcsWaitingReply);
        FNext = rhNone;
        if (!ConnectPassiveData([this](int e) {
                if (e != 0) {
                    SetReplyError("Unable to establish data connection, error #" + std::to_string(e), 550);
                    DropDataSocket(true);
                    DropLocalStream();
                    FinishRequest(550);
                    return;
                }
                FDataUp = true;
                FStartTick = GetTickCount32();
                FDataSocket->OnDataAvailable = [this](int) {
                    Guard([&] {
                        char sink[2048];
                        while (FDataSocket && FDataSocket->Receive(sink, sizeof sink) > 0) {
                        }
                    });
                };
                FDataSocket->OnSessionClosed = [this](int err) { Guard([&] { UploadDataClosed(err); }); };
                SendStorCommand();
            })) {
            FReplyCode = 426;
            FLastReply = "426" + FLastReply.substr(std::min<size_t>(3, FLastReply.size()));
            DropDataSocket(true);
            DropLocalStream();
            FinishRequest(426);
        }
        return;
    }
    if (!FListenSocket && !FDataSocket) {
        SetReplyError("Unable to establish data connection, error #0", 550);
        DropLocalStream();
        FinishRequest(550);
        return;
    }
    FDataDirection = 2;
    AttachAcceptedData();
    SendStorCommand();
}

void TCustomFtpCli::SendStorCommand() {
    SetState(fcsWaitingReply);
    FNext = rhStorReply;
    SendCommandLine((FAppend ? "APPE " : "STOR ") + HostFileName);
}

void TCustomFtpCli::StorReply() {
    Display("< " + FLastReply);
    const int code = ClassifyReplyLine(FLastReply).Code;
    FReplyCode = code;
    if (code == 150 || code == 125) {
        FStorAccepted = true;
        FNext = rhStorFinal;
        if (FPassiveMode) {
            InstallUploadSentHandler();
            UploadSend();
        } else if (FDataUp && FStartTick == 0) {
            FStartTick = GetTickCount32();
            std::weak_ptr<bool> alive = FAlive;
            FLoop.Post([this, alive] {
                auto a = alive.lock();
                if (a && *a) Guard([&] { UploadSend(); });
            });
        }
        return;
    }
    RefuseTransfer(code);
}

void TCustomFtpCli::UploadSend() {
    if (!HasLocalStream() || !FDataSocket || FEof || !FStorAccepted || !FDataUp) return;
    if (!ReportProgress()) return;
    if (FIoBuffer.size() < kIoPiece) FIoBuffer.resize(kIoPiece);
    while (FDataSocket && FDataSocket->SendQueueSize() < kSendQueueHigh) {
        ssize_t n = ::read(FLocalFd, FIoBuffer.data(), FIoBuffer.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            LocalTransferError("! Error reading file", ErrnoText(errno));
            return;
        }
        if (n == 0) {
            FEof = true;
            FDataSocket->Close();   // after what is queued has gone
            return;
        }
        FBytesMoved += n;
        FDataSocket->Send(std::string_view(FIoBuffer.data(), size_t(n)));
    }
}

void TCustomFtpCli::UploadDataClosed(int error) {
    DropLocalStream();
    if (!FEof && error == 0 && !FLocalError && !FDataCloseError) {
        // The server closed before the whole file went: whatever it says, the copy is short.
        FLocalError = 426;
        SetErrorOnce("426 Data connection closed before the whole file was sent");
    }
    if (!FDataCloseError) FDataCloseError = error;
    if (FDataSocket) Retire(std::move(FDataSocket));
    FDataClosed = true;
    UploadCompletionTest();
}

void TCustomFtpCli::StorFinalReply() {
    Display("< " + FLastReply);
    const int code = ClassifyReplyLine(FLastReply).Code;
    FReplyCode = code;
    if (code == 226 || code == 250) {
        FFinalReply = true;
        UploadCompletionTest();
        return;
    }
    FailTransfer(code, "! STOR Failed");
}

void TCustomFtpCli::UploadCompletionTest() {
    if (!FFinalReply || !FDataClosed || FRequestDone) return;
    ReportTransferStats();
    RestartAt = 0;
    DropLocalStream();
    const int result = FLocalError ? FLocalError : FDataCloseError;
    FRequestResult = result;
    FinishRequest(result);
}

// ---- synchronous layer ----

bool TFtpClient::ReportProgress() {
    const bool r = TCustomFtpCli::ReportProgress();
    if (Timeout > 0) FDeadline = GetTickCount32() + uint32_t(Timeout) * 1000;
    return r;
}

bool TFtpClient::RunAndWait(const std::function<void()>& proc) {
    try {
        proc();
    } catch (const std::exception&) {
        return false;
    }
    return WaitReady();
}

bool TFtpClient::WaitReady() {
    FDeadline = GetTickCount32() + uint32_t(std::max(Timeout, 0)) * 1000;
    auto ready = [this] { return FState == fcsReady || FState == fcsInternalReady; };
    auto stopped = [this] { return FLoop.Quitting() || (StopFlag && StopFlag->load()); };
    bool stop = false;
    for (;;) {
        if (ready()) return FRequestResult == 0;
        if (stopped()) {
            stop = true;
            break;
        }
        const uint32_t now = GetTickCount32();
        if (Timeout > 0 && TickReached(now, FDeadline)) break;
        // Short slices: a transfer in progress moves the deadline on.
        uint32_t slice = 100;
        if (Timeout > 0) slice = std::min<uint32_t>(slice, FDeadline - now);
        FLoop.PumpUntil([&] { return ready() || stopped(); }, std::chrono::milliseconds(std::max<uint32_t>(slice, 1)));
    }
    Abort();
    FErrorMessage = stop ? "426 Operation aborted." : "426 Timeout";
    FReplyCode = 426;
    FRequestResult = 426;
    return false;
}

} // namespace tq
