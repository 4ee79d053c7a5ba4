#pragma once
// The FTP protocol engine: one control connection, at most one data connection.
// Every request is started asynchronously and ends with exactly one request-done,
// posted to the client's event loop so it never runs inside the socket event that
// ended the request. TFtpClient adds a time limit and synchronous calls that pump
// the loop until the client is ready again.

#include "platform/EventLoop.h"
#include "platform/TcpSocket.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace tq {

enum TFtpRequest : uint8_t {
    ftpNone, ftpOpenAsync, ftpUserAsync, ftpPassAsync, ftpCwdAsync, ftpConnectAsync,
    ftpReceiveAsync, ftpDirAsync, ftpLsAsync, ftpPortAsync, ftpGetAsync, ftpDirectoryAsync,
    ftpListAsync, ftpSystemAsync, ftpSystAsync, ftpQuitAsync, ftpAbortXferAsync, ftpSizeAsync,
    ftpPutAsync, ftpAppendAsync, ftpFileSizeAsync, ftpRqAbort, ftpMkdAsync, ftpRmdAsync,
    ftpRenameAsync, ftpDeleAsync, ftpRenAsync, ftpRenToAsync, ftpRenFromAsync, ftpDeleteAsync,
    ftpMkdirAsync, ftpRmdirAsync, ftpPwdAsync, ftpQuoteAsync, ftpCDupAsync, ftpDoQuoteAsync,
    ftpTransmitAsync, ftpTypeSetAsync, ftpRestAsync, ftpRestGetAsync, ftpRestartGetAsync,
    ftpRestPutAsync, ftpRestartPutAsync
};

enum TFtpOption : uint8_t { ftpAcceptLF, ftpNoAutoResumeAt };
// A set of TFtpOption: bit (1 << option).
using TFtpOptions = uint32_t;
constexpr TFtpOptions FtpOpt(TFtpOption o) { return TFtpOptions(1) << o; }

enum TFtpShareMode : uint8_t {
    ftpShareCompat, ftpShareExclusive, ftpShareDenyWrite, ftpShareDenyRead, ftpShareDenyNone
};
enum TFtpConnectionType : uint8_t { ftpDirect, ftpProxy, ftpSocks4, ftpSocks4A, ftpSocks5 };

// How the login names the target when ConnectionType is ftpProxy (the proxy kinds
// 3 to 6 of a proxy entry).
enum TFtpProxyLogin : uint8_t {
    ftpProxyUserAtHost = 3,      // USER user@host[:port], PASS password
    ftpProxyOpenHost = 4,        // [proxy login], OPEN host[:port], USER, PASS
    ftpProxySiteHost = 5,        // [proxy login], SITE host[:port], USER, PASS
    ftpProxySiteUserAtHost = 6,  // [proxy login], SITE user@host[:port], PASS
};

enum TFtpClientState : uint8_t {
    fcsNotConnected = 0, fcsReady = 1, fcsInternalReady = 2, fcsDnsLookup = 3, fcsConnected = 4,
    fcsAbort = 5, fcsInternalAbort = 6, fcsWaitingBanner = 7, fcsWaitingReply = 8
};

// One step of a multi-step request; the value is its bit in the step set. The proxy
// steps run before USER when the proxy login needs them.
enum TFtpStep : uint8_t {
    ftpStepNone = 0, ftpStepOpen, ftpStepUser, ftpStepPass, ftpStepCwd, ftpStepSize, ftpStepMkd,
    ftpStepRmd, ftpStepRenFrom, ftpStepRenTo, ftpStepGet, ftpStepDir, ftpStepQuit, ftpStepSyst,
    ftpStepDele, ftpStepPwd, ftpStepQuote, ftpStepPut, ftpStepTypeSet, ftpStepRest, ftpStepCDup,
    ftpStepLs, ftpStepAppend, ftpStepPort, ftpStepAbortXfer,
    ftpStepProxyUser, ftpStepProxyPass, ftpStepProxyOpen
};
using TFtpStepSet = uint32_t;
constexpr TFtpStepSet StepBit(TFtpStep s) { return TFtpStepSet(1) << s; }

class FtpException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Local error codes that are not server replies.
constexpr int kFtpLocalFileError = 550;   // a local file could not be opened, read or written
constexpr int kFtpAbortedByApp = 426;     // OnProgress asked to stop
constexpr int kFtpBadArgument = 501;      // an argument would break the command line

class TCustomFtpCli {
public:
    explicit TCustomFtpCli(TEventLoop& loop);
    virtual ~TCustomFtpCli();
    TCustomFtpCli(const TCustomFtpCli&) = delete;
    TCustomFtpCli& operator=(const TCustomFtpCli&) = delete;

    // Published properties.
    std::string HostName;
    std::string Port = "ftp";
    std::string LocalAddr = "0.0.0.0";
    std::string UserName;
    std::string PassWord;
    std::string HostDirName;
    std::string HostFileName;
    bool DisplayFileFlag = false;
    TFtpShareMode ShareMode = ftpShareExclusive;  // kept; Linux has no sharing modes
    TFtpOptions Options = FtpOpt(ftpAcceptLF);
    std::string ProxyServer;
    std::string ProxyPort = "ftp";
    TFtpProxyLogin ProxyLogin = ftpProxyUserAtHost;
    std::string ProxyUserName, ProxyPassWord;     // proxy's own login (kinds 4 to 6); empty: none
    std::string SocksServer, SocksPort, SocksUserCode, SocksPassword;
    int64_t RestartAt = 0;
    bool ProxyInUse = false;                      // read by the session driver's log text

    const std::string& LocalFileName() const { return FLocalFileName; }
    void SetLocalFileName(const std::string& name);
    // A caller-owned file descriptor used as the local file of transfers; never closed here.
    void SetLocalStream(int fd);
    bool Binary() const { return FTypeLetter == 'I'; }
    void SetBinary(bool on) { FTypeLetter = on ? 'I' : 'A'; }
    TFtpConnectionType ConnectionType() const { return FConnectionType; }
    void SetConnectionType(TFtpConnectionType type);
    bool PassiveMode() const { return FPassiveMode; }
    void SetPassiveMode(bool on);
    uint8_t DisplayFileMode() const { return FDisplayFileMode; }
    void SetDisplayFileMode(uint8_t mode) { FDisplayFileMode = mode > 1 ? 0 : mode; }

    // Read-only state.
    const std::string& ErrorMessage() const { return FErrorMessage; }
    const std::string& LastReply() const { return FLastReply; }
    int ReplyCode() const { return FReplyCode; }
    int RequestResult() const { return FRequestResult; }
    TFtpClientState State() const { return FState; }
    TFtpRequest RequestType() const { return FRequestType; }
    int64_t BytesMoved() const { return FBytesMoved; }
    int64_t SizeValue() const { return FSizeValue; }
    const std::string& DirValue() const { return FDirValue; }
    const std::string& DnsResult() const { return FDnsResult; }
    const std::string& PasvReply() const { return FPasvReply; }
    // The address and port the last 227 reply named (for site-to-site transfers only;
    // our own data connections go to the control connection's peer).
    const std::string& PasvReplyAddr() const { return FPasvReplyAddr; }
    int PasvReplyPort() const { return FPasvReplyPort; }
    bool Connected() const { return FConnected; }
    TTcpSocket& ControlSocket() { return *FControlSocket; }
    TEventLoop& Loop() const { return FLoop; }

    // Events.
    std::function<void(TCustomFtpCli&, std::string& msg)> OnDisplay, OnDisplayFile, OnError;
    // Whole received pieces of a display transfer in mode 1, without copies; when set it
    // takes the place of OnDisplayFile for them (bulk downloads into a block).
    std::function<void(TCustomFtpCli&, const char* data, size_t len)> OnDisplayData;
    std::function<void(TCustomFtpCli&, std::string& cmd)> OnCommand;
    std::function<void(TCustomFtpCli&)> OnResponse, OnStateChange;
    std::function<void(TCustomFtpCli&, int error)> OnSessionConnected, OnSessionClosed;
    std::function<void(TCustomFtpCli&, TFtpRequest rq, uint16_t error)> OnRequestDone;
    std::function<void(TCustomFtpCli&, int64_t count, bool& abort)> OnProgress;
    std::function<void(TCustomFtpCli&, bool& cancel)> OnReadyToTransmit;
    std::function<void(TCustomFtpCli&, const std::exception& e, bool& canClose)> OnBgException;

    // Operations.
    virtual void SendCommandLine(const std::string& cmd);
    virtual void Display(const std::string& msg);
    virtual void AskReadyToTransmit(bool& cancel);
    virtual void DisplayFile(const std::string& msg);
    virtual void ReportError(const std::string& msg);
    virtual bool ReportProgress();
    virtual void ReportTransferStats();
    virtual void ReportBgException(const std::exception& e);
    virtual void PortAsync();
    virtual void OpenAsync();
    virtual void UserAsync();
    virtual void PassAsync();
    virtual void ConnectAsync();
    virtual void QuitAsync();
    virtual void Abort();
    virtual void GetAsync();
    virtual void GetStep();
    virtual void ReceiveAsync();
    virtual void PutAsync();
    virtual void PutStep();
    virtual void TransmitAsync();
    virtual void AppendAsync();
    virtual void AppendStep();
    virtual void AppendFileAsync();
    virtual void DirStep();
    virtual void DirAsync();
    virtual void LsStep();
    virtual void LsAsync();
    virtual void TypeSetAsync();
    virtual void TypeBinaryAsync();
    virtual void TypeAsciiAsync();
    virtual void PwdAsync();
    virtual void CwdAsync();
    virtual void CDupAsync();
    virtual void DirectoryAsync();
    virtual void ListAsync();
    virtual void SystAsync();
    virtual void SystemAsync();
    virtual void SizeAsync();
    virtual void FileSizeAsync();
    virtual void MkdAsync();
    virtual void MkdirAsync();
    virtual void RmdAsync();
    virtual void RmdirAsync();
    virtual void DeleAsync();
    virtual void DeleteAsync();
    virtual void RenFromAsync();
    virtual void RenToAsync();
    virtual void RenAsync();
    virtual void RenameAsync();
    virtual void QuoteAsync();
    virtual void DoQuoteAsync();
    virtual void AbortXferAsync();
    virtual void RestAsync();
    virtual void RestGetAsync();
    virtual void RestartGetAsync();
    virtual void RestPutAsync();
    virtual void RestartPutAsync();

protected:
    // Which routine reads the next final reply.
    enum TReplyHandler : uint8_t {
        rhNone, rhEvaluate, rhDataFirst, rhDataSecond, rhStorReply, rhStorFinal
    };
    enum TDoneHandler : uint8_t { dhNone, dhQuit };

    void SetState(TFtpClientState s);
    void RaiseClientError(const std::string& msg);
    // A request that cannot start: reports the error and, unless the caller is told
    // by an exception, ends the request at once with code.
    void FailStart(const std::string& msg, int code);
    bool EnsureReady();
    void SendCmdAsync(TFtpRequest rq, TFtpStep step, const std::string& cmd, std::initializer_list<int> ok,
                      TDoneHandler done = dhNone);
    void FinishRequest(int code);
    void PostRequestDone(int code);
    void StartStepSequence(TFtpRequest rq, TFtpStepSet steps);
    void RunNextStep();
    void ExtractResult();
    void SetErrorOnce(const std::string& msg);
    void SetReplyError(const std::string& reply, int code);

    // Control connection.
    void ControlLookupDone(int error);
    void ControlConnected(int error);
    void ControlDataAvailable();
    void ControlClosed(int error);
    void HandleReplyLine(const std::string& line);
    void EvaluateReply();

    // Data connection.
    std::unique_ptr<TTcpSocket> NewDataSocket();
    void DropDataSocket(bool reset);
    void DropListenSocket();
    void Retire(std::unique_ptr<TTcpSocket> s);
    bool ConnectPassiveData(std::function<void(int)> onConnected);
    void StartDownload(TFtpRequest rq, const char* dataCommand);
    void StartUpload(bool append);
    void DataFirstReply();
    void DataSecondReply();
    void RefuseTransfer(int code);
    void InstallUploadSentHandler();
    void FailTransfer(int code, const std::string& logLine);
    void DownloadAccepted();
    void DownloadDataAvailable();
    void DownloadDataClosed(int error);
    void DownloadCompletionTest();
    void InstallDownloadHandlers();
    void SendStorCommand();
    void StorReply();
    void StorFinalReply();
    void UploadSend();
    void UploadDataClosed(int error);
    void UploadCompletionTest();
    void AcceptData();
    void AttachAcceptedData();
    void DeliverDisplayData(const char* data, size_t len);
    void LocalTransferError(const std::string& note, const std::string& error);
    bool OpenLocalForDownload();
    bool CheckLocalWritable();
    void DropLocalStream();
    bool HasLocalStream() const { return FLocalFd >= 0; }
    std::string DataTargetHost() const;
    bool ArgumentsSafe(std::initializer_list<const std::string*> args);
    // Runs a socket or posted handler, turning an escaping exception into OnBgException.
    void Guard(const std::function<void()>& fn);

    TEventLoop& FLoop;
    std::shared_ptr<bool> FAlive;
    std::unique_ptr<TTcpSocket> FControlSocket;
    std::unique_ptr<TTcpSocket> FDataSocket;
    std::unique_ptr<TTcpSocket> FListenSocket;
    std::vector<std::unique_ptr<TTcpSocket>> FRetired;

    std::string FLocalFileName;
    char FTypeLetter = 'I';
    TFtpConnectionType FConnectionType = ftpDirect;
    bool FPassiveMode = false;
    uint8_t FDisplayFileMode = 0;
    bool FAppend = false;
    uint32_t FStartTick = 0, FStopTick = 0;
    TFtpClientState FState = fcsReady;
    int FReplyCode = 0;
    int FRequestResult = 0;
    TFtpStepSet FStepSet = 0;
    TFtpStep FCurrentStep = ftpStepNone;
    TFtpStep FPrevStep = ftpStepNone;
    int FSequenceResult = 0;
    bool FSequence = false;
    bool FRequestDone = false;
    TFtpRequest FRequestType = ftpNone;
    int FLocalFd = -1;
    bool FExternalStream = false;
    std::string FRecvBuffer;
    int FMultiLineCode = 0;   // code of an open "ddd-" reply, 0 when none
    std::string FLastReply;
    std::string FSavedReply;
    int FSavedCode = -1;
    std::string FPasvReply, FPasvReplyAddr;
    int FPasvReplyPort = 0;
    int FDataCloseError = 0;
    std::string FDataCommand;
    bool FConnected = false;
    bool FQuitting = false;          // QUIT was accepted; the close ends the request
    bool FAborted = false;           // Abort was called in this session
    int64_t FBytesMoved = 0;
    int64_t FSizeValue = 0;
    std::string FDirValue;
    std::string FErrorMessage;
    std::string FDnsResult;
    TReplyHandler FNext = rhNone;
    TDoneHandler FDone = dhNone;
    std::vector<int> FOkCodes;
    bool FContinuation = false;
    int FRestReplyCode = 0;
    int FLoginReplyCode = 0;  // reply to the step that named the user (USER or the proxy's SITE)
    // Transfer flags.
    bool FFinalReply = false, FDataClosed = false, FEof = false, FStorAccepted = false, FDataUp = false;
    uint8_t FDataDirection = 0;      // of the transfer using the data connection: 1 in, 2 out
    bool FTransferAccepted = false;  // the server accepted RETR/LIST/NLST; data may be taken
    int FLocalError = 0;             // a client-side failure during the transfer (code)
    std::vector<char> FIoBuffer;
    std::string FLinePending;        // line-mode display: text after the last line end
};

class TFtpClient : public TCustomFtpCli {
public:
    explicit TFtpClient(TEventLoop& loop) : TCustomFtpCli(loop) {}

    int Timeout = 15;              // seconds; 0 waits without a limit
    bool MultiThreaded = false;    // kept for callers; every client pumps its own loop
    // Set by the owner of a worker thread: a wait ends (and aborts) when it turns true.
    const std::atomic<bool>* StopFlag = nullptr;

    virtual bool RunAndWait(const std::function<void()>& proc);
    virtual bool WaitReady();
    bool ReportProgress() override;

    bool Connect() { return RunAndWait([this] { ConnectAsync(); }); }
    bool Cwd() { return RunAndWait([this] { CwdAsync(); }); }
    bool Pwd() { return RunAndWait([this] { PwdAsync(); }); }
    bool AbortSync() { return RunAndWait([this] { Abort(); }); }
    bool Dir() { return RunAndWait([this] { DirAsync(); }); }
    bool Mkd() { return RunAndWait([this] { MkdAsync(); }); }
    bool Size() { return RunAndWait([this] { SizeAsync(); }); }
    bool Quote() { return RunAndWait([this] { QuoteAsync(); }); }

protected:
    uint32_t FDeadline = 0;
};

} // namespace tq
