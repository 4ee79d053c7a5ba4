// The FTP client against the scripted fake server: what real servers will not do
// (split and multi-line replies, odd PASV replies, REST refused, stalls, late or early
// 226) and the client-side faults (local I/O errors, injected line breaks, start errors).

#include "ftp/QNFtpClient.h"
#include "platform/EventLoop.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TestSupport.h"

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

namespace tq::test {
namespace {

namespace fs = std::filesystem;

const std::string kLogin =
    R"({"do":[{"send":"220 fake\r\n"}]},
       {"expect":"USER","do":[{"send":"331 pw\r\n"}]},
       {"expect":"PASS","do":[{"send":"230 ok\r\n"}]})";
const std::string kPasv =
    R"({"expect":"PASV","do":[{"pasv":true},{"send":"227 Entering Passive Mode (127,0,0,1,{P1},{P2})\r\n"}]})";

class FakeFtp : public testing::Test {
protected:
    void Start(const std::string& steps) {
        Server = StartFakeFtpd(Work.path(), "{\"steps\": [" + steps + "]}");
        ASSERT_TRUE(Server);
        Client = std::make_unique<TQNFtpClient>(Loop);
        Client->HostName = "127.0.0.1";
        Client->Port = std::to_string(Server->Port);
        Client->UserName = "user";
        Client->PassWord = "pass";
        Client->SetPassiveMode(true);
        Client->Timeout = 5;
        Client->OnDisplay = [this](TCustomFtpCli&, std::string& m) { Shown.push_back(m); };
    }
    std::string Log() { return ReadFile(Server->LogFile); }
    bool Run(void (TCustomFtpCli::*op)()) {
        return Client->RunAndWait([&] { (Client.get()->*op)(); });
    }
    bool Shows(const std::string& line) { return std::find(Shown.begin(), Shown.end(), line) != Shown.end(); }

    TempDir Work, Mine;
    TEventLoop Loop;
    std::unique_ptr<TFtpServer> Server;
    std::unique_ptr<TQNFtpClient> Client;
    std::vector<std::string> Shown;
};

TEST_F(FakeFtp, RepliesSplitAcrossReadsAndMultiLineRepliesEndOnTheirLastLine) {
    Start(R"({"do":[{"send":"220-Welcome\r\n220-"},{"sleep":0.1},{"send":"more\r\n220 Ready\r\n"}]},
             {"expect":"USER","do":[{"send":"331 pw\r\n"}]},
             {"expect":"PASS","do":[{"send":"230-Hello\r\n 230 not the end\r\n230"},{"sleep":0.1},{"send":" done\r\n"}]},
             {"expect":"PWD","do":[{"send":"257 \"/a \"\"q\"\"\" is current\r\n"}]})");
    ASSERT_TRUE(Client->Connect()) << Client->ErrorMessage();
    EXPECT_TRUE(Shows("< 220-Welcome"));
    EXPECT_TRUE(Shows("< 220-more"));
    EXPECT_TRUE(Shows("< 220 Ready"));
    EXPECT_EQ(Client->LastReply(), "230 done");
    ASSERT_TRUE(Client->Pwd());
    EXPECT_EQ(Client->DirValue(), "/a \"q\"");
}

TEST_F(FakeFtp, UserAnsweredWith230SkipsPass) {
    Start(R"({"do":[{"send":"220 fake\r\n"}]},
             {"expect":"USER","do":[{"send":"230 no password needed\r\n"}]},
             {"expect":"SYST","do":[{"send":"215 UNIX Type: L8\r\n"}]})");
    ASSERT_TRUE(Client->Connect());
    ASSERT_TRUE(Run(&TCustomFtpCli::SystAsync));
    EXPECT_EQ(Log().find("PASS"), std::string::npos);
}

// The data connection goes to the control connection's peer whatever address the 227
// names, and a 227 without "(" still gives its numbers.
TEST_F(FakeFtp, PassiveRepliesWithoutParenthesesOrWithAForeignAddress) {
    for (const char* reply : {"227 Entering Passive Mode 127,0,0,1,{P1},{P2}\\r\\n",
                              "227 Entering Passive Mode (10,255,255,1,{P1},{P2})\\r\\n"}) {
        SCOPED_TRACE(reply);
        Shown.clear();
        Start(kLogin + R"(,{"expect":"PASV","do":[{"pasv":true},{"send":")" + std::string(reply) + R"("}]},
              {"expect":"LIST","do":[{"send":"150 here\r\n"},{"accept":true},{"data":"line one\r\n"},
                                     {"data_close":true},{"send":"226 done\r\n"}]})");
        ASSERT_TRUE(Client->Connect());
        std::string got;
        Client->DisplayFileFlag = true;
        Client->OnDisplayFile = [&](TCustomFtpCli&, std::string& t) { got += t; };
        EXPECT_TRUE(Client->Dir()) << Client->ErrorMessage();
        EXPECT_EQ(got, "line one");
        Server.reset();
        Client.reset();
    }
}

TEST_F(FakeFtp, RestRefusedFailsAndRestIgnoredRestartsAtZero) {
    WriteFile(Mine.file("part"), "HEL");
    Start(kLogin + "," + kPasv + R"(,{"expect":"REST 3","do":[{"send":"502 no restarts\r\n"}]})");
    ASSERT_TRUE(Client->Connect());
    Client->SetLocalFileName(Mine.file("part"));
    Client->HostFileName = "f";
    EXPECT_FALSE(Run(&TCustomFtpCli::RestGetAsync));
    EXPECT_EQ(Client->ReplyCode(), 502);
    EXPECT_EQ(ReadFile(Mine.file("part")), "HEL");

    Server.reset();
    Start(kLogin + "," + kPasv + R"(,{"expect":"REST 3","do":[{"send":"200 sure\r\n"}]},
          {"expect":"RETR f","do":[{"send":"150 go\r\n"},{"accept":true},{"data":"HELLO"},
                                   {"data_close":true},{"send":"226 done\r\n"}]})");
    ASSERT_TRUE(Client->Connect());
    Client->SetLocalFileName(Mine.file("part"));
    Client->HostFileName = "f";
    EXPECT_TRUE(Run(&TCustomFtpCli::RestGetAsync)) << Client->ErrorMessage();
    EXPECT_EQ(ReadFile(Mine.file("part")), "HELLO");
}

TEST_F(FakeFtp, AStalledServerTimesOutTheSynchronousCall) {
    Start(kLogin + R"(,{"expect":"PWD","do":[{"sleep":3}]})");
    ASSERT_TRUE(Client->Connect());
    Client->Timeout = 1;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(Client->Pwd());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2500));
    EXPECT_EQ(Client->ErrorMessage(), "426 Timeout");
    EXPECT_EQ(Client->ReplyCode(), 426);
    EXPECT_FALSE(Client->Connected());
}

TEST_F(FakeFtp, The226MayComeBeforeOrAfterTheDataConnectionCloses) {
    const char* orders[] = {
        R"({"data_close":true},{"sleep":0.3},{"send":"226 late\r\n"})",
        R"({"send":"226 early\r\n"},{"sleep":0.3},{"data_close":true})",
    };
    for (const char* order : orders) {
        SCOPED_TRACE(order);
        Start(kLogin + "," + kPasv + R"(,{"expect":"RETR","do":[{"send":"150 go\r\n"},{"accept":true},
              {"data":"payload"},)" + order + "]}");
        ASSERT_TRUE(Client->Connect());
        Client->SetLocalFileName(Mine.file("out"));
        Client->HostFileName = "f";
        EXPECT_TRUE(Run(&TCustomFtpCli::GetAsync)) << Client->ErrorMessage();
        EXPECT_EQ(ReadFile(Mine.file("out")), "payload");
        Server.reset();
        Client.reset();
    }
}

TEST_F(FakeFtp, LocalWriteAndReadErrorsFailTheTransferDespiteThe226) {
    Start(kLogin + "," + kPasv + R"(,{"expect":"RETR","do":[{"send":"150 go\r\n"},{"accept":true},
          {"data":"some bytes"},{"data_close":true},{"send":"226 done\r\n"}]},)" + kPasv +
          R"(,{"expect":"STOR","do":[{"send":"150 go\r\n"},{"accept":true},{"data_read":true},
          {"send":"226 done\r\n"}]})");
    ASSERT_TRUE(Client->Connect());
    Client->SetLocalFileName("/dev/full");
    Client->HostFileName = "f";
    EXPECT_FALSE(Run(&TCustomFtpCli::GetAsync));
    EXPECT_NE(Client->ErrorMessage().find("Error writing local file"), std::string::npos) << Client->ErrorMessage();

    // A folder opens for reading but cannot be read.
    Client->SetLocalFileName(Mine.path());
    EXPECT_FALSE(Run(&TCustomFtpCli::PutAsync));
    EXPECT_NE(Client->ErrorMessage().find("Error reading file"), std::string::npos) << Client->ErrorMessage();
}

TEST_F(FakeFtp, RemoteLookupSplitsTheListingAndMatchesTheExactName) {
    Start(kLogin + "," + kPasv + R"(,{"expect":"LIST /d/a.txt","do":[{"send":"150 go\r\n"},{"accept":true},
          {"data":"-rw-r--r-- 1 u g 10 Jan 05 12:30 aa.txt\r\n-rw-r--r-- 1 u g 20 Jan 05 12:30 a.txt\r\n"},
          {"data_close":true},{"send":"226 done\r\n"}]})");
    ASSERT_TRUE(Client->Connect());
    TQNFileData entry;
    ASSERT_TRUE(Client->GetRemoteFileInfo("/d", "a.txt", entry));
    EXPECT_EQ(entry.FileName, "a.txt");
    EXPECT_EQ(entry.FileSize, 20);
}

TEST_F(FakeFtp, LineBreaksOrNulInArgumentsAreRefusedBeforeAnythingIsSent) {
    Start(kLogin);
    ASSERT_TRUE(Client->Connect());
    struct TCase {
        std::string TCustomFtpCli::*Field;
        std::string Value;
        void (TCustomFtpCli::*Op)();
    } cases[] = {
        {&TCustomFtpCli::HostFileName, "a\r\nDELE b", &TCustomFtpCli::GetAsync},
        {&TCustomFtpCli::HostDirName, "x\nDELE y", &TCustomFtpCli::CwdAsync},
        {&TCustomFtpCli::HostFileName, std::string("x\0DELE z", 8), &TCustomFtpCli::DeleAsync},
        {&TCustomFtpCli::HostFileName, "up\rDELE w", &TCustomFtpCli::PutAsync},
    };
    Client->SetLocalFileName(Mine.file("l"));
    WriteFile(Mine.file("l"), "x");
    for (const TCase& c : cases) {
        (*Client).*c.Field = c.Value;
        EXPECT_FALSE(Run(c.Op));
        EXPECT_EQ(Client->RequestResult(), kFtpBadArgument);
        (*Client).*c.Field = "";
    }
    Client->HostDirName = "/";
    Run(&TCustomFtpCli::CwdAsync);   // the server logs it, after anything injected before
    const std::string log = Log();
    EXPECT_NE(log.find("CWD /"), std::string::npos);
    EXPECT_EQ(log.find("DELE"), std::string::npos) << log;
    EXPECT_EQ(log.find("RETR"), std::string::npos) << log;
}

TEST_F(FakeFtp, ARequestThatCannotStartEndsAtOnce) {
    TQNFtpClient c(Loop);
    c.HostDirName = "/x";
    // Without an error handler a single command tells its caller by an exception.
    EXPECT_THROW(c.CwdAsync(), FtpException);
    EXPECT_EQ(c.ErrorMessage(), "FTP component not connected");

    // Otherwise, and for every multi-step request, the request-done comes at once.
    for (bool withHandler : {false, true}) {
        std::string error;
        int done = -1;
        c.OnError = nullptr;
        if (withHandler) c.OnError = [&](TCustomFtpCli&, std::string& m) { error = m; };
        c.OnRequestDone = [&](TCustomFtpCli&, TFtpRequest, uint16_t code) { done = code; };
        c.GetAsync();
        EXPECT_TRUE(Loop.PumpUntil([&] { return done >= 0; }, std::chrono::milliseconds(500)));
        EXPECT_NE(done, 0);
        EXPECT_EQ(c.ErrorMessage(), "FTP component not connected");
        if (withHandler) {
            EXPECT_EQ(error, "FTP component not connected");
        }
        EXPECT_EQ(c.State(), fcsReady);
    }
}

TEST_F(FakeFtp, FtpProxyLoginForms) {
    struct TCase {
        int Kind;
        std::string Replies;   // to the proxy's OPEN or SITE
        std::string Expected;  // commands the proxy receives
    } cases[] = {
        {4, R"({"expect":"OPEN","do":[{"send":"220 connected\r\n"}]},
               {"expect":"USER","do":[{"send":"331 pw\r\n"}]},{"expect":"PASS","do":[{"send":"230 in\r\n"}]})",
         "USER puser\nPASS ppass\nOPEN ftp.example.com\nUSER user\nPASS pass\n"},
        {5, R"({"expect":"SITE","do":[{"send":"220 connected\r\n"}]},
               {"expect":"USER","do":[{"send":"331 pw\r\n"}]},{"expect":"PASS","do":[{"send":"230 in\r\n"}]})",
         "USER puser\nPASS ppass\nSITE ftp.example.com:2121\nUSER user\nPASS pass\n"},
        {6, R"({"expect":"SITE","do":[{"send":"331 pw\r\n"}]},{"expect":"PASS","do":[{"send":"230 in\r\n"}]})",
         "USER puser\nPASS ppass\nSITE user@ftp.example.com\nPASS pass\n"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Kind);
        Start(R"({"do":[{"send":"220 proxy\r\n"}]},{"expect":"USER","do":[{"send":"331 pw\r\n"}]},
                 {"expect":"PASS","do":[{"send":"230 proxy ok\r\n"}]},)" + c.Replies);
        ASSERT_TRUE(Client->ApplyProxy(c.Kind, "127.0.0.1", std::to_string(Server->Port), "puser", "ppass"));
        Client->HostName = "ftp.example.com";
        Client->Port = c.Kind == 5 ? "2121" : "21";
        EXPECT_TRUE(Client->Connect()) << Client->ErrorMessage();
        EXPECT_EQ(Log(), c.Expected);
        EXPECT_TRUE(Client->PassiveMode());
        Server.reset();
        Client.reset();
    }
    TQNFtpClient other(Loop);
    EXPECT_FALSE(other.ApplyProxy(2, "127.0.0.1", "8080", "", ""));   // HTTP cannot carry FTP
    TproxyData socks;
    socks.Type = 8;
    socks.ServerName = "127.0.0.1";
    socks.ServerPort = "1080";
    socks.UserName = "su";
    socks.PassWord = "sp";
    socks.Authenticate = true;
    ASSERT_TRUE(other.ApplyProxy(socks));
    EXPECT_EQ(other.ConnectionType(), ftpSocks5);
    EXPECT_EQ(other.SocksUserCode, "su");
    EXPECT_EQ(other.SocksPassword, "sp");
    EXPECT_TRUE(other.ProxyInUse);
}

TEST_F(FakeFtp, SizesAndRestartOffsetsAre64Bit) {
    Start(kLogin + R"(,{"expect":"SIZE big","do":[{"send":"213 5000000000\r\n"}]},)" + kPasv +
          R"(,{"expect":"REST 5000000000","do":[{"send":"350 ok\r\n"}]},
          {"expect":"RETR big","do":[{"send":"150 go\r\n"},{"accept":true},{"data":"xyz"},
                                     {"data_close":true},{"send":"226 done\r\n"}]})");
    ASSERT_TRUE(Client->Connect());
    Client->HostFileName = "big";
    ASSERT_TRUE(Client->Size());
    EXPECT_EQ(Client->SizeValue(), 5000000000LL);

    int fd = ::open(Mine.file("big").c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, 5000000000LL), 0);   // sparse: no disk space used
    ::close(fd);
    Client->SetLocalFileName(Mine.file("big"));
    ASSERT_TRUE(Run(&TCustomFtpCli::RestGetAsync)) << Client->ErrorMessage();
    EXPECT_EQ(fs::file_size(Mine.file("big")), 5000000003ULL);
}

TEST_F(FakeFtp, QuitEndsWhenTheConnectionHasClosed) {
    Start(kLogin + R"(,{"expect":"QUIT","do":[{"send":"221 bye\r\n"},{"sleep":0.2},{"close":true}]})");
    ASSERT_TRUE(Client->Connect());
    int closed = 0;
    Client->OnSessionClosed = [&](TCustomFtpCli&, int) { ++closed; };
    EXPECT_TRUE(Run(&TCustomFtpCli::QuitAsync));
    EXPECT_EQ(closed, 1);
    EXPECT_FALSE(Client->Connected());
}

TEST_F(FakeFtp, AReplyLineThatNeverEndsClosesTheConnection) {
    Start(kLogin + R"(,{"expect":"PWD","do":[{"send":")" + std::string(5000, 'x') + R"("}]})");
    ASSERT_TRUE(Client->Connect());
    EXPECT_FALSE(Client->Pwd());
    EXPECT_FALSE(Client->Connected());
    EXPECT_NE(Client->RequestResult(), 0);
}

} // namespace
} // namespace tq::test
