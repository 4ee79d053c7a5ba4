#include "download/GloatData.h"

#include <gtest/gtest.h>

#include <map>
#include <sys/stat.h>

#include "foundation/PathUtils.h"
#include "tests/support/TestSupport.h"

namespace tq {
namespace {

using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// Fake drivers: a run "downloads" only when the test says so, writing the record under
// its Lock as the real worker does.
struct FakeWorld;

class FakeDriver : public TJobDriver {
public:
    FakeDriver(TDLMangeData& job, FakeWorld& world);
    ~FakeDriver() override;

    void Configure(TDriverSettings settings) override;
    bool OpenJob(int protocol, bool fresh) override;
    void StartThread() override { started = true; }
    void StopAll() override;
    bool Ended() const override { return !started || ended; }
    bool AllIdle() const override { return idle; }
    std::vector<uint8_t> CopyBlockMap() const override { return {255, 1, 0}; }
    std::vector<std::vector<std::string>> CopyConnLogs() const override { return {}; }

    // The worker's side.
    void Progress(int64_t done, int64_t size) {
        std::lock_guard<std::recursive_mutex> g(job.Lock.Mutex);
        job.DoneSize = done;
        job.FileSize = size;
    }
    void Complete() {
        std::lock_guard<std::recursive_mutex> g(job.Lock.Mutex);
        job.DoneSize = job.FileSize;
        job.Completed = 1;
        job.Running = 0;
        job.ThreadEnded = 1;
        ended = true;
    }
    // A stop finishing: the record keeps what the done blocks add up to.
    void EndStop(int64_t doneBlocks) {
        std::lock_guard<std::recursive_mutex> g(job.Lock.Mutex);
        job.DoneSize = doneBlocks;
        job.Running = 0;
        job.ThreadEnded = 1;
        ended = true;
    }

    TDLMangeData& job;
    FakeWorld& world;
    int serial;
    bool started = false;
    bool ended = false;
    bool stopRequested = false;
    bool idle = true;
};

struct OpenCall {
    int32_t jobID;
    int protocol;
    bool fresh;
};

struct FakeWorld {
    std::map<int32_t, FakeDriver*> live;  // by JobID
    std::vector<OpenCall> opens;
    std::vector<std::string> events;      // "create N" / "destroy N" in order
    std::map<int32_t, TDriverSettings> settings;
    std::map<int32_t, TDLMangeRunTime> limitsAtOpen;
    bool endOnStop = true;
    bool openOk = true;
    int created = 0;

    TDriverFactory Factory() {
        return [this](TDLMangeData& job, const std::string&) {
            return std::make_unique<FakeDriver>(job, *this);
        };
    }
    FakeDriver& Live(int32_t id) {
        auto it = live.find(id);
        if (it == live.end()) throw std::runtime_error("no live driver for job " + std::to_string(id));
        return *it->second;
    }
    int Running() const {
        int n = 0;
        for (const auto& [id, d] : live) n += d->started && !d->ended ? 1 : 0;
        return n;
    }
};

FakeDriver::FakeDriver(TDLMangeData& j, FakeWorld& w) : job(j), world(w), serial(++w.created) {
    world.live[job.JobID] = this;
    world.events.push_back("create " + std::to_string(serial));
}

FakeDriver::~FakeDriver() {
    auto it = world.live.find(job.JobID);
    if (it != world.live.end() && it->second == this) world.live.erase(it);
    world.events.push_back("destroy " + std::to_string(serial));
}

void FakeDriver::Configure(TDriverSettings settings) {
    world.settings[job.JobID] = std::move(settings);
}

bool FakeDriver::OpenJob(int protocol, bool fresh) {
    world.opens.push_back({job.JobID, protocol, fresh});
    std::lock_guard<std::recursive_mutex> g(job.Lock.Mutex);
    world.limitsAtOpen[job.JobID] = static_cast<const TDLMangeRunTime&>(job);
    return world.openOk;
}

void FakeDriver::StopAll() {
    stopRequested = true;
    if (world.endOnStop) {
        int64_t done;
        {
            std::lock_guard<std::recursive_mutex> g(job.Lock.Mutex);
            done = job.DoneSize;
        }
        EndStop(done);
    }
}

class GloatDataTest : public ::testing::Test {
protected:
    void SetUp() override {
        options = std::make_unique<TQNoption>(t.file("registry.db"));
        local.Year = 2026;
        local.Month = 12;
        local.Day = 11;
        local.Hour = 12;
        Open();
    }

    void Open() {
        g = std::make_unique<TGloatData>(t.file("data"), *options, desktop, world.Factory());
        g->SetClock([this] { return nowMs; }, [this] { return local; });
        ASSERT_TRUE(g->OpenStore(t.file("save"))) << g->LastError();
    }
    void Reopen() {
        g.reset();
        Open();
    }

    TDLMangeData Record(const std::string& url, int32_t startMode = 0,
                        int32_t doneClass = kDoneClassID) {
        TDLMangeData r;
        r.URL = url;
        r.FileName = url.substr(url.rfind('/') + 1);
        r.SavePath = t.file("save");
        r.StartMode = startMode;
        r.DoneClassID = doneClass;
        return r;
    }
    int32_t Add(const std::string& url, int32_t startMode = 0, int32_t doneClass = kDoneClassID) {
        TAddJobResult r = g->AddNewJob(Record(url, startMode, doneClass));
        EXPECT_EQ(r.Status, TAddJobResult::TStatus::Added) << r.Message;
        return r.JobID;
    }
    int32_t State(int32_t id) {
        TJobData* job = g->FindJob(id);
        if (!job) return -1;
        std::lock_guard<std::recursive_mutex> lk(job->Data->Lock.Mutex);
        return job->Data->State;
    }
    void Ticks(int n) {
        for (int i = 0; i < n; ++i) {
            nowMs += 200;
            g->Tick();
        }
    }
    std::vector<int32_t> ClassJobIDs(int32_t classID) {
        std::vector<int32_t> ids;
        for (const TJobSnapshot& s : g->ClassSnapshot(classID)) ids.push_back(s.JobID);
        return ids;
    }

    TempDir t;
    std::unique_ptr<TQNoption> options;
    THeadlessDesktop desktop;
    FakeWorld world;
    uint32_t nowMs = 1000;
    TDateTimeFields local;
    std::unique_ptr<TGloatData> g;
};

TEST_F(GloatDataTest, TenWaitingJobsStartOnePerTickUpToTheLimit) {
    options->WriteIntOpt(ioMaxCanRunJob, 5);
    std::vector<int32_t> ids;
    for (int i = 0; i < 10; ++i) ids.push_back(Add("http://h/f" + std::to_string(i) + ".zip"));
    for (int32_t id : ids) EXPECT_EQ(State(id), kJobWaiting);
    EXPECT_TRUE(g->HasWork());

    for (int i = 1; i <= 5; ++i) {
        Ticks(1);
        EXPECT_EQ(world.Running(), i) << "tick " << i;
        EXPECT_EQ(State(ids[static_cast<size_t>(i - 1)]), kJobRunning);
    }
    Ticks(4);
    EXPECT_EQ(world.Running(), 5);
    EXPECT_EQ(g->RunningCount(), 5);
    for (size_t i = 5; i < 10; ++i) EXPECT_EQ(State(ids[i]), kJobWaiting);

    world.Live(ids[0]).Progress(100, 100);
    world.Live(ids[0]).Complete();
    Ticks(1);
    EXPECT_EQ(world.Running(), 5);
    EXPECT_EQ(State(ids[5]), kJobRunning);
    EXPECT_EQ(State(ids[6]), kJobWaiting);

    // A waiting job that is stopped never starts.
    EXPECT_EQ(g->StopJobs({ids[6]}), 1);
    EXPECT_EQ(State(ids[6]), kJobStopped);
    world.Live(ids[1]).Complete();
    Ticks(3);
    EXPECT_EQ(State(ids[6]), kJobStopped);
    EXPECT_EQ(State(ids[7]), kJobRunning);
}

TEST_F(GloatDataTest, PeriodSharesTheSpeedLimitAmongRunningJobs) {
    options->WriteFloatOpt(ioSpeed, 3.0);
    options->WriteIntOpt(ioUseSpeed, 1);
    const int32_t a = Add("http://h/a.zip");
    const int32_t b = Add("http://h/b.zip");
    const int32_t c = Add("http://h/c.zip", 1);  // manual: stays stopped
    // A start takes its share at once instead of running unlimited until the period.
    Ticks(1);
    EXPECT_EQ(g->FindJob(a)->Data->SpeedBudget, 3072);
    EXPECT_EQ(g->FindJob(a)->Data->SpeedLimited, 1);
    Ticks(1);
    EXPECT_EQ(g->FindJob(b)->Data->SpeedBudget, 1536);
    Ticks(3);
    EXPECT_EQ(g->PeriodCounter(), 0u);
    Ticks(1);  // the sixth tick is a period
    EXPECT_EQ(g->PeriodCounter(), 1u);
    EXPECT_EQ(g->LastBudget(), 1536);
    for (int32_t id : {a, b}) {
        const TDLMangeData& d = *g->FindJob(id)->Data;
        EXPECT_EQ(d.SpeedBudget, 1536);
        EXPECT_EQ(d.SpeedLimited, 1);
        EXPECT_EQ(d.PeriodStamp, 1u);
    }
    EXPECT_EQ(g->FindJob(c)->Data->PeriodStamp, 0u);

    // One job left: it gets the whole limit, the stamp moves on.
    g->StopJobs({b});
    options->WriteIntOpt(ioUseSpeed, 0);
    Ticks(6);
    EXPECT_EQ(g->FindJob(a)->Data->SpeedBudget, 3072);
    EXPECT_EQ(g->FindJob(a)->Data->SpeedLimited, 0);
    EXPECT_EQ(g->FindJob(a)->Data->PeriodStamp, 2u);
    EXPECT_EQ(g->FindJob(b)->Data->PeriodStamp, 1u);
}

TEST(GloatSchedule, WindowAcrossMidnightAndPlainWindow) {
    struct Row {
        int32_t begin, end;
        int hour, minute;
        bool inside, valid;
    } rows[] = {
        {2200, 600, 23, 30, true, true},  {2200, 600, 5, 59, true, true},
        {2200, 600, 12, 0, false, true},  {2200, 600, 6, 0, true, true},
        {2200, 600, 6, 1, false, true},   {2200, 600, 22, 0, true, true},
        {900, 1730, 12, 0, true, true},   {900, 1730, 8, 59, false, true},
        {900, 1730, 17, 31, false, true}, {2460, 600, 12, 0, false, false},
        {2200, 1299, 12, 0, false, false}, {-5, 600, 1, 0, false, false},
    };
    for (const Row& r : rows) {
        bool valid = !r.valid;
        EXPECT_EQ(TGloatData::InScheduleWindow(r.begin, r.end, r.hour, r.minute, valid), r.inside)
            << r.begin << "-" << r.end << " at " << r.hour << ":" << r.minute;
        EXPECT_EQ(valid, r.valid);
    }
}

TEST(GloatSchedule, DayMaskDigitsFromMondayToSunday) {
    constexpr int kMonday = 0, kFriday = 4, kSunday = 6;
    EXPECT_TRUE(TGloatData::DayAllowed(1, kMonday));
    EXPECT_FALSE(TGloatData::DayAllowed(1, kSunday));
    EXPECT_TRUE(TGloatData::DayAllowed(1000000, kSunday));
    EXPECT_FALSE(TGloatData::DayAllowed(1000000, kMonday));
    EXPECT_TRUE(TGloatData::DayAllowed(10000, kFriday));
    EXPECT_FALSE(TGloatData::DayAllowed(0, kFriday));
    for (int d = 0; d < 7; ++d) EXPECT_TRUE(TGloatData::DayAllowed(1111111, d));

    struct Row {
        int y, m, d, weekday;
    } dates[] = {{2026, 12, 11, kFriday}, {2026, 12, 14, kMonday}, {2026, 12, 13, kSunday},
                 {2000, 1, 1, 5}, {1899, 12, 30, 5}, {1899, 12, 25, kMonday}};
    for (const Row& r : dates) {
        TDateTimeFields f;
        f.Year = r.y;
        f.Month = r.m;
        f.Day = r.d;
        EXPECT_EQ(TGloatData::WeekdayOf(f), r.weekday) << r.y << "-" << r.m << "-" << r.d;
    }
}

TEST_F(GloatDataTest, ScheduleStartsInsideTheWindowAndStopsOutside) {
    options->WriteIntOpt(ioDLBeginTIme, 2200);
    options->WriteIntOpt(ioDLEndTime, 600);
    options->WriteIntOpt(ioDLBegin, 1);
    options->WriteIntOpt(ioDLEnd, 1);
    options->WriteIntOpt(ioDLDay, 10000);  // Fridays only; 2026-12-11 is a Friday
    const int32_t id = Add("http://h/night.zip", 2);
    const int32_t manual = Add("http://h/manual.zip", 1);
    EXPECT_EQ(State(id), kJobScheduled);

    local.Hour = 23;
    local.Minute = 30;
    Ticks(6);
    EXPECT_EQ(State(id), kJobWaiting);
    Ticks(1);
    EXPECT_EQ(State(id), kJobRunning);
    EXPECT_EQ(State(manual), kJobStopped);

    // Noon: outside, so the job the schedule started is stopped and waits again.
    local.Hour = 12;
    local.Minute = 0;
    Ticks(6);
    EXPECT_TRUE(world.Live(id).stopRequested);
    EXPECT_EQ(State(id), kJobScheduled);

    // Saturday night is not allowed by the mask.
    local.Day = 12;
    local.Hour = 23;
    Ticks(12);
    EXPECT_EQ(State(id), kJobScheduled);
}

TEST_F(GloatDataTest, CompletedJobIsFiledByItsDoneCategory) {
    options->WriteSound(seJOBRIGHT, "/snd/ok.wav");
    const std::string scanner = t.file("scanner");
    WriteFile(scanner, "");
    options->WriteStrOpt(soDownloadScanner, scanner);
    options->WriteStrOpt(soDownloadScannerArgs, " -a  --b ");
    int32_t softwareID = 0;
    g->Store().Tree().ForEach([&](TQNTreeNode& n) {
        if (n.Data->Caption == "我的软件") softwareID = n.Data->ID;
    });
    ASSERT_GT(softwareID, 0);

    struct Row {
        int32_t doneClass;
        int32_t filedIn;
    } rows[] = {{kRunningClassID, kRunningClassID}, {kDoneClassID, kDoneClassID},
                {softwareID, softwareID}, {4242, kDoneClassID}};
    int n = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.doneClass);
        const std::string url = "http://h/done" + std::to_string(n++) + ".zip";
        const int32_t id = Add(url, 0, r.doneClass);
        Ticks(1);
        world.Live(id).Progress(0, 4096);
        world.Live(id).Complete();
        const size_t sounds = desktop.SoundsPlayed.size();
        Ticks(4);
        if (r.filedIn == kRunningClassID) {
            ASSERT_NE(g->FindJob(id), nullptr);
            EXPECT_EQ(State(id), kJobCompleted);
            EXPECT_EQ(g->FindJob(id)->Data->Completed, 0);
            continue;
        }
        EXPECT_EQ(g->FindJob(id), nullptr);
        bool found = false;
        for (const TJobSnapshot& s : g->ClassSnapshot(r.filedIn)) {
            if (s.URL != url) continue;
            found = true;
            EXPECT_EQ(s.State, kJobCompleted);
            EXPECT_EQ(s.DoneSize, 4096);
        }
        EXPECT_TRUE(found);
        EXPECT_EQ(desktop.SoundsPlayed.size(), sounds + 1);
        EXPECT_EQ(desktop.SoundsPlayed.back(), "/snd/ok.wav");
        ASSERT_FALSE(desktop.ProgramsStarted.empty());
        EXPECT_EQ(desktop.ProgramsStarted.back(),
                  (std::vector<std::string>{scanner, "-a", "--b",
                                            t.file("save") + "/" + url.substr(9)}));
        // The history names the new category, so the URL counts as a duplicate there.
        const std::string caption = g->Store().FindClass(r.filedIn)->Caption;
        EXPECT_EQ(g->CheckDuplicate(url).Message, url + "已经在 “" + caption + "” 列表中");
    }

    // Scanning only listed types: a .zip is not scanned when only .EXE is listed.
    options->WriteIntOpt(ioDownloadScanMode, 1);
    options->WriteStrOpt(soDownloadScanType, ".EXE;.COM");
    const size_t scans = desktop.ProgramsStarted.size();
    const int32_t id = Add("http://h/notscanned.zip");
    Ticks(1);
    world.Live(id).Complete();
    Ticks(4);
    EXPECT_EQ(g->FindJob(id), nullptr);
    EXPECT_EQ(desktop.ProgramsStarted.size(), scans);
}

TEST_F(GloatDataTest, AllDoneStepRunsOnTheTickAfterTheLastJobEnded) {
    options->WriteIntOpt(ioStutDown, 1);
    options->WriteSound(seALLOK, "/snd/all.wav");
    std::vector<std::string> choices;
    g->OnShutdownChoice = [&](const std::string& a) { choices.push_back(a); };
    const int32_t a = Add("http://h/a.zip", 0, kRunningClassID);
    const int32_t b = Add("http://h/b.zip", 0, kRunningClassID);
    Ticks(3);
    world.Live(a).Complete();
    Ticks(3);
    EXPECT_TRUE(choices.empty());  // b still runs
    world.Live(b).Complete();
    EXPECT_TRUE(g->RunEndedUnseen());  // a front end may tick at once
    Ticks(1);
    EXPECT_EQ(g->RunningCount(), 0);
    EXPECT_TRUE(choices.empty());
    EXPECT_EQ(desktop.SoundsPlayed, std::vector<std::string>{"/snd/all.wav"});
    Ticks(1);
    EXPECT_EQ(choices, std::vector<std::string>{kActionPowerOff});
    Ticks(5);
    EXPECT_FALSE(g->RunEndedUnseen());
    EXPECT_EQ(choices.size(), 1u);
    EXPECT_TRUE(desktop.ShutdownRequests.empty());
}

TEST_F(GloatDataTest, DuplicateUrlsAreRefusedWithWhereTheyAre) {
    const std::string a = "http://h/dup.zip";
    Add(a);
    const size_t jobs = g->RunningList().size();
    TAddJobResult r = g->AddNewJob(Record(a));
    EXPECT_EQ(r.Status, TAddJobResult::TStatus::Duplicate);
    EXPECT_EQ(r.Message, a + "已经在正在下在列表中");
    EXPECT_EQ(g->RunningList().size(), jobs);

    const std::string b = "http://h/elsewhere.zip";
    std::string cls = "777";  // a category that no longer exists
    g->Store().CheckUrlHistory(b, cls, nullptr, true);
    EXPECT_EQ(g->AddNewJob(Record(b)).Message, b + "已经在列表中");

    const std::string c = "http://h/deleted.zip";
    const int32_t id = Add(c, 1);
    EXPECT_EQ(g->RemoveJobs(kRunningClassID, {id}).Moved, 1);
    EXPECT_EQ(g->AddNewJob(Record(c)).Message, c + "已经在 “已经删除” 列表中");

    // The batch path skips the check.
    EXPECT_EQ(g->AddNewJob(Record(a), false).Status, TAddJobResult::TStatus::Added);
    EXPECT_EQ(g->AddNewJob(Record("")).Status, TAddJobResult::TStatus::Failed);
}

TEST_F(GloatDataTest, ProtocolAndPortFollowTheUrl) {
    struct Row {
        const char* url;
        int32_t protocol, port;
    } rows[] = {{"ftp://h/a.bin", 1, 21}, {"ftp://h:2121/b.bin", 1, 2121},
                {"http://h/c.bin", 2, 80}, {"http://h:8080/d.bin", 2, 8080}};
    for (const Row& r : rows) {
        TDLMangeData rec = Record(r.url, 1);
        rec.Protocol = 2;
        rec.Port = 80;
        TAddJobResult added = g->AddNewJob(rec);
        ASSERT_EQ(added.Status, TAddJobResult::TStatus::Added) << r.url;
        EXPECT_EQ(added.Job->Data->Protocol, r.protocol) << r.url;
        EXPECT_EQ(added.Job->Data->Port, r.port) << r.url;
    }
    TAddJobResult bad = g->AddNewJob(Record("mailto:someone@h", 1));
    EXPECT_EQ(bad.Status, TAddJobResult::TStatus::Failed);
    EXPECT_EQ(bad.Message, "不支持的下载地址：mailto:someone@h");
}

TEST_F(GloatDataTest, NewJobGetsItsFilesStateAndHistory) {
    const int32_t now = Add("http://h/x.iso", 0);
    TDLMangeData sameName = Record("http://h/x.iso?2", 1);
    sameName.FileName = "x.iso";
    const int32_t manual = g->AddNewJob(sameName).JobID;
    const int32_t planned = Add("http://h/y.iso", 2);
    EXPECT_EQ(State(now), kJobWaiting);
    EXPECT_EQ(g->FindJob(now)->StartPending, 1);
    EXPECT_EQ(State(manual), kJobStopped);
    EXPECT_EQ(g->FindJob(manual)->StartPending, 0);
    EXPECT_EQ(State(planned), kJobScheduled);

    const TDLMangeData& d = *g->FindJob(now)->Data;
    EXPECT_EQ(ExtractFileExt(d.BlockFileName), ".blk");
    EXPECT_TRUE(FileExists(JoinLocalPath(g->DownloadDir(), d.BlockFileName)));
    EXPECT_EQ(d.TempFileName, "x.iso.zl!");
    EXPECT_TRUE(FileExists(t.file("save/x.iso.zl!")));
    // The second job of the same name gets a partial file of its own.
    EXPECT_EQ(g->FindJob(manual)->Data->TempFileName, "x.iso1.zl!");
    EXPECT_NE(ReadFile(g->DownloadDir() + "/DLUrlList.idx").find("http://h/x.iso*201|"),
              std::string::npos);

    // Everything is in the store after a restart.
    Reopen();
    ASSERT_NE(g->FindJob(planned), nullptr);
    EXPECT_EQ(g->FindJob(planned)->Data->URL, "http://h/y.iso");
    EXPECT_EQ(State(planned), kJobScheduled);
    EXPECT_EQ(g->RunningList().size(), 3u);
}

TEST_F(GloatDataTest, ConnectionCountIsClampedWhenAddedAndWhenLoaded) {
    struct Row {
        int32_t given, kept;
    } rows[] = {{0, 1}, {-3, 1}, {1, 1}, {10, 10}, {500, 99}};
    std::vector<std::pair<int32_t, int32_t>> ids;
    int n = 0;
    for (const Row& r : rows) {
        TDLMangeData rec = Record("http://h/c" + std::to_string(n++) + ".bin", 1);
        rec.MaxConnections = r.given;
        const int32_t id = g->AddNewJob(rec).JobID;
        EXPECT_EQ(g->FindJob(id)->Data->MaxConnections, r.kept) << r.given;
        ids.emplace_back(id, r.kept);
    }
    // A damaged record on disk: 0 and a huge count.
    g->FindJob(ids[0].first)->Data->MaxConnections = 0;
    g->FindJob(ids[4].first)->Data->MaxConnections = 100000;
    g->SaveAllProgress();
    Reopen();
    EXPECT_EQ(g->FindJob(ids[0].first)->Data->MaxConnections, 1);
    EXPECT_EQ(g->FindJob(ids[4].first)->Data->MaxConnections, 99);
}

TEST_F(GloatDataTest, StartWaitsWhileThePreviousRunIsStillStopping) {
    world.endOnStop = false;
    const int32_t id = Add("http://h/slow.zip");
    Ticks(1);
    ASSERT_EQ(world.created, 1);
    world.Live(id).Progress(300, 1000);
    EXPECT_EQ(g->StopJobs({id}), 1);
    EXPECT_TRUE(world.Live(id).stopRequested);
    EXPECT_EQ(g->StartJobs({id}), 1);
    Ticks(10);
    EXPECT_EQ(world.created, 1);  // no second driver beside the stopping one
    EXPECT_EQ(world.opens.size(), 1u);
    EXPECT_EQ(State(id), kJobWaiting);

    world.Live(id).EndStop(300);
    Ticks(1);
    EXPECT_EQ(world.created, 2);
    EXPECT_EQ(world.events, (std::vector<std::string>{"create 1", "destroy 1", "create 2"}));
    ASSERT_EQ(world.opens.size(), 2u);
    EXPECT_TRUE(world.opens[0].fresh);
    EXPECT_FALSE(world.opens[1].fresh);  // resumes from the map
    EXPECT_EQ(world.opens[1].protocol, 2);
    EXPECT_EQ(State(id), kJobRunning);
    EXPECT_EQ(g->FindJob(id)->Data->DoneSize, 300);
}

TEST_F(GloatDataTest, ProgressAfterAStopIsWhatTheBlocksHoldAndIsStored) {
    world.endOnStop = false;
    const int32_t id = Add("http://h/big.iso");
    Ticks(1);
    const int64_t size = 5'000'000'000;   // beyond 32 bits
    world.Live(id).Progress(3'000'000'123, size);
    g->StopJobs({id});
    world.Live(id).EndStop(2'999'000'000);
    Ticks(6);
    {
        TJobSnapshot s = g->Snapshot().front();
        EXPECT_EQ(s.State, kJobStopped);
        EXPECT_EQ(s.DoneSize, 2'999'000'000);
        EXPECT_EQ(s.FileSize, size);
    }
    Reopen();
    const TDLMangeData& d = *g->FindJob(id)->Data;
    EXPECT_EQ(d.DoneSize, 2'999'000'000);
    EXPECT_EQ(d.FileSize, size);
    EXPECT_EQ(d.State, kJobStopped);
}

TEST_F(GloatDataTest, FreshJobStaysFreshUntilItsWorkerHasTheFirstAnswer) {
    // The worker may already have asked for the whole file when the start returns; it
    // judges the answer by FreshStart, so only the worker may clear it.
    const int32_t id = Add("http://h/new.bin");
    Ticks(1);
    EXPECT_TRUE(world.Live(id).started);
    std::lock_guard<std::recursive_mutex> lock(world.Live(id).job.Lock.Mutex);
    EXPECT_EQ(world.Live(id).job.FreshStart, 1);
}

TEST_F(GloatDataTest, ShutdownStopsEveryRunAndSavesTheFinalNumbers) {
    const int32_t a = Add("http://h/a.bin");
    const int32_t b = Add("http://h/b.bin");
    Ticks(2);
    world.Live(a).Progress(111, 1000);
    world.Live(b).Progress(222, 2000);
    EXPECT_TRUE(g->Shutdown(std::chrono::milliseconds(0), std::chrono::seconds(5)));
    EXPECT_TRUE(g->AllEnded());
    EXPECT_FALSE(g->HasWork());
    EXPECT_EQ(world.Running(), 0);
    Ticks(3);  // nothing starts any more
    EXPECT_EQ(world.created, 2);
    Reopen();
    EXPECT_EQ(g->FindJob(a)->Data->DoneSize, 111);
    EXPECT_EQ(g->FindJob(b)->Data->DoneSize, 222);
    EXPECT_EQ(State(a), kJobStopped);
}

TEST_F(GloatDataTest, ShutdownGivesUpWhenARunNeverEnds) {
    world.endOnStop = false;
    const int32_t id = Add("http://h/stuck.bin");
    Ticks(1);
    world.Live(id).Progress(10, 100);
    EXPECT_FALSE(g->Shutdown(std::chrono::milliseconds(1), std::chrono::milliseconds(20)));
    EXPECT_TRUE(world.Live(id).stopRequested);
    EXPECT_TRUE(g->HasWork());
    world.Live(id).EndStop(10);  // lets the destructor's join return at once
}

TEST_F(GloatDataTest, StartFillsLimitsAndDriverSettingsFromOptions) {
    options->WriteIntOpt(ioMaxError, 7);
    options->WriteIntOpt(ioMaxErrorEnd, 1);
    options->WriteIntOpt(ioMaxNoDataGet, 8);
    options->WriteIntOpt(ioDLRJG, 9);
    options->WriteIntOpt(ioDLCTimeOut, 31);
    options->WriteIntOpt(ioDLDTimeOut, 32);
    options->WriteIntOpt(ioOneThreadMaxError, 4);
    options->WriteIntOpt(ioBSetFileSize, 1);
    options->WriteIntOpt(ioPASVMODE, 0);
    options->WriteStrOpt(soAnonymousPD, "me@example.org");
    TproxyData proxy;
    proxy.ProxyName = "p";
    proxy.ServerName = "127.0.0.1";
    proxy.ServerPort = "3128";
    proxy.Type = 1;
    options->AddProxy(proxy);

    TDLMangeData rec = Record("http://h/p.zip");
    rec.UseProxy = 1;
    rec.HttpProxyID = proxy.ID;
    rec.FtpProxyID = 123456;  // gone: no proxy
    const int32_t id = g->AddNewJob(rec).JobID;
    const int32_t plain = Add("http://h/plain.zip");
    Ticks(2);

    const TDLMangeRunTime& lim = world.limitsAtOpen.at(id);
    EXPECT_EQ(lim.MaxRetries, 7);
    EXPECT_EQ(lim.StopOnMaxRetries, 1);
    EXPECT_EQ(lim.MaxNoData, 8);
    EXPECT_EQ(lim.RetryDelay, 9);
    EXPECT_EQ(lim.ConnectTimeout, 31);
    EXPECT_EQ(lim.DataTimeout, 32);
    EXPECT_EQ(lim.ConnMaxErrors, 4);
    EXPECT_EQ(lim.Running, 1);
    const TDriverSettings& s = world.settings.at(id);
    EXPECT_EQ(s.AnonPassword, "me@example.org");
    EXPECT_TRUE(s.CheckDisk);
    EXPECT_FALSE(s.Passive);
    ASSERT_TRUE(s.HttpProxy);
    EXPECT_EQ(s.HttpProxy->ServerPort, "3128");
    EXPECT_FALSE(s.FtpProxy);
    EXPECT_TRUE(s.ProxyList.empty());
    EXPECT_FALSE(world.settings.at(plain).HttpProxy);
}

TEST_F(GloatDataTest, ReDownloadStartsFromNothing) {
    const int32_t id = Add("http://h/again.zip");
    Ticks(1);
    world.Live(id).Progress(500, 1000);
    const std::string partial = t.file("save/again.zip.zl!");
    WriteFile(partial, std::string(500, 'x'));
    EXPECT_TRUE(g->ReDownload(id));
    Ticks(1);
    ASSERT_EQ(world.opens.size(), 2u);
    EXPECT_TRUE(world.opens[1].fresh);
    EXPECT_EQ(g->FindJob(id)->Data->DoneSize, 0);
    EXPECT_EQ(ReadFile(partial), "");
    EXPECT_FALSE(g->ReDownload(999999));
}

TEST_F(GloatDataTest, SpeedIsMeasuredOverTenSecondWindows) {
    const int32_t id = Add("http://h/fast.zip");
    Ticks(1);
    FakeDriver& d = world.Live(id);
    d.Progress(1000, 10'000'000);
    d.idle = false;
    Ticks(1);  // starts receiving: the window opens at 1000 bytes
    EXPECT_EQ(g->Snapshot().front().CurrentSpeed, 0);
    d.Progress(41'000, 10'000'000);
    Ticks(50);  // exactly 10 s: the window is not over yet
    EXPECT_EQ(g->Snapshot().front().CurrentSpeed, 0);
    d.Progress(51'000, 10'000'000);
    Ticks(1);  // 10.2 s: 50 000 bytes in 10 whole seconds
    EXPECT_EQ(g->Snapshot().front().CurrentSpeed, 5000);
    EXPECT_EQ(g->TotalSpeed(), 5000);
    d.idle = true;
    Ticks(1);
    EXPECT_EQ(g->Snapshot().front().CurrentSpeed, 0);
}

TEST_F(GloatDataTest, RemoveToDeletedThenDeleteForGood) {
    const int32_t keep = Add("http://h/keep.zip", 1);
    const int32_t gone = Add("http://h/gone.zip", 1);
    const int32_t busy = Add("http://h/busy.zip", 0);
    Ticks(1);
    const std::string map = JoinLocalPath(g->DownloadDir(), g->FindJob(gone)->Data->BlockFileName);
    const std::string partial = t.file("save/gone.zip.zl!");
    ASSERT_TRUE(FileExists(map));

    TMoveJobsResult r = g->RemoveJobs(kRunningClassID, {gone, busy});
    EXPECT_EQ(r.Moved, 1);
    EXPECT_TRUE(r.SkippedRunning);
    EXPECT_EQ(g->FindJob(gone), nullptr);
    ASSERT_NE(g->FindJob(busy), nullptr);
    ASSERT_NE(g->FindJob(keep), nullptr);
    const std::vector<int32_t> deleted = ClassJobIDs(kDeletedClassID);
    ASSERT_EQ(deleted.size(), 1u);
    EXPECT_TRUE(FileExists(map));

    r = g->RemoveJobs(kDeletedClassID, deleted, true, false);
    EXPECT_EQ(r.Moved, 1);
    EXPECT_TRUE(ClassJobIDs(kDeletedClassID).empty());
    EXPECT_FALSE(FileExists(map));
    EXPECT_FALSE(FileExists(partial));
    EXPECT_TRUE(FileExists(t.file("save/keep.zip.zl!")));

    // Survives a restart.
    Reopen();
    EXPECT_TRUE(ClassJobIDs(kDeletedClassID).empty());
    EXPECT_EQ(g->RunningList().size(), 2u);
}

TEST_F(GloatDataTest, MovingACompletedJobTakesItsFileAlong) {
    const int32_t id = Add("http://h/m.zip", 0, kRunningClassID);
    Ticks(1);
    world.Live(id).Progress(0, 3);
    world.Live(id).Complete();
    Ticks(3);
    ASSERT_EQ(State(id), kJobCompleted);
    WriteFile(t.file("save/m.zip"), "abc");
    ASSERT_TRUE(ForceDirectories(t.file("done")));
    WriteFile(t.file("done/m.zip"), "old");  // the name is taken in the target folder
    g->Store().FindClass(kDoneClassID)->SavePath = t.file("done");
    const int32_t doneBefore = g->Store().FindClass(kDoneClassID)->DoneCount;

    TMoveJobsOptions o;
    o.MoveFiles = true;
    TMoveJobsResult r = g->MoveJobs(kRunningClassID, {id}, kDoneClassID, o);
    EXPECT_EQ(r.Moved, 1);
    EXPECT_FALSE(r.PartialFailure);
    const std::vector<TJobSnapshot> done = g->ClassSnapshot(kDoneClassID);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].SavePath, t.file("done"));
    EXPECT_NE(done[0].FileName, "m.zip");
    EXPECT_EQ(ReadFile(t.file("done/" + done[0].FileName)), "abc");
    EXPECT_EQ(ReadFile(t.file("done/m.zip")), "old");
    EXPECT_FALSE(FileExists(t.file("save/m.zip")));
    EXPECT_EQ(g->Store().FindClass(kDoneClassID)->DoneCount, doneBefore + 1);

    // And back into the running list, without its file.
    r = g->MoveJobs(kDoneClassID, {done[0].JobID}, kRunningClassID);
    EXPECT_EQ(r.Moved, 1);
    ASSERT_EQ(g->Snapshot().size(), 1u);
    EXPECT_EQ(g->Snapshot()[0].URL, "http://h/m.zip");
    EXPECT_EQ(g->Snapshot()[0].State, kJobCompleted);
    EXPECT_TRUE(g->ClassSnapshot(kDoneClassID).empty());
    Reopen();
    EXPECT_EQ(g->Snapshot().size(), 1u);
}

TEST_F(GloatDataTest, SecondManagerOnTheSameStoreIsRefused) {
    TGloatData second(t.file("data"), *options, desktop, world.Factory());
    EXPECT_FALSE(second.OpenStore(t.file("save")));
    EXPECT_EQ(second.LastError(), kMsgStoreInUse);
    EXPECT_FALSE(second.IsOpen());
    g.reset();
    TGloatData third(t.file("data"), *options, desktop, world.Factory());
    EXPECT_TRUE(third.OpenStore(t.file("save")));
}

TEST_F(GloatDataTest, WatchedUrlsByExtension) {
    struct Row {
        const char* text;
        bool watched;
    } rows[] = {{"http://h/a/b.zip", true}, {"ftp://h/b.RAR", true}, {"http://h/b.txt", false},
                {"h/b.zip", false}, {"http://h/x.mp3?q=1", true}, {"http://h/", false}};
    for (const Row& r : rows) EXPECT_EQ(g->IsWatchedURL(r.text), r.watched) << r.text;
}

} // namespace
} // namespace tq
