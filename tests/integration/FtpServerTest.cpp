// The FTP client against real servers started here on 127.0.0.1: vsftpd (anonymous
// with a writable folder) and pyftpdlib (one account), each in active and passive mode.

#include "ftp/QNFtpClient.h"
#include "platform/EventLoop.h"
#include "tests/support/FtpServers.h"
#include "tests/support/TestSupport.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

namespace tq::test {
namespace {

namespace fs = std::filesystem;

struct TServerMode {
    const char* Server;
    bool Passive;
};

std::string ModeName(const testing::TestParamInfo<TServerMode>& info) {
    return std::string(info.param.Server) + (info.param.Passive ? "_passive" : "_active");
}

// One server of each kind for the whole run; each test works in a folder of its own.
struct TServers {
    TempDir Work;
    std::unique_ptr<TFtpServer> Vsftpd, Pyftpdlib;
    TServers() {
        fs::create_directories(Work.path() + "/v");
        fs::create_directories(Work.path() + "/p");
        Vsftpd = StartVsftpd(Work.path() + "/v");
        Pyftpdlib = StartPyftpdlib(Work.path() + "/p");
    }
};

TServers& Servers() {
    static TServers servers;
    return servers;
}

// Compares without printing megabytes of binary on a mismatch.
testing::AssertionResult SameBytes(const std::string& got, const std::string& want) {
    if (got == want) return testing::AssertionSuccess();
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    return testing::AssertionFailure() << "got " << got.size() << " bytes, want " << want.size()
                                       << ", first difference at " << i;
}

std::string JoinRemote(const std::string& dir, const std::string& name) {
    return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

class FtpServerTest : public testing::TestWithParam<TServerMode> {
protected:
    void SetUp() override {
        Server = std::string(GetParam().Server) == "vsftpd" ? Servers().Vsftpd.get() : Servers().Pyftpdlib.get();
        if (!Server) GTEST_SKIP() << GetParam().Server << " is not available";
        // A folder per test, so cases do not see each other's files.
        static int counter = 0;
        Folder = "t" + std::to_string(++counter) + (GetParam().Passive ? "p" : "a");
        Local = Server->FilesDir + "/" + Folder;
        fs::create_directories(Local);
        chmod(Local.c_str(), 0777);
        Remote = JoinRemote(Server->RemoteDir, Folder);
        Client = NewClient(Server->User, Server->Password);
        ASSERT_TRUE(Client->Connect()) << Client->ErrorMessage();
        ASSERT_TRUE(Run(&TCustomFtpCli::TypeSetAsync)) << Client->ErrorMessage();
    }

    std::unique_ptr<TQNFtpClient> NewClient(const std::string& user, const std::string& password) {
        auto c = std::make_unique<TQNFtpClient>(Loop);
        c->HostName = "127.0.0.1";
        c->Port = std::to_string(Server->Port);
        c->UserName = user;
        c->PassWord = password;
        c->SetPassiveMode(GetParam().Passive);
        c->Timeout = 10;
        if (getenv("TQ_FTP_TRACE"))
            c->OnDisplay = [](TCustomFtpCli&, std::string& m) { fprintf(stderr, "%s\n", m.c_str()); };
        return c;
    }

    bool Run(void (TCustomFtpCli::*op)()) {
        return Client->RunAndWait([&] { (Client.get()->*op)(); });
    }

    bool Put(const std::string& localPath, const std::string& remoteName, bool append = false) {
        Client->SetLocalFileName(localPath);
        Client->HostFileName = JoinRemote(Remote, remoteName);
        return Run(append ? &TCustomFtpCli::AppendAsync : &TCustomFtpCli::PutAsync);
    }

    bool Get(const std::string& remoteName, const std::string& localPath) {
        Client->SetLocalFileName(localPath);
        Client->HostFileName = JoinRemote(Remote, remoteName);
        return Run(&TCustomFtpCli::GetAsync);
    }

    TEventLoop Loop;
    TempDir Mine;
    TFtpServer* Server = nullptr;
    std::string Folder, Local, Remote;
    std::unique_ptr<TQNFtpClient> Client;
};

TEST_P(FtpServerTest, LoginIsRefusedForABadUserAndReportsTheReply) {
    auto bad = NewClient(Server->BadUser, "wrong password");
    EXPECT_FALSE(bad->Connect());
    EXPECT_EQ(bad->ReplyCode(), 530);
    EXPECT_EQ(bad->ErrorMessage().substr(0, 3), "530");
    EXPECT_FALSE(bad->Connected() && bad->RequestResult() == 0);
}

TEST_P(FtpServerTest, SystPwdCwdCdupWalkTheTree) {
    EXPECT_TRUE(Run(&TCustomFtpCli::SystAsync));
    EXPECT_EQ(Client->LastReply().substr(0, 4), "215 ");

    ASSERT_TRUE(Client->MakeDir(JoinRemote(Remote, "sub")));
    EXPECT_TRUE(fs::is_directory(Local + "/sub"));
    Client->HostDirName = JoinRemote(Remote, "sub");
    ASSERT_TRUE(Client->Cwd());
    ASSERT_TRUE(Client->Pwd());
    EXPECT_EQ(Client->DirValue(), JoinRemote(Remote, "sub"));
    ASSERT_TRUE(Run(&TCustomFtpCli::CDupAsync));
    ASSERT_TRUE(Client->Pwd());
    EXPECT_EQ(Client->DirValue(), Remote);

    EXPECT_TRUE(Client->DirExists(JoinRemote(Remote, "sub"), Remote));
    EXPECT_FALSE(Client->DirExists(JoinRemote(Remote, "missing"), Remote));
}

TEST_P(FtpServerTest, StorRetrAppeAreByteExact) {
    for (size_t size : {size_t(0), size_t(1), size_t(4096), size_t(1) << 20}) {
        SCOPED_TRACE(size);
        const std::string data = PatternBytes(size, unsigned(size) + 7);
        const std::string name = "f" + std::to_string(size) + ".bin";
        WriteFile(Mine.file(name), data);
        ASSERT_TRUE(Put(Mine.file(name), name)) << Client->ErrorMessage();
        EXPECT_TRUE(SameBytes(ReadFile(Local + "/" + name), data));
        EXPECT_EQ(Client->BytesMoved(), int64_t(size));

        ASSERT_TRUE(Get(name, Mine.file(name + ".back"))) << Client->ErrorMessage();
        EXPECT_TRUE(SameBytes(ReadFile(Mine.file(name + ".back")), data));

        ASSERT_TRUE(Put(Mine.file(name), name, true)) << Client->ErrorMessage();
        EXPECT_TRUE(SameBytes(ReadFile(Local + "/" + name), data + data));
    }
}

TEST_P(FtpServerTest, RestResumesBothWays) {
    const std::string data = PatternBytes(1 << 20, 3);
    const size_t have = 300001;

    // Download: the local file holds the first part; REST takes its size.
    WriteFile(Local + "/down.bin", data);
    WriteFile(Mine.file("down.bin"), data.substr(0, have));
    Client->SetLocalFileName(Mine.file("down.bin"));
    Client->HostFileName = JoinRemote(Remote, "down.bin");
    ASSERT_TRUE(Run(&TCustomFtpCli::RestGetAsync)) << Client->ErrorMessage();
    EXPECT_TRUE(SameBytes(ReadFile(Mine.file("down.bin")), data));
    EXPECT_EQ(Client->BytesMoved(), int64_t(data.size() - have));

    // Upload: the server holds the first part; the caller names the offset.
    WriteFile(Local + "/up.bin", data.substr(0, have));
    chmod((Local + "/up.bin").c_str(), 0666);   // the anonymous user must be able to write it
    WriteFile(Mine.file("up.bin"), data);
    Client->SetLocalFileName(Mine.file("up.bin"));
    Client->HostFileName = JoinRemote(Remote, "up.bin");
    Client->RestartAt = int64_t(have);
    ASSERT_TRUE(Run(&TCustomFtpCli::RestPutAsync)) << Client->ErrorMessage();
    EXPECT_TRUE(SameBytes(ReadFile(Local + "/up.bin"), data));
}

TEST_P(FtpServerTest, RenameDeleteMkdRmdAndSize) {
    WriteFile(Local + "/old.txt", PatternBytes(4096));
    Client->HostFileName = JoinRemote(Remote, "old.txt");
    ASSERT_TRUE(Client->Size());
    EXPECT_EQ(Client->SizeValue(), 4096);

    Client->SetLocalFileName(JoinRemote(Remote, "new.txt"));
    ASSERT_TRUE(Run(&TCustomFtpCli::RenAsync)) << Client->ErrorMessage();
    EXPECT_FALSE(fs::exists(Local + "/old.txt"));
    EXPECT_TRUE(fs::exists(Local + "/new.txt"));

    Client->HostFileName = JoinRemote(Remote, "new.txt");
    ASSERT_TRUE(Run(&TCustomFtpCli::DeleAsync)) << Client->ErrorMessage();
    EXPECT_FALSE(fs::exists(Local + "/new.txt"));
    EXPECT_FALSE(Run(&TCustomFtpCli::DeleAsync));
    EXPECT_EQ(Client->ReplyCode(), 550);

    Client->HostFileName = JoinRemote(Remote, "d");
    ASSERT_TRUE(Run(&TCustomFtpCli::MkdAsync));
    EXPECT_TRUE(fs::is_directory(Local + "/d"));
    ASSERT_TRUE(Run(&TCustomFtpCli::RmdAsync));
    EXPECT_FALSE(fs::exists(Local + "/d"));
}

TEST_P(FtpServerTest, SiteChmodChangesTheModeOnDisk) {
    WriteFile(Local + "/m.txt", "x");
    chmod((Local + "/m.txt").c_str(), 0644);
    Client->HostDirName = "600";
    Client->HostFileName = JoinRemote(Remote, "m.txt");
    const bool ok = Client->RunAndWait([&] { Client->ChmodStep(); });
    struct stat st {};
    ASSERT_EQ(stat((Local + "/m.txt").c_str(), &st), 0);
    if (Server->Name == "vsftpd") {
        // Anonymous users may never change modes there: the refusal is reported.
        EXPECT_FALSE(ok);
        EXPECT_GE(Client->ReplyCode(), 500);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
    } else {
        EXPECT_TRUE(ok) << Client->ErrorMessage();
        EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
}

TEST_P(FtpServerTest, ListIsParsedAndLookupMatchesTheExactName) {
    WriteFile(Local + "/aa.txt", std::string(10, 'x'));
    WriteFile(Local + "/a.txt", std::string(20, 'y'));
    fs::create_directories(Local + "/dir");

    std::string listing;
    Client->OnDisplayFile = [&](TCustomFtpCli&, std::string& line) { listing += line + "\n"; };
    Client->DisplayFileFlag = true;
    Client->HostFileName = Remote;
    ASSERT_TRUE(Client->Dir()) << Client->ErrorMessage();
    EXPECT_NE(listing.find("aa.txt"), std::string::npos);
    EXPECT_NE(listing.find("dir"), std::string::npos);
    Client->DisplayFileFlag = false;
    Client->OnDisplayFile = nullptr;

    TQNFileData entry;
    ASSERT_TRUE(Client->GetRemoteFileInfo(Remote, "a.txt", entry));
    EXPECT_EQ(entry.FileName, "a.txt");
    EXPECT_EQ(entry.FileSize, 20);
    EXPECT_FALSE(entry.IsDir);

    // The lookup leaves the display settings as they were: a RETR still writes its file.
    ASSERT_TRUE(Get("a.txt", Mine.file("a.txt")));
    EXPECT_EQ(ReadFile(Mine.file("a.txt")), std::string(20, 'y'));
}

TEST_P(FtpServerTest, AbortInMidTransferFailsAndTheSessionGoesOn) {
    WriteFile(Local + "/big.bin", PatternBytes(16 << 20, 5));
    Client->OnProgress = [](TCustomFtpCli& c, int64_t, bool& abort) { abort = c.BytesMoved() > 0; };
    EXPECT_FALSE(Get("big.bin", Mine.file("big.bin")));
    EXPECT_EQ(Client->ErrorMessage().substr(0, 3), "426");
    EXPECT_LT(fs::file_size(Mine.file("big.bin")), size_t(16) << 20);
    Client->OnProgress = nullptr;
    EXPECT_TRUE(Client->Pwd()) << Client->ErrorMessage();
    EXPECT_TRUE(Get("big.bin", Mine.file("big.bin"))) << Client->ErrorMessage();
    EXPECT_EQ(fs::file_size(Mine.file("big.bin")), size_t(16) << 20);
}

TEST_P(FtpServerTest, RefusedDownloadLeavesTheLocalFileAlone) {
    WriteFile(Mine.file("keep.txt"), "precious");
    EXPECT_FALSE(Get("no-such-file", Mine.file("keep.txt")));
    EXPECT_EQ(Client->ReplyCode(), 550);
    EXPECT_EQ(ReadFile(Mine.file("keep.txt")), "precious");
}

TEST_P(FtpServerTest, Utf8AndGbkNamesRoundTrip) {
    const std::string names[] = {"\xe6\x96\x87\xe4\xbb\xb6 utf8.txt", "\xce\xc4\xbc\xfe gbk.txt"};
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        WriteFile(Mine.file("src"), name);
        ASSERT_TRUE(Put(Mine.file("src"), name)) << Client->ErrorMessage();
        EXPECT_EQ(ReadFile(Local + "/" + name), name);   // the server stored these very bytes
        TQNFileData entry;
        ASSERT_TRUE(Client->GetRemoteFileInfo(Remote, name, entry));
        EXPECT_EQ(entry.FileName, name);
        ASSERT_TRUE(Get(name, Mine.file("back")));
        EXPECT_EQ(ReadFile(Mine.file("back")), name);
    }
}

INSTANTIATE_TEST_SUITE_P(Servers, FtpServerTest,
                         testing::Values(TServerMode{"vsftpd", true}, TServerMode{"vsftpd", false},
                                         TServerMode{"pyftpdlib", true}, TServerMode{"pyftpdlib", false}),
                         ModeName);

} // namespace
} // namespace tq::test
