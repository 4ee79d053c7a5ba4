#include "download/GloatData.h"

#include "download/JobFiles.h"
#include "download/QNCliDrive.h"
#include "foundation/PathUtils.h"
#include "foundation/TextUtils.h"
#include "foundation/UrlUtils.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

namespace tq {

namespace {

constexpr const char* kStoreLockFile = "DownLoad.lock";
constexpr const char* kMsgNoUrl = "没有指定下载地址";
constexpr const char* kMsgStoreClosed = "下载数据没有打开";
constexpr const char* kMsgFileCreate = "无法创建文件";
constexpr const char* kMsgBadUrl = "不支持的下载地址：";

bool IsBlank(const std::string& s) { return Trim(s).empty(); }

// Connections per job: a damaged record must not give 0 (a division) or thousands.
int32_t ClampConnections(int32_t n) { return std::clamp<int32_t>(n, 1, 99); }

// Creates an empty file when missing; errors are left to the later steps.
void TouchFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
}

// The main window's locks taken in a fixed order and released in reverse.
class TLockSet {
public:
    TLockSet(TGloatData& g, std::initializer_list<int> order) : g_(g), order_(order) {
        for (int n : order_) g_.LockMain(n);
    }
    ~TLockSet() {
        for (auto it = order_.rbegin(); it != order_.rend(); ++it) g_.UnlockMain(*it);
    }
    TLockSet(const TLockSet&) = delete;
    TLockSet& operator=(const TLockSet&) = delete;

private:
    TGloatData& g_;
    std::vector<int> order_;
};

std::vector<std::string> SplitBlanks(const std::string& text) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
        size_t j = i;
        while (j < text.size() && text[j] != ' ' && text[j] != '\t') ++j;
        if (j > i) words.push_back(text.substr(i, j - i));
        i = j;
    }
    return words;
}

} // namespace

TDriverFactory DefaultDriverFactory() {
    return [](TDLMangeData& job, const std::string& storeDir) {
        return std::unique_ptr<TJobDriver>(std::make_unique<QNCliDrive>(job, storeDir));
    };
}

TGloatData::TGloatData(std::string dataDir, TQNoption& options, TDesktopServices& desktop,
                       TDriverFactory factory)
    : dataDir_(std::move(dataDir)),
      downloadDir_(JoinLocalPath(dataDir_, kDownloadDirName)),
      ftpDataDir_(JoinLocalPath(dataDir_, kFtpDataDirName)),
      queueDir_(JoinLocalPath(ftpDataDir_, "QueQueData")),
      options_(options),
      desktop_(desktop),
      factory_(factory ? std::move(factory) : DefaultDriverFactory()) {}

TGloatData::~TGloatData() {
    try {
        StopAll();
        // Each driver's destructor waits for its worker; the records are final after it.
        for (auto& job : store_.JobList) job->Driver.reset();
        if (root_) {
            SaveAllProgress();
            store_.SaveJobOrder();
        }
    } catch (...) {
    }
    if (lockFd_ >= 0) ::close(lockFd_);
}

void TGloatData::SetClock(TTickSource tick, TLocalTimeSource localTime) {
    tickSource_ = std::move(tick);
    localSource_ = std::move(localTime);
}

uint32_t TGloatData::NowTick() const {
    if (tickSource_) return tickSource_();
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

TDateTimeFields TGloatData::NowLocal() const {
    if (localSource_) return localSource_();
    return LocalDateTimeFields(::time(nullptr));
}

// ---- store ----

bool TGloatData::OpenStore(const std::string& defaultSavePath) {
    if (root_) return true;
    lastError_.clear();
    if (!ForceDirectories(downloadDir_, 0700)) {
        lastError_ = kMsgLoadError;
        return false;
    }
    if (lockFd_ < 0) {
        const std::string lockName = JoinLocalPath(downloadDir_, kStoreLockFile);
        const int fd = ::open(lockName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            lastError_ = kMsgLoadError;
            return false;
        }
        // Two programs writing the same record files would corrupt them.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            lastError_ = kMsgStoreInUse;
            return false;
        }
        lockFd_ = fd;
    }
    const std::string savePath =
        defaultSavePath.empty() ? desktop_.GetDownloadFolder() : defaultSavePath;
    root_ = store_.OpenStore(downloadDir_, savePath);
    if (!root_) {
        lastError_ = kMsgLoadError;
        ::close(lockFd_);
        lockFd_ = -1;
        return false;
    }
    for (auto& job : store_.JobList) {
        job->Data->MaxConnections = ClampConnections(job->Data->MaxConnections);
        runStates_[job.get()] = TJobRunState{};
    }
    return true;
}

TJobData* TGloatData::FindJob(int32_t jobID) const {
    for (const auto& job : store_.JobList)
        if (job->Data && job->Data->JobID == jobID) return job.get();
    return nullptr;
}

TJobRunState& TGloatData::RunState(const TJobData& job) { return runStates_[&job]; }

bool TGloatData::DriverRunning(const TJobData& job) const {
    return job.Driver && !job.Driver->Ended();
}

bool TGloatData::IsWatchedURL(const std::string& text) const {
    const std::string upper = UpperCase(text);
    if (upper.find("HTTP:") == std::string::npos && upper.find("FTP:") == std::string::npos)
        return false;
    TURLInfo info;
    AnalyseURL(text, info);
    return InSemicolonList(ExtractFileExt(info.FileName), options_.ReadStrOpt(soWatchType));
}

// ---- the tick ----

void TGloatData::Tick() {
    TLockSet locks(*this, {2, 3, 1, 4});
    try {
        JobPass();
    } catch (const std::exception&) {
        // A failed step ends this tick; the next one starts afresh.
    }
}

void TGloatData::JobPass() {
    TJobList& list = store_.JobList;
    // a. Speeds and the running count.
    runningCount_ = 0;
    totalSpeed_ = 0;
    for (auto& job : list) {
        if (!job->Data) continue;
        TJobRunState& rs = RunState(*job);
        UpdateSpeed(*job, rs);
        totalSpeed_ += rs.CurrentSpeed;
        if (DriverRunning(*job)) {
            std::lock_guard<std::recursive_mutex> g(job->Data->Lock.Mutex);
            if (job->Data->Running == 1) ++runningCount_;
        }
    }

    // b. Start or finish, then refresh and save. The limit is read once per tick, not
    // once per waiting job.
    const bool saveAlways = options_.ReadIntOpt(ioUseSpeed) == 1;
    maxCanRunJob_ = options_.ReadIntOpt(ioMaxCanRunJob);
    for (size_t i = 0; i < list.size();) {
        TJobData& job = *list[i];
        if (!job.Data) {
            ++i;
            continue;
        }
        const TStepResult step = StartOrFinish(job);
        if (step == TStepResult::Started) break;  // one start per tick
        if (step == TStepResult::Removed) continue;
        TJobRunState& rs = RunState(job);
        if (StateRefresh(job, rs)) {
            {
                std::lock_guard<std::recursive_mutex> g(job.Data->Lock.Mutex);
                rs.LastDone = job.Data->DoneSize;
            }
            if (OnJobChanged) OnJobChanged(job);
            if (tick_ == kTicksPerPeriod - 1 || saveAlways) SaveProgress(job);
        }
        ++i;
    }

    // c. The all-done step of the previous tick's notice.
    if (allDoneNotice_) {
        allDoneNotice_ = false;
        try {
            AllDoneStep();
        } catch (const std::exception&) {
        }
    }

    // d. Busy or idle.
    if (runningCount_ > 0) {
        wasBusy_ = true;
    } else if (wasBusy_) {
        wasBusy_ = false;
        allDoneNotice_ = true;
        PlayEventSound(seALLOK);
    }

    // e. Periods.
    if (++tick_ >= kTicksPerPeriod) {
        tick_ = 0;
        try {
            PeriodStep();
        } catch (const std::exception&) {
        }
        try {
            if (!closing_) ScheduleStep();
        } catch (const std::exception&) {
        }
    }
}

TGloatData::TStepResult TGloatData::StartOrFinish(TJobData& job) {
    TJobRunState& rs = RunState(job);
    if (job.StartPending == 1 && rs.Busy == 0 && !closing_) {
        if (runningCount_ < maxCanRunJob_) {
            // The previous run is still stopping: its worker owns the map and the
            // partial file until it ends, so the start waits for a later tick.
            if (DriverRunning(job)) return TStepResult::None;
            job.StartPending = 0;
            StartJob(job);
            return TStepResult::Started;
        }
        std::lock_guard<std::recursive_mutex> g(job.Data->Lock.Mutex);
        job.Data->State = kJobWaiting;
        return TStepResult::None;
    }
    if (job.Driver && job.Driver->Ended() && rs.Busy == 0) {
        bool done;
        {
            std::lock_guard<std::recursive_mutex> g(job.Data->Lock.Mutex);
            done = job.Data->Running == 0 && job.Data->Completed == 1 &&
                   job.Data->State == kJobCompleted;
        }
        if (done) return FinishCompleted(job);
    }
    return TStepResult::None;
}

TGloatData::TStepResult TGloatData::FinishCompleted(TJobData& job) {
    int32_t target;
    std::string path;
    int32_t id;
    {
        std::lock_guard<std::recursive_mutex> g(job.Data->Lock.Mutex);
        job.Data->Completed = 0;
        target = job.Data->DoneClassID;
        path = JobFilePath(job.Data->SavePath, job.Data->FileName);
        id = job.Data->JobID;
    }
    if (target == kRunningClassID) {
        if (OnJobFiled) OnJobFiled(id, kRunningClassID);
        return TStepResult::None;
    }
    const TQNIndexData* cat = store_.FindClass(target);
    if (!cat || cat->IsClass == 0 || cat->ActiveClass == 1) target = kDoneClassID;
    if (!store_.FindClass(target)) {
        // Nowhere to file it: it stays in the running list, completed.
        if (OnJobFiled) OnJobFiled(id, kRunningClassID);
        return TStepResult::None;
    }
    SaveProgress(job);
    const TMoveJobsResult moved = MoveFromList(root_->ID, store_.JobList, {id}, target, {});
    VirusScan(path);
    PlayEventSound(seJOBRIGHT);
    if (OnJobFiled) OnJobFiled(id, moved.Moved ? target : kRunningClassID);
    return moved.Moved ? TStepResult::Removed : TStepResult::None;
}

bool TGloatData::StateRefresh(TJobData& job, TJobRunState& rs) {
    if (rs.ViewDirty == 1) {
        rs.ViewDirty = 0;
        return true;
    }
    TDLMangeData& d = *job.Data;
    std::lock_guard<std::recursive_mutex> g(d.Lock.Mutex);
    if (d.Running != rs.LastRunning || d.DoneSize != rs.LastDone ||
        d.Completed != rs.LastCompleted || d.FailureCount != rs.LastFailures) {
        rs.LastRunning = d.Running;
        rs.LastDone = d.DoneSize;
        rs.LastCompleted = d.Completed;
        rs.LastFailures = d.FailureCount;
        return true;
    }
    const int32_t old = d.State;
    int32_t derived = old;
    if (d.Completed == 1 && old != kJobCompleted) {
        derived = kJobCompleted;
        d.Running = 0;
    } else if (d.Running == 1 && old != kJobRunning) {
        derived = kJobRunning;
    } else if (d.Running == 0 && old != kJobStopped && old != kJobCompleted &&
               old != kJobScheduled && old != kJobWaiting) {
        derived = kJobStopped;
    }
    if (d.Failed == 1) d.State = kJobFailed;
    else if (old == kJobWaiting) d.State = kJobWaiting;
    else d.State = derived;
    return d.State != old || old == kJobWaiting || d.Failed == 1;
}

void TGloatData::UpdateSpeed(TJobData& job, TJobRunState& rs) {
    const uint32_t now = NowTick();
    if (!job.Driver) {
        rs.AllIdle = 1;
        std::lock_guard<std::recursive_mutex> g(job.Data->Lock.Mutex);
        job.Data->StartTick = 0;
        return;
    }
    const bool idle = job.Driver->AllIdle();
    const bool wasIdle = rs.AllIdle == 1;
    rs.AllIdle = idle ? 1 : 0;
    int64_t done;
    {
        std::lock_guard<std::recursive_mutex> g(job.Data->Lock.Mutex);
        done = job.Data->DoneSize;
    }
    if (!idle && !wasIdle) {
        rs.LastSpeedTick = now;
        const uint32_t elapsed = now - rs.SpeedWindowStart;  // wrap-safe
        if (elapsed > kSpeedWindowMs) {
            rs.CurrentSpeed = std::max<int64_t>(0, done - rs.SpeedBase) / (elapsed / 1000);
            rs.SpeedBase = done;
            rs.SpeedWindowStart = now;
        }
    } else if (!idle) {
        rs.CurrentSpeed = 0;
        rs.ViewDirty = 1;
        rs.SpeedBase = done;
        rs.SpeedWindowStart = now;
    } else if (!wasIdle) {
        rs.ViewDirty = 1;
        rs.CurrentSpeed = 0;
        rs.SpeedBase = 0;
        rs.SpeedWindowStart = 0;
        rs.LastSpeedTick = 0;
        rs.DoneAtStart = done;
    }
}

int32_t TGloatData::SpeedShare(int jobs) const {
    const int64_t total = std::llround(options_.ReadFloatOpt(ioSpeed) * 1024.0);
    return static_cast<int32_t>(std::clamp<int64_t>(total / std::max(jobs, 1), 0, INT32_MAX));
}

void TGloatData::PeriodStep() {
    if (runningCount_ <= 0) return;
    const int32_t budget = SpeedShare(runningCount_);
    lastBudget_ = budget;
    if (++periodCounter_ > kMaxPeriodCounter) periodCounter_ = 1;
    const uint8_t limited = options_.ReadIntOpt(ioUseSpeed) == 1 ? 1 : 0;
    for (auto& job : store_.JobList) {
        if (!job->Data) continue;
        std::lock_guard<std::recursive_mutex> g(job->Data->Lock.Mutex);
        if (job->Data->State != kJobRunning) continue;
        job->Data->SpeedBudget = budget;
        job->Data->SpeedLimited = limited;
        job->Data->PeriodStamp = periodCounter_;
    }
}

bool TGloatData::InScheduleWindow(int32_t beginHhmm, int32_t endHhmm, int hour, int minute,
                                  bool& valid) {
    const auto minutes = [](int32_t hhmm, int& out) {
        const int32_t h = hhmm / 100, m = hhmm % 100;
        if (hhmm < 0 || h > 23 || m > 59) return false;
        out = h * 60 + m;
        return true;
    };
    int b = 0, e = 0;
    valid = minutes(beginHhmm, b) && minutes(endHhmm, e) && hour >= 0 && hour <= 23 &&
            minute >= 0 && minute <= 59;
    if (!valid) return false;
    const int now = hour * 60 + minute;
    if (b <= e) return b <= now && now <= e;
    return now >= b || now <= e;
}

bool TGloatData::DayAllowed(int32_t dayMask, int weekday) {
    if (dayMask == 1111111) return true;
    if (weekday < 0 || weekday > 6 || dayMask < 0) return false;
    int32_t v = dayMask;
    for (int i = 0; i < weekday; ++i) v /= 10;
    return v % 10 == 1;
}

int TGloatData::WeekdayOf(const TDateTimeFields& date) {
    // Day 0 of the date-time scale, 1899-12-30, was a Saturday.
    const auto days = static_cast<int64_t>(std::floor(EncodeDateTime(date.Year, date.Month, date.Day)));
    return static_cast<int>(((days + 5) % 7 + 7) % 7);
}

void TGloatData::ScheduleStep() {
    const TDateTimeFields now = NowLocal();
    bool valid = false;
    const bool inside = InScheduleWindow(options_.ReadIntOpt(ioDLBeginTIme),
                                         options_.ReadIntOpt(ioDLEndTime), now.Hour, now.Minute,
                                         valid);
    if (!valid) return;
    if (inside ? options_.ReadIntOpt(ioDLBegin) != 1 : options_.ReadIntOpt(ioDLEnd) != 1) return;
    if (!DayAllowed(options_.ReadIntOpt(ioDLDay), WeekdayOf(now))) return;
    for (auto& job : store_.JobList) {
        if (!job->Data) continue;
        TJobRunState& rs = RunState(*job);
        int32_t state;
        {
            std::lock_guard<std::recursive_mutex> g(job->Data->Lock.Mutex);
            state = job->Data->State;
        }
        if (inside) {
            if (state != kJobScheduled) continue;
            rs.ScheduleStarted = 1;
            ScheduleStart(*job);
        } else if (state != kJobCompleted && rs.ScheduleStarted == 1) {
            StopJob(*job);
            rs.ScheduleStarted = 0;
            std::lock_guard<std::recursive_mutex> g(job->Data->Lock.Mutex);
            job->Data->State = kJobScheduled;
        }
    }
}

void TGloatData::AllDoneStep() {
    TLockSet lock(*this, {1});
    for (auto& job : store_.JobList) {
        if (!job->Data) continue;
        std::lock_guard<std::recursive_mutex> g(job->Data->Lock.Mutex);
        if (job->Data->State == kJobRunning) return;
    }
    if (FtpQueueIdle && !FtpQueueIdle()) return;
    const bool dialUp = DialUpActive && DialUpActive();
    std::string action;
    if (options_.ReadIntOpt(ioHangup) == 1 && dialUp) action = kActionHangup;
    if (options_.ReadIntOpt(ioStutDown) == 1) action = kActionPowerOff;
    if (!action.empty() && OnShutdownChoice) OnShutdownChoice(action);
}

// ---- starting and stopping ----

void TGloatData::ConfigureDriver(TJobData& job) {
    int32_t useProxy, httpID, ftpID, multi;
    {
        std::lock_guard<std::recursive_mutex> g(job.Data->Lock.Mutex);
        useProxy = job.Data->UseProxy;
        httpID = job.Data->HttpProxyID;
        ftpID = job.Data->FtpProxyID;
        multi = job.Data->MultiProxy;
    }
    TDriverSettings s;
    const std::string anon = options_.ReadStrOpt(soAnonymousPD);
    if (!IsBlank(anon)) s.AnonPassword = anon;
    s.CheckDisk = options_.ReadIntOpt(ioBSetFileSize) == 1;
    s.Passive = options_.ReadIntOpt(ioPASVMODE) == 1;
    if (useProxy == 1) {
        s.HttpProxy = options_.FindProxyByID(httpID);
        s.FtpProxy = options_.FindProxyByID(ftpID);
        if (multi == 1) options_.LoadProxyList(s.ProxyList);
    }
    job.Driver->Configure(std::move(s));
}

void TGloatData::StartJob(TJobData& job) {
    if (!job.Data || closing_) return;
    if (DriverRunning(job)) {
        // The old run has not ended: never open the map under its worker.
        job.StartPending = 1;
        std::lock_guard<std::recursive_mutex> g(job.Data->Lock.Mutex);
        job.Data->State = kJobWaiting;
        return;
    }
    // The ended run's driver goes before the next run's is made.
    job.Driver.reset();
    job.Driver = factory_(*job.Data, downloadDir_);
    TJobRunState& rs = RunState(job);
    if (!job.Driver) {
        std::lock_guard<std::recursive_mutex> g(job.Data->Lock.Mutex);
        job.Data->Failed = 1;
        job.Data->State = kJobFailed;
        job.StartPending = 0;
        return;
    }
    ConfigureDriver(job);

    const int32_t maxError = options_.ReadIntOpt(ioMaxError);
    const int32_t maxErrorEnd = options_.ReadIntOpt(ioMaxErrorEnd);
    const int32_t maxNoData = options_.ReadIntOpt(ioMaxNoDataGet);
    const int32_t maxNoDataEnd = options_.ReadIntOpt(ioMaxNoDataGetEnd);
    const int32_t retryDelay = options_.ReadIntOpt(ioDLRJG);
    const int32_t connectTimeout = options_.ReadIntOpt(ioDLCTimeOut);
    const int32_t dataTimeout = options_.ReadIntOpt(ioDLDTimeOut);
    const int32_t connMax = options_.ReadIntOpt(ioOneThreadMaxError);
    const int32_t connMaxEnd = options_.ReadIntOpt(ioOneThreadMaxErrorEnd);

    int protocol;
    bool fresh;
    std::string tempPath;
    {
        // No worker runs for this record now, but the sizes are read under the Lock
        // all the same: the display and the schedule read them from other paths.
        std::lock_guard<std::recursive_mutex> g(job.Data->Lock.Mutex);
        TDLMangeData& d = *job.Data;
        d.MaxRetries = maxError;
        d.StopOnMaxRetries = maxErrorEnd != 0 ? 1 : 0;
        d.MaxNoData = maxNoData;
        d.StopOnMaxNoData = maxNoDataEnd != 0 ? 1 : 0;
        d.RetryDelay = retryDelay;
        d.ConnectTimeout = connectTimeout;
        d.DataTimeout = dataTimeout;
        d.ConnMaxErrors = connMax;
        d.StopConnAtMax = connMaxEnd;
        d.MaxConnections = ClampConnections(d.MaxConnections);

        d.Running = 1;
        d.State = kJobRunning;
        d.NoDataCount = 0;
        d.FailureCount = 0;
        d.Completed = 0;
        d.Failed = 0;
        d.ThreadEnded = 0;
        d.StartTick = 0;
        if (d.SizeUnknown == 1 || d.FileSize == 0) {
            job.HasRun = 0;
            d.FreshStart = 1;
            d.ResumeFromMap = 0;
            d.SizeUnknown = 0;
        }
        fresh = d.FreshStart == 1;
        if (fresh) {
            // From nothing: what an earlier run counted is gone with its map.
            d.DoneSize = 0;
            d.DisplayDone = 0;
            if (!d.TempFileName.empty()) tempPath = JobFilePath(d.SavePath, d.TempFileName);
        }
        protocol = d.Protocol;
        rs.CurrentSpeed = 0;
        rs.SpeedBase = 0;
        rs.SpeedWindowStart = 0;
        rs.LastSpeedTick = 0;
        rs.DoneAtStart = d.DoneSize;
        rs.UserStopped = 0;
        // A share of the limit from the first byte on: waiting for the next period
        // would let the job run unlimited for up to 1.2 s.
        const bool limited = options_.ReadIntOpt(ioUseSpeed) == 1;
        d.SpeedBudget = limited ? SpeedShare(runningCount_ + 1) : 0;
        d.SpeedLimited = limited ? 1 : 0;
    }
    if (!tempPath.empty() && FileExists(tempPath)) {
        const int fd = ::open(tempPath.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        if (fd >= 0) ::close(fd);
    }
    if (!job.Driver->OpenJob(protocol, fresh)) {
        std::lock_guard<std::recursive_mutex> g(job.Data->Lock.Mutex);
        job.Data->Running = 0;
        job.Data->Failed = 1;
        job.Data->State = kJobFailed;
        job.StartPending = 0;
        job.Driver.reset();
        return;
    }
    // FreshStart stays as it is: the worker clears it once the first answer has set up
    // the new map. Clearing it here raced with a worker that had already asked for the
    // whole file, whose answer was then judged as a resume of an empty map and failed.
    job.Driver->StartThread();
    job.StartPending = 0;
    job.HasRun = 1;
}

void TGloatData::StopJob(TJobData& job) {
    if (!job.Data) return;
    TJobRunState& rs = RunState(job);
    std::lock_guard<std::recursive_mutex> g(job.Data->Lock.Mutex);
    if (DriverRunning(job) && job.Data->Running == 1) {
        job.Driver->StopAll();
        job.Data->Running = 0;
        job.Data->State = kJobStopped;
        rs.UserStopped = 1;
    } else if (job.Data->State == kJobWaiting || job.StartPending == 1) {
        job.StartPending = 0;
        job.Data->State = kJobStopped;
        rs.ViewDirty = 1;
    }
}

void TGloatData::ScheduleStart(TJobData& job) {
    if (!job.Data) return;
    TLockSet locks(*this, {4, 2, 3});
    std::lock_guard<std::recursive_mutex> g(job.Data->Lock.Mutex);
    job.Data->FreshStart = 0;
    job.Data->ResumeFromMap = 1;
    job.HasRun = 1;
    job.Data->State = kJobWaiting;
    job.StartPending = 1;
}

// ---- job commands ----

TAddJobResult TGloatData::CheckDuplicate(const std::string& url) {
    TAddJobResult r;
    r.Status = TAddJobResult::TStatus::Added;
    if (store_.IsUrlInJobList(url)) {
        r.Status = TAddJobResult::TStatus::Duplicate;
        r.Message = url + kMsgInRunningList;
        return r;
    }
    std::string classText;
    if (store_.CheckUrlHistory(url, classText, nullptr, false)) {
        r.Status = TAddJobResult::TStatus::Duplicate;
        const TQNIndexData* cat = nullptr;
        char* end = nullptr;
        const long id = std::strtol(classText.c_str(), &end, 10);
        if (!classText.empty() && end && *end == '\0' && id > 0 && id <= INT32_MAX)
            cat = store_.FindClass(static_cast<int32_t>(id));
        if (cat && cat->IsClass)
            r.Message = url + "已经在 “" + cat->Caption + "” 列表中";
        else
            r.Message = url + kMsgInList;
    }
    return r;
}

TAddJobResult TGloatData::AddNewJob(const TDLMangeData& record, bool checkDuplicate) {
    TAddJobResult r;
    if (!root_) {
        r.Message = kMsgStoreClosed;
        return r;
    }
    if (IsBlank(record.URL)) {
        r.Message = kMsgNoUrl;
        return r;
    }
    // The protocol and the default port follow the URL, whatever the record held.
    TURLInfo info;
    const int kind = AnalyseURL(record.URL, info);
    if (kind != ukHttp && kind != ukFtp) {
        r.Message = std::string(kMsgBadUrl) + record.URL;
        return r;
    }
    if (checkDuplicate) {
        TAddJobResult dup = CheckDuplicate(record.URL);
        if (dup.Status == TAddJobResult::TStatus::Duplicate) return dup;
    }
    std::string classText = std::to_string(kRunningClassID);
    const bool inHistory = store_.CheckUrlHistory(record.URL, classText, nullptr, true);

    auto job = NewJobData();
    CopyDLMangeData(record, *job->Data, false);
    TDLMangeData& d = *job->Data;
    {
        TLockSet locks(*this, {2, 3, 4});
        job->HasRun = 0;
        d.FreshStart = 1;
        d.ResumeFromMap = 0;
        d.MaxConnections = ClampConnections(d.MaxConnections);
        d.Protocol = kind;
        d.Port = kind == ukFtp ? 21 : 80;
        int32_t port = 0;
        if (ParsePortNumber(info.Port, port)) d.Port = port;
        d.FileName = SanitizeFileName(IsBlank(d.FileName) ? std::string("index.htm") : d.FileName);
        if (IsBlank(d.SavePath)) d.SavePath = root_->SavePath;
        if (IsBlank(d.SavePath)) d.SavePath = desktop_.GetDownloadFolder();
        ForceDirectories(d.SavePath);
        d.FileSize = 0;
        d.DoneSize = 0;

        std::string mapName;
        TimeFileName(downloadDir_, mapName, "blk");
        d.BlockFileName = AddFileExt(mapName, "blk");
        TouchFile(JoinLocalPath(downloadDir_, d.BlockFileName));
        std::string tempBase = d.FileName;
        UniqueFileName(d.SavePath, tempBase, kPartialFileExt);
        d.TempFileName = AddFileExt(tempBase, kPartialFileExt);
        TouchFile(JobFilePath(d.SavePath, d.TempFileName));

        switch (d.StartMode) {
        case 0:
            d.State = kJobWaiting;
            job->StartPending = 1;
            break;
        case 2:
            d.State = kJobScheduled;
            job->StartPending = 0;
            break;
        default:
            d.State = kJobStopped;
            job->StartPending = 0;
            break;
        }
        job->Index->ParentID = kRunningClassID;
        LinkJobData(*job);

        store_.LockAll();
        TQNIndexData* added = nullptr;
        try {
            added = store_.AddNode(root_, *job, -1, root_->DataFile.get());
            if (added) {
                ++root_->JobCount;
                store_.SaveTree();
            }
        } catch (const std::exception&) {
            added = nullptr;
        }
        store_.UnlockAll();
        if (!added) {
            // No job: the history line would make the URL a duplicate of nothing.
            if (!inHistory) store_.RemoveUrlHistory(record.URL);
            r.Message = kMsgFileCreate;
            return r;
        }
        r.JobID = d.JobID;
        r.Job = job.get();
        runStates_[job.get()] = TJobRunState{};
        store_.JobList.push_back(std::move(job));
        store_.SaveJobOrder();
    }
    r.Status = TAddJobResult::TStatus::Added;
    return r;
}

int TGloatData::StartJobs(const std::vector<int32_t>& jobIDs) {
    TLockSet locks(*this, {4, 2, 3});
    int n = 0;
    for (int32_t id : jobIDs) {
        TJobData* job = FindJob(id);
        if (!job || RunState(*job).Busy) continue;
        int32_t state;
        {
            std::lock_guard<std::recursive_mutex> g(job->Data->Lock.Mutex);
            state = job->Data->State;
        }
        if (state == kJobRunning || state == kJobWaiting || state == kJobCompleted) continue;
        ScheduleStart(*job);
        ++n;
    }
    return n;
}

int TGloatData::StopJobs(const std::vector<int32_t>& jobIDs) {
    TLockSet locks(*this, {4, 2, 3});
    int n = 0;
    for (int32_t id : jobIDs) {
        TJobData* job = FindJob(id);
        if (!job) continue;
        bool active;
        {
            std::lock_guard<std::recursive_mutex> g(job->Data->Lock.Mutex);
            active = (DriverRunning(*job) && job->Data->Running == 1) ||
                     job->Data->State == kJobWaiting || job->StartPending == 1;
        }
        if (!active) continue;
        StopJob(*job);
        RunState(*job).ScheduleStarted = 0;
        ++n;
    }
    return n;
}

bool TGloatData::ReDownload(int32_t jobID) {
    TLockSet locks(*this, {4, 2, 3});
    TJobData* job = FindJob(jobID);
    if (!job || RunState(*job).Busy) return false;
    if (DriverRunning(*job)) StopJob(*job);
    std::lock_guard<std::recursive_mutex> g(job->Data->Lock.Mutex);
    TDLMangeData& d = *job->Data;
    // The reset itself happens in StartJob, once the old worker has let go of the
    // map and the partial file.
    d.FreshStart = 1;
    d.ResumeFromMap = 0;
    d.Completed = 0;
    d.Failed = 0;
    job->HasRun = 0;
    d.State = kJobWaiting;
    job->StartPending = 1;
    RunState(*job).ViewDirty = 1;
    return true;
}

TMoveJobsResult TGloatData::MoveJobs(int32_t sourceID, const std::vector<int32_t>& jobIDs,
                                     int32_t targetID, const TMoveJobsOptions& options) {
    if (!root_) return {};
    if (sourceID == root_->ID) return MoveFromList(sourceID, store_.JobList, jobIDs, targetID, options);
    const TQNIndexData* source = store_.FindClass(sourceID);
    if (!source || !source->IsClass) return {};
    TJobList list;
    store_.LoadClassJobList(*source, list);
    return MoveFromList(sourceID, list, jobIDs, targetID, options);
}

TMoveJobsResult TGloatData::RemoveJobs(int32_t sourceID, const std::vector<int32_t>& jobIDs,
                                       bool deletePartial, bool deleteCompleted) {
    TMoveJobsOptions o;
    o.DeletePartial = deletePartial;
    o.DeleteCompleted = deleteCompleted;
    return MoveJobs(sourceID, jobIDs, sourceID == kDeletedClassID ? 0 : kDeletedClassID, o);
}

TMoveJobsResult TGloatData::MoveFromList(int32_t sourceID, TJobList& list,
                                         const std::vector<int32_t>& jobIDs, int32_t targetID,
                                         const TMoveJobsOptions& options) {
    TMoveJobsResult result;
    if (sourceID == targetID) return result;
    TQNIndexData* source = store_.FindClass(sourceID);
    TQNIndexData* target = targetID != 0 ? store_.FindClass(targetID) : nullptr;
    if (!source || (targetID != 0 && (!target || !target->IsClass))) return result;
    const bool fromRunning = source == root_;
    TLockSet locks(*this, {3, 4});

    // The selected jobs without a live driver, in the order given.
    std::vector<std::unique_ptr<TJobData>> taken;
    for (int32_t id : jobIDs) {
        auto it = std::find_if(list.begin(), list.end(),
                               [id](const auto& j) { return j->Data && j->Data->JobID == id; });
        if (it == list.end()) continue;
        if (DriverRunning(**it) || (fromRunning && RunState(**it).Busy)) {
            result.SkippedRunning = true;
            continue;
        }
        {
            std::lock_guard<std::recursive_mutex> g(store_.LockObject(0));
            taken.push_back(std::move(*it));
            list.erase(it);
        }
        TJobData& job = *taken.back();
        if (fromRunning) {
            if (root_->DataFile) store_.RemoveJob(job, *root_->DataFile);
            runStates_.erase(&job);
        } else {
            store_.RemoveJobFromClass(job);
        }
    }

    for (auto& owned : taken) {
        TJobData& job = *owned;
        TDLMangeData& d = *job.Data;
        job.Driver.reset();
        job.StartPending = 0;
        std::string classText, date;
        SplitUrlHistoryLine(store_.RemoveUrlHistory(d.URL), classText, date);
        const bool completed = (d.State & 0xFF) == kJobCompleted;
        source->JobCount = std::max(0, source->JobCount - 1);
        if (completed) {
            source->DoneCount = std::max(0, source->DoneCount - 1);
            source->DoneBytes = std::max<int64_t>(0, source->DoneBytes - d.FileSize);
        }
        ++result.Moved;
        if (target) {
            if (options.MoveFiles && d.SavePath != target->SavePath) {
                std::string name = completed ? d.FileName : d.TempFileName;
                if (CopyFileToDir(d.SavePath, target->SavePath, name, true)) {
                    d.SavePath = target->SavePath;
                    (completed ? d.FileName : d.TempFileName) = name;
                } else {
                    result.PartialFailure = true;
                }
            }
            job.Index->Deleted = 0;
            d.Deleted = 0;
            if (target == root_) {
                d.MaxConnections = ClampConnections(d.MaxConnections);
                if (d.State == kJobRunning || d.State == kJobWaiting) d.State = kJobStopped;
                store_.AddNode(root_, job, -1, root_->DataFile.get());
                runStates_[&job] = TJobRunState{};
                store_.JobList.push_back(std::move(owned));
            } else {
                store_.AddNode(target, job, -1, nullptr);
            }
            std::string cls = std::to_string(targetID);
            store_.CheckUrlHistory(d.URL, cls, date.empty() ? nullptr : &date, true);
            ++target->JobCount;
            if (completed) {
                ++target->DoneCount;
                target->DoneBytes += d.FileSize;
            }
        } else {
            if (!d.BlockFileName.empty())
                ::unlink(SafeJoinLocalPath(downloadDir_, d.BlockFileName).c_str());
            if (options.DeletePartial && !completed && !d.TempFileName.empty())
                ::unlink(JobFilePath(d.SavePath, d.TempFileName).c_str());
            if (options.DeleteCompleted && completed && !d.FileName.empty())
                desktop_.ShellFileOperation(TShellOperation::Delete,
                                            {JobFilePath(d.SavePath, d.FileName)}, true);
        }
    }
    store_.SaveTree();
    if (fromRunning || target == root_) store_.SaveJobOrder();
    return result;
}

// ---- display ----

namespace {

TJobSnapshot SnapshotOf(TJobData& job) {
    TJobSnapshot s;
    {
        std::lock_guard<std::recursive_mutex> g(job.Data->Lock.Mutex);
        const TDLMangeData& d = *job.Data;
        s.JobID = d.JobID;
        s.ClassID = job.Index ? job.Index->ParentID : d.ClassID;
        s.URL = d.URL;
        s.FileName = d.FileName;
        s.SavePath = d.SavePath;
        s.State = d.State;
        s.FileSize = d.FileSize;
        s.DoneSize = d.DoneSize;
        s.Connections = d.ActiveCount;
        s.FailureCount = d.FailureCount;
        s.Running = d.Running == 1;
        s.Failed = d.Failed == 1 || d.State == kJobFailed;
    }
    if (job.Driver) s.BlockMap = job.Driver->CopyBlockMap();
    return s;
}

} // namespace

std::vector<TJobSnapshot> TGloatData::Snapshot() {
    std::vector<TJobSnapshot> out;
    out.reserve(store_.JobList.size());
    for (auto& job : store_.JobList) {
        if (!job->Data) continue;
        TJobSnapshot s = SnapshotOf(*job);
        s.CurrentSpeed = RunState(*job).CurrentSpeed;
        out.push_back(std::move(s));
    }
    return out;
}

std::vector<TJobSnapshot> TGloatData::ClassSnapshot(int32_t classID) {
    if (root_ && classID == root_->ID) return Snapshot();
    std::vector<TJobSnapshot> out;
    const TQNIndexData* cat = store_.FindClass(classID);
    if (!cat || !cat->IsClass) return out;
    TJobList list;
    store_.LoadClassJobList(*cat, list);
    for (auto& job : list)
        if (job->Data) out.push_back(SnapshotOf(*job));
    return out;
}

// ---- saving, the end ----

void TGloatData::SaveProgress(TJobData& job) {
    if (!root_ || !root_->DataFile || !job.Data) return;
    std::lock_guard<std::recursive_mutex> g(job.Data->Lock.Mutex);
    store_.SaveJobProgress(job, *root_->DataFile);
}

void TGloatData::SaveAllProgress() {
    for (auto& job : store_.JobList) SaveProgress(*job);
}

void TGloatData::StopAll() {
    closing_ = true;
    for (auto& job : store_.JobList) {
        if (!job->Data) continue;
        StopJob(*job);
        job->StartPending = 0;
    }
}

bool TGloatData::HasWork() const {
    for (const auto& job : store_.JobList)
        if (job->StartPending == 1 || DriverRunning(*job)) return true;
    return false;
}

bool TGloatData::RunEndedUnseen() const {
    for (const auto& job : store_.JobList) {
        if (!job->Driver || !job->Driver->Ended() || !job->Data) continue;
        std::lock_guard<std::recursive_mutex> g(job->Data->Lock.Mutex);
        if (job->Data->State == kJobRunning || job->Data->Completed == 1) return true;
    }
    return false;
}

bool TGloatData::AllEnded() const {
    for (const auto& job : store_.JobList)
        if (DriverRunning(*job)) return false;
    return true;
}

bool TGloatData::Shutdown(std::chrono::milliseconds pollInterval, std::chrono::milliseconds timeout) {
    StopAll();
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool ended = AllEnded();
    while (!ended && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(pollInterval);
        Tick();
        ended = AllEnded();
    }
    Tick();  // the last states of the ended runs
    SaveAllProgress();
    store_.SaveJobOrder();
    return ended;
}

// ---- completion helpers ----

void TGloatData::VirusScan(const std::string& path) {
    if (options_.ReadIntOpt(ioDownloadAutoScan) != 1) return;
    const std::string scanner = options_.ReadStrOpt(soDownloadScanner);
    if (IsBlank(scanner) || !FileExists(scanner)) return;
    if (options_.ReadIntOpt(ioDownloadScanMode) == 1 &&
        !InSemicolonList(ExtractFileExt(path), options_.ReadStrOpt(soDownloadScanType)))
        return;
    std::vector<std::string> argv{scanner};
    for (std::string& w : SplitBlanks(options_.ReadStrOpt(soDownloadScannerArgs)))
        argv.push_back(std::move(w));
    argv.push_back(path);
    desktop_.StartProgram(argv);
}

void TGloatData::PlayEventSound(int event) {
    const std::string file = options_.ReadSound(event);
    if (!IsBlank(file)) desktop_.PlaySoundFile(file);
}

} // namespace tq
