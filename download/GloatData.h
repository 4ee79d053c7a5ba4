#pragma once
// TGloatData: the download manager core. It owns the download store and its running
// list, one driver per run of a started job, and the scheduler tick that every 200 ms
// starts waiting jobs (one per tick, up to MaxCanRunJob), saves progress, derives the
// jobs' states and speeds, shares the speed limit among running jobs, applies the
// download schedule, files completed jobs into their category and notices when the
// last job has finished.
//
// Threads: every member is called on one thread, the "main" thread (the UI's timer
// thread, or the command line's loop). The drivers' worker threads only touch job
// records, under each record's Lock; the manager reads and writes records under the
// same Lock. Nothing here blocks on a worker, except Shutdown when asked to wait.

#include "config/TQnOption.h"
#include "download/JobDriver.h"
#include "download/QNDataSaveDataDefUnit.h"
#include "download/TQNDataSaveUnit.h"
#include "foundation/DateTimeUtils.h"
#include "platform/Desktop.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tq {

// Job states as the list shows them.
constexpr int32_t kJobRunning = 1;
constexpr int32_t kJobStopped = 2;
constexpr int32_t kJobCompleted = 3;
constexpr int32_t kJobFailed = 4;
constexpr int32_t kJobScheduled = 5;   // waiting for the schedule
constexpr int32_t kJobWaiting = 6;     // waiting for a free slot

// Ticks per period (6 x 200 ms = 1.2 s) and the speed window.
constexpr int kTicksPerPeriod = 6;
constexpr uint32_t kSpeedWindowMs = 10000;
constexpr uint32_t kMaxPeriodCounter = 99999;

// Texts of the manager.
inline constexpr const char* kMsgStoreInUse = "下载数据正在被另一个程序使用";
inline constexpr const char* kMsgInRunningList = "已经在正在下在列表中";
inline constexpr const char* kMsgInList = "已经在列表中";
inline constexpr const char* kActionHangup = "断开网络";
inline constexpr const char* kActionPowerOff = "关闭电脑";
inline constexpr const char* kMsgPartialMoveFailed = "部分文件无法移动";
inline constexpr const char* kMsgStopBeforeMove = "移动或删除正在下载的文件必须先停止";

// Makes the driver for one run of a job; storeDir holds its block map and INI file.
using TDriverFactory =
    std::function<std::unique_ptr<TJobDriver>(TDLMangeData& job, const std::string& storeDir)>;
// The factory used when none is given: the real HTTP/FTP job driver.
TDriverFactory DefaultDriverFactory();

// What the manager keeps per job beside the stored record (never stored).
struct TJobRunState {
    int32_t ScheduleStarted = 0;  // started by the schedule; the schedule may stop it
    int32_t UserStopped = 0;
    int32_t Busy = 0;             // being moved or edited: the scheduler leaves it alone
    // Copies that detect a change of the record.
    int32_t LastRunning = 0;
    int64_t LastDone = 0;
    int32_t LastCompleted = 0;
    int32_t LastFailures = 0;
    int32_t ViewDirty = 0;        // the row must be redrawn
    int32_t AllIdle = 1;          // no connection is receiving
    int64_t CurrentSpeed = 0;     // bytes per second over the last window
    int64_t SpeedBase = 0;        // DoneSize when the window started
    uint32_t SpeedWindowStart = 0;
    int64_t DoneAtStart = 0;
    uint32_t LastSpeedTick = 0;
};

// One job as a front end shows it; copied under the record's Lock.
struct TJobSnapshot {
    int32_t JobID = 0;
    int32_t ClassID = 0;
    std::string URL;
    std::string FileName;
    std::string SavePath;
    int32_t State = 0;
    int64_t FileSize = 0;
    int64_t DoneSize = 0;
    int64_t CurrentSpeed = 0;     // bytes per second
    int32_t Connections = 0;      // connections of the run now receiving or connecting
    int32_t FailureCount = 0;
    bool Running = false;
    bool Failed = false;
    std::vector<uint8_t> BlockMap;  // empty when the job has no driver
};

struct TAddJobResult {
    enum class TStatus { Added, Duplicate, Failed };
    TStatus Status = TStatus::Failed;
    std::string Message;          // the duplicate or failure text
    TJobData* Job = nullptr;      // the entry in the running list when added
    int32_t JobID = 0;
};

// Options of a move or a deletion (moving jobs between categories).
struct TMoveJobsOptions {
    bool MoveFiles = false;        // move the job's file into the target's SavePath
    bool DeleteCompleted = false;  // permanent deletion: completed files to the trash
    bool DeletePartial = false;    // permanent deletion: partial files removed
};

struct TMoveJobsResult {
    int Moved = 0;                 // jobs taken out of the source category
    bool PartialFailure = false;   // some file could not be moved ("部分文件无法移动")
    bool SkippedRunning = false;   // a selected job was in progress ("移动或删除...")
};

class TGloatData {
public:
    // dataDir is the working directory ("DownLoad", "ftpData" below it). The options
    // and the desktop services are used, not owned. factory empty: the real driver.
    TGloatData(std::string dataDir, TQNoption& options, TDesktopServices& desktop,
               TDriverFactory factory = {});
    // Stops every run and waits for the drivers (their destructors join), saves.
    ~TGloatData();
    TGloatData(const TGloatData&) = delete;
    TGloatData& operator=(const TGloatData&) = delete;

    // ---- clock (tests inject one) ----
    // Milliseconds of a monotonic clock (wrap-safe arithmetic is used).
    using TTickSource = std::function<uint32_t()>;
    // The local date and time for the schedule.
    using TLocalTimeSource = std::function<TDateTimeFields()>;
    void SetClock(TTickSource tick, TLocalTimeSource localTime);

    // ---- store ----
    // Opens the store in DownloadDir ("DownLoad.dat"; default categories when new)
    // and locks it against other processes. False with LastError() when the store is
    // used by another process ("下载数据正在被另一个程序使用") or cannot be opened.
    // defaultSavePath: save folder of new categories (empty: the desktop's download folder).
    bool OpenStore(const std::string& defaultSavePath = "");
    bool IsOpen() const { return root_ != nullptr; }
    const std::string& LastError() const { return lastError_; }
    TQNDataSaveTree& Store() { return store_; }
    // The running category (201), under which new jobs are filed; null before OpenStore.
    TQNIndexData* RootNode() const { return root_; }
    // The running list (the store's JobList), in display order.
    TJobList& RunningList() { return store_.JobList; }
    const std::string& DataDir() const { return dataDir_; }
    const std::string& DownloadDir() const { return downloadDir_; }
    const std::string& FtpDataDir() const { return ftpDataDir_; }
    const std::string& QueueDir() const { return queueDir_; }

    // ---- the main window's locks (0..8, re-entrant) ----
    // Order used here: Tick 2, 3, 1, 4; ScheduleStart 4, 2, 3; the all-done check 1.
    void LockMain(int n) { mainLocks_.at(static_cast<size_t>(n)).lock(); }
    void UnlockMain(int n) { mainLocks_.at(static_cast<size_t>(n)).unlock(); }

    // ---- the scheduler ----
    // One tick of the 200-ms timer (main thread).
    void Tick();
    // Starts a run of the job now (main thread; normally through ScheduleStart and Tick).
    void StartJob(TJobData& job);
    // Stops a running job (the driver ends asynchronously) or a job waiting to start.
    void StopJob(TJobData& job);
    // Marks the job to start on a later tick when a slot is free (resume).
    void ScheduleStart(TJobData& job);
    // True when a URL would be monitored (clipboard / browser): it holds "HTTP:" or
    // "FTP:" and its file extension is listed in the option WatchType.
    bool IsWatchedURL(const std::string& text) const;

    // ---- job commands (main thread) ----
    // The duplicate check alone: Duplicate with its message, else Added (nothing done).
    TAddJobResult CheckDuplicate(const std::string& url);
    // Adds a job to the running list from a filled record (URL, SavePath, FileName,
    // MaxConnections, StartMode, DoneClassID, proxies...): duplicate check, URL
    // history, block-map and partial files, State by StartMode, stored.
    // checkDuplicate false skips the check (batch additions after the first URL).
    TAddJobResult AddNewJob(const TDLMangeData& record, bool checkDuplicate = true);
    // Start command: every listed job of the running list that is not running,
    // waiting or completed gets State 6 and starts on a later tick. Returns the count.
    int StartJobs(const std::vector<int32_t>& jobIDs);
    // Stop command: every listed job running or waiting to start is stopped.
    int StopJobs(const std::vector<int32_t>& jobIDs);
    // Downloads the job again from nothing: stopped first when running; map and
    // partial file reset, DoneSize 0, then started like StartJobs. False when the job
    // is unknown or its old run has not ended yet (try again on a later tick).
    bool ReDownload(int32_t jobID);
    // Moves jobs of category sourceID into targetID; targetID 0 deletes them for good
    // (block map, and by the options partial / completed files). Jobs with a driver
    // that has not ended are left alone (SkippedRunning).
    TMoveJobsResult MoveJobs(int32_t sourceID, const std::vector<int32_t>& jobIDs,
                             int32_t targetID, const TMoveJobsOptions& options = {});
    // The "删除" command: into category 203, or for good when the source is 203.
    TMoveJobsResult RemoveJobs(int32_t sourceID, const std::vector<int32_t>& jobIDs,
                               bool deletePartial = true, bool deleteCompleted = false);
    // The running list's entry with this JobID, or null.
    TJobData* FindJob(int32_t jobID) const;
    // The manager's run-time state of an entry of the running list.
    TJobRunState& RunState(const TJobData& job);
    // Every job of the running list, for display; cheap enough for every tick.
    std::vector<TJobSnapshot> Snapshot();
    // The jobs stored in another category (loaded from the store).
    std::vector<TJobSnapshot> ClassSnapshot(int32_t classID);

    // True while some job runs or waits for a slot (a command-line "run" ticks until
    // this is false). Jobs waiting for the schedule do not count.
    bool HasWork() const;

    // ---- orderly end ----
    // Stops every job; the drivers end asynchronously. Nothing starts afterwards
    // (the manager is closing).
    void StopAll();
    // True when a run has ended that the next ticks have yet to take in (state,
    // filing): a front end may tick at once instead of waiting for the timer.
    bool RunEndedUnseen() const;
    // True when no driver is still running.
    bool AllEnded() const;
    // StopAll, then ticks every pollInterval until every driver has ended (at most
    // timeout), then the final progress save. True when all ended in time.
    bool Shutdown(std::chrono::milliseconds pollInterval = std::chrono::milliseconds(200),
                  std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Writes the numbers of every job of the running list to the store.
    void SaveAllProgress();

    // ---- hooks for a front end (all called on the main thread, inside Tick) ----
    // A row must be redrawn.
    std::function<void(TJobData& job)> OnJobChanged;
    // A completed job was filed into category classID (the entry has left the running
    // list when classID is not 201).
    std::function<void(int32_t jobID, int32_t classID)> OnJobFiled;
    // The last download ended and options ask for "关闭电脑" or "断开网络": the front
    // end asks the user and acts. The engine never powers off by itself.
    std::function<void(const std::string& action)> OnShutdownChoice;
    // Whether the FTP transfer queue is idle (no queue: idle).
    std::function<bool()> FtpQueueIdle;
    // Whether a dial-up connection is up (none by default).
    std::function<bool()> DialUpActive;

    // ---- counters ----
    int RunningCount() const { return runningCount_; }
    int TickPhase() const { return tick_; }
    uint32_t PeriodCounter() const { return periodCounter_; }
    int64_t TotalSpeed() const { return totalSpeed_; }
    // The budget handed to each running job in the last period (bytes).
    int64_t LastBudget() const { return lastBudget_; }
    bool WasBusy() const { return wasBusy_; }

    // Pure helpers of the schedule, exposed for their tests.
    // hhmm inside the window [begin, end] (crossing midnight when begin > end); false
    // with valid false when a time is out of range.
    static bool InScheduleWindow(int32_t beginHhmm, int32_t endHhmm, int hour, int minute,
                                 bool& valid);
    // Day mask: decimal digits from the right Monday..Sunday; 1111111 every day.
    // weekday: 0 Monday .. 6 Sunday.
    static bool DayAllowed(int32_t dayMask, int weekday);
    // 0 Monday .. 6 Sunday.
    static int WeekdayOf(const TDateTimeFields& date);

private:
    void JobPass();
    enum class TStepResult { None, Started, Removed };
    TStepResult StartOrFinish(TJobData& job);
    TStepResult FinishCompleted(TJobData& job);
    bool StateRefresh(TJobData& job, TJobRunState& rs);
    void UpdateSpeed(TJobData& job, TJobRunState& rs);
    // The option Speed (KB) shared among jobs, in bytes per period.
    int32_t SpeedShare(int jobs) const;
    void PeriodStep();
    void ScheduleStep();
    void AllDoneStep();
    bool DriverRunning(const TJobData& job) const;
    void ConfigureDriver(TJobData& job);
    void SaveProgress(TJobData& job);
    void VirusScan(const std::string& path);
    void PlayEventSound(int event);
    TMoveJobsResult MoveFromList(int32_t sourceID, TJobList& list, const std::vector<int32_t>& jobIDs,
                                 int32_t targetID, const TMoveJobsOptions& options);
    uint32_t NowTick() const;
    TDateTimeFields NowLocal() const;

    std::string dataDir_, downloadDir_, ftpDataDir_, queueDir_;
    TQNoption& options_;
    TDesktopServices& desktop_;
    TDriverFactory factory_;
    TTickSource tickSource_;
    TLocalTimeSource localSource_;

    TQNDataSaveTree store_;
    TQNIndexData* root_ = nullptr;
    int lockFd_ = -1;
    std::string lastError_;
    std::array<std::recursive_mutex, 9> mainLocks_;
    std::map<const TJobData*, TJobRunState> runStates_;

    int runningCount_ = 0;
    int32_t maxCanRunJob_ = 0;  // the option, read at the start of each job pass
    int tick_ = 0;
    uint32_t periodCounter_ = 0;
    int64_t totalSpeed_ = 0;
    int64_t lastBudget_ = 0;
    bool wasBusy_ = false;
    bool allDoneNotice_ = false;
    bool closing_ = false;  // StopAll ran: nothing starts any more
};

} // namespace tq
