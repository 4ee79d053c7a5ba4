// The job driver's limits and edge sizes: the speed budget of the manager's periods,
// the connect time-out, one connection stopped by the user or by its own error limit,
// files of 0 to a few blocks, answers that carry no document, and a file above 4 GiB.

#include "tests/integration/CliDriveJob.h"
#include "tests/integration/CliDriveLogs.h"
#include "tests/support/HttpServers.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace tq;
using namespace tq::test;

namespace {

class CliDriveLimits : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        nginx_ = new Nginx();
        for (size_t n : {0, 1, 4096, 4097, 8192, 10000})
            nginx_->AddFile("sizes/" + std::to_string(n) + ".bin", PatternBytes(n, unsigned(n) + 1));
        nginx_->AddFile("files/16m.bin", PatternBytes(16 * 1024 * 1024, 41));
        nginx_->AddFile("slow/3m.bin", PatternBytes(3 * 1024 * 1024 + 9, 43));
        if (!nginx_->Start("    location /slow/ { limit_rate 500k; }\n"))
            FAIL() << nginx_->Why();
    }
    static void TearDownTestSuite() { delete nginx_; }

    static std::string Url(const std::string& path)
    {
        return "http://127.0.0.1:" + std::to_string(nginx_->Port()) + path;
    }

    static Nginx* nginx_;
};
Nginx* CliDriveLimits::nginx_ = nullptr;

TEST_F(CliDriveLimits, SmallSizesCompleteExactly)
{
    for (size_t n : {0, 1, 4096, 4097, 8192, 10000}) {
        SCOPED_TRACE(n);
        DriveJob d(Url("/sizes/" + std::to_string(n) + ".bin"), "s.bin", 5);
        d.Run();
        EXPECT_EQ(d.job.Completed, 1);
        EXPECT_EQ(d.job.SizeUnknown, 0);
        EXPECT_EQ(d.job.FileSize, int64_t(n));
        EXPECT_EQ(d.job.DoneSize, int64_t(n));
        EXPECT_EQ(d.peak, 1);  // 5 blocks or fewer: one connection
        EXPECT_FALSE(Logged(d.logs, "文件长度未知"));
        EXPECT_TRUE(d.Saved() == PatternBytes(n, unsigned(n) + 1));
    }
}

// A damaged record may hold any connection limit; a run uses 1 to 99.
TEST_F(CliDriveLimits, ConnectionLimitIsClamped)
{
    const struct {
        int32_t stored, used;
    } cases[] = {{0, 1}, {-3, 1}, {150, 99}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        DriveJob d(Url("/files/16m.bin"), "16m.bin", c.stored);
        d.Run();
        EXPECT_EQ(d.job.Completed, 1);
        EXPECT_EQ(d.peak, c.used);
        EXPECT_EQ(d.job.DoneSize, 16 * 1024 * 1024);
    }
}

// A stop before anything arrives: the done size is what the map holds done, also when
// a single block is missing (the whole length would claim bytes never written).
TEST_F(CliDriveLimits, StopCountsOnlyDoneBlocks)
{
    const int64_t size = 10000;  // 3 blocks, the last of 1808 bytes
    const struct {
        int missing;
        int64_t done;
    } cases[] = {{2, 8192}, {1, 4096 + 1808}, {0, 4096 + 1808}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.missing);
        DriveJob d(Url("/slow/3m.bin"), "r.bin", 3);
        std::string map(3, char(kBlockDone));
        map[size_t(c.missing)] = char(kBlockFree);
        WriteFile(d.dir.file("store/1.blk"), map);
        WriteFile(d.dir.file("save/r.bin.zl!"), std::string(size_t(size), 'x'));
        d.job.Initialized = 1;
        d.job.FileSize = size;
        d.job.DoneSize = size;
        d.Run(false, [](QNCliDrive& drive) { drive.StopAll(); });
        EXPECT_EQ(d.job.Completed, 0);
        EXPECT_EQ(d.job.DoneSize, c.done);
        EXPECT_EQ(ReadFile(d.dir.file("store/1.blk")), map);
    }
}

// With the disk check the whole length is reserved before the data come: a partial
// file stopped early already owns its blocks (a sparse file would not).
TEST_F(CliDriveLimits, DiskCheckReservesTheWholeLength)
{
    const int64_t size = 3 * 1024 * 1024 + 9;
    DriveJob d(Url("/slow/3m.bin"), "3m.bin", 2);
    d.settings.CheckDisk = true;
    d.Run(true, [&](QNCliDrive& drive) {
        for (int n = 0; n < 500; ++n) {
            auto map = drive.CopyBlockMap();
            if (std::count(map.begin(), map.end(), kBlockDone) > 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        drive.StopAll();
    });
    EXPECT_EQ(d.job.Failed, 0);
    EXPECT_LT(d.job.DoneSize, size / 2);
    struct stat st {};
    ASSERT_EQ(::stat(d.dir.file("save/3m.bin.zl!").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, size);
    EXPECT_GE(int64_t(st.st_blocks) * 512, size);
}

// The test plays the manager: a new stamp every 1.2 s with a budget per period.
TEST_F(CliDriveLimits, SpeedBudgetHoldsTheRate)
{
    constexpr int32_t kBudget = 1024 * 1024;
    constexpr int kFirst = 1, kLast = 8;
    DriveJob d(Url("/files/16m.bin"), "16m.bin", 2);
    d.job.SpeedLimited = 1;
    d.job.SpeedBudget = kBudget;
    d.job.PeriodStamp = 1;
    d.job.DataTimeout = 3;
    int64_t doneAt[kLast + 1] = {};
    d.Run(true, [&](QNCliDrive& drive) {
        for (uint32_t stamp = 2; stamp <= kLast + 1; ++stamp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
            std::lock_guard<std::recursive_mutex> g(d.job.Lock.Mutex);
            doneAt[stamp - 1] = d.job.DoneSize;
            d.job.PeriodStamp = stamp;
        }
        drive.StopAll();
    });
    const double perPeriod = double(doneAt[kLast] - doneAt[kFirst]) / (kLast - kFirst);
    std::printf("speed budget %d bytes per 1.2-s period: measured %.0f bytes per period (%.1f%%)\n",
                kBudget, perPeriod, 100.0 * perPeriod / kBudget);
    EXPECT_GT(perPeriod, 0.7 * kBudget);
    EXPECT_LT(perPeriod, 1.3 * kBudget);
    EXPECT_EQ(d.job.Completed, 0);
    EXPECT_EQ(d.job.Failed, 0);
    EXPECT_FALSE(Logged(d.logs, "数据超时"));
}

// The kernel completes the handshake into the backlog; nothing is ever answered.
TEST_F(CliDriveLimits, SilentServerTimesOutTheConnect)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(fd, 16), 0);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    DriveJob d("http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/x.bin", "x.bin", 3);
    d.job.ConnectTimeout = 1;
    d.job.MaxRetries = 2;
    d.job.StopOnMaxRetries = 1;
    d.Run(true, {}, std::chrono::seconds(20));
    ::close(fd);
    EXPECT_EQ(d.job.Failed, 1);
    EXPECT_TRUE(Logged(d.logs, "连接超时"));
    EXPECT_TRUE(Logged(d.logs, "大于最大重试次数2"));
}

// The user stops one connection: its range goes back to the others and the file
// still completes; enabled again, it takes work again. Indices outside the list
// change nothing.
TEST_F(CliDriveLimits, StoppedConnectionGivesUpItsRangeAndComesBack)
{
    DriveJob d(Url("/slow/3m.bin"), "3m.bin", 3);
    auto stoppedAt = [](const std::vector<std::string>& log) {
        for (size_t k = 0; k < log.size(); ++k)
            if (log[k].find("用户停止") != std::string::npos)
                return k;
        return log.size();
    };
    d.Run(true, [&](QNCliDrive& drive) {
        for (int n = 0; n < 400 && drive.CopyConnLogs().size() < 3; ++n)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        drive.StopConnection(1);
        drive.StopConnection(99);
        drive.EnableConnection(-1);
        for (int n = 0; n < 400; ++n) {
            auto logs = drive.CopyConnLogs();
            if (stoppedAt(logs[1]) < logs[1].size())
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        drive.EnableConnection(1);
    });
    EXPECT_EQ(d.job.Completed, 1);
    ASSERT_GE(d.logs.size(), 2u);
    const auto& log = d.logs[1];
    const size_t stop = stoppedAt(log);
    ASSERT_LT(stop, log.size());
    EXPECT_TRUE(std::any_of(log.begin() + long(stop), log.end(), [](const std::string& line) {
        return line.find("正在连接服务器") != std::string::npos;
    }));
    EXPECT_TRUE(d.Saved() == PatternBytes(3 * 1024 * 1024 + 9, 43));
}

class CliDriveFaultLimits : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server_ = new FaultHttpd(R"({
  "/flaky": [{"headers": ["Accept-Ranges: bytes"], "ranges": true, "length": 1000000, "send": 300000,
              "end": "stall", "stall_seconds": 20},
             {"status": "HTTP/1.0 503 Busy", "body": "busy"},
             {"status": "HTTP/1.0 503 Busy", "body": "busy"},
             {"status": "HTTP/1.0 503 Busy", "body": "busy"},
             {"headers": ["Accept-Ranges: bytes"], "ranges": true, "length": 1000000}],
  "/nocontent": [{"status": "HTTP/1.0 204 No Content"}],
  "/nolocation": [{"status": "HTTP/1.0 302 Found", "length": 5000}]
})",
                                 TQ_SOURCE_DIR "/tests/servers/fault_httpd.py");
        if (!server_->Start())
            FAIL() << server_->Why();
    }
    static void TearDownTestSuite() { delete server_; }
    static std::string Url(const std::string& path)
    {
        return "http://127.0.0.1:" + std::to_string(server_->Port()) + path;
    }
    static FaultHttpd* server_;
};
FaultHttpd* CliDriveFaultLimits::server_ = nullptr;

// The second connection gets nothing but errors: after three it is switched off and
// the first connection fetches the rest.
TEST_F(CliDriveFaultLimits, ConnectionErrorLimitSwitchesItOff)
{
    DriveJob d(Url("/flaky"), "f.bin", 2);
    d.job.ConnMaxErrors = 3;
    d.job.StopConnAtMax = 1;
    d.job.DataTimeout = 1;
    d.Run(true, {}, std::chrono::seconds(30));
    EXPECT_EQ(d.job.Completed, 1);
    EXPECT_TRUE(Logged(d.logs, "该线程3次无数据自动关闭"));
    EXPECT_TRUE(d.Saved() == FaultPattern(0, 1000000));
}

// An answer without a document is a failed request, retried under the job's limit,
// never an empty file.
TEST_F(CliDriveFaultLimits, AnswerWithoutDocumentFails)
{
    for (const char* path : {"/nocontent", "/nolocation"}) {
        SCOPED_TRACE(path);
        DriveJob d(Url(path), "f.bin", 2);
        d.job.MaxRetries = 2;
        d.job.StopOnMaxRetries = 1;
        d.Run(true, {}, std::chrono::seconds(20));
        EXPECT_EQ(d.job.Failed, 1);
        EXPECT_EQ(d.job.Completed, 0);
        EXPECT_EQ(d.job.FailureCount, 2);
        EXPECT_TRUE(Logged(d.logs, "大于最大重试次数2"));
        EXPECT_FALSE(std::filesystem::exists(d.dir.file("save/f.bin")));
    }
}

// A sparse source of 5 GiB with markers at 0, just past 4 GiB and at the end; the
// copy is compared in chunks. About a minute under the sanitizers: filter it out
// with -CliDriveSlow.* when in a hurry.
TEST(CliDriveSlow, FiveGiBSparseFileIsByteExact)
{
    constexpr int64_t kSize = 5LL * 1024 * 1024 * 1024 + 123;
    Nginx nginx;
    ASSERT_TRUE(nginx.Start("")) << nginx.Why();
    nginx.AddFile("huge.bin", "");
    const std::string source = nginx.Root() + "/huge.bin";
    {
        int fd = ::open(source.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, kSize), 0);
        const std::string marker = "marker";
        for (int64_t at : {int64_t{0}, (int64_t{4} << 30) + 1, kSize - int64_t(marker.size())})
            ASSERT_EQ(::pwrite(fd, marker.data(), marker.size(), at), ssize_t(marker.size()));
        ::close(fd);
    }
    DriveJob d("http://127.0.0.1:" + std::to_string(nginx.Port()) + "/huge.bin", "huge.bin", 8);
    d.Run(true, {}, std::chrono::seconds(600));
    EXPECT_EQ(d.job.Completed, 1);
    EXPECT_EQ(d.job.FileSize, kSize);
    EXPECT_EQ(d.job.DoneSize, kSize);
    const std::string copy = d.dir.file("save/huge.bin");
    int a = ::open(source.c_str(), O_RDONLY), b = ::open(copy.c_str(), O_RDONLY);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    std::vector<char> x(8 << 20), y(8 << 20);
    int64_t offset = 0, differing = -1;
    for (;;) {
        const ssize_t n = ::pread(a, x.data(), x.size(), offset);
        const ssize_t m = ::pread(b, y.data(), y.size(), offset);
        ASSERT_EQ(n, m);
        if (n <= 0)
            break;
        if (!std::equal(x.begin(), x.begin() + n, y.begin())) {
            differing = offset;
            break;
        }
        offset += n;
    }
    ::close(a);
    ::close(b);
    EXPECT_EQ(differing, -1);
    EXPECT_EQ(offset, kSize);
}

} // namespace
