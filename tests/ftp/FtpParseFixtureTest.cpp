// Real LIST replies captured from vsftpd and pyftpdlib (see tests/fixtures/listings/README).

#include "ftp/FtpParse.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace tq::test {

namespace {

// The day the replies were captured; their time-only dates belong to this year.
constexpr ListToday kCaptureDay{2026, 12, 11};

struct Expected {
    bool isDir;
    int64_t size;
    std::string date;
    std::string link;
};

std::vector<std::string> Lines(const std::string& bytes) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t nl = bytes.find('\n', pos);
        if (nl == std::string::npos) nl = bytes.size();
        std::string line = bytes.substr(pos, nl - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        out.push_back(line);
        pos = nl + 1;
    }
    return out;
}

std::map<std::string, TQNFileData> ParseFixture(const std::string& file, uint8_t type) {
    std::map<std::string, TQNFileData> entries;
    for (const std::string& line : Lines(ReadFile(std::string(TQ_FIXTURES_DIR) + "/listings/" + file))) {
        TQNFileData e;
        EXPECT_TRUE(LineToFileData(line, e, type, kCaptureDay)) << file << ": " << line;
        entries[e.FileName] = e;
    }
    return entries;
}

} // namespace

TEST(FtpParseFixture, VsftpdAndPyftpdlibRoot) {
    const std::string now = "2026-12-11 12:01";
    const std::map<std::string, Expected> common = {
        {"big.iso", {false, 5368709120LL, now, ""}},
        {"docs", {true, 4096, now, ""}},
        {"docs-link", {true, 4, now, "-> docs"}},
        {"my folder", {true, 4096, now, ""}},
        {"name with  two spaces.dat", {false, 5, now, ""}},
        {"old 1998 report.doc", {false, 3, "1998-6-5 12:00", ""}},
        {"readme-link", {false, 10, now, "-> readme.txt"}},
        {"readme.txt", {false, 6, now, ""}},
        {"summer.log", {false, 4, "2026-7-20 9:07", ""}},
        {"中文文件.txt", {false, 10, now, ""}},
    };
    // vsftpd sends the GBK name as it is on disk; pyftpdlib replaces its bytes.
    const std::vector<std::pair<std::string, std::string>> servers = {
        {"vsftpd-root.txt", "\xD6\xD0\xCE\xC4.txt"},
        {"pyftpdlib-root.txt", "????.txt"},
    };
    for (const auto& [file, gbkName] : servers) {
        SCOPED_TRACE(file);
        const uint8_t type = DetectServerType("215 UNIX Type: L8", ftpstAutoDetect);
        auto entries = ParseFixture(file, type);
        std::map<std::string, Expected> want = common;
        want[gbkName] = {false, 8, now, ""};
        ASSERT_EQ(entries.size(), want.size());
        for (const auto& [name, w] : want) {
            SCOPED_TRACE(name);
            ASSERT_EQ(entries.count(name), 1u);
            const TQNFileData& e = entries[name];
            EXPECT_EQ(e.IsDir, w.isDir);
            EXPECT_EQ(e.FileSize, w.size);
            EXPECT_EQ(e.DateText, w.date);
            EXPECT_EQ(e.LinkText, w.link);
        }
        EXPECT_EQ(entries["old 1998 report.doc"].Year, 1998);
        EXPECT_EQ(entries["docs"].Attributes, "drwxr-xr-x");
    }
}

TEST(FtpParseFixture, SubfolderAndTheDayAfterNewYear) {
    for (const char* file : {"vsftpd-docs.txt", "pyftpdlib-docs.txt"}) {
        auto entries = ParseFixture(file, ftpstUNIX);
        ASSERT_EQ(entries.size(), 1u) << file;
        EXPECT_EQ(entries["inner.txt"].FileSize, 5);
    }
    // Read a few weeks later, in the new year, the December entries stay in 2026.
    const auto lines = Lines(ReadFile(std::string(TQ_FIXTURES_DIR) + "/listings/vsftpd-root.txt"));
    TQNFileData e;
    ASSERT_TRUE(LineToFileData(lines.at(0), e, ftpstUNIX, {2027, 1, 5}));
    EXPECT_EQ(e.Year, 2026);
    EXPECT_EQ(e.Month, 12);
}

} // namespace tq::test
