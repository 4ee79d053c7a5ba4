#pragma once
// QNCliDrive runs one download job: a first connection learns the file's length and
// whether ranges work, the blocks are split among the job's connections, received
// pieces are written at their offsets and marked in the block map (kept on disk, so a
// stopped job resumes), idle connections take over free runs or halves of running
// ranges, and a complete file is renamed to its final name. Everything but the public
// entry points below runs on the job's worker thread.
//
// Locks: the worker changes the job record only while it holds the record's Lock
// (each pass and each connection event runs under it); the driver's own locks (the
// map's, the logs', a connection's FLock) are taken inside it, never before it. So a
// reader on another thread may hold the record's Lock and then copy the map or logs.
// A driver must not be destroyed under the record's Lock while its worker still runs.

#include "download/BlockMap.h"
#include "download/HDThread.h"
#include "download/JobDriver.h"
#include "download/QNDataSaveDataDefUnit.h"
#include "download/RangePlan.h"
#include "download/TQNComponent.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tq {

class THttpCli;
class TQNDNFtpClient;

constexpr uint32_t kRetryPeriodMs = 1200;  // retries and limits count in these periods

// What a connection start goes through: nothing, an HTTP proxy, an FTP proxy or SOCKS.
// Type 1 and 2 serve HTTP connections only (an ftp:// job then runs over HTTP), 3 to 6
// FTP connections only; 0 (direct), 7 and 8 serve both.
bool ProxyServesHttp(int32_t type);
bool ProxyServesFtp(int32_t type);

// Redirects one run follows before the job fails.
constexpr int kMaxJobRedirects = 10;
// Bytes short of the budget at which a period's reading pauses.
constexpr int32_t kSpeedBudgetSlack = 600;

class QNCliDrive : public TJobDriver {
public:
    // storeDir holds the job's block-map file and its INI file.
    QNCliDrive(TDLMangeData& job, std::string storeDir);
    ~QNCliDrive() override;  // stops the job and joins its thread
    QNCliDrive(const QNCliDrive&) = delete;
    QNCliDrive& operator=(const QNCliDrive&) = delete;

    // Raised on the worker thread with "OK" once the file is complete and renamed.
    std::function<void(QNCliDrive* sender, const std::string& text)> OnFinish;

    std::string AnonPassword = "tarvolin@example.com";
    bool CheckDisk = false;  // reserve the whole length before a fresh start
    bool Passive = true;     // FTP data connections

    // Before OpenJob: the anonymous password, the disk check, passive mode and the
    // proxies the manager resolved from the options.
    void Configure(TDriverSettings settings) override;
    // Prepares a run: protocol 1 (FTP) or 2 (HTTP); fresh drops any old map, otherwise the map in
    // the store is loaded and only the blocks not done are fetched. False when the job
    // cannot run (unsupported protocol, no map file).
    bool OpenJob(int protocol, bool fresh) override;
    void StartThread() override;
    // From any thread: the stop is posted to the worker; the map is saved there.
    void StopAll() override;
    // The run is over (OnFinish already raised), or it was never started.
    bool Ended() const override;
    bool AllIdle() const override { return allIdle_.load(); }
    // True once the worker ended the run (the job's fields are then final).
    bool WaitEnded(std::chrono::milliseconds timeout);
    // From any thread: stops one connection (its range goes back to the free blocks) or
    // lets it work again. An index outside the connection list is ignored.
    void StopConnection(int i);
    void EnableConnection(int i);

    // For display: copies taken under the map's and the logs' locks.
    std::vector<uint8_t> CopyBlockMap() const override;
    std::vector<std::vector<std::string>> CopyConnLogs() const override;
    // The most connections the run had at once.
    int32_t PeakConnections() const { return peakConns_.load(); }

private:
    struct TConn {
        std::unique_ptr<TQNComponent> Cli;
        bool Active = false;
        bool SpeedPaused = false;    // its sockets wait for the next period
        const TproxyData* Proxy = nullptr;  // what its current request goes through
    };
    using TRecordGuard = std::lock_guard<std::recursive_mutex>;

    int WorkerPass();
    int Pass();
    void FirstPhase();
    bool HandleStop();
    void FinishRun();
    void CompleteFile();
    void PeriodTick();
    void NewPeriod();
    void PauseForSpeed(TConn& conn);
    void ResumeSpeedPaused();
    void CheckConnections();
    bool FollowRedirect();
    void SplitCurrentURL();
    void TakeServerName();
    void SwitchToFtp();
    void ReleaseIdleBlocks();
    const TproxyData* NextProxy(uint8_t clientKind);
    void AssignWork(int given);
    bool TakeOver(int idle);

    int NewConnection();
    void StartConn(int i);
    void ConfigureFtp(TQNDNFtpClient& f, const TproxyData* proxy);
    void ConfigureHttp(THttpCli& h, const TproxyData* proxy);
    void MakeActive(int i, bool active);
    void SetRange(TQNComponent& c, const TBlockRange& r, bool keepProgress);
    void ReleaseRange(TQNComponent& c);
    void RequestStop();
    void FailJob(int i, const std::string& why);

    void DocBegin(TQNComponent* c);
    bool EvaluateHeader(TQNComponent& c);
    void DocData(TQNComponent* c, const char* data, int32_t n);
    void StoreData(TQNComponent* c, const char* data, int32_t n);
    void RequestDone(TQNComponent* c, int error);
    void LocationChange(TQNComponent* c);
    void UpdateIdle();
    void Log(int i, const std::string& text, TDisplayMessTypeDef kind);
    std::string PartialPath() const;
    std::string FinalPath() const;

    TDLMangeData& job_;
    std::string storeDir_;
    std::unique_ptr<THDThread> thread_;
    std::vector<TConn> conns_;

    mutable std::mutex mapMu_;  // the map as the display copies it
    TBlockMap map_;
    TBlockMapFile mapFile_;
    std::string mapPath_;
    mutable std::mutex logMu_;
    std::vector<std::vector<std::string>> connLogs_;

    std::string curURL_, curHost_, curPath_, curPort_, curUser_, curPass_, curReferer_;
    bool useAuth_ = false;
    bool urlChanged_ = false;
    bool ftpViaHttp_ = false;  // an ftp:// URL asked through an HTTP proxy
    int protocol_ = 2;

    std::unique_ptr<TproxyData> httpProxy_, ftpProxy_;
    TproxyList proxyList_;
    size_t proxyTurn_ = 0;

    // The first request's redirect, taken over from the connection.
    bool redirectPending_ = false;
    std::string redirectURL_;
    int redirectStatus_ = 0;
    int redirects_ = 0;
    bool switchToFtp_ = false;

    // Speed limit of the current period.
    uint32_t lastStamp_ = 0;
    int64_t periodBytes_ = 0;
    bool speedWasLimited_ = false;
    std::atomic<bool> allIdle_{true};
    std::atomic<bool> ended_{false};
    int32_t maxConns_ = 1;
    std::atomic<int32_t> peakConns_{0};
    uint32_t lastPeriodTick_ = 0;

    bool headerPhase_ = true;
    bool headerStarted_ = false;
    bool headerRequestEnded_ = false;
    bool allDone_ = false;
    bool alreadyRenamed_ = false;  // the last run renamed the file but was not filed
    bool startOthers_ = false;
    bool stopRequested_ = false;
    bool stopInProgress_ = false;
    bool opened_ = false;
    std::atomic<bool> started_{false};
};

} // namespace tq
