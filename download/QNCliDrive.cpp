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
#include <algorithm>
#include <sys/stat.h>
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

// A command line as the connection log shows it: secrets are not written out.
std::string LogSafeCommand(const std::string& line)
{
    const std::string upper = UpperCase(line);
    for (const char* secret : {"PASS ", "AUTHORIZATION:", "PROXY-AUTHORIZATION:"})
        if (upper.rfind(secret, 0) == 0)
            return TrimRight(line.substr(0, std::string(secret).size())) + " ****";
    return line;
}

} // namespace

bool ProxyServesHttp(int32_t type)
{
    return type == 0 || type == 1 || type == 2 || type == 7 || type == 8;
}

bool ProxyServesFtp(int32_t type)
{
    return type == 0 || (type >= 3 && type <= 8);
}

QNCliDrive::QNCliDrive(TDLMangeData& job, std::string storeDir)
    : job_(job), storeDir_(std::move(storeDir)),
      thread_(std::make_unique<THDThread>([this] { return WorkerPass(); }))
{
}

QNCliDrive::~QNCliDrive()
{
    if (started_ && !ended_) {
        StopAll();
        thread_->WaitEnded(std::chrono::seconds(30));
    }
    thread_.reset();  // joins; connections left over go with the loop's thread gone
}

void QNCliDrive::Configure(TDriverSettings settings)
{
    if (!Trim(settings.AnonPassword).empty())
        AnonPassword = settings.AnonPassword;
    CheckDisk = settings.CheckDisk;
    Passive = settings.Passive;
    httpProxy_ = std::move(settings.HttpProxy);
    ftpProxy_ = std::move(settings.FtpProxy);
    proxyList_ = std::move(settings.ProxyList);
    proxyTurn_ = 0;
}

bool QNCliDrive::OpenJob(int protocol, bool fresh)
{
    if ((protocol != 1 && protocol != 2) || job_.BlockFileName.empty() || job_.TempFileName.empty())
        return false;
    TRecordGuard record(job_.Lock.Mutex);
    job_.Protocol = protocol;
    protocol_ = protocol;
    // An ftp:// job whose proxy speaks only HTTP is fetched over HTTP through it.
    ftpViaHttp_ = false;
    if (protocol == 1) {
        if (job_.MultiProxy && !proxyList_.empty()) {
            bool ftpFits = false, httpFits = false;
            for (const auto& p : proxyList_) {
                ftpFits = ftpFits || ProxyServesFtp(p->Type);
                httpFits = httpFits || p->Type == 1 || p->Type == 2;
            }
            ftpViaHttp_ = !ftpFits && httpFits;
        } else if (job_.UseProxy && ftpProxy_) {
            ftpViaHttp_ = ftpProxy_->Type == 1 || ftpProxy_->Type == 2;
        }
        if (ftpViaHttp_)
            protocol_ = 2;
    }
    job_.FtpViaHttpProxy = ftpViaHttp_ ? 1 : 0;
    mapPath_ = SafeJoinLocalPath(storeDir_, job_.BlockFileName);
    curURL_ = job_.URL;
    curUser_ = job_.UserName;
    curPass_ = job_.Password;
    curReferer_ = job_.Referer;
    useAuth_ = job_.UseLogin != 0;
    SplitCurrentURL();
    if (curPort_.empty())
        curPort_ = std::to_string(job_.Port);
    urlChanged_ = false;
    redirectPending_ = switchToFtp_ = false;
    redirects_ = 0;
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
    // A run that ended right after renaming the finished file (the process was killed
    // before the job was filed) finds every block done, no partial file and the final
    // file at its full length: the job is complete without asking the server again.
    alreadyRenamed_ = false;
    if (!job_.FreshStart && map_.BlockCount() > 0 && map_.AllDone() && !EntryExists(PartialPath())) {
        struct stat st {};
        if (::stat(FinalPath().c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == job_.FileSize)
            alreadyRenamed_ = allDone_ = true;
    }
    stopRequested_ = stopInProgress_ = false;
    job_.Failed = job_.Completed = 0;
    job_.StopDone = 0;
    opened_ = true;
    return true;
}

// CurURL split into the target of requests; a port or a user in the URL wins.
void QNCliDrive::SplitCurrentURL()
{
    TURLParts parts = SplitURL(curURL_);
    curHost_ = parts.Host;
    curPath_ = parts.Path.empty() ? "/" : parts.Path;
    if (!parts.Port.empty())
        curPort_ = parts.Port;
    else if (parts.Proto == "ftp")
        curPort_ = "21";
    else if (parts.Proto == "http" && urlChanged_)
        curPort_ = "80";
    if (!parts.User.empty()) {
        curUser_ = parts.User;
        curPass_ = parts.Pass;
        useAuth_ = true;
    }
}

void QNCliDrive::StartThread()
{
    {
        TRecordGuard record(job_.Lock.Mutex);
        job_.ThreadEnded = 0;
        job_.Running = 1;
        if (!opened_) {
            job_.Failed = 1;
            stopRequested_ = true;
        }
        lastPeriodTick_ = GetTickCount32();
        lastStamp_ = job_.PeriodStamp;
    }
    started_ = true;
    thread_->Start();
}

void QNCliDrive::StopAll()
{
    thread_->Post([this] {
        TRecordGuard record(job_.Lock.Mutex);
        RequestStop();
    });
}

bool QNCliDrive::Ended() const
{
    return ended_ || !started_;
}

void QNCliDrive::StopConnection(int i)
{
    thread_->Post([this, i] {
        TRecordGuard record(job_.Lock.Mutex);
        if (ended_ || i < 0 || size_t(i) >= conns_.size())
            return;
        TQNComponent& c = *conns_[size_t(i)].Cli;
        c.Stopped = 1;
        if (conns_[size_t(i)].Active && !c.RequestDone)
            c.AbortRequest();
    });
}

void QNCliDrive::EnableConnection(int i)
{
    thread_->Post([this, i] {
        TRecordGuard record(job_.Lock.Mutex);
        if (ended_ || i < 0 || size_t(i) >= conns_.size())
            return;
        conns_[size_t(i)].Cli->Stopped = 0;
        conns_[size_t(i)].Cli->ErrorCount = 0;  // its error limit counts afresh
    });
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

std::string QNCliDrive::FinalPath() const
{
    return JobFilePath(job_.SavePath, job_.FileName);
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
    int result;
    bool completed;
    {
        TRecordGuard record(job_.Lock.Mutex);
        result = Pass();
        completed = result == kPassThreadEnd && job_.Completed;
        UpdateIdle();
    }
    // Raised outside the record's lock: the handler may take the manager's locks.
    if (completed && OnFinish)
        OnFinish(this, "OK");
    if (result == kPassThreadEnd)
        ended_ = true;
    return result;
}

void QNCliDrive::UpdateIdle()
{
    bool idle = true;
    for (const auto& conn : conns_)
        idle = idle && (!conn.Active || conn.Cli->RequestDone || !conn.Cli->FGotData);
    allIdle_ = idle;
}

int QNCliDrive::Pass()
{
    job_.StopDone = 0;
    if (allDone_)
        RequestStop();
    if (HandleStop())
        return kPassThreadEnd;
    if (switchToFtp_) {
        switchToFtp_ = false;
        SwitchToFtp();
        return 0;
    }
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
    if (urlChanged_) {
        urlChanged_ = false;
        TakeServerName();
    }
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
    if (alreadyRenamed_) {
        struct stat st {};
        job_.Completed = 1;
        if (::stat(FinalPath().c_str(), &st) == 0)
            job_.FileDate = PackFileDate(LocalDateTimeFields(st.st_mtime));
        return;
    }
    // The name is recorded before each rename is tried, never after: see OpenJob.
    const bool record = !storeDir_.empty() && job_.ExdNumber > 0;
    TCompletion done = CompletePartialFile(job_.SavePath, job_.TempFileName, job_.FileName,
                                           [&](const std::string& name) {
                                               if (record && name != job_.FileName)
                                                   ExdWriteText(job_, storeDir_, "SaveFileName", name);
                                           });
    if (!done.Ok) {
        Log(0, "完成文件改名失败: " + std::to_string(done.Error), fDMESSERROR);
        job_.Failed = 1;
        return;
    }
    if (done.NameChanged)
        job_.FileName = done.FileName;
    job_.Completed = 1;
    job_.FileDate = done.FileDate;
}

// A fresh start after a redirect saves under the server's name when the job asks for
// it. The name comes from the server: it is sanitised into one plain name inside the
// save folder, and the partial file gets a free name beside it.
void QNCliDrive::TakeServerName()
{
    if (!job_.UseServerName || !job_.FreshStart)
        return;
    TURLInfo info;
    if (AnalyseURL(curURL_, info) == ukUnsupported || Trim(info.FileName).empty())
        return;
    const std::string name = SanitizeFileName(info.FileName);
    if (name == job_.FileName)
        return;
    const std::string oldPartial = PartialPath();
    std::string base = name;
    UniqueFileName(job_.SavePath, base, kPartialFileExt);
    job_.FileName = name;
    job_.TempFileName = AddFileExt(base, kPartialFileExt);
    job_.NamesChanged = 1;
    if (!storeDir_.empty()) {
        ExdWriteText(job_, storeDir_, "TempFIleName", job_.TempFileName);
        ExdWriteText(job_, storeDir_, "SaveFileName", job_.FileName);
    }
    // The old partial file of a fresh start holds nothing worth keeping.
    struct stat st {};
    if (::lstat(oldPartial.c_str(), &st) == 0 && S_ISREG(st.st_mode) && oldPartial != PartialPath())
        ::unlink(oldPartial.c_str());
}

// A new period starts when the manager's stamp changes; a manager that never sets
// one (0) leaves the driver to its own 1.2-s clock.
void QNCliDrive::PeriodTick()
{
    if (job_.PeriodStamp != 0) {
        if (job_.PeriodStamp == lastStamp_)
            return;
        lastStamp_ = job_.PeriodStamp;
    } else {
        uint32_t now = GetTickCount32();
        if (!TickReached(now, lastPeriodTick_ + kRetryPeriodMs))
            return;
        lastPeriodTick_ = now;
    }
    NewPeriod();
}

// Retries wait whole periods; the speed budget starts again.
void QNCliDrive::NewPeriod()
{
    for (auto& conn : conns_) {
        TQNComponent& c = *conn.Cli;
        if (c.RetryPending && --c.RetryCountdown <= 0) {
            c.RetryCountdown = 0;
            c.RetryPending = 0;
        }
    }
    if (job_.SpeedLimited || speedWasLimited_)
        ResumeSpeedPaused();
    periodBytes_ = 0;
    speedWasLimited_ = job_.SpeedLimited != 0;
    // Small pieces keep a budget's overshoot small; without a limit, large ones.
    const size_t piece = job_.SpeedLimited
        ? size_t(std::clamp<int64_t>(job_.SpeedBudget / 16, 4096, 512 * 1024)) : 0;
    for (auto& conn : conns_)
        conn.Cli->LimitReadPiece(piece);
}

void QNCliDrive::PauseForSpeed(TConn& conn)
{
    if (conn.SpeedPaused)
        return;
    conn.SpeedPaused = true;
    conn.Cli->PauseReceive(true);
}

void QNCliDrive::ResumeSpeedPaused()
{
    const uint32_t now = GetTickCount32();
    for (auto& conn : conns_) {
        if (!conn.SpeedPaused)
            continue;
        conn.SpeedPaused = false;
        if (!conn.Active || conn.Cli->Stopped)
            continue;
        TQNComponent& c = *conn.Cli;
        // The pause was ours: it does not count as silence of the server.
        if (c.FTicksValid && c.FLastDataTick)
            c.SetTicks(0, now);
        c.PauseReceive(false);
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
            if (redirectPending_) {
                FollowRedirect();
                return;
            }
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
        if (!c.FTicksValid || c.RequestDone || conns_[i].SpeedPaused)
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

// The first request was redirected: the job's target moves and the first phase runs
// again. Every redirect of the run counts; past the limit, or to a scheme no connection
// speaks, the job fails rather than asking the same server again and again.
bool QNCliDrive::FollowRedirect()
{
    redirectPending_ = false;
    headerRequestEnded_ = false;
    headerStarted_ = false;
    conns_[0].Cli->StopReason = 0;
    const std::string url = redirectURL_;
    const std::string lower = LowerCase(url);
    const bool http = lower.rfind("http://", 0) == 0;
    const bool ftp = lower.rfind("ftp://", 0) == 0;
    if ((!http && !ftp) || ++redirects_ > kMaxJobRedirects) {
        FailJob(0, "发生错误无法支持的文件重定向" + std::to_string(redirectStatus_));
        return false;
    }
    const std::string oldHost = curHost_;
    Log(0, "重定向到" + url, fDMESSCMD);
    urlChanged_ = true;
    curURL_ = url;
    TURLParts parts = SplitURL(url);
    if (parts.User.empty() && LowerCase(parts.Host) != LowerCase(oldHost)) {
        // Credentials belong to the server they were given for.
        curUser_.clear();
        curPass_.clear();
        useAuth_ = false;
    }
    SplitCurrentURL();
    TURLInfo info;
    if (AnalyseURL(url, info) != ukUnsupported) {
        curReferer_ = (http ? "http://" : "ftp://") + info.Host;
        if (!Trim(info.Dir).empty())
            curReferer_ += "/" + info.Dir;
    }
    if (ftp) {
        const TproxyData* p = conns_[0].Proxy;
        ftpViaHttp_ = protocol_ == 2 && p && (p->Type == 1 || p->Type == 2);
        job_.FtpViaHttpProxy = ftpViaHttp_ ? 1 : 0;
        switchToFtp_ = protocol_ == 2 && !ftpViaHttp_;
    } else {
        ftpViaHttp_ = false;
    }
    std::lock_guard<std::mutex> g(mapMu_);
    map_.FreeNotDone();
    return true;
}

// After a redirect to ftp://: one FTP connection replaces the HTTP ones; the first
// connection's log goes on.
void QNCliDrive::SwitchToFtp()
{
    for (auto& conn : conns_) {
        CloseFile(*conn.Cli);
        conn.Cli->AbortRequest();
    }
    conns_.clear();
    job_.ActiveCount = 0;
    {
        std::lock_guard<std::mutex> g(logMu_);
        connLogs_.resize(std::min<size_t>(connLogs_.size(), 1));
    }
    protocol_ = 1;
    job_.Protocol = 1;
    {
        std::lock_guard<std::mutex> g(mapMu_);
        map_.FreeNotDone();
    }
    MakeActive(NewConnection(), true);
    headerPhase_ = true;
    headerStarted_ = false;
    headerRequestEnded_ = false;
}

// ---- connections ----

int QNCliDrive::NewConnection()
{
    std::unique_ptr<TQNComponent> cli;
    if (protocol_ == 1) {
        auto ftp = std::make_unique<TQNDNFtpClient>(thread_->Loop());
        ftp->MultiThreaded = true;
        ftp->SetClient(kQNClientFtp, ftp.get());
        ftp->FPassive = Passive ? 1 : 0;
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
    c->OSQN_OnLocationChange = [this](TQNComponent* s) { LocationChange(s); };
    c->OSQN_OnHeaderData = [this](TQNComponent* s) {
        if (s->FClientKind == kQNClientHttp)
            Log(s->ConnIndex, s->OS_LastResponse(), fDMESSTISHI);
    };
    c->OSQN_OnCommand = [this](TQNComponent* s, std::string& line) {
        Log(s->ConnIndex, LogSafeCommand(line), fDMESSCMD);
    };
    c->OSQN_OnSessionConnected = [this](TQNComponent* s, int error) {
        if (error == 0)
            Log(s->ConnIndex, "已经连接", fDMESSTISHI);
    };
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
        // A closed range: the server sends no more than the range's blocks, so a range
        // taken over late costs no bytes beyond it (a later take-over that shortens
        // this range still cuts the rest off at the new end).
        if (r.RangeLength > 0 && job_.FileSize > 0 && !job_.SizeUnknown)
            c.OS_RangeEnd(std::to_string(
                std::min<int64_t>(job_.FileSize, int64_t(r.LastBlock + 1) * kBlockSize) - 1));
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

// The proxy of the next connection start: the rotation list with MultiProxy (entries
// that cannot carry this kind of connection are passed over), else the job's proxy.
const TproxyData* QNCliDrive::NextProxy(uint8_t clientKind)
{
    auto serves = [clientKind](const TproxyData& p) {
        return clientKind == kQNClientHttp ? ProxyServesHttp(p.Type) : ProxyServesFtp(p.Type);
    };
    if (job_.MultiProxy && !proxyList_.empty()) {
        for (size_t n = 0; n < proxyList_.size(); ++n) {
            if (proxyTurn_ >= proxyList_.size())
                proxyTurn_ = 0;
            const TproxyData& p = *proxyList_[proxyTurn_++];
            if (serves(p))
                return p.Type == 0 ? nullptr : &p;
        }
        return nullptr;
    }
    if (!job_.UseProxy)
        return nullptr;
    const TproxyData* p = clientKind == kQNClientFtp || (ftpViaHttp_ && job_.Protocol == 1 && ftpProxy_ &&
                                                          (ftpProxy_->Type == 1 || ftpProxy_->Type == 2))
        ? ftpProxy_.get() : httpProxy_.get();
    return p && p->Type != 0 && serves(*p) ? p : nullptr;
}

void QNCliDrive::StartConn(int i)
{
    TConn& conn = conns_[size_t(i)];
    TQNComponent& c = *conn.Cli;
    c.SetTicks(0, 0);
    c.RetryCountdown = 0;
    c.RetryPending = 0;
    if (conn.SpeedPaused) {
        conn.SpeedPaused = false;
        c.PauseReceive(false);
    }
    conn.Proxy = NextProxy(c.FClientKind);
    // Once the first answer gave the length, further blocks need not list the file.
    c.FKnownFileSize = !headerPhase_ && !job_.SizeUnknown ? job_.FileSize : 0;
    if (c.FClientKind == kQNClientFtp)
        ConfigureFtp(static_cast<TQNDNFtpClient&>(c), conn.Proxy);
    else
        ConfigureHttp(static_cast<THttpCli&>(c), conn.Proxy);
    c.LimitReadPiece(job_.SpeedLimited
        ? size_t(std::clamp<int64_t>(job_.SpeedBudget / 16, 4096, 512 * 1024)) : 0);
    c.FLocalFileName = job_.TempFileName;
    c.RequestDone = 0;
    if (conn.Proxy)
        Log(i, "正在连接代理服务器 " + conn.Proxy->ServerName, fDMESSYIBAN);
    else
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

void QNCliDrive::ConfigureFtp(TQNDNFtpClient& f, const TproxyData* proxy)
{
    f.HostName = curHost_;
    f.Port = curPort_;
    f.HostFileName = curPath_;
    f.UserName = curUser_.empty() ? "anonymous" : curUser_;
    f.PassWord = curPass_.empty() ? AnonPassword : curPass_;
    f.FAnonPass = AnonPassword;
    f.FPassive = Passive ? 1 : 0;
    f.SetConnectionType(ftpDirect);
    f.ProxyServer.clear();
    f.ProxyUserName.clear();
    f.ProxyPassWord.clear();
    f.SocksServer.clear();
    f.SocksUserCode.clear();
    f.SocksPassword.clear();
    f.ViaProxy = 0;
    if (!proxy)
        return;
    f.ViaProxy = 1;
    if (proxy->Type >= 3 && proxy->Type <= 6) {
        f.SetConnectionType(ftpProxy);
        f.ProxyServer = proxy->ServerName;
        f.ProxyPort = proxy->ServerPort;
        f.ProxyLogin = TFtpProxyLogin(proxy->Type);
        f.ProxyUserName = proxy->UserName;
        f.ProxyPassWord = proxy->PassWord;
    } else {
        f.SetConnectionType(proxy->Type == 7 ? ftpSocks4 : ftpSocks5);
        f.SocksServer = proxy->ServerName;
        f.SocksPort = proxy->ServerPort;
        if (proxy->Authenticate) {
            f.SocksUserCode = proxy->UserName;
            f.SocksPassword = proxy->PassWord;
        }
    }
}

void QNCliDrive::ConfigureHttp(THttpCli& h, const TproxyData* proxy)
{
    h.TargetHost = curHost_;
    h.TargetPort = curPort_;
    h.TargetPath = curPath_;
    h.TargetScheme = ftpViaHttp_ ? "ftp" : "http";
    h.URL = curURL_;
    h.Agent = "Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)";
    h.Accept = "*/*";
    h.Reference = curReferer_;
    h.NoCache = true;
    h.TargetUser = useAuth_ ? curUser_ : std::string();
    h.TargetPass = useAuth_ ? curPass_ : std::string();
    h.Username.clear();
    h.Password.clear();
    h.Proxy.clear();
    h.ProxyUsername.clear();
    h.ProxyPassword.clear();
    h.UseQNExProxyMode = false;
    h.SocksServer.clear();
    h.SocksUsercode.clear();
    h.SocksPassword.clear();
    h.SocksAuthentication = false;
    h.UseProxy = proxy != nullptr;
    if (!proxy)
        return;
    if (proxy->Type == 1 || proxy->Type == 2) {
        h.UseQNExProxyMode = proxy->Type == 2;
        h.Proxy = proxy->ServerName;
        h.ProxyPort = proxy->ServerPort;
        h.ProxyUsername = proxy->UserName;
        h.ProxyPassword = proxy->PassWord;
    } else {
        h.SocksServer = proxy->ServerName;
        h.SocksPort = proxy->ServerPort;
        h.SocksLevel = proxy->Type == 7 ? "4" : "5";
        if (proxy->Authenticate) {
            h.SocksAuthentication = true;
            h.SocksUsercode = proxy->UserName;
            h.SocksPassword = proxy->PassWord;
        }
    }
}

// ---- assigning work ----

void QNCliDrive::AssignWork(int given)
{
    int idle = given;
    if (idle < 0) {
        ReleaseIdleBlocks();
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

// Idle connections that never received data let go of their blocks; one that keeps
// failing without data is switched off when the job says so.
void QNCliDrive::ReleaseIdleBlocks()
{
    if (conns_.size() <= 1)
        return;
    for (size_t i = 0; i < conns_.size(); ++i) {
        TQNComponent& c = *conns_[i].Cli;
        if (conns_[i].Active || c.Stopped || c.FGotData)
            continue;
        {
            std::lock_guard<std::mutex> g(mapMu_);
            map_.ReleaseOwner(uint8_t(c.ConnIndex));
        }
        if (job_.StopConnAtMax && job_.ConnMaxErrors > 0 && c.ErrorCount >= job_.ConnMaxErrors) {
            c.Stopped = 1;
            c.AbortRequest();
            std::string text = "该线程%d次无数据自动关闭";
            text.replace(text.find("%d"), 2, std::to_string(c.ErrorCount));
            Log(int(i), text, fDMESSCMD);
        }
    }
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
    TRecordGuard record(job_.Lock.Mutex);
    const int i = c->ConnIndex;
    if (!job_.StartTick)
        job_.StartTick = GetTickCount32();
    if (stopRequested_)
        return;
    // The FTP block download itself fails a retrieve the server would not position;
    // an HTTP server may answer a range with the whole file.
    THttpCli* h = c->FClientKind == kQNClientHttp ? static_cast<THttpCli*>(c) : nullptr;
    if (h && h->StatusCode() != 200 && h->StatusCode() != 206) {
        // 204, a 3xx without a Location, ...: no document, whatever the length says.
        c->StopCode = h->StatusCode();
        c->AbortRequest();
        return;
    }
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
        thread_->PassSoon();
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
        // An HTTP length of 0 is known: the document is empty (it completes the same way).
        if (length < 0 || c.FClientKind != kQNClientHttp)
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
    // A small file is split into fewer ranges than allowed (one for 5 blocks or fewer):
    // the run keeps to that many connections.
    maxConns_ = std::max<int32_t>(1, std::min<int32_t>(maxConns_, int32_t(ranges.size())));
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
    TRecordGuard record(job_.Lock.Mutex);
    if (headerPhase_ || stopRequested_ || n <= 0 || c->RangeFinished)
        return;
    StoreData(c, data, n);
    if (job_.SpeedLimited && !c->RangeFinished && !stopRequested_) {
        periodBytes_ += n;
        if (periodBytes_ >= int64_t(job_.SpeedBudget) - kSpeedBudgetSlack)
            PauseForSpeed(conns_[size_t(c->ConnIndex)]);
    }
}

void QNCliDrive::StoreData(TQNComponent* c, const char* data, int32_t n)
{
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
        // Every block but a partial last one is done: no count over the whole map for
        // each piece.
        job_.DoneSize = c->Received - c->Received % kBlockSize;
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

// In the first phase the driver follows a redirect itself (so it can count them and
// take the server's name); later connections already ask the final URL.
void QNCliDrive::LocationChange(TQNComponent* c)
{
    TRecordGuard record(job_.Lock.Mutex);
    if (!headerPhase_ || c->ConnIndex != 0 || redirectPending_ || c->FClientKind != kQNClientHttp)
        return;
    redirectPending_ = true;
    redirectURL_ = c->OS_Locate();
    redirectStatus_ = c->Os_stateCode();
    c->AbortRequest();
}

void QNCliDrive::RequestDone(TQNComponent* c, int error)
{
    TRecordGuard record(job_.Lock.Mutex);
    thread_->PassSoon();  // the idle connection gets work without waiting for the tick
    const int i = c->ConnIndex;
    c->FIdle = 1;
    CloseFile(*c);
    if (redirectPending_ && i == 0 && headerPhase_) {
        c->StopReason = 6;
        headerRequestEnded_ = true;
        c->RequestDone = 1;
        return;
    }
    const int status = c->StopCode ? c->StopCode : c->Os_stateCode();
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
    if (failed && !stopRequested_ && c->Stopped) {
        // Stopped by the user or by its error limit: its range goes back to the free blocks.
        Log(i, "用户停止", fDMESSERROR);
        if (headerPhase_)
            headerRequestEnded_ = true;
        else
            c->StopReason = 3;
    } else if (failed && !stopRequested_) {
        c->SetTicks(0, 0);
        ++c->ErrorCount;
        ++job_.FailureCount;
        const int code = c->StopCode ? c->StopCode : error ? error : status;
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
