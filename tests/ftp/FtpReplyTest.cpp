// Reply parsing, command texts and the site record's option slots.

#include "ftp/FtpMange.h"
#include "ftp/FtpReply.h"

#include <gtest/gtest.h>

namespace tq::test {
namespace {

TEST(FtpReply, PasvReplies) {
    struct {
        const char* Reply;
        bool Ok;
        const char* Addr;
        int Port;
    } rows[] = {
        {"227 Entering Passive Mode (192,168,1,2,19,137)", true, "192.168.1.2", 5001},
        {"227 Entering Passive Mode 127,0,0,1,4,1", true, "127.0.0.1", 1025},
        {"227 =127,0,0,1,0,21", true, "127.0.0.1", 21},
        {"227 Entering Passive Mode (1,2,3,4,5)", false, "", 0},
        {"227 Entering Passive Mode (1,2,3,256,5,6)", false, "", 0},
        {"227 Entering Passive Mode (1,2,3,4,0,0)", false, "", 0},
        {"227 nothing here", false, "", 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.Reply);
        std::string addr;
        int port = 0;
        EXPECT_EQ(ParsePasvReply(r.Reply, addr, port), r.Ok);
        if (r.Ok) {
            EXPECT_EQ(addr, r.Addr);
            EXPECT_EQ(port, r.Port);
        }
    }
}

TEST(FtpReply, LinesCodesQuotedDirsAndSizes) {
    std::string buf = "220-a\r\n220 b\nrest";
    std::string line;
    ASSERT_TRUE(TakeReplyLine(buf, false, line));
    EXPECT_EQ(line, "220-a");
    EXPECT_FALSE(TakeReplyLine(buf, false, line));   // a bare LF ends nothing without LF acceptance
    ASSERT_TRUE(TakeReplyLine(buf, true, line));
    EXPECT_EQ(line, "220 b");
    EXPECT_EQ(buf, "rest");

    EXPECT_TRUE(ClassifyReplyLine("226-more").Continuation);
    EXPECT_EQ(ClassifyReplyLine("226 ok").Code, 226);
    EXPECT_FALSE(ClassifyReplyLine(" 226 inner").HasCode);

    EXPECT_EQ(ParseQuotedDir("257 \"/a \"\"b\"\"\" created"), "/a \"b\"");
    EXPECT_EQ(ParseQuotedDir("250 CWD ok"), "");

    int64_t size = 0;
    EXPECT_TRUE(ParseSizeReply("213 9223372036854775807", size));
    EXPECT_EQ(size, INT64_MAX);
    EXPECT_FALSE(ParseSizeReply("213 9223372036854775808", size));
    EXPECT_FALSE(ParseSizeReply("213 12x", size));
    EXPECT_FALSE(ParseSizeReply("213 ", size));
}

TEST(FtpReply, CommandTexts) {
    EXPECT_EQ(FormatPortCommand("127.0.0.1", 5001), "PORT 127,0,0,1,19,137");
    EXPECT_EQ(FormatPortCommand("::1", 5001), "");
    EXPECT_EQ(ProxyTargetText("u", "h", "21"), "u@h");
    EXPECT_EQ(ProxyTargetText("u", "h", "FTP"), "u@h");
    EXPECT_EQ(ProxyTargetText("u", "h", "2121"), "u@h:2121");
    EXPECT_EQ(TransferStatsText(0, 1000, 1000), "0 bytes received/sent in 0 seconds");
    EXPECT_EQ(TransferStatsText(50000, 0, 2000), "50000 bytes received/sent in 2 seconds (25000 Bytes/sec)");
    EXPECT_TRUE(HasCommandBreak(std::string("a\0b", 3)));
    EXPECT_FALSE(HasCommandBreak("name with blanks"));
}

TEST(FtpMange, DefaultsAndBoundedOptionSlots) {
    auto site = NewFTPMangeData();
    EXPECT_EQ(GetSiteOption(*site, SiteOpt::PasvMode), 1);
    EXPECT_EQ(GetSiteOption(*site, SiteOpt::ReLoginCount), 6);
    EXPECT_EQ(GetSiteOption(*site, 10), 5000);
    EXPECT_EQ(GetSiteOption(*site, SiteOpt::LenCompare), 3);
    EXPECT_EQ(GetSiteOption(*site, SiteOpt::DateCompare), 7);
    EXPECT_EQ(site->Port, "21");
    EXPECT_EQ(site->UserName, "anonymous");
    EXPECT_TRUE(site->Session.UseDirCache);

    // Slot 35 would land on slot 35 & 127 = 35, past the array; 128 would wrap onto 0.
    EXPECT_FALSE(SetSiteOption(*site, 35, 9));
    EXPECT_FALSE(SetSiteOption(*site, 128, 9));
    EXPECT_FALSE(SetSiteOption(*site, -1, 9));
    EXPECT_EQ(GetSiteOption(*site, 128), 0);
    EXPECT_EQ(GetSiteOption(*site, 0), 1);
    EXPECT_TRUE(SetSiteOption(*site, 34, 9));
    EXPECT_EQ(GetSiteOption(*site, 34), 9);

    auto copy = NewFTPMangeData();
    copy->DataPos = 77;
    site->DataPos = 5;
    site->Session.Busy = true;
    CopyFTPMangeData(*site, *copy, false);
    EXPECT_EQ(copy->DataPos, 77);
    EXPECT_FALSE(copy->Session.Busy);
    CopyFTPMangeData(*site, *copy, true);
    EXPECT_EQ(copy->DataPos, 5);
    EXPECT_TRUE(copy->Session.Busy);
}

} // namespace
} // namespace tq::test
