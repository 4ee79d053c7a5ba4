// The job driver against nginx: a split download over several connections, a server
// without ranges, a name taken at completion, a missing file, and a stop with a resume
// that fetches only the blocks not done.

#include "download/JobFiles.h"
#include "tests/integration/CliDriveJob.h"
#include "foundation/TextUtils.h"
#include "tests/integration/CliDriveLogs.h"
#include "tests/support/HttpServers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <thread>

using namespace tq;
using namespace tq::test;

namespace {

class CliDriveNginx : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        nginx_ = new Nginx();
        big_ = new std::string(PatternBytes(8 * 1024 * 1024 + 1234, 3));
        nginx_->AddFile("files/big.bin", *big_);
        nginx_->AddFile("noranges/big.bin", big_->substr(0, 2 * 1024 * 1024 + 77));
        nginx_->AddFile("slow/big.bin", big_->substr(0, 3 * 1024 * 1024 + 5));
        const std::string lines =
            "    location /noranges/ { max_ranges 0; }\n"
            "    location /slow/ { limit_rate 600k; }\n";
        if (!nginx_->Start(lines))
            FAIL() << nginx_->Why();
    }
    static void TearDownTestSuite()
    {
        delete nginx_;
        delete big_;
    }

    void Prepare(const std::string& path, int maxConnections = 5)
    {
        drive_.Prepare("http://127.0.0.1:" + std::to_string(nginx_->Port()) + path, "big.bin", maxConnections);
        job_.Port = nginx_->Port();
        job_.RetryDelay = 1;
    }

    // Runs one driver on the job; stopAfterDoneBlocks > 0 stops it once that many blocks are done.
    std::vector<std::vector<std::string>> Run(bool fresh, int stopAfterDoneBlocks = 0,
                                              int32_t* peak = nullptr)
    {
        drive_.Run(fresh, [&](QNCliDrive& drive) {
            if (stopAfterDoneBlocks <= 0)
                return;
            for (int n = 0; n < 2000; ++n) {
                auto map = drive.CopyBlockMap();
                if (std::count(map.begin(), map.end(), kBlockDone) >= stopAfterDoneBlocks)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            drive.StopAll();
        });
        if (peak)
            *peak = drive_.peak;
        return drive_.logs;
    }

    static Nginx* nginx_;
    static std::string* big_;
    DriveJob drive_;
    TempDir& dir_ = drive_.dir;
    TDLMangeData& job_ = drive_.job;
};
Nginx* CliDriveNginx::nginx_ = nullptr;
std::string* CliDriveNginx::big_ = nullptr;

TEST_F(CliDriveNginx, SplitDownloadIsByteExact)
{
    Prepare("/files/big.bin");
    int32_t peak = 0;
    Run(true, 0, &peak);
    EXPECT_EQ(job_.Completed, 1);
    EXPECT_EQ(job_.Failed, 0);
    EXPECT_EQ(peak, 5);
    EXPECT_EQ(job_.FileSize, int64_t(big_->size()));
    EXPECT_EQ(job_.DoneSize, int64_t(big_->size()));
    EXPECT_TRUE(ReadFile(dir_.file("save/big.bin")) == *big_);
    EXPECT_FALSE(std::filesystem::exists(dir_.file("save/big.bin.zl!")));
}

TEST_F(CliDriveNginx, ServerWithoutRangesUsesOneConnection)
{
    Prepare("/noranges/big.bin");
    int32_t peak = 0;
    auto logs = Run(true, 0, &peak);
    EXPECT_EQ(job_.Completed, 1);
    EXPECT_EQ(peak, 1);
    EXPECT_TRUE(Logged(logs, "无法取得续传标志"));
    EXPECT_TRUE(ReadFile(dir_.file("save/big.bin")) == big_->substr(0, 2 * 1024 * 1024 + 77));
}

TEST_F(CliDriveNginx, TakenNameGetsNumberAndOldFileStays)
{
    Prepare("/noranges/big.bin");
    WriteFile(dir_.file("save/big.bin"), "keep me");
    Run(true);
    EXPECT_EQ(job_.Completed, 1);
    EXPECT_EQ(job_.FileName, "big1.bin");
    EXPECT_EQ(ReadFile(dir_.file("save/big.bin")), "keep me");
    EXPECT_EQ(ReadFile(dir_.file("save/big1.bin")).size(), size_t(2 * 1024 * 1024 + 77));
}

TEST_F(CliDriveNginx, MissingFileFailsTheJob)
{
    Prepare("/files/none.bin");
    auto logs = Run(true);
    EXPECT_EQ(job_.Failed, 1);
    EXPECT_EQ(job_.Completed, 0);
    EXPECT_TRUE(Logged(logs, "无法找到文件!"));
}

TEST_F(CliDriveNginx, StopSavesMapAndResumeFetchesOnlyMissingBlocks)
{
    const std::string source = big_->substr(0, 3 * 1024 * 1024 + 5);
    Prepare("/slow/big.bin", 3);
    Run(true, 100);
    ASSERT_EQ(job_.Completed, 0);
    ASSERT_EQ(job_.Failed, 0);

    // The map on disk and the done size agree, and some blocks are still missing.
    const std::string map = ReadFile(dir_.file("store/1.blk"));
    ASSERT_EQ(map.size(), size_t(BlockCountOf(int64_t(source.size()))));
    int64_t doneBytes = 0;
    for (size_t b = 0; b < map.size(); ++b)
        if (uint8_t(map[b]) == kBlockDone)
            doneBytes += std::min<int64_t>(kBlockSize, int64_t(source.size()) - int64_t(b) * kBlockSize);
    EXPECT_EQ(job_.DoneSize, doneBytes);
    EXPECT_GT(doneBytes, 0);
    EXPECT_LT(doneBytes, int64_t(source.size()));
    for (char m : map)
        EXPECT_TRUE(uint8_t(m) == kBlockDone || uint8_t(m) == kBlockFree);

    // Blocks marked done are overwritten with a marker: a resume that fetched them
    // again would put the server's bytes back.
    std::string partial = ReadFile(dir_.file("save/big.bin.zl!"));
    ASSERT_EQ(partial.size(), source.size());
    std::string expected = source;
    for (size_t b = 0; b < map.size(); ++b) {
        if (uint8_t(map[b]) != kBlockDone)
            continue;
        const size_t off = b * kBlockSize, len = std::min<size_t>(kBlockSize, source.size() - off);
        std::fill_n(partial.begin() + long(off), len, '\xEE');
        std::fill_n(expected.begin() + long(off), len, '\xEE');
    }
    WriteFile(dir_.file("save/big.bin.zl!"), partial);
    const size_t before = SplitTextLines(nginx_->AccessLog(), true).size();

    Run(false);
    EXPECT_EQ(job_.Completed, 1);
    EXPECT_EQ(job_.DoneSize, int64_t(source.size()));
    EXPECT_TRUE(ReadFile(dir_.file("save/big.bin")) == expected);

    // Every request of the resumed run asks for a closed range of blocks that were not
    // done, so the server sends nothing the file already had.
    const std::vector<std::string> lines = SplitTextLines(nginx_->AccessLog(), true);
    ASSERT_GT(lines.size(), before);
    for (size_t k = before; k < lines.size(); ++k) {
        SCOPED_TRACE(lines[k]);
        const size_t at = lines[k].find("bytes=");
        ASSERT_NE(at, std::string::npos);
        const size_t dash = lines[k].find('-', at);
        const int64_t first = std::stoll(lines[k].substr(at + 6, dash - at - 6));
        const std::string rest = lines[k].substr(dash + 1);
        ASSERT_TRUE(!rest.empty() && std::isdigit(static_cast<unsigned char>(rest[0])));
        const int64_t last = std::stoll(rest);
        for (int64_t b = first / kBlockSize; b <= last / kBlockSize; ++b)
            EXPECT_NE(uint8_t(map[size_t(b)]), kBlockDone) << "block " << b;
    }
}

// One free run left: the first connection takes it, and the second one, finding no
// free block, takes over the upper part of the running range.
TEST_F(CliDriveNginx, IdleConnectionTakesOverRunningRange)
{
    const std::string source = big_->substr(0, 3 * 1024 * 1024 + 5);
    Prepare("/slow/big.bin", 2);
    const int32_t blocks = BlockCountOf(int64_t(source.size()));
    std::string map(static_cast<size_t>(blocks), static_cast<char>(kBlockDone));
    std::fill_n(map.begin(), 200, char(kBlockFree));
    WriteFile(dir_.file("store/1.blk"), map);
    std::string partial = source;
    std::fill_n(partial.begin(), 200 * kBlockSize, '\0');
    WriteFile(dir_.file("save/big.bin.zl!"), partial);
    job_.Initialized = 1;
    job_.FileSize = int64_t(source.size());

    int32_t peak = 0;
    auto logs = Run(false, 0, &peak);
    EXPECT_EQ(job_.Completed, 1);
    EXPECT_EQ(peak, 2);
    ASSERT_EQ(logs.size(), 2u);
    bool secondFinished = false;
    for (const auto& line : logs[1])
        secondFinished = secondFinished || line.find("此模块下载完毕") != std::string::npos;
    EXPECT_TRUE(secondFinished);
    EXPECT_TRUE(ReadFile(dir_.file("save/big.bin")) == source);
}

} // namespace

// The process died after the finished file was renamed but before the job was filed:
// the next run finds every block done and the file in place, and completes without
// asking the server again. A file of another length is not taken for it.
TEST_F(CliDriveNginx, RunAfterRenameWithoutFilingCompletesFromTheMap)
{
    Prepare("/files/big.bin");
    Run(true);
    ASSERT_EQ(job_.Completed, 1);
    const size_t requests = SplitTextLines(nginx_->AccessLog(), true).size();

    job_.Completed = 0;
    Run(false);
    EXPECT_EQ(job_.Completed, 1);
    EXPECT_EQ(job_.Failed, 0);
    EXPECT_NE(job_.FileDate, 0);
    EXPECT_EQ(SplitTextLines(nginx_->AccessLog(), true).size(), requests);
    EXPECT_TRUE(ReadFile(dir_.file("save/big.bin")) == *big_);

    WriteFile(dir_.file("save/big.bin"), "short");
    job_.Completed = 0;
    Run(false);
    EXPECT_EQ(job_.Completed, 0);
    EXPECT_EQ(job_.Failed, 1);
    EXPECT_EQ(ReadFile(dir_.file("save/big.bin")), "short");
}
