#pragma once
// QNCliDrive runs one download job: a first connection learns the file's length and
// whether ranges work, the blocks are split among the job's connections, received
// pieces are written at their offsets and marked in the block map (kept on disk, so a
// stopped job resumes), idle connections take over free runs or halves of running
// ranges, and a complete file is renamed to its final name. Everything but the public
// entry points below runs on the job's worker thread.

#include "download/BlockMap.h"
#include "download/HDThread.h"
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

class QNCliDrive {
public:
    // storeDir holds the job's block-map file and its INI file.
    QNCliDrive(TDLMangeData& job, std::string storeDir);
    ~QNCliDrive();  // stops the job and joins its thread
    QNCliDrive(const QNCliDrive&) = delete;
    QNCliDrive& operator=(const QNCliDrive&) = delete;

    // Raised on the worker thread with "OK" once the file is complete and renamed.
    std::function<void(QNCliDrive* sender, const std::string& text)> OnFinish;

    std::string AnonPassword = "tarvolin@example.com";
    bool CheckDisk = false;  // reserve the whole length before a fresh start

    // Prepares a run: protocol 1 (FTP) or 2 (HTTP); fresh drops any old map, otherwise the map in
    // the store is loaded and only the blocks not done are fetched. False when the job
    // cannot run (unsupported protocol, no map file).
    bool OpenJob(int protocol, bool fresh);
    void StartThread();
    // From any thread: the stop is posted to the worker; the map is saved there.
    void StopAll();
    // True once the worker ended the run (the job's fields are then final).
    bool WaitEnded(std::chrono::milliseconds timeout);

    // For display: copies taken under the map's and the logs' locks.
    std::vector<uint8_t> CopyBlockMap() const;
    std::vector<std::vector<std::string>> CopyConnLogs() const;
    // The most connections the run had at once.
    int32_t PeakConnections() const { return peakConns_.load(); }

private:
    struct TConn {
        std::unique_ptr<TQNComponent> Cli;
        bool Active = false;
    };

    int WorkerPass();
    void FirstPhase();
    bool HandleStop();
    void FinishRun();
    void CompleteFile();
    void PeriodTick();
    void CheckConnections();
    void AssignWork(int given);
    bool TakeOver(int idle);

    int NewConnection();
    void StartConn(int i);
    void ConfigureFtp(TQNDNFtpClient& f);
    void ConfigureHttp(THttpCli& h);
    void MakeActive(int i, bool active);
    void SetRange(TQNComponent& c, const TBlockRange& r, bool keepProgress);
    void ReleaseRange(TQNComponent& c);
    void RequestStop();
    void FailJob(int i, const std::string& why);

    void DocBegin(TQNComponent* c);
    bool EvaluateHeader(TQNComponent& c);
    void DocData(TQNComponent* c, const char* data, int32_t n);
    void RequestDone(TQNComponent* c, int error);
    void Log(int i, const std::string& text, TDisplayMessTypeDef kind);
    std::string PartialPath() const;

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

    std::string curURL_, curHost_, curPath_, curPort_;
    int protocol_ = 2;
    int32_t maxConns_ = 1;
    std::atomic<int32_t> peakConns_{0};
    uint32_t lastPeriodTick_ = 0;

    bool headerPhase_ = true;
    bool headerStarted_ = false;
    bool headerRequestEnded_ = false;
    bool allDone_ = false;
    bool startOthers_ = false;
    bool stopRequested_ = false;
    bool stopInProgress_ = false;
    bool opened_ = false;
    bool started_ = false;
};

} // namespace tq
