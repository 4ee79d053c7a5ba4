// Block downloads of the download connection against vsftpd on loopback.

#include "download/QNDownFtpcli.h"
#include "platform/EventLoop.h"
#include "tests/support/Danted.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace tq;
using namespace tq::test;

namespace {

struct TVsftpd {
    TempDir Work;
    std::unique_ptr<TFtpServer> Server = StartVsftpd(Work.path());
};

TFtpServer* Vsftpd()
{
    static TVsftpd v;
    return v.Server.get();
}

// One connection as the job driver uses it.
struct TConn {
    explicit TConn(TEventLoop& loop, const TFtpServer& s) : C(loop)
    {
        C.SetClient(kQNClientFtp, &C);
        C.HostName = "127.0.0.1";
        C.Port = std::to_string(s.Port);
        C.Timeout = 10;
        C.OSQN_OnDocBegin = [this](TQNComponent* c) { LengthAtBegin = c->OS_FileLength(); };
        C.OSQN_OnDocData = [this](TQNComponent*, const char* p, int32_t n) {
            Data.append(p, size_t(n));
            ++Pieces;
        };
        C.OSQN_OnHeaderData = [this](TQNComponent* c) { Resume = c->FResumeSupported; };
        C.OSQN_OnCommand = [this](TQNComponent*, std::string& s) { Commands.push_back(s); };
        C.OSQN_OnRequestDone = [this](TQNComponent*, TFtpRequest, int error, bool isError) {
            Done = true;
            Error = error;
            IsError = isError;
        };
    }
    // One block: from offset to the end of the file.
    bool Block(TEventLoop& loop, const std::string& path, int64_t offset)
    {
        Data.clear();
        Commands.clear();
        Pieces = 0;
        Done = false;
        LengthAtBegin = -1;
        C.HostFileName = path;
        C.OS_RangeBegin(std::to_string(offset));
        C.StartRequest();
        return loop.PumpUntil([&] { return Done; }, std::chrono::seconds(30));
    }
    bool Sent(const std::string& line) const
    {
        for (const std::string& c : Commands)
            if (c == line || (line.back() == '*' && c.rfind(line.substr(0, line.size() - 1), 0) == 0))
                return true;
        return false;
    }

    TQNDNFtpClient C;
    std::string Data;
    std::vector<std::string> Commands;
    int Pieces = 0;
    int64_t LengthAtBegin = -1;
    int Resume = -1;
    bool Done = false;
    int Error = -1;
    bool IsError = false;
};

testing::AssertionResult SameBytes(const std::string& got, const std::string& want)
{
    if (got == want)
        return testing::AssertionSuccess();
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i])
        ++i;
    return testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                       << ", first difference at " << i;
}

class DnFtpVsftpd : public testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        S = Vsftpd();
        if (!S)
            GTEST_SKIP() << "vsftpd is not available";
    }
    // A file in the served folder; its remote path.
    std::string Put(const std::string& name, const std::string& bytes)
    {
        WriteFile(S->FilesDir + "/" + name, bytes);
        return S->RemoteDir + "/" + name;
    }
    TFtpServer* S = nullptr;
    TEventLoop Loop;
};

} // namespace

TEST_P(DnFtpVsftpd, BlocksFromAnOffsetAreByteExactAndTheConnectionIsReused)
{
    const bool passive = GetParam();
    const std::string content = PatternBytes(300000, 7);
    const std::string path = Put(passive ? "blk-p.bin" : "blk-a.bin", content);
    TConn conn(Loop, *S);
    conn.C.FPassive = passive ? 1 : 0;

    ASSERT_TRUE(conn.Block(Loop, path, 123457));
    ASSERT_FALSE(conn.IsError) << conn.Error << " " << conn.C.ErrorMessage();
    EXPECT_EQ(conn.Error, 0);
    EXPECT_TRUE(SameBytes(conn.Data, content.substr(123457)));
    EXPECT_EQ(conn.LengthAtBegin, 300000) << "size from the listing";
    EXPECT_EQ(conn.Resume, 1);
    EXPECT_TRUE(conn.Sent("REST 300"));
    EXPECT_TRUE(conn.Sent("REST 0"));
    EXPECT_TRUE(conn.Sent("TYPE I"));
    EXPECT_TRUE(conn.Sent("LIST " + path));
    EXPECT_FALSE(conn.Sent("SIZE*"));
    EXPECT_TRUE(conn.Sent("REST 123457"));
    EXPECT_TRUE(conn.Sent("RETR " + path));
    EXPECT_FALSE(conn.Sent("CWD*"));
    EXPECT_TRUE(conn.Sent(passive ? "PASV" : "PORT*"));
    EXPECT_FALSE(conn.Sent(passive ? "PORT*" : "PASV"));
    EXPECT_EQ(conn.C.OS_State(), QNCliReady);
    EXPECT_LT(conn.Pieces, 100) << "data come in large pieces";

    // The driver starts the next block on the same connection.
    ASSERT_TRUE(conn.Block(Loop, path, 0));
    ASSERT_FALSE(conn.IsError) << conn.Error << " " << conn.C.ErrorMessage();
    EXPECT_TRUE(SameBytes(conn.Data, content));
    EXPECT_FALSE(conn.Sent("REST 123457"));
}

INSTANTIATE_TEST_SUITE_P(PassiveAndActive, DnFtpVsftpd, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& i) { return i.param ? "Passive" : "Active"; });

class DnFtpVsftpdErrors : public DnFtpVsftpd {};

TEST_F(DnFtpVsftpdErrors, AMissingFileIsNotFoundFromTheServersReply)
{
    TConn conn(Loop, *S);
    conn.C.FPassive = 1;
    ASSERT_TRUE(conn.Block(Loop, S->RemoteDir + "/no-such-file.bin", 0));
    EXPECT_TRUE(conn.IsError);
    EXPECT_EQ(conn.Error, 550);
    EXPECT_TRUE(conn.Sent("SIZE " + S->RemoteDir + "/no-such-file.bin"));
    EXPECT_TRUE(conn.C.OS_NotFound());
    EXPECT_EQ(conn.LengthAtBegin, -1) << "no document began";
    EXPECT_TRUE(conn.Data.empty());

    // A refused log-in fails the block but is no missing file.
    TConn bad(Loop, *S);
    bad.C.UserName = S->BadUser;
    bad.C.PassWord = "x";
    ASSERT_TRUE(bad.Block(Loop, S->RemoteDir + "/no-such-file.bin", 0));
    EXPECT_TRUE(bad.IsError);
    EXPECT_FALSE(bad.C.OS_NotFound());
}

TEST_F(DnFtpVsftpdErrors, ALinkIsSizedBySizeNotByItsListingLine)
{
    // The listing shows the link with the length of its target's name.
    const std::string content = PatternBytes(5000, 3);
    Put("link-target.bin", content);
    const std::string link = S->FilesDir + "/link.bin";
    std::filesystem::remove(link);
    std::filesystem::create_symlink("link-target.bin", link);
    const std::string path = S->RemoteDir + "/link.bin";
    TConn conn(Loop, *S);
    conn.C.FPassive = 1;
    ASSERT_TRUE(conn.Block(Loop, path, 1000));
    ASSERT_FALSE(conn.IsError) << conn.Error << " " << conn.C.ErrorMessage();
    EXPECT_TRUE(conn.Sent("SIZE " + path));
    EXPECT_EQ(conn.LengthAtBegin, 5000);
    EXPECT_TRUE(SameBytes(conn.Data, content.substr(1000)));
}

TEST_F(DnFtpVsftpdErrors, AFailedWriteOrAnAbortEndsTheBlockAsFailed)
{
    const std::string path = Put("abort.bin", PatternBytes(4 << 20, 5));
    struct Case {
        const char* Name;
        bool Throw;
    };
    for (const Case c : {Case{"disk write fails", true}, Case{"driver aborts", false}}) {
        SCOPED_TRACE(c.Name);
        TConn conn(Loop, *S);
        conn.C.FPassive = 1;
        std::vector<std::string> shown;
        conn.C.onDisplayMess = [&](TQNComponent*, const std::string& m, TDisplayMessTypeDef) { shown.push_back(m); };
        int pieces = 0;
        conn.C.OSQN_OnDocData = [&](TQNComponent* me, const char*, int32_t) {
            ++pieces;
            if (c.Throw)
                throw std::runtime_error("disk full");
            me->AbortRequest();
        };
        ASSERT_TRUE(conn.Block(Loop, path, 0));
        EXPECT_TRUE(conn.IsError);
        EXPECT_EQ(pieces, 1) << "nothing arrives after the stop";
        EXPECT_EQ(conn.C.StopReason, c.Throw ? kStopDiskWrite : 0);
        EXPECT_EQ(std::count(shown.begin(), shown.end(), "Disk Write Drror!"), c.Throw ? 1 : 0);
        EXPECT_FALSE(conn.C.OS_NotFound());
        EXPECT_EQ(conn.C.OS_State(), QNCliReady);
    }
}

// Through SOCKS the data connection is always passive and goes through the same
// SOCKS server to the control connection's peer.
TEST_F(DnFtpVsftpdErrors, BlocksThroughDantedSocks4And5)
{
    Danted danted;
    ASSERT_TRUE(danted.Start()) << danted.Why();
    const std::string content = PatternBytes(200000, 9);
    const std::string path = Put("socks.bin", content);
    for (TFtpConnectionType type : {ftpSocks4, ftpSocks5}) {
        SCOPED_TRACE(type == ftpSocks4 ? "SOCKS 4" : "SOCKS 5");
        TConn conn(Loop, *S);
        conn.C.SocksServer = "127.0.0.1";
        conn.C.SocksPort = std::to_string(danted.Port());
        conn.C.SetConnectionType(type);
        conn.C.FPassive = 0;
        ASSERT_TRUE(conn.Block(Loop, path, 4097));
        ASSERT_FALSE(conn.IsError) << conn.Error << " " << conn.C.ErrorMessage() << "\n" << danted.Log();
        EXPECT_TRUE(SameBytes(conn.Data, content.substr(4097)));
        EXPECT_TRUE(conn.Sent("PASV"));
        EXPECT_FALSE(conn.Sent("PORT*"));
    }
}
