#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace tq::test {

TEST(ParseListingCli, PrintsOneTabSeparatedLinePerEntry) {
    const std::string listing = ReadFile(std::string(TQ_FIXTURES_DIR) + "/listings/vsftpd-root.txt");
    std::string out;
    ASSERT_EQ(RunProgram({TQ_CLI_PATH, "parse-listing", "--syst", "215 UNIX Type: L8"}, &out, listing), 0);
    EXPECT_NE(out.find("2\t-\t5368709120\t"), std::string::npos) << out;
    EXPECT_NE(out.find("2\t-\t3\t1998-6-5 12:00\t\told 1998 report.doc\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\tdocs\tdocs-link\n"), std::string::npos) << out;
    EXPECT_NE(out.find("2\td\t4096\t"), std::string::npos) << out;

    // Lines that are no entries are counted on standard error, the rest still printed.
    ASSERT_EQ(RunProgram({TQ_CLI_PATH, "parse-listing", "--type", "22"}, &out,
                         "total 3\n-rw-r--r-- 1 owner 7 Jan 5 13:07 a b\r\n\nnot a line\n", true),
              0);
    EXPECT_NE(out.find("22\t-\t7\t2000-1-5 13:07\t\ta b\n"), std::string::npos) << out;
    EXPECT_NE(out.find("2 line(s) not read"), std::string::npos) << out;
}

TEST(ParseListingCli, BadArgumentsExitWithTwo) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--type", "25"}, {"--type", "x"}, {"--type"}, {"--syst"}, {"--type", "2", "--syst", "UNIX"},
             {"--verbose"}}) {
        std::vector<std::string> argv = {TQ_CLI_PATH, "parse-listing"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        EXPECT_EQ(RunProgram(argv, &out, "", true), 2) << args.front();
        EXPECT_NE(out.find("usage: tarvolin-cli parse-listing"), std::string::npos);
    }
}

} // namespace tq::test
