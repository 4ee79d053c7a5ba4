// The job driver following redirects of its first request: a chain saved under the
// server's name (also in the job's INI file), a loop and an unsupported scheme that
// fail the job, a hostile name that stays a plain name in the save folder, and a
// redirect from HTTP to an ftp:// URL on vsftpd.

#include "foundation/IniFile.h"
#include "tests/integration/CliDriveJob.h"
#include "tests/integration/CliDriveLogs.h"
#include "tests/support/FtpServers.h"
#include "tests/support/HttpServers.h"

using namespace tq;
using namespace tq::test;

namespace {

constexpr int kLen = 100000;

std::string Cases()
{
    return R"({
  "/r1": [{"status": "HTTP/1.0 302 Found", "headers": ["Location: /r2"]}],
  "/r2": [{"status": "HTTP/1.0 301 Moved", "headers": ["Location: http://127.0.0.1:{port}/r3"]}],
  "/r3": [{"status": "HTTP/1.0 302 Found", "headers": ["Location: /dl/server-name.bin?x=1"]}],
  "/dl/server-name.bin?x=1": [{"headers": ["Accept-Ranges: bytes"], "ranges": true, "length": 100000}],
  "/loop": [{"status": "HTTP/1.0 302 Found", "headers": ["Location: /loop"]}],
  "/gopher": [{"status": "HTTP/1.0 302 Found", "headers": ["Location: gopher://127.0.0.1/x"]}],
  "/evil": [{"status": "HTTP/1.0 302 Found", "headers": ["Location: /dl/..%2F..%2Fevil.bin"]}],
  "/dl/..%2F..%2Fevil.bin": [{"headers": ["Accept-Ranges: bytes"], "ranges": true, "length": 100000}]
})";
}

class CliDriveRedirect : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        server_ = new FaultHttpd(Cases(), TQ_SOURCE_DIR "/tests/servers/fault_httpd.py");
        if (!server_->Start())
            FAIL() << server_->Why();
    }
    static void TearDownTestSuite() { delete server_; }

    static std::string Url(const std::string& path)
    {
        return "http://127.0.0.1:" + std::to_string(server_->Port()) + path;
    }
    static size_t Requests(const std::string& target)
    {
        size_t n = 0;
        for (const auto& r : server_->Requests())
            n += r.rfind("GET " + target + " ", 0) == 0 ? 1 : 0;
        return n;
    }

    static FaultHttpd* server_;
};
FaultHttpd* CliDriveRedirect::server_ = nullptr;

TEST_F(CliDriveRedirect, ChainCompletesUnderServerName)
{
    DriveJob d(Url("/r1"), "job.bin", 3);
    WriteFile(d.dir.file("save/job.bin.zl!"), "");
    d.Run();
    EXPECT_EQ(d.job.Completed, 1);
    EXPECT_EQ(d.job.NamesChanged, 1);
    EXPECT_EQ(d.job.FileName, "server-name.bin");
    EXPECT_EQ(d.job.TempFileName, "server-name.bin.zl!");
    EXPECT_TRUE(d.Saved() == FaultPattern(0, kLen));
    EXPECT_TRUE(Logged(d.logs, "重定向到" + Url("/r3")));
    EXPECT_TRUE(Logged(d.logs, "GET /r1 HTTP/1.0"));
    EXPECT_TRUE(Logged(d.logs, "Location: /r2"));
    // The later connections ask the final URL at once.
    EXPECT_EQ(Requests("/r1"), 1u);
    EXPECT_GE(Requests("/dl/server-name.bin?x=1"), 2u);
    // Nothing of the old names is left behind; the store knows the new ones.
    EXPECT_FALSE(std::filesystem::exists(d.dir.file("save/job.bin.zl!")));
    const std::string ini = ExdFileName(d.dir.file("store"), d.job.ExdNumber);
    EXPECT_EQ(IniReadText("Data", "SaveFileName", "", false, ini), "server-name.bin");
    EXPECT_EQ(IniReadText("Data", "TempFIleName", "", false, ini), "server-name.bin.zl!");
}

TEST_F(CliDriveRedirect, NoServerNameKeepsTheJobsName)
{
    DriveJob d(Url("/r3"), "job.bin", 2);
    d.job.UseServerName = 0;
    d.Run();
    EXPECT_EQ(d.job.Completed, 1);
    EXPECT_EQ(d.job.FileName, "job.bin");
    EXPECT_TRUE(d.Saved() == FaultPattern(0, kLen));
}

// Without a limit both would ask the server again and again.
TEST_F(CliDriveRedirect, LoopAndUnsupportedSchemeFailTheJob)
{
    const struct {
        const char* path;
        size_t requests;
    } cases[] = {{"/loop", 1 + kMaxJobRedirects}, {"/gopher", 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const size_t before = Requests(c.path);
        DriveJob d(Url(c.path), "job.bin", 2);
        d.Run(true, {}, std::chrono::seconds(20));
        EXPECT_EQ(d.job.Failed, 1);
        EXPECT_EQ(d.job.Completed, 0);
        EXPECT_TRUE(Logged(d.logs, "发生错误无法支持的文件重定向302"));
        EXPECT_EQ(Requests(c.path) - before, c.requests);
    }
}

TEST_F(CliDriveRedirect, HostileServerNameStaysInsideSaveFolder)
{
    DriveJob d(Url("/evil"), "job.bin", 2);
    d.Run();
    EXPECT_EQ(d.job.Completed, 1);
    EXPECT_EQ(d.job.FileName.find('/'), std::string::npos);
    EXPECT_TRUE(d.Saved() == FaultPattern(0, kLen));
    size_t outside = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(d.dir.path()))
        if (e.path().filename().string().find("evil") != std::string::npos)
            outside += e.path().parent_path() == d.dir.file("save") ? 0 : 1;
    EXPECT_EQ(outside, 0u);
}

TEST(CliDriveRedirectFtp, HttpRedirectToFtpSwitchesProtocol)
{
    TempDir work;
    std::unique_ptr<TFtpServer> ftp = StartVsftpd(work.path());
    if (!ftp)
        GTEST_SKIP() << "vsftpd is not available";
    const std::string content = PatternBytes(300000 + 7, 31);
    WriteFile(ftp->FilesDir + "/moved.bin", content);
    const std::string target =
        "ftp://127.0.0.1:" + std::to_string(ftp->Port) + ftp->RemoteDir + "/moved.bin";
    const std::string cases =
        R"({"/to-ftp": [{"status": "HTTP/1.0 302 Found", "headers": ["Location: )" + target + R"("]}]})";
    FaultHttpd server(cases, TQ_SOURCE_DIR "/tests/servers/fault_httpd.py");
    ASSERT_TRUE(server.Start()) << server.Why();

    DriveJob d("http://127.0.0.1:" + std::to_string(server.Port()) + "/to-ftp", "job.bin", 3);
    d.Run();
    EXPECT_EQ(d.job.Completed, 1) << ::testing::PrintToString(d.logs);
    EXPECT_EQ(d.job.Protocol, 1);
    EXPECT_EQ(d.job.FileName, "moved.bin");
    EXPECT_TRUE(Logged(d.logs, "重定向到" + target));
    EXPECT_TRUE(d.Saved() == content);
}

} // namespace
