#include "download/QNCliDrive.h"

#include "download/HttpProtqn.h"
#include "download/JobFiles.h"
#include "download/QNDownFtpcli.h"
#include "foundation/PathUtils.h"
#include "foundation/TextUtils.h"
#include "foundation/UrlUtils.h"
#include "platform/EventLoop.h"

#include <cstdio>
#include <ctime>
#include <unistd.h>

namespace tq {

namespace {

TBlockRange RangeOf(const TQNComponent& c)
{
    TBlockRange r;
    r.FirstBlock = c.FirstBlock;
    r.LastBlock = c.LastBlock;
    r.RangeBlocks = c.RangeBlocks;
    r.RangeStart = c.RangeStart;
    r.RangeLength = c.RangeLength;
    r.RangeToEnd = c.RangeToEnd != 0;
    return r;
}

void CloseFile(TQNComponent& c)
{
    if (c.FileStream >= 0)
        ::close(c.FileStream);
    c.FileStream = -1;
}

char KindMark(TDisplayMessTypeDef kind)
{
    switch (kind) {
    case fDMESSYIBAN: return ']';
    case fDMESSTISHI: return '(';
    case fDMESSERROR: return ')';
    case fDMESSCMD: return '{';
    default: return '[';
    }
}

} // namespace

QNCliDrive::QNCliDrive(TDLMangeData& job, std::string storeDir)
    : job_(job), storeDir_(std::move(storeDir)),
      thread_(std::make_unique<THDThread>([this] { return WorkerPass(); }))
{
}

QNCliDrive::~QNCliDrive()
{
    if (started_) {
        StopAll();
        thread_->WaitEnded(std::chrono::seconds(30));
    }
    thread_.reset();  // joins; connections left over go with the loop's thread gone
}

bool QNCliDrive::OpenJob(int protocol, bool fresh)
{
    if ((protocol != 1 && protocol != 2) || job_.BlockFileName.empty() || job_.TempFileName.empty())
        return false;
    job_.Protocol = protocol;
    protocol_ = protocol;
    mapPath_ = SafeJoinLocalPath(storeDir_, job_.BlockFileName);
    curURL_ = job_.URL;
    TURLParts parts = SplitURL(curURL_);
    curHost_ = parts.Host;
    curPath_ = parts.Path.empty() ? "/" : parts.Path;
    if (!parts.Port.empty())
        curPort_ = parts.Port;
    else if (protocol == 1 && parts.Proto == "ftp")
        curPort_ = "21";
    else
        curPort_ = std::to_string(job_.Port);
    job_.FreshStart = fresh ? 1 : 0;
    if (!mapFile_.Open(mapPath_, fresh))
        return false;
    {
        std::lock_guard<std::mutex> g(mapMu_);
        if (!fresh && !job_.SizeUnknown && job_.FileSize > 0 && job_.Initialized) {
            // A map that does not fit the stored length starts the job over.
            if (!mapFile_.Load(job_.FileSize, map_))
                job_.FreshStart = 1;
        } else {
            map_.Setup(0);
            if (!fresh)
                job_.FreshStart = 1;
        }
        job_.DoneSize = job_.FreshStart ? 0 : map_.DoneBytes();
    }
    maxConns_ = ClampMaxConnections(job_.MaxConnections);
    headerPhase_ = true;
    headerStarted_ = headerRequestEnded_ = allDone_ = startOthers_ = false;
    stopRequested_ = stopInProgress_ = false;
    job_.Failed = job_.Completed = 0;
    job_.StopDone = 0;
    opened_ = true;
    return true;
}

void QNCliDrive::StartThread()
{
    job_.ThreadEnded = 0;
    job_.Running = 1;
    if (!opened_) {
        job_.Failed = 1;
        stopRequested_ = true;
    }
    lastPeriodTick_ = GetTickCount32();
    started_ = true;
    thread_->Start();
}

void QNCliDrive::StopAll()
{
    thread_->Post([this] { RequestStop(); });
}

bool QNCliDrive::WaitEnded(std::chrono::milliseconds timeout)
{
    return thread_->WaitEnded(timeout);
}

std::vector<uint8_t> QNCliDrive::CopyBlockMap() const
{
    std::lock_guard<std::mutex> g(mapMu_);
    return map_.Bytes();
}

std::vector<std::vector<std::string>> QNCliDrive::CopyConnLogs() const
{
    std::lock_guard<std::mutex> g(logMu_);
    return connLogs_;
}

std::string QNCliDrive::PartialPath() const
{
    return JobFilePath(job_.SavePath, job_.TempFileName);
}

void QNCliDrive::Log(int i, const std::string& text, TDisplayMessTypeDef kind)
{
    if (Trim(text).empty() || i < 0)
        return;
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    std::lock_guard<std::mutex> g(logMu_);
    if (size_t(i) >= connLogs_.size())
        connLogs_.resize(size_t(i) + 1);
    connLogs_[size_t(i)].push_back(std::string(1, KindMark(kind)) + stamp + " : " + text);
}

void QNCliDrive::RequestStop()
{
    stopRequested_ = true;
}

void QNCliDrive::FailJob(int i, const std::string& why)
{
    if (!why.empty())
        Log(i, why, fDMESSERROR);
    job_.Failed = 1;
    RequestStop();
}

// ---- the pass ----

int QNCliDrive::WorkerPass()
{
    job_.StopDone = 0;
    if (allDone_)
        RequestStop();
    if (HandleStop())
        return kPassThreadEnd;
    if (headerPhase_ && !headerStarted_) {
        headerStarted_ = true;
        FirstPhase();
        return 0;
    }
    if (stopInProgress_)
        return 0;
    if (startOthers_) {
        startOthers_ = false;
        for (size_t i = 1; i < conns_.size(); ++i)
            if (conns_[i].Active)
                StartConn(int(i));
    }
    PeriodTick();
    CheckConnections();
    if (headerPhase_ || stopRequested_)
        return 0;
    mapFile_.SaveIfChanged(map_);
    AssignWork(-1);
    return 0;
}

void QNCliDrive::FirstPhase()
{
    {
        std::lock_guard<std::mutex> g(mapMu_);
        map_.FreeNotDone();
    }
    int first = conns_.empty() ? NewConnection() : 0;
    if (!job_.Initialized && !job_.FreshStart)
        job_.FreshStart = 1;
    if (job_.FreshStart) {
        TQNComponent& c = *conns_[0].Cli;
        SetRange(c, TBlockRange{}, false);
        c.OS_RangeBegin("");
        MakeActive(first, true);
        StartConn(first);
    } else {
        MakeActive(first, false);
        AssignWork(first);
    }
}

// A stop aborts every active connection, saves the map, and once every connection is
// idle ends the run (completing the file when every block is done).
bool QNCliDrive::HandleStop()
{
    if (stopRequested_ && !stopInProgress_) {
        stopInProgress_ = true;
        for (auto& conn : conns_) {
            conn.Cli->Stopped = 1;
            if (conn.Active)
                conn.Cli->AbortRequest();
        }
        mapFile_.Save(map_);
    }
    if (!stopInProgress_)
        return false;
    bool anyActive = false;
    for (size_t i = 0; i < conns_.size(); ++i) {
        TQNComponent& c = *conns_[i].Cli;
        if (!conns_[i].Active)
            continue;
        TQNCliState st = c.OS_State();
        if ((st == QNCliReady || st == QNCliNoConnect) && c.RequestDone) {
            CloseFile(c);
            MakeActive(int(i), false);
        } else {
            anyActive = true;
        }
    }
    if (anyActive)
        return false;
    FinishRun();
    return true;
}

void QNCliDrive::FinishRun()
{
    stopRequested_ = stopInProgress_ = false;
    {
        std::lock_guard<std::mutex> g(mapMu_);
        job_.DoneSize = map_.DoneBytes();
        map_.FreeNotDone();
    }
    if (mapFile_.IsOpen())
        mapFile_.Save(map_);
    mapFile_.Close();
    for (auto& conn : conns_)
        CloseFile(*conn.Cli);
    conns_.clear();
    if (allDone_ && !job_.Failed)
        CompleteFile();
    job_.StopDone = 1;
    job_.ThreadEnded = 1;
    job_.Running = 0;
}

void QNCliDrive::CompleteFile()
{
    TCompletion done = CompletePartialFile(job_.SavePath, job_.TempFileName, job_.FileName);
    if (!done.Ok) {
        Log(0, "完成文件改名失败: " + std::to_string(done.Error), fDMESSERROR);
        job_.Failed = 1;
        return;
    }
    if (done.NameChanged) {
        job_.FileName = done.FileName;
        if (!storeDir_.empty() && job_.ExdNumber > 0)
            ExdWriteText(job_, storeDir_, "SaveFileName", done.FileName);
    }
    job_.Completed = 1;
    job_.FileDate = done.FileDate;
    if (OnFinish)
        OnFinish(this, "OK");
}

// Retries wait whole periods of 1.2 s.
void QNCliDrive::PeriodTick()
{
    uint32_t now = GetTickCount32();
    if (!TickReached(now, lastPeriodTick_ + kRetryPeriodMs))
        return;
    lastPeriodTick_ = now;
    for (auto& conn : conns_) {
        TQNComponent& c = *conn.Cli;
        if (c.RetryPending && --c.RetryCountdown <= 0) {
            c.RetryCountdown = 0;
            c.RetryPending = 0;
        }
    }
}

void QNCliDrive::CheckConnections()
{
    uint32_t now = GetTickCount32();
    for (size_t i = 0; i < conns_.size(); ++i) {
        TQNComponent& c = *conns_[i].Cli;
        if (c.RetryPending)
            continue;
        if (headerPhase_ && headerRequestEnded_ && i == 0) {
            // The first request failed and its delay is over: learn the file again.
            headerRequestEnded_ = false;
            headerStarted_ = false;
            c.StopReason = 0;
            return;
        }
        if (!conns_[i].Active)
            continue;
        if (c.StopReason == 3) {
            CloseFile(c);
            ReleaseRange(c);
            c.StopReason = 0;
            MakeActive(int(i), false);
            continue;
        }
        if (!c.FTicksValid || c.RequestDone)
            continue;
        uint32_t connectTick = c.FConnectTick, dataTick = c.FLastDataTick;
        if (connectTick && job_.ConnectTimeout > 0 &&
            (now - connectTick) / 1000 > uint32_t(job_.ConnectTimeout)) {
            Log(int(i), "连接超时", fDMESSERROR);
            c.SetTicks(0, 0);
            c.AbortRequest();
        } else if (dataTick && job_.DataTimeout > 0 &&
                   (now - dataTick) / 1000 > uint32_t(job_.DataTimeout)) {
            Log(int(i), "数据超时", fDMESSERROR);
            c.SetTicks(0, 0);
            c.AbortRequest();
        }
    }
}

// ---- connections ----

int QNCliDrive::NewConnection()
{
    std::unique_ptr<TQNComponent> cli;
    if (protocol_ == 1) {
        auto ftp = std::make_unique<TQNDNFtpClient>(thread_->Loop());
        ftp->MultiThreaded = true;
        ftp->SetClient(kQNClientFtp, ftp.get());
        ftp->FPassive = 1;
        cli = std::move(ftp);
    } else {
        auto http = std::make_unique<THttpCli>(thread_->Loop());
        http->MultiThreaded = true;
        http->SetClient(kQNClientHttp, http.get());
        cli = std::move(http);
    }
    TQNComponent* c = cli.get();
    c->ConnIndex = int32_t(conns_.size());
    c->RequestDone = 1;  // nothing runs yet
    c->OSQN_OnDocBegin = [this](TQNComponent* s) { DocBegin(s); };
    c->OSQN_OnDocData = [this](TQNComponent* s, const char* d, int32_t n) { DocData(s, d, n); };
    c->OSQN_OnRequestDone = [this](TQNComponent* s, TFtpRequest, int error, bool) { RequestDone(s, error); };
    c->onDisplayMess = [this](TQNComponent* s, const std::string& text, TDisplayMessTypeDef kind) {
        Log(s->ConnIndex, text, kind);
    };
    c->OSQN_QNCLIOutMessage = c->onDisplayMess;
    conns_.push_back(TConn{std::move(cli), false});
    {
        std::lock_guard<std::mutex> g(logMu_);
        if (connLogs_.size() < conns_.size())
            connLogs_.resize(conns_.size());
    }
    if (int32_t(conns_.size()) > peakConns_)
        peakConns_ = int32_t(conns_.size());
    return int(conns_.size()) - 1;
}

void QNCliDrive::MakeActive(int i, bool active)
{
    if (conns_[size_t(i)].Active == active)
        return;
    conns_[size_t(i)].Active = active;
    job_.ActiveCount += active ? 1 : -1;
}

void QNCliDrive::SetRange(TQNComponent& c, const TBlockRange& r, bool keepProgress)
{
    std::lock_guard<std::recursive_mutex> g(c.FLock);
    c.FirstBlock = r.FirstBlock;
    c.LastBlock = r.LastBlock;
    c.RangeBlocks = r.RangeBlocks;
    c.RangeStart = r.RangeStart;
    c.RangeLength = r.RangeLength;
    c.RangeToEnd = r.RangeToEnd ? 1 : 0;
    if (!keepProgress) {
        c.Received = 0;
        c.BlocksDone = 0;
        c.RangeFinished = 0;
        c.OS_RangeBegin(std::to_string(r.RangeStart));
    }
}

// The blocks of the range not yet complete become free for other connections.
void QNCliDrive::ReleaseRange(TQNComponent& c)
{
    {
        std::lock_guard<std::mutex> g(mapMu_);
        for (int32_t b = c.FirstBlock + c.BlocksDone; b <= c.LastBlock; ++b)
            if (map_.At(b) != kBlockDone)
                map_.Set(b, kBlockFree);
        map_.ReleaseOwner(uint8_t(c.ConnIndex));
    }
    SetRange(c, TBlockRange{}, false);
}

void QNCliDrive::StartConn(int i)
{
    TQNComponent& c = *conns_[size_t(i)].Cli;
    c.SetTicks(0, 0);
    c.RetryCountdown = 0;
    c.RetryPending = 0;
    if (c.FClientKind == kQNClientFtp)
        ConfigureFtp(static_cast<TQNDNFtpClient&>(c));
    else
        ConfigureHttp(static_cast<THttpCli&>(c));
    c.FLocalFileName = job_.TempFileName;
    c.RequestDone = 0;
    Log(i, "正在连接服务器 " + curHost_, fDMESSYIBAN);
    c.FGotData = 0;
    c.FIdle = 1;
    c.StopReason = 0;
    c.StopCode = 0;
    try {
        c.StartRequest();
    } catch (const std::exception& e) {
        // The client refused to start: the attempt counts as a failed request.
        Log(i, e.what(), fDMESSERROR);
        RequestDone(&c, httperrBusy);
    }
}

void QNCliDrive::ConfigureFtp(TQNDNFtpClient& f)
{
    f.HostName = curHost_;
    f.Port = curPort_;
    f.HostFileName = curPath_;
    f.UserName = job_.UserName.empty() ? "anonymous" : job_.UserName;
    f.PassWord = job_.Password.empty() ? AnonPassword : job_.Password;
}

void QNCliDrive::ConfigureHttp(THttpCli& h)
{
    h.TargetHost = curHost_;
    h.TargetPort = curPort_;
    h.TargetPath = curPath_;
    h.TargetScheme = job_.FtpViaHttpProxy ? "ftp" : "http";
    h.URL = curURL_;
    h.Agent = "Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)";
    h.Accept = "*/*";
    h.Reference = job_.Referer;
    h.NoCache = true;
    if (job_.UseLogin) {
        h.TargetUser = job_.UserName;
        h.TargetPass = job_.Password;
    }
}

// ---- assigning work ----

void QNCliDrive::AssignWork(int given)
{
    int idle = given;
    if (idle < 0) {
        if (conns_.size() > 1) {
            std::lock_guard<std::mutex> g(mapMu_);
            for (auto& conn : conns_)
                if (!conn.Active && !conn.Cli->Stopped && !conn.Cli->FGotData)
                    map_.ReleaseOwner(uint8_t(conn.Cli->ConnIndex));
        }
        for (size_t i = 0; i < conns_.size(); ++i) {
            TQNComponent& c = *conns_[i].Cli;
            if (conns_[i].Active && c.RangeFinished) {
                if (!c.RequestDone)
                    c.AbortRequest();
                else
                    MakeActive(int(i), false);
                break;
            }
        }
        if (stopRequested_)
            return;
        for (size_t i = 0; i < conns_.size() && idle < 0; ++i) {
            TQNComponent& c = *conns_[i].Cli;
            if (!conns_[i].Active && !c.Stopped && !c.RetryPending && c.RequestDone)
                idle = int(i);
        }
        if (idle < 0) {
            if (int32_t(conns_.size()) >= maxConns_)
                return;
            idle = NewConnection();
        }
    }
    TQNComponent& c = *conns_[size_t(idle)].Cli;
    TWorkScan scan = ScanForWork(map_);
    if (scan.AllDone) {
        allDone_ = true;
        return;
    }
    if (!job_.RangesOK && !headerPhase_) {
        // Without ranges the file can only come whole, from its start, on one connection.
        for (auto& conn : conns_)
            if (conn.Active)
                return;
        if (!scan.FreeRun)
            return;
        std::lock_guard<std::mutex> g(mapMu_);
        map_.Setup(job_.FileSize);
        job_.DoneSize = 0;
        TBlockRange whole = MakeRange(0, map_.BlockCount() - 1, map_.BlockCount(), job_.FileSize);
        SetRange(c, whole, false);
        c.OS_RangeBegin("");
        MarkRange(map_, whole, uint8_t(c.ConnIndex));
    } else if (scan.FreeRun) {
        SetRange(c, *scan.FreeRun, false);
        std::lock_guard<std::mutex> g(mapMu_);
        MarkRange(map_, *scan.FreeRun, uint8_t(c.ConnIndex));
    } else {
        if (!TakeOver(idle))
            return;
    }
    MakeActive(idle, true);
    StartConn(idle);
}

bool QNCliDrive::TakeOver(int idle)
{
    std::vector<TRunningRange> running;
    std::vector<size_t> owners;
    for (size_t i = 0; i < conns_.size(); ++i) {
        TQNComponent& c = *conns_[i].Cli;
        if (!conns_[i].Active || c.RangeFinished || c.RequestDone || int(i) == idle)
            continue;
        running.push_back({RangeOf(c), c.BlocksDone});
        owners.push_back(i);
    }
    auto plan = PlanTakeOver(running, map_.BlockCount(), map_.TotalSize());
    if (!plan)
        return false;
    TQNComponent& victim = *conns_[owners[plan->Victim]].Cli;
    TQNComponent& taker = *conns_[size_t(idle)].Cli;
    std::lock_guard<std::recursive_mutex> g(victim.FLock);
    SetRange(victim, plan->Kept, true);
    SetRange(taker, plan->Given, false);
    std::lock_guard<std::mutex> m(mapMu_);
    MarkRange(map_, plan->Given, uint8_t(taker.ConnIndex));
    return true;
}

// ---- connection events ----

void QNCliDrive::DocBegin(TQNComponent* c)
{
    const int i = c->ConnIndex;
    if (!job_.StartTick)
        job_.StartTick = GetTickCount32();
    if (stopRequested_)
        return;
    // The FTP block download itself fails a retrieve the server would not position;
    // an HTTP server may answer a range with the whole file.
    THttpCli* h = c->FClientKind == kQNClientHttp ? static_cast<THttpCli*>(c) : nullptr;
    const bool whole = h && h->StatusCode() != 206;
    if (headerPhase_) {
        if (h)
            job_.RangesOK = (h->StatusCode() == 206 ||
                             LowerCase(h->AcceptRanges()).find("bytes") != std::string::npos) ? 1 : 0;
        else
            job_.RangesOK = c->FResumeSupported ? 1 : 0;
        if (whole && c->RangeStart > 0)
            job_.RangesOK = 0;  // asked for a range, got the whole file
        if (job_.RangesOK) {
            job_.CanResume = 1;
        } else {
            maxConns_ = 1;
            Log(i, "无法取得续传标志", fDMESSERROR);
        }
        c->WaitingHeader = 1;
        if (!EvaluateHeader(*c)) {
            job_.Failed = 1;
            RequestStop();
            c->AbortRequest();
            return;
        }
        c->WaitingHeader = 0;
        startOthers_ = true;
        headerPhase_ = false;
    } else if (whole && c->RangeStart > 0) {
        // The server ignored the range: this connection's data would land at the wrong
        // offset. Only one connection from the file's start can go on.
        job_.RangesOK = 0;
        maxConns_ = 1;
        Log(i, "无法取得续传标志", fDMESSERROR);
        c->StopReason = 3;
        c->AbortRequest();
        for (auto& conn : conns_) {
            TQNComponent& o = *conn.Cli;
            if (!conn.Active || &o == c || o.RequestDone)
                continue;
            if (o.RangeStart == 0 && !o.RangeFinished) {
                // It reads from the start anyway: it takes the rest of the file.
                std::lock_guard<std::recursive_mutex> lo(o.FLock);
                std::lock_guard<std::mutex> m(mapMu_);
                const int32_t last = map_.BlockCount() - 1;
                SetRange(o, MakeRange(0, last, map_.BlockCount(), map_.TotalSize()), true);
                for (int32_t b = o.FirstBlock + o.BlocksDone + 1; b <= last; ++b)
                    if (map_.At(b) != kBlockDone)
                        map_.Set(b, uint8_t(o.ConnIndex));
            } else {
                o.StopReason = 3;
                o.AbortRequest();
            }
        }
        return;
    }
    Log(i, "开始接收数据", fDMESSYIBAN);
    if (c->FileStream < 0)
        c->FileStream = OpenPartialFile(PartialPath(), false);
}

bool QNCliDrive::EvaluateHeader(TQNComponent& c)
{
    const int i = c.ConnIndex;
    const int64_t length = c.OS_FileLength();
    if (!job_.FreshStart) {
        if (DecideResume(job_.FileSize, map_, length) != TResumeDecision::Resume) {
            job_.FreshStart = 1;
            job_.Initialized = 0;
            Log(i, "错误:服务器文件长度改变!!!!!", fDMESSERROR);
            return false;
        }
        if (::access(PartialPath().c_str(), F_OK) != 0) {
            c.StopReason = 4;
            Log(i, "错误:以前下载的文件不存在!!!!!", fDMESSERROR);
            return false;
        }
        if (!job_.RangesOK) {
            // The whole file comes again from its start.
            std::lock_guard<std::mutex> g(mapMu_);
            map_.Setup(length);
            TBlockRange all = MakeRange(0, map_.BlockCount() - 1, map_.BlockCount(), length);
            SetRange(c, all, false);
            MarkRange(map_, all, uint8_t(i));
            job_.DoneSize = 0;
        }
        MakeActive(i, true);
        return true;
    }
    job_.Initialized = 1;
    {
        std::lock_guard<std::mutex> g(mapMu_);
        if (!map_.Setup(length)) {
            Log(i, "文件长度未知", fDMESSERROR);
            return false;
        }
    }
    const std::string path = PartialPath();
    if (length > 0) {
        if (!SetPartialFileSize(path, length)) {
            Log(i, std::string(kDiskSpaceText) + std::to_string(length), fDMESSERROR);
            return false;
        }
        if (CheckDisk) {
            TCheckDiskResult r = tq::CheckDisk(path, length);
            if (!r.Ok) {
                Log(i, r.Message, fDMESSERROR);
                return false;
            }
        }
    } else {
        Log(i, "文件长度未知", fDMESSERROR);
        maxConns_ = 1;
    }
    c.FileStream = OpenPartialFile(path, true);
    if (c.FileStream < 0) {
        Log(i, kWriteFailedText, fDMESSERROR);
        return false;
    }
    job_.SizeUnknown = length > 0 ? 0 : 1;
    job_.FileSize = length > 0 ? length : 0;
    job_.DoneSize = 0;
    std::vector<TBlockRange> ranges = SplitBlocks(length, job_.RangesOK ? maxConns_ : 1);
    for (size_t k = 0; k < ranges.size(); ++k) {
        int n = k == 0 ? i : NewConnection();
        TQNComponent& conn = *conns_[size_t(n)].Cli;
        SetRange(conn, ranges[k], false);
        MakeActive(n, true);
        if (length > 0) {
            std::lock_guard<std::mutex> g(mapMu_);
            MarkRange(map_, ranges[k], uint8_t(n));
        }
    }
    job_.FreshStart = 0;
    return true;
}

void QNCliDrive::DocData(TQNComponent* c, const char* data, int32_t n)
{
    if (headerPhase_ || stopRequested_ || n <= 0 || c->RangeFinished)
        return;
    std::lock_guard<std::recursive_mutex> g(c->FLock);
    job_.NoDataCount = 0;
    if (job_.SizeUnknown) {
        if (c->FileStream < 0 || !WriteAt(c->FileStream, c->Received, data, size_t(n))) {
            c->StopReason = kStopDiskWrite;
            c->AbortRequest();
            FailJob(c->ConnIndex, kWriteFailedText);
            return;
        }
        c->Received += n;
        std::lock_guard<std::mutex> m(mapMu_);
        map_.GrowTo(c->Received);
        job_.DoneSize = map_.DoneBytes();
        return;
    }
    const TBlockRange range = RangeOf(*c);
    const TPieceClip clip = ClipPiece(range, c->Received, n);
    if (clip.Count > 0 &&
        (c->FileStream < 0 || !WriteAt(c->FileStream, clip.Offset, data, size_t(clip.Count)))) {
        c->StopReason = kStopDiskWrite;
        c->AbortRequest();
        FailJob(c->ConnIndex, kWriteFailedText);
        return;
    }
    {
        std::lock_guard<std::mutex> m(mapMu_);
        // Only blocks this piece completes add to the done size.
        for (int32_t b = c->BlocksDone; b < clip.BlocksDone; ++b)
            if (map_.At(range.FirstBlock + b) != kBlockDone)
                job_.DoneSize += map_.BlockLength(range.FirstBlock + b);
        const int32_t next = range.FirstBlock + clip.BlocksDone;
        const bool nextWasDone = !clip.Finished && map_.At(next) == kBlockDone;
        MarkPiece(map_, range, clip);
        if (nextWasDone && map_.At(next) != kBlockDone)
            job_.DoneSize -= map_.BlockLength(next);  // being received again
    }
    c->Received = clip.Received;
    c->BlocksDone = clip.BlocksDone;
    if (clip.Finished) {
        c->RangeFinished = 1;
        c->AbortRequest();  // the server would go on sending past the range
    }
}

void QNCliDrive::RequestDone(TQNComponent* c, int error)
{
    const int i = c->ConnIndex;
    c->FIdle = 1;
    CloseFile(*c);
    const int status = c->Os_stateCode();
    bool failed = error != 0 || status > 399;
    if (c->RangeFinished)
        failed = false;
    if (headerPhase_)
        failed = true;
    if (!failed && !stopRequested_) {
        if (job_.SizeUnknown) {
            std::lock_guard<std::mutex> m(mapMu_);
            map_.FinishUnknown(c->Received);
            job_.FileSize = c->Received;
            job_.SizeUnknown = 0;
            job_.DoneSize = map_.DoneBytes();
            c->RangeFinished = 1;
        } else if (c->Received < c->RangeLength) {
            Log(i, "发生错误", fDMESSERROR);
            failed = true;
        }
        if (!failed) {
            c->RangeFinished = 1;
            Log(i, "此模块下载完毕", fDMESSCMD);
            c->SetTicks(0, 0);
        }
    }
    if (failed && !stopRequested_ && !c->Stopped) {
        c->SetTicks(0, 0);
        ++c->ErrorCount;
        ++job_.FailureCount;
        const int code = error ? error : status;
        if (c->OS_NotFound()) {
            Log(i, "无法找到文件!", fDMESSYIBAN);
            FailJob(i, "");
        } else if (job_.StopOnMaxRetries && job_.MaxRetries > 0 && job_.FailureCount >= job_.MaxRetries) {
            FailJob(i, "大于最大重试次数" + std::to_string(job_.MaxRetries));
        } else if (!c->FGotData && ++job_.NoDataCount >= job_.MaxNoData && job_.StopOnMaxNoData &&
                   job_.MaxNoData > 0) {
            FailJob(i, "大于最大无数据读取次数" + std::to_string(job_.MaxNoData));
        }
        if (!stopRequested_) {
            Log(i, "发生错误 Socket Error=" + std::to_string(code), fDMESSERROR);
            Log(i, std::to_string(job_.RetryDelay) + "秒钟后重试", fDMESSYIBAN);
            if (job_.SizeUnknown && !headerPhase_) {
                // Data without a length can only come again from the start.
                std::lock_guard<std::mutex> m(mapMu_);
                map_.Setup(0);
                job_.DoneSize = 0;
                job_.FreshStart = 1;
                headerPhase_ = true;
            }
            if (headerPhase_)
                headerRequestEnded_ = true;
            else
                c->StopReason = 3;  // its range goes back to the free blocks
            c->RetryCountdown = job_.RetryDelay;
            c->RetryPending = job_.RetryDelay > 0 ? 1 : 0;
        }
    }
    c->RequestDone = 1;
}

} // namespace tq
