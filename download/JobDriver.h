#pragma once
// What the download manager needs of a job's driver. The manager creates one driver
// per run of a job, on the main thread, and destroys it there once the run has ended;
// tests put a fake in its place.
//
// Sharing the job record: the driver's worker writes the record's progress and run
// fields (FileSize, DoneSize, SizeUnknown, Running, ThreadEnded, Completed, Failed,
// FailureCount, NoDataCount, ActiveCount, FileName, TempFileName, ...) only while it
// holds the record's Lock; the manager reads them, and writes the period fields
// (SpeedBudget, SpeedLimited, PeriodStamp), under the same Lock. Lock order: a driver
// lock may be taken while the record's Lock is held, never the other way round.

#include "config/TQnOption.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tq {

class TDLMangeData;

// Settings the manager resolves from the options before a run.
struct TDriverSettings {
    std::string AnonPassword;                // FTP anonymous password; blank: the driver's default
    bool CheckDisk = false;                  // reserve the whole length before a fresh start
    bool Passive = true;                     // FTP passive mode
    std::unique_ptr<TproxyData> HttpProxy;   // the job's proxies when UseProxy is 1
    std::unique_ptr<TproxyData> FtpProxy;
    TproxyList ProxyList;                    // every entry when MultiProxy is 1
};

class TJobDriver {
public:
    virtual ~TJobDriver() = default;  // a running driver is stopped and joined

    // Before OpenJob.
    virtual void Configure(TDriverSettings settings) = 0;
    // Prepares a run: protocol 1 (FTP) or 2 (HTTP); fresh drops any old map, otherwise
    // the map in the store is loaded and only the blocks not done are fetched. False
    // when the job cannot run.
    virtual bool OpenJob(int protocol, bool fresh) = 0;
    virtual void StartThread() = 0;
    // From any thread, returns at once; the worker stops, saves the map and ends.
    virtual void StopAll() = 0;
    // The worker has ended its run; the record's fields are then final.
    virtual bool Ended() const = 0;
    // No connection of the job is receiving data.
    virtual bool AllIdle() const = 0;
    // For display: copies taken under the driver's locks.
    virtual std::vector<uint8_t> CopyBlockMap() const = 0;
    virtual std::vector<std::vector<std::string>> CopyConnLogs() const = 0;
};

} // namespace tq
