#include "download/QNDownFtpcli.h"
#include "platform/EventLoop.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace tq;
using namespace tq::test;

namespace {

// One block download on a connection, with what the driver would see.
struct TBlockRun {
    explicit TBlockRun(TEventLoop& loop) : Client(loop)
    {
        Client.SetClient(kQNClientFtp, &Client);
        Client.OSQN_OnDocBegin = [this](TQNComponent* c) {
            ++DocBegins;
            LengthAtBegin = c->OS_FileLength();
        };
        Client.OSQN_OnDocData = [this](TQNComponent*, const char* p, int32_t n) { Data.append(p, size_t(n)); };
        Client.OSQN_OnHeaderData = [this](TQNComponent* c) { ResumeAtHeader = c->FResumeSupported; };
        Client.OSQN_OnCommand = [this](TQNComponent*, std::string& s) { Commands.push_back(s); };
        Client.OSQN_OnRequestDone = [this](TQNComponent*, TFtpRequest rq, int error, bool isError) {
            ++Done;
            Rq = rq;
            Error = error;
            IsError = isError;
        };
    }
    bool Sent(const std::string& prefix) const
    {
        for (const std::string& c : Commands)
            if (c.rfind(prefix, 0) == 0)
                return true;
        return false;
    }
    bool Run(TEventLoop& loop)
    {
        Client.StartRequest();
        return loop.PumpUntil([&] { return Done > 0; }, std::chrono::seconds(20));
    }

    TQNDNFtpClient Client;
    std::string Data;
    std::vector<std::string> Commands;
    int DocBegins = 0;
    int64_t LengthAtBegin = -1;
    int ResumeAtHeader = -1;
    int Done = 0;
    TFtpRequest Rq = ftpNone;
    int Error = -1;
    bool IsError = false;
};

} // namespace

TEST(DnFtpClient, PassiveFlagFollowsTheJobOptionOnlyOnDirectConnections)
{
    struct Case {
        TFtpConnectionType Type;
        uint8_t Pasv;
        bool Passive;
    };
    const Case cases[] = {
        {ftpDirect, 0, false}, {ftpDirect, 1, true}, {ftpSocks5, 0, true},
        {ftpSocks4, 0, true},  {ftpSocks4A, 0, true}, {ftpProxy, 0, true},
    };
    TEventLoop loop;
    for (const Case& c : cases) {
        TQNDNFtpClient client(loop);
        client.SetClient(kQNClientFtp, &client);
        client.SetConnectionType(c.Type);
        client.SetPassiveMode(false);
        client.FPassive = c.Pasv;
        client.FtpPrepareTransfer();
        EXPECT_EQ(client.PassiveMode(), c.Passive) << int(c.Type) << " PASVMODE " << int(c.Pasv);
        EXPECT_TRUE(client.DisplayFileFlag);
        EXPECT_EQ(client.DisplayFileMode(), 1);
    }
}

TEST(DnFtpClient, WaitUntilReadyGivesUpWithTimeoutAndProgressMovesTheDeadline)
{
    // A server that accepts the connection but never sends its banner.
    int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(lfd, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(lfd, 4), 0);
    socklen_t len = sizeof a;
    ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);

    TEventLoop loop;
    TQNDNFtpClient client(loop);
    client.HostName = "127.0.0.1";
    client.Port = std::to_string(ntohs(a.sin_port));
    client.Timeout = 1;
    client.OpenAsync();
    EXPECT_FALSE(client.WaitUntilReady());
    EXPECT_EQ(client.ErrorMessage(), "426 Timeout");
    EXPECT_EQ(client.ReplyCode(), 426);
    EXPECT_EQ(client.State(), fcsReady);
    EXPECT_FALSE(client.Connected());

    client.Timeout = 7;
    client.ReportProgress();
    const int32_t left = int32_t(client.WaitDeadline - GetTickCount32());
    EXPECT_GT(left, 6000);
    EXPECT_LE(left, 7000);
    ::close(lfd);
}

TEST(DnFtpClient, AccessorsAndStartWhileBusy)
{
    TEventLoop loop;
    TBlockRun run(loop);
    TQNDNFtpClient& c = run.Client;
    EXPECT_EQ(c.FClientKind, kQNClientFtp);
    EXPECT_EQ(c.OS_State(), QNCliReady);
    EXPECT_EQ(c.OS_CtrlSocket(), &c.ControlSocket());
    EXPECT_EQ(c.OS_DataSocket(), nullptr);
    c.OS_RangeBegin("1000");
    EXPECT_EQ(c.OS_RangeBegin(), "1000");
    c.FFileSize = int64_t(5) << 32;
    EXPECT_EQ(c.OS_FileLength(), int64_t(5) << 32);
    EXPECT_EQ(c.OS_Locate(), "");

    c.HostName = "127.0.0.1";
    c.Port = "1";   // nothing listens: the connect fails
    c.StartRequest();
    EXPECT_EQ(c.OS_State(), QNAnyOne);
    EXPECT_THROW(c.StartRequest(), FtpException);
    ASSERT_TRUE(loop.PumpUntil([&] { return run.Done > 0; }, std::chrono::seconds(10)));
    EXPECT_TRUE(run.IsError);
    EXPECT_EQ(run.Rq, ftpRestGetAsync);
    EXPECT_FALSE(c.OS_NotFound()) << "a refused connect is not a missing file";
    EXPECT_EQ(c.OS_State(), QNCliReady);
}

namespace {

const std::string kLogin = R"({"do":[{"send":"220 fake\r\n"}]},
    {"expect":"USER","do":[{"send":"331 pw\r\n"}]},
    {"expect":"PASS","do":[{"send":"230 ok\r\n"}]})";

std::string Pasv()
{
    return R"({"expect":"PASV","do":[{"pasv":true},{"send":"227 Entering Passive Mode (127,0,0,1,{P1},{P2})\r\n"}]})";
}

} // namespace

class DnFtpFake : public testing::Test {
protected:
    void Start(const std::string& steps, const std::string& login = kLogin)
    {
        Server = StartFakeFtpd(Work.path(), "{\"steps\": [" + login + "," + steps + "]}");
        ASSERT_TRUE(Server);
        Run = std::make_unique<TBlockRun>(Loop);
        Run->Client.HostName = "127.0.0.1";
        Run->Client.Port = std::to_string(Server->Port);
        Run->Client.UserName = "user";
        Run->Client.PassWord = "pass";
        Run->Client.FPassive = 1;
        Run->Client.Timeout = 5;
    }
    TempDir Work;
    TEventLoop Loop;
    std::unique_ptr<TFtpServer> Server;
    std::unique_ptr<TBlockRun> Run;
};

TEST_F(DnFtpFake, RefusedProbeGoesOnAndAnUnreadableSizeFailsInsteadOfGivingZero)
{
    // The listing names a file whose name is only part of the path: not this file.
    Start(R"({"expect":"REST 300","do":[{"send":"500 no REST\r\n"}]},
             {"expect":"REST 0","do":[{"send":"500 no REST\r\n"}]},
             {"expect":"TYPE I","do":[{"send":"200 ok\r\n"}]},)" + Pasv() + R"(,
             {"expect":"LIST /d/data.bin","do":[{"accept":true},{"send":"150 here\r\n"},
               {"data":"-rw-r--r--   1 u  g  7 Jan  1  2020 a\r\n"},{"data_close":true},{"send":"226 done\r\n"}]},
             {"expect":"SIZE /d/data.bin","do":[{"send":"213 99999999999999999999\r\n"}]})");
    Run->Client.HostFileName = "/d/data.bin";
    ASSERT_TRUE(Run->Run(Loop));
    EXPECT_EQ(Run->ResumeAtHeader, 0);
    EXPECT_TRUE(Run->Sent("SIZE")) << "the listing did not show the file";
    EXPECT_TRUE(Run->IsError);
    EXPECT_EQ(Run->DocBegins, 0);
    EXPECT_FALSE(Run->Client.OS_NotFound());
}

TEST_F(DnFtpFake, AnOffsetTheServerDidNotTakeDeliversNothing)
{
    Start(R"({"expect":"REST 300","do":[{"send":"350 ok\r\n"}]},
             {"expect":"REST 0","do":[{"send":"350 ok\r\n"}]},
             {"expect":"TYPE I","do":[{"send":"200 ok\r\n"}]},)" + Pasv() + R"(,
             {"expect":"LIST /f.bin","do":[{"accept":true},{"send":"150 here\r\n"},
               {"data":"total 1\r\n-rw-r--r--   1 u  g  10 Jan  1  2020 f.bin\r\n"},{"data_close":true},
               {"send":"226 done\r\n"}]},
             {"expect":"TYPE I","do":[{"send":"200 ok\r\n"}]},)" + Pasv() + R"(,
             {"expect":"REST 5","do":[{"send":"450 not now\r\n"}]},
             {"expect":"RETR /f.bin","do":[{"accept":true},{"send":"150 here\r\n"},{"data":"0123456789"},
               {"data_close":true},{"send":"226 done\r\n"}]})");
    Run->Client.HostFileName = "/f.bin";
    Run->Client.OS_RangeBegin("5");
    ASSERT_TRUE(Run->Run(Loop));
    EXPECT_EQ(Run->ResumeAtHeader, 1);
    EXPECT_FALSE(Run->Sent("SIZE")) << "the listing gave the size";
    EXPECT_EQ(Run->LengthAtBegin, 10);
    EXPECT_EQ(Run->Data, "") << "bytes from offset 0 must not land at offset 5";
    EXPECT_TRUE(Run->IsError);
    EXPECT_EQ(Run->Error, 450);
}

TEST_F(DnFtpFake, AnonymousLoginWithoutPasswordAndAListingRefusedWith550)
{
    // USER answered 230 needs no PASS; an empty user name logs in anonymously.
    Start(R"({"expect":"REST 300","do":[{"send":"350 ok\r\n"}]},
             {"expect":"REST 0","do":[{"send":"350 ok\r\n"}]},
             {"expect":"TYPE I","do":[{"send":"200 ok\r\n"}]},)" + Pasv() + R"(,
             {"expect":"LIST /gone.bin","do":[{"send":"550 No such file or directory\r\n"}]})",
          R"({"do":[{"send":"220 fake\r\n"}]},{"expect":"USER anonymous","do":[{"send":"230 welcome\r\n"}]})");
    Run->Client.UserName.clear();
    Run->Client.PassWord.clear();
    Run->Client.HostFileName = "/gone.bin";
    ASSERT_TRUE(Run->Run(Loop));
    EXPECT_FALSE(Run->Sent("PASS"));
    EXPECT_EQ(Run->ResumeAtHeader, 1);
    EXPECT_TRUE(Run->IsError);
    EXPECT_EQ(Run->Error, 550);
    EXPECT_TRUE(Run->Client.OS_NotFound());
    EXPECT_EQ(ReadFile(Server->LogFile).find("UNEXPECTED"), std::string::npos) << ReadFile(Server->LogFile);
}
