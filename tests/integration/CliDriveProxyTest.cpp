// The job driver through proxies: nginx behind squid (GET and CONNECT) and danted
// (SOCKS 4 and 5), a rotation over several proxies, and ftp:// jobs through squid (as
// HTTP) and through danted (as FTP).

#include "tests/integration/CliDriveJob.h"
#include "tests/integration/CliDriveLogs.h"
#include "tests/support/Danted.h"
#include "tests/support/FtpServers.h"
#include "tests/support/HttpServers.h"

#include <thread>

using namespace tq;
using namespace tq::test;

namespace {

class CliDriveProxy : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        nginx_ = new Nginx();
        content_ = new std::string(PatternBytes(1536 * 1024 + 77, 5));
        nginx_->AddFile("files/proxied.bin", *content_);
        if (!nginx_->Start(""))
            FAIL() << nginx_->Why();
        squid_ = new Squid();
        if (!squid_->Start({{nginx_->Port()}, "", ""}))
            FAIL() << squid_->Why();
        danted_ = new Danted();
        if (!danted_->Start())
            FAIL() << danted_->Why();
    }
    static void TearDownTestSuite()
    {
        delete danted_;
        delete squid_;
        delete nginx_;
        delete content_;
    }

    static std::string Url() { return "http://127.0.0.1:" + std::to_string(nginx_->Port()) + "/files/proxied.bin"; }

    static Nginx* nginx_;
    static Squid* squid_;
    static Danted* danted_;
    static std::string* content_;
};
Nginx* CliDriveProxy::nginx_ = nullptr;
Squid* CliDriveProxy::squid_ = nullptr;
Danted* CliDriveProxy::danted_ = nullptr;
std::string* CliDriveProxy::content_ = nullptr;

TEST_F(CliDriveProxy, HttpJobThroughEachProxyTypeIsByteExact)
{
    const struct {
        const char* name;
        int32_t type;
        bool squid;
    } cases[] = {
        {"HTTP GET", 1, true},
        {"HTTP CONNECT", 2, true},
        {"SOCKS 4", 7, false},
        {"SOCKS 5", 8, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DriveJob d(Url(), "proxied.bin", 4);
        d.job.UseProxy = 1;
        d.settings.HttpProxy = MakeProxy(c.type, c.squid ? squid_->Port() : danted_->Port());
        d.Run();
        EXPECT_EQ(d.job.Completed, 1);
        EXPECT_EQ(d.peak, 4);
        EXPECT_TRUE(d.Saved() == *content_);
        EXPECT_TRUE(Logged(d.logs, "正在连接代理服务器 127.0.0.1"));
        EXPECT_FALSE(Logged(d.logs, "正在连接服务器 "));
        EXPECT_TRUE(Logged(d.logs, "已经连接"));
    }
    // squid logs one line per request it carried; a tunnel shows as CONNECT.
    for (int n = 0; n < 50 && squid_->AccessLog().find("CONNECT") == std::string::npos; ++n)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::string log = squid_->AccessLog();
    EXPECT_NE(log.find("GET http://127.0.0.1:" + std::to_string(nginx_->Port()) + "/files/proxied.bin"),
              std::string::npos) << log;
    EXPECT_NE(log.find("CONNECT 127.0.0.1:" + std::to_string(nginx_->Port())), std::string::npos) << log;
}

// Each connection start takes the next entry of the list; an FTP proxy entry cannot
// carry HTTP and is passed over.
TEST_F(CliDriveProxy, MultiProxyRotatesOverTheList)
{
    DriveJob d(Url(), "proxied.bin", 4);
    d.job.MultiProxy = 1;
    d.settings.ProxyList.push_back(MakeProxy(8, danted_->Port()));
    d.settings.ProxyList.push_back(MakeProxy(3, 1));
    d.settings.ProxyList.push_back(MakeProxy(0, 0));
    d.Run();
    EXPECT_EQ(d.job.Completed, 1);
    EXPECT_TRUE(d.Saved() == *content_);
    EXPECT_TRUE(Logged(d.logs, "正在连接代理服务器 127.0.0.1"));
    EXPECT_TRUE(Logged(d.logs, "正在连接服务器 127.0.0.1"));
}

class CliDriveProxyFtp : public CliDriveProxy {
protected:
    void SetUp() override
    {
        ftp_ = StartVsftpd(work_.path());
        if (!ftp_)
            GTEST_SKIP() << "vsftpd is not available";
    }
    std::string FtpUrl(const std::string& name) const
    {
        return "ftp://127.0.0.1:" + std::to_string(ftp_->Port) + ftp_->RemoteDir + "/" + name;
    }
    TempDir work_;
    std::unique_ptr<TFtpServer> ftp_;
};

// squid fetches the ftp:// URL for an HTTP request; it does not serve ranges over FTP
// reliably, so the whole file comes on one connection.
TEST_F(CliDriveProxyFtp, FtpJobThroughHttpProxyRunsAsHttp)
{
    const std::string content = PatternBytes(700000 + 3, 21);
    WriteFile(ftp_->FilesDir + "/via-squid.bin", content);
    DriveJob d(FtpUrl("via-squid.bin"), "via-squid.bin", 3);
    d.job.UseProxy = 1;
    d.settings.FtpProxy = MakeProxy(1, squid_->Port());
    d.Run();
    EXPECT_EQ(d.job.Completed, 1) << ::testing::PrintToString(d.logs);
    EXPECT_EQ(d.job.FtpViaHttpProxy, 1);
    EXPECT_TRUE(d.Saved() == content);
    for (int n = 0; n < 50 && squid_->AccessLog().find("via-squid.bin") == std::string::npos; ++n)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_NE(squid_->AccessLog().find("GET ftp://127.0.0.1:" + std::to_string(ftp_->Port)), std::string::npos);
}

TEST_F(CliDriveProxyFtp, FtpJobThroughSocksIsByteExact)
{
    const std::string content = PatternBytes(600000 + 11, 23);
    WriteFile(ftp_->FilesDir + "/via-socks.bin", content);
    for (int32_t type : {7, 8}) {
        SCOPED_TRACE(type);
        DriveJob d(FtpUrl("via-socks.bin"), "via-socks.bin", 3);
        d.job.UserName = ftp_->User;
        d.job.Password = ftp_->Password;
        d.job.UseProxy = 1;
        d.settings.FtpProxy = MakeProxy(type, danted_->Port());
        d.Run();
        EXPECT_EQ(d.job.Completed, 1) << ::testing::PrintToString(d.logs);
        EXPECT_EQ(d.job.FtpViaHttpProxy, 0);
        EXPECT_EQ(d.peak, 3);
        EXPECT_TRUE(d.Saved() == content);
        EXPECT_TRUE(Logged(d.logs, "正在连接代理服务器 127.0.0.1"));
        EXPECT_TRUE(Logged(d.logs, "USER " + ftp_->User));
    }
}

// An FTP proxy is connected in place of the server and told the target in the form its
// kind names; the scripted proxy refuses the password, which is all this needs to see.
// The connection log shows the commands, never the password.
TEST(CliDriveFtpProxy, LoginNamesTheTargetAsTheKindSays)
{
    // The target is a closed local port: a connection that bypassed the proxy would fail
    // there instead of leaving the machine.
    const std::string target = "127.0.0.1:" + std::to_string(FreeTcpPort());
    const struct {
        int32_t type;
        const char* proxyUser;
        std::string firstLine;
    } cases[] = {
        {3, "", "USER anonymous@" + target},
        {4, "pu", "USER pu"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        TempDir work;
        auto proxy = StartFakeFtpd(work.path(), R"({"steps": [{"do": [{"send": "220 proxy\r\n"}]},
            {"expect": "", "do": [{"send": "331 password\r\n"}]},
            {"expect": "PASS", "do": [{"send": "530 refused\r\n"}]}]})");
        ASSERT_TRUE(proxy);
        DriveJob d("ftp://" + target + "/pub/f.bin", "f.bin", 1);
        d.job.UseProxy = 1;
        d.job.MaxRetries = 1;
        d.job.StopOnMaxRetries = 1;
        d.settings.FtpProxy = MakeProxy(c.type, proxy->Port);
        d.settings.FtpProxy->UserName = c.proxyUser;
        d.settings.FtpProxy->PassWord = "proxy-secret";
        d.settings.AnonPassword = "anon-secret";
        d.Run(true, {}, std::chrono::seconds(20));
        EXPECT_EQ(d.job.Failed, 1);
        EXPECT_TRUE(Logged(d.logs, "正在连接代理服务器 127.0.0.1"));
        const std::string log = ReadFile(proxy->LogFile);
        EXPECT_EQ(log.substr(0, log.find('\n')), c.firstLine) << log;
        EXPECT_NE(log.find("secret"), std::string::npos) << log;
        EXPECT_TRUE(Logged(d.logs, "PASS ****"));
        EXPECT_FALSE(Logged(d.logs, "secret"));
    }
}

} // namespace
