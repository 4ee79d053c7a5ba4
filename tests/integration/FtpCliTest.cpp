// tarvolin-cli ftp against pyftpdlib on 127.0.0.1.

#include "tests/support/FtpServers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace tq::test {
namespace {

class FtpCli : public testing::Test {
protected:
    void SetUp() override {
        Server = StartPyftpdlib(Work.path());
        if (!Server) GTEST_SKIP() << "pyftpdlib is not available";
        Url = "ftp://127.0.0.1:" + std::to_string(Server->Port) + "/";
    }
    int Cli(std::vector<std::string> args, std::string* out) {
        args.insert(args.begin(), {TQ_CLI_PATH, "ftp"});
        args.insert(args.end(), {"--user", Server->User, "--password", Server->Password});
        return RunProgram(args, out, "", true);
    }
    TempDir Work, Mine;
    std::unique_ptr<TFtpServer> Server;
    std::string Url;
};

TEST_F(FtpCli, PutLsGetAndResume) {
    const std::string data = PatternBytes(200000, 9);
    WriteFile(Mine.file("up.bin"), data);
    std::string out;
    ASSERT_EQ(Cli({"put", Mine.file("up.bin"), Url}, &out), 0) << out;
    EXPECT_TRUE(ReadFile(Server->FilesDir + "/up.bin") == data);

    ASSERT_EQ(Cli({"ls", Url, "--active"}, &out), 0) << out;
    EXPECT_NE(out.find("up.bin"), std::string::npos);

    ASSERT_EQ(Cli({"get", Url + "up.bin", Mine.file("down.bin")}, &out), 0) << out;
    EXPECT_TRUE(ReadFile(Mine.file("down.bin")) == data);

    // A partial file is resumed, not fetched again.
    WriteFile(Mine.file("part.bin"), data.substr(0, 1000));
    ASSERT_EQ(Cli({"get", Url + "up.bin", Mine.file("part.bin")}, &out), 0) << out;
    EXPECT_TRUE(ReadFile(Mine.file("part.bin")) == data);

    // User and password may come in the URL, escaped.
    std::string enc = Server->Password;
    for (size_t p; (p = enc.find(' ')) != std::string::npos;) enc.replace(p, 1, "%20");
    const std::string withUser = "ftp://" + Server->User + ":" + enc + "@127.0.0.1:" + std::to_string(Server->Port) + "/up.bin";
    EXPECT_EQ(RunProgram({TQ_CLI_PATH, "ftp", "get", withUser, Mine.file("u.bin")}, &out, "", true), 0) << out;
}

TEST_F(FtpCli, FailuresShowTheServerReplyAndUsageErrorsExitWithTwo) {
    std::string out;
    EXPECT_EQ(Cli({"get", Url + "missing", Mine.file("x")}, &out), 1);
    EXPECT_NE(out.find("550"), std::string::npos) << out;
    EXPECT_EQ(RunProgram({TQ_CLI_PATH, "ftp", "ls", Url, "--user", "tester", "--password", "wrong"}, &out, "", true), 1);
    EXPECT_NE(out.find("530"), std::string::npos) << out;

    EXPECT_EQ(Cli({"get"}, &out), 2);
    EXPECT_EQ(Cli({"get", "http://example.com/x"}, &out), 2);
    EXPECT_EQ(Cli({"get", Url}, &out), 2);   // no file name to save under
    EXPECT_EQ(Cli({"frob", Url}, &out), 2);
}

} // namespace
} // namespace tq::test
