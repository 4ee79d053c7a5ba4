#pragma once
// The common face of one download connection, HTTP or FTP: one set of OSQN_ events the
// job driver handles without caring which protocol runs underneath, uniform accessors
// (OS_...), start and abort, the activity stamps the driver measures time-outs by, and
// the fields in which the driver keeps the connection's share of the job.

#include "ftp/FtpCliqn.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace tq {

class THttpCli;
class TQNDNFtpClient;
class TTcpSocket;

enum TQNCliState : uint8_t {
    QNAnyOne, QNCliReady, QNCliNoConnect, QNCliConnected, QNCliDnsLookup, QNCliDnsLookupDone,
    QNCliWaitingHeader, QNCliWaitingBody, QNCliAborting
};

enum TDisplayMessTypeDef : uint8_t { fDMESSNONE, fDMESSYIBAN, fDMESSTISHI, fDMESSERROR, fDMESSCMD };

class TQNComponent;
// Error numbers are errno values, socket-layer codes or the client's own codes.
using TQNOBJANDERREvent = std::function<void(TQNComponent* sender, int error)>;
using TQNNotifyEvent = std::function<void(TQNComponent* sender)>;
using TQNDocDataEvent = std::function<void(TQNComponent* sender, const char* cBuffer, int32_t cLen)>;
using TQNCLIOutMessage = std::function<void(TQNComponent* sender, const std::string& cMessage,
                                            TDisplayMessTypeDef cDMessType)>;
using TQNFtpRequestDone = std::function<void(TQNComponent* sender, TFtpRequest rqType, int error, bool isError)>;
using TOnCommand = std::function<void(TQNComponent* sender, std::string& s)>;

// The steps of one FTP block download; each names the request whose completion it
// waits for. Log-in, the resume probe (REST 300, then REST 0), the file size (from the
// listing, else SIZE), then the retrieve from the range start.
enum TQNFtpBlockStep : uint8_t {
    fbIdle,
    fbOpen,              // connect and banner
    fbLogin,             // connect and the whole log-in, through an FTP proxy told the target by command
    fbUser,
    fbPass,
    fbRestProbe,         // REST 300: does the server resume?
    fbRestReset,         // REST 0: undo the probe's offset
    fbTypeForList,       // TYPE I before the listing
    fbList,              // LIST of the file: its line gives the size
    fbSize,              // SIZE when the listing did not
    fbTypeForRetrieve,   // TYPE I before the retrieve
    fbRetrieve,          // REST offset + RETR, data to the driver
};

// Client kinds recorded once by SetClient.
constexpr uint8_t kQNClientFtp = 1;
constexpr uint8_t kQNClientHttp = 2;

// StopReason values that this unit sets.
constexpr uint8_t kStopHttpStatus = 5;     // HTTP status of 400 or more at document begin
constexpr uint8_t kStopDiskWrite = 2;      // the data handler failed to store a piece

class TQNComponent {
public:
    TQNComponent();
    virtual ~TQNComponent();
    TQNComponent(const TQNComponent&) = delete;
    TQNComponent& operator=(const TQNComponent&) = delete;

    // Events the driver handles.
    TQNOBJANDERREvent OSQN_OnSessionConnected;
    TQNNotifyEvent OSQN_OnDocBegin, OSQN_OnDocEnd;
    TQNDocDataEvent OSQN_OnDocData;
    TQNNotifyEvent OSQN_OnHeaderBegin, OSQN_OnHeaderEnd;
    TOnCommand OSQN_OnCommand;
    TQNNotifyEvent OSQN_OnHeaderData, OSQN_OnLocationChange;
    TQNFtpRequestDone OSQN_OnRequestDone;
    TQNCLIOutMessage OSQN_QNCLIOutMessage;
    TQNCLIOutMessage onDisplayMess;

    // Records the kind and connects the protocol object's events to the handlers here.
    // Called once, right after the protocol object is created. The FTP kind is wired by
    // the FTP download client, which brings its own overload.
    void SetClient(uint8_t kind, THttpCli* client);
    void SetClient(uint8_t kind, TQNDNFtpClient* client);

    // Starts the request of the kind (HTTP: a GET) and the connect stamp.
    void StartRequest();
    // Aborts whatever runs; never throws.
    void AbortRequest();
    void DisplayMess(const std::string& text, TDisplayMessTypeDef kind);
    void OutMessage(TQNComponent* sender, const std::string& text, TDisplayMessTypeDef kind);

    // Range start plus the response's content length (-1 added when it is unknown).
    int64_t OS_FileLength();
    TQNCliState OS_State() const;
    int32_t Os_stateCode() const;
    TTcpSocket* OS_CtrlSocket() const;
    TTcpSocket* OS_DataSocket() const;
    std::string OS_LastResponse() const;
    std::string OS_Locate() const;
    const std::string& OS_URL() const { return FURL; }
    void OS_URL(const std::string& url);
    std::string OS_RangeBegin();
    // A new start of the next request's range; its end is open again ("bytes=N-").
    void OS_RangeBegin(const std::string& begin);
    // The last byte the next request asks for (HTTP only; FTP reads on and is cut off).
    void OS_RangeEnd(const std::string& end);
    // The server said the document does not exist (HTTP 404 or 410, FTP 550, as received
    // from a server; a failed connect is not "not found").
    bool OS_NotFound() const;

    // FTP: the step of the block download under way (fbIdle when none).
    TQNFtpBlockStep FtpStep() const { return ftpStep_; }
    // FTP: before a listing or retrieve: passive as the job asks (always for proxy and
    // SOCKS connections), received data to OnDisplayFile as whole pieces.
    void FtpPrepareTransfer();

    // A speed limit: receive notifications of the connection's sockets stop (an HTTP
    // body stops at once, even inside the read that delivered the last piece) or go on;
    // maxPiece > 0 caps the pieces an HTTP body is read in.
    void PauseReceive(bool pause);
    void LimitReadPiece(size_t maxPiece);

    // The activity stamps, read by other threads: a reader skips the pair while
    // FTicksValid is 0.
    void SetTicks(uint32_t connectTick, uint32_t lastDataTick);

    std::recursive_mutex FLock;  // the driver holds it while it writes data or splits the range
    int32_t FProxyIndex = -1;
    int32_t RetryCountdown = 0;
    int32_t RetryPending = 0;
    std::atomic<uint8_t> FTicksValid{0};
    std::atomic<uint32_t> FConnectTick{0};
    std::atomic<uint32_t> FLastDataTick{0};
    uint8_t FClientKind = 0;
    uint8_t FPassive = 0;
    void* FClient = nullptr;  // the protocol object of the kind (the instance itself)
    int32_t ConnIndex = 0;
    std::vector<std::string> LogLines;
    int FileStream = -1;      // descriptor of the open output file (driver)
    int32_t ErrorCount = 0;
    int32_t FirstBlock = 0, LastBlock = 0, RangeBlocks = 0;
    int64_t RangeLength = 0;
    int64_t RangeStart = 0;
    int64_t Received = 0;
    int32_t BlocksDone = 0;
    uint8_t StopReason = 0;
    int32_t StopCode = 0;
    uint8_t RequestDone = 0;
    std::string FURL;
    uint8_t RangeFinished = 0;
    uint8_t WaitingHeader = 0;
    uint8_t Redirected = 0;
    uint8_t RedirectNotHttp = 0;
    uint8_t RangeToEnd = 0;
    uint8_t Stopped = 0;
    std::string FAnonUser = "anonymous";
    std::string FAnonPass = "tarvolin@example.com";
    uint8_t FResumeSupported = 0;
    std::string FLocalFileName;
    uint8_t FGotData = 0;
    uint8_t FIdle = 1;
    std::string RedirectURL;
    uint8_t FReadyToRetrieve = 0;
    uint8_t FRestProbe = 0;
    int64_t FFileSize = 0;
    uint8_t FSizeFromList = 0;
    uint8_t FSizeTried = 0;
    // FTP: the file's length as the job already knows it; above 0 the block skips the
    // listing and SIZE (each a round trip, the listing a data connection of its own).
    int64_t FKnownFileSize = 0;
    std::string FRangeBegin;

protected:
    THttpCli* Http() const { return FClientKind == kQNClientHttp ? httpClient_ : nullptr; }
    TQNDNFtpClient* Ftp() const { return FClientKind == kQNClientFtp ? ftpClient_ : nullptr; }

private:
    void DocBegin();
    void DocData(const char* buf, int32_t len);

    // The FTP block download: one handler per step's completion.
    void FtpStart();
    void FtpRequestDone(TFtpRequest rq, int error);
    void FtpIssue(TQNFtpBlockStep step, void (TCustomFtpCli::*op)());
    void FtpFail(int error, const std::string& why = {});
    void FtpFailPosted(int error, const std::string& why);
    void FtpComplete(int error, bool isError);
    void FtpOpenDone();
    void FtpUserDone();
    void FtpPassDone();
    void FtpRestProbeDone();
    void FtpRestResetDone();
    void FtpTypeDone();
    void FtpListDone();
    void FtpSizeDone();
    void FtpBeginRetrieve();
    void FtpDisplayFile(std::string_view text);
    void FtpListLine(std::string line);

    THttpCli* httpClient_ = nullptr;
    TQNDNFtpClient* ftpClient_ = nullptr;
    TQNFtpBlockStep ftpStep_ = fbIdle;
    int ftpUserReply_ = 0;          // reply to USER: 230 needs no password
    int64_t ftpOffset_ = 0;         // where the retrieve must start
    bool ftpOffsetRefused_ = false; // the server would send from another offset
    bool ftpNotFound_ = false;
    std::string ftpListRest_;       // listing text after its last line end
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace tq
