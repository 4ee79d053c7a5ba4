// The job driver against the fault server: a server that claims ranges and ignores
// them, a body cut short (retry from the last complete block), the retry limit, a
// stalled transfer (data time-out) and a length that changed since the last run.

#include "download/JobFiles.h"
#include "tests/integration/CliDriveJob.h"
#include "tests/integration/CliDriveLogs.h"
#include "tests/support/HttpServers.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace tq;
using namespace tq::test;

namespace {

constexpr int kLen = 100000;  // 25 blocks, the last of 1696 bytes

std::string Cases()
{
    return R"({
  "/liar": [{"headers": ["Accept-Ranges: bytes"], "length": 100000}],
  "/cut": [{"headers": ["Accept-Ranges: bytes"], "ranges": true, "length": 100000, "send": 10000},
           {"headers": ["Accept-Ranges: bytes"], "ranges": true, "length": 100000}],
  "/broken": [{"headers": ["Accept-Ranges: bytes"], "ranges": true, "length": 100000, "send": 10000}],
  "/stall": [{"headers": ["Accept-Ranges: bytes"], "ranges": true, "length": 100000, "send": 10000,
              "end": "stall", "stall_seconds": 20},
             {"headers": ["Accept-Ranges: bytes"], "ranges": true, "length": 100000}],
  "/nolen": [{"length": 10000, "no_length": true}],
  "/nolencut": [{"length": 10000, "no_length": true, "send": 5000, "end": "stall",
                 "stall_seconds": 20},
                {"length": 10000, "no_length": true}],
  "/sized": [{"headers": ["Accept-Ranges: bytes"], "ranges": true, "length": 100000}],
  "/busy": [{"status": "HTTP/1.0 503 Busy", "body": "busy"},
            {"status": "HTTP/1.0 503 Busy", "body": "busy"},
            {"headers": ["Accept-Ranges: bytes"], "ranges": true, "length": 100000}]
})";
}

class CliDriveFault : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server_ = new FaultHttpd(Cases(), TQ_SOURCE_DIR "/tests/servers/fault_httpd.py");
        if (!server_->Start())
            FAIL() << server_->Why();
    }
    static void TearDownTestSuite() { delete server_; }

    void Prepare(const std::string& path, int maxConnections)
    {
        drive_.Prepare("http://127.0.0.1:" + std::to_string(server_->Port()) + path, "f.bin", maxConnections);
        job_.Port = server_->Port();
    }

    std::vector<std::vector<std::string>> Run(bool fresh)
    {
        drive_.Run(fresh, {}, std::chrono::seconds(30));
        return drive_.logs;
    }

    static size_t RequestsWith(const std::string& target, const std::string& text)
    {
        size_t n = 0;
        for (const auto& r : server_->Requests())
            if (r.find("GET " + target + " ") != std::string::npos && r.find(text) != std::string::npos)
                ++n;
        return n;
    }

    static FaultHttpd* server_;
    DriveJob drive_;
    TempDir& dir_ = drive_.dir;
    TDLMangeData& job_ = drive_.job;
};
FaultHttpd* CliDriveFault::server_ = nullptr;

// Each later connection gets the whole file back for its range: writing it at the
// range's offset would corrupt the file.
TEST_F(CliDriveFault, RangeIgnoredFallsBackToOneConnectionFromStart)
{
    Prepare("/liar", 3);
    auto logs = Run(true);
    EXPECT_EQ(job_.Completed, 1);
    EXPECT_TRUE(Logged(logs, "无法取得续传标志"));
    EXPECT_TRUE(ReadFile(dir_.file("save/f.bin")) == FaultPattern(0, kLen));
    EXPECT_EQ(job_.DoneSize, kLen);
}

TEST_F(CliDriveFault, CutBodyRetriesFromLastCompleteBlock)
{
    Prepare("/cut", 1);
    job_.RetryDelay = 1;  // one 1.2-s period
    auto logs = Run(true);
    EXPECT_EQ(job_.Completed, 1);
    EXPECT_EQ(job_.FailureCount, 1);
    EXPECT_TRUE(Logged(logs, "发生错误"));
    EXPECT_TRUE(Logged(logs, "1秒钟后重试"));
    EXPECT_EQ(RequestsWith("/cut", "bytes=8192-"), 1u);
    EXPECT_TRUE(ReadFile(dir_.file("save/f.bin")) == FaultPattern(0, kLen));
}

// A busy server answers 503 twice: each is a failed request retried after the delay,
// and the third request brings the file.
TEST_F(CliDriveFault, BusyServerTwiceThenTheFile)
{
    Prepare("/busy", 3);
    auto logs = Run(true);
    EXPECT_EQ(job_.Completed, 1);
    EXPECT_EQ(job_.Failed, 0);
    EXPECT_EQ(job_.FailureCount, 2);
    EXPECT_GE(RequestsWith("/busy", ""), 3u);
    EXPECT_TRUE(ReadFile(dir_.file("save/f.bin")) == FaultPattern(0, kLen));
}

TEST_F(CliDriveFault, RetryLimitStopsTheJob)
{
    Prepare("/broken", 1);
    job_.MaxRetries = 3;
    job_.StopOnMaxRetries = 1;
    auto logs = Run(true);
    EXPECT_EQ(job_.Failed, 1);
    EXPECT_EQ(job_.Completed, 0);
    EXPECT_EQ(job_.FailureCount, 3);
    EXPECT_TRUE(Logged(logs, "大于最大重试次数3"));
    // Three attempts of 10000 bytes, each from the last complete block (0, 8192,
    // 16384): only whole blocks count, 24576 bytes.
    EXPECT_EQ(job_.DoneSize, 6 * kBlockSize);
}

TEST_F(CliDriveFault, StalledTransferTimesOutAndRetries)
{
    Prepare("/stall", 1);
    job_.DataTimeout = 1;
    auto logs = Run(true);
    EXPECT_EQ(job_.Completed, 1);
    EXPECT_TRUE(Logged(logs, "数据超时"));
    EXPECT_TRUE(ReadFile(dir_.file("save/f.bin")) == FaultPattern(0, kLen));
}

TEST_F(CliDriveFault, ChangedLengthOnResumeFailsThenStartsFresh)
{
    Prepare("/sized", 2);
    const int64_t oldSize = kLen + 5000;
    job_.Initialized = 1;
    job_.FileSize = oldSize;
    job_.DoneSize = kBlockSize;
    std::string map(size_t(BlockCountOf(oldSize)), char(kBlockFree));
    map[0] = char(kBlockDone);
    WriteFile(dir_.file("store/1.blk"), map);
    WriteFile(dir_.file("save/f.bin.zl!"), std::string(size_t(oldSize), 'x'));

    auto logs = Run(false);
    EXPECT_EQ(job_.Failed, 1);
    EXPECT_TRUE(Logged(logs, "错误:服务器文件长度改变!!!!!"));
    EXPECT_EQ(job_.FreshStart, 1);

    Run(job_.FreshStart != 0);
    EXPECT_EQ(job_.Completed, 1);
    EXPECT_EQ(job_.FileSize, kLen);
    EXPECT_TRUE(ReadFile(dir_.file("save/f.bin")) == FaultPattern(0, kLen));
}

// Nothing listens: every attempt fails without data until the job's limit.
TEST_F(CliDriveFault, NoDataLimitStopsTheJob)
{
    Prepare("/sized", 3);
    const int port = FreeTcpPort();
    job_.URL = "http://127.0.0.1:" + std::to_string(port) + "/sized";
    job_.Port = port;
    job_.MaxNoData = 2;
    job_.StopOnMaxNoData = 1;
    auto logs = Run(true);
    EXPECT_EQ(job_.Failed, 1);
    EXPECT_EQ(job_.NoDataCount, 2);
    EXPECT_TRUE(Logged(logs, "大于最大无数据读取次数2"));
    EXPECT_FALSE(std::filesystem::exists(dir_.file("save/f.bin")));
}

// Without a length the data are written as they come and the clean end of the body
// completes the file.
// A stall (data time-out) inside such a body starts the file over.
TEST_F(CliDriveFault, UnknownLengthCompletesAtEndOfData)
{
    for (const char* path : {"/nolen", "/nolencut"}) {
        SCOPED_TRACE(path);
        job_ = TDLMangeData{};
        Prepare(path, 5);
        job_.DataTimeout = 1;
        auto logs = Run(true);
        EXPECT_EQ(job_.Completed, 1);
        EXPECT_TRUE(Logged(logs, "文件长度未知"));
        EXPECT_EQ(job_.FileSize, 10000);
        EXPECT_EQ(job_.DoneSize, 10000);
        EXPECT_TRUE(ReadFile(dir_.file("save/f.bin")) == FaultPattern(0, 10000));
        std::filesystem::remove(dir_.file("save/f.bin"));
    }
}

} // namespace
