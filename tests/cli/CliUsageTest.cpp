#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace tq::test {

TEST(CliUsage, UnknownCommandAndMissingValueExitWithTwo) {
    std::string out;
    EXPECT_EQ(RunProgram({TQ_CLI_PATH, "no-such-command"}, &out, "", true), 2);
    EXPECT_NE(out.find("unknown command"), std::string::npos);
    EXPECT_EQ(RunProgram({TQ_CLI_PATH, "--registry"}, &out, "", true), 2);
    EXPECT_EQ(RunProgram({TQ_CLI_PATH}, &out, "", true), 2);
    EXPECT_EQ(RunProgram({TQ_CLI_PATH, "--help"}, &out), 0);
    EXPECT_NE(out.find("usage:"), std::string::npos);
}

} // namespace tq::test
