// The job driver on ftp:// jobs against vsftpd: a split download over several
// connections and a missing file.

#include "download/JobFiles.h"
#include "tests/integration/CliDriveJob.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace tq;
using namespace tq::test;

namespace {

class CliDriveFtp : public ::testing::Test {
protected:
    void SetUp() override
    {
        server_ = StartVsftpd(work_.path());
        if (!server_)
            GTEST_SKIP() << "vsftpd is not available";
    }

    void Prepare(const std::string& name, int maxConnections)
    {
        drive_.Prepare("ftp://127.0.0.1:" + std::to_string(server_->Port) + server_->RemoteDir + "/" + name,
                       name, maxConnections);
        job_.UserName = server_->User;
        job_.Password = server_->Password;
    }

    std::vector<std::vector<std::string>> Run(int32_t* peak = nullptr, bool passive = true)
    {
        drive_.settings.Passive = passive;
        drive_.Run();
        if (peak)
            *peak = drive_.peak;
        return drive_.logs;
    }

    TempDir work_;
    std::unique_ptr<TFtpServer> server_;
    DriveJob drive_;
    TempDir& dir_ = drive_.dir;
    TDLMangeData& job_ = drive_.job;
};

TEST_F(CliDriveFtp, SplitDownloadIsByteExact)
{
    const std::string content = PatternBytes(600000 + 123, 11);
    WriteFile(server_->FilesDir + "/split.bin", content);
    Prepare("split.bin", 3);
    int32_t peak = 0;
    const auto logs = Run(&peak);
    EXPECT_EQ(job_.Completed, 1);
    EXPECT_EQ(job_.RangesOK, 1);
    EXPECT_EQ(peak, 3);
    // Only the first block lists the file; the others know its length already.
    ASSERT_EQ(logs.size(), 3u);
    for (size_t i = 0; i < logs.size(); ++i) {
        bool listed = false;
        for (const std::string& line : logs[i])
            listed = listed || line.find(" : LIST ") != std::string::npos;
        EXPECT_EQ(listed, i == 0) << "connection " << i;
    }
    EXPECT_EQ(job_.DoneSize, int64_t(content.size()));
    EXPECT_TRUE(ReadFile(dir_.file("save/split.bin")) == content);
}

TEST_F(CliDriveFtp, FiveConnectionsPassiveAndActive)
{
    const std::string content = PatternBytes(3 * 1024 * 1024 + 77, 13);
    WriteFile(server_->FilesDir + "/five.bin", content);
    for (bool passive : {true, false}) {
        SCOPED_TRACE(passive ? "passive" : "active");
        std::filesystem::remove(dir_.file("save/five.bin"));
        job_ = TDLMangeData{};
        Prepare("five.bin", 5);
        int32_t peak = 0;
        const auto logs = Run(&peak, passive);
        EXPECT_EQ(job_.Completed, 1);
        EXPECT_EQ(peak, 5);
        bool sawMode = false;
        for (const auto& log : logs)
            for (const std::string& line : log)
                sawMode = sawMode || line.find(passive ? " : PASV" : " : PORT ") != std::string::npos;
        EXPECT_TRUE(sawMode);
        EXPECT_TRUE(ReadFile(dir_.file("save/five.bin")) == content);
    }
}

TEST_F(CliDriveFtp, MissingFileFailsTheJob)
{
    Prepare("none.bin", 3);
    auto logs = Run();
    EXPECT_EQ(job_.Failed, 1);
    EXPECT_EQ(job_.Completed, 0);
    bool notFound = false;
    for (const auto& log : logs)
        for (const auto& line : log)
            notFound = notFound || line.find("无法找到文件!") != std::string::npos;
    EXPECT_TRUE(notFound);
}

} // namespace
