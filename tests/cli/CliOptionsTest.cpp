#include "config/TQnOptionDef.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace tq::test {

namespace {

class CliOptionsTest : public ::testing::Test {
protected:
    TempDir dir;
    std::string db = dir.file("registry.db");

    // Runs "tarvolin-cli --registry db options ARGS...".
    int Options(std::vector<std::string> args, std::string* out, bool mergeStderr = false) {
        std::vector<std::string> argv{TQ_CLI_PATH, "--registry", db, "options"};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProgram(argv, out, "", mergeStderr);
    }
};

// "KEY\tNAME\tVALUE" lines by "KEY\NAME".
std::map<std::string, std::string> ParseListing(const std::string& text) {
    std::map<std::string, std::string> values;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t t1 = line.find('\t');
        const size_t t2 = line.find('\t', t1 + 1);
        if (t1 == std::string::npos || t2 == std::string::npos) {
            ADD_FAILURE() << "bad line: " << line;
            continue;
        }
        std::string key = line.substr(0, t1);
        if (key == "\\") key.clear();
        values[key + "\\" + line.substr(t1 + 1, t2 - t1 - 1)] = line.substr(t2 + 1);
    }
    return values;
}

} // namespace

TEST_F(CliOptionsTest, EmptyRegistryListsEveryDefault) {
    std::string out;
    ASSERT_EQ(Options({}, &out), 0);
    const std::map<std::string, std::string> values = ParseListing(out);
    EXPECT_EQ(values.size(), static_cast<size_t>(kIntOptCount + kStrOptCount + kSoundOptCount));
    for (int i = 0; i < kIntOptCount; ++i) {
        const std::string id = std::string(IntOptKey(i)) + "\\" + IntOptName(i);
        ASSERT_TRUE(values.count(id)) << id;
        // The first run adds the direct proxy entry, which is counted and given an ID.
        const int32_t expected = i == ioCount || i == ioMaxID ? 1 : IntOptDefault(i);
        EXPECT_EQ(values.at(id), std::to_string(expected)) << id;
    }
    for (int i = 0; i < kStrOptCount; ++i) {
        const std::string id = std::string(StrOptKey(i)) + "\\" + StrOptName(i);
        ASSERT_TRUE(values.count(id)) << id;
        EXPECT_EQ(values.at(id), StrOptDefault(i)) << id;
    }
    EXPECT_EQ(values.at("\\Options\\Sound\\ALLOK"), "");
    EXPECT_NE(out.find("\\Options\\DownLoad\\Connection\tMaxCanRunJob\t5\n"), std::string::npos);
    EXPECT_NE(out.find("\\\tWinHandle\t0\n"), std::string::npos);
}

TEST_F(CliOptionsTest, WriteIsSeenByTheNextProcess) {
    std::string out;
    struct Row { std::vector<std::string> write; std::string shown; };
    const Row rows[] = {
        {{"MaxCanRunJob", "12"}, "\\Options\\DownLoad\\Connection\tMaxCanRunJob\t12\n"},
        {{"maxcanrunjob", "-3"}, "\\Options\\DownLoad\\Connection\tMaxCanRunJob\t-3\n"},
        {{"UseSpeed", "true"}, "\\Options\\DownLoad\\Connection\tUseSpeed\t1\n"},
        {{"Speed", "2.5"}, "\\Options\\DownLoad\\Connection\tSpeed\t2.5\n"},
        {{"FontName", "Noto Sans CJK"}, "\\Options\\FontColor\tFontName\tNoto Sans CJK\n"},
        {{"JOBRIGHT", "/s/done.wav"}, "\\Options\\Sound\tJOBRIGHT\t/s/done.wav\n"},
        {{"AutoFtp/Day", "1000001"}, "\\Options\\FtpClient\\AutoFtp\tDay\t1000001\n"},
        {{"DownLoad\\AutoDownLoad\\End", "1"}, "\\Options\\DownLoad\\AutoDownLoad\tEnd\t1\n"},
        {{"/Options/FtpClient/AutoFtp/EndTime", "2200"}, "\\Options\\FtpClient\\AutoFtp\tEndTime\t2200\n"},
        {{"/WinHandle", "2147483647"}, "\\\tWinHandle\t2147483647\n"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.write[0]);
        ASSERT_EQ(Options(r.write, &out), 0);
        EXPECT_EQ(out, r.shown);
        ASSERT_EQ(Options({r.write[0]}, &out), 0);
        EXPECT_EQ(out, r.shown);
    }
    // The other schedule kept its own values.
    ASSERT_EQ(Options({"AutoDownLoad/Day"}, &out), 0);
    EXPECT_EQ(out, "\\Options\\DownLoad\\AutoDownLoad\tDay\t0\n");
}

TEST_F(CliOptionsTest, RefusedNamesAndValuesExitTwoWithAMessage) {
    struct Row { std::vector<std::string> args; const char* message; };
    const Row rows[] = {
        {{"NoSuchOption"}, "unknown setting"},
        {{"Connection/Day"}, "unknown setting"},
        {{"Day"}, "\\Options\\FtpClient\\AutoFtp\\Day"},
        {{"BeginTIme", "800"}, "\\Options\\DownLoad\\AutoDownLoad\\BeginTIme"},
        {{"/Day"}, "unknown setting"},
        {{"MaxCanRunJob", "abc"}, "integer"},
        {{"MaxCanRunJob", "2147483648"}, "integer"},
        {{"MaxCanRunJob", "-2147483649"}, "integer"},
        {{"MaxCanRunJob", "5x"}, "integer"},
        {{"MaxCanRunJob", ""}, "integer"},
        {{"UseSpeed", "2"}, "0, 1, true or false"},
        {{"Speed", "fast"}, "decimal number"},
        {{"Speed", "inf"}, "decimal number"},
        {{"a", "b", "c"}, "usage:"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.args[0] + (r.args.size() > 1 ? " " + r.args[1] : ""));
        std::string out;
        EXPECT_EQ(Options(r.args, &out), 2);
        EXPECT_EQ(out, "");  // nothing on standard output
        EXPECT_EQ(Options(r.args, &out, true), 2);
        EXPECT_NE(out.find(r.message), std::string::npos) << out;
    }
    // Nothing was written by the refused commands.
    std::string out;
    ASSERT_EQ(Options({"MaxCanRunJob"}, &out), 0);
    EXPECT_EQ(out, "\\Options\\DownLoad\\Connection\tMaxCanRunJob\t5\n");
}

} // namespace tq::test
