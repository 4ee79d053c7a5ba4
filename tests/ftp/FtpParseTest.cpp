#include "ftp/FtpParse.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

namespace tq::test {

namespace {

// A fixed "today" so dates printed with a time and no year are placed in 2003.
constexpr ListToday kToday2003{2003, 6, 20};

struct Row {
    int type;
    std::string line;
    bool ok;
    std::string name = {};
    bool isDir = false;
    std::string size = {};
    std::string date = {};  // the date text as parsed, before normalising
    std::string link = {};
    std::string attributes = {};
};

void CheckRows(const std::vector<Row>& rows) {
    for (const Row& r : rows) {
        SCOPED_TRACE("type " + std::to_string(r.type) + ": " + r.line);
        std::string name, attrs, link, date, size;
        bool isDir = false;
        const bool ok = ParseListLine(uint8_t(r.type), r.line, name, isDir, attrs, link, date, size,
                                      kToday2003);
        ASSERT_EQ(ok, r.ok);
        if (!ok) continue;
        EXPECT_EQ(name, r.name);
        EXPECT_EQ(isDir, r.isDir);
        EXPECT_EQ(size, r.size);
        EXPECT_EQ(date, r.date);
        EXPECT_EQ(link, r.link);
        if (!r.attributes.empty()) {
            EXPECT_EQ(attrs, r.attributes);
        }
    }
}

} // namespace

TEST(FtpParse, GenericUnixLines) {
    CheckRows({
        {2, "drwxr-xr-x 2 user group 4096 Jan 05 12:30 docs", true, "docs", true, "4096",
         "1/05/03 12:30 AM", "", "drwxr-xr-x"},
        {1, "-rw-r--r-- 1 user group 4096 Jan 05 1998 file", true, "file", false, "4096",
         "1/05/98 12:00 AM", "", "-rw-r--r--"},
        {0, "-rw-r--r--   1 user     group     773 Feb  7 23:05  my  file name.txt ", true,
         "my  file name.txt", false, "773", "2/7/03 11:05 PM"},
        // Owner and group run together in one word of nine or more characters.
        {2, "-rw-r--r-- 1 ownername123456 73 Feb 7 09:05 glued", true, "glued", false, "73",
         "2/7/03 9:05 AM"},
        {2, "lrwxrwxrwx 1 root root 7 Mar 3 12:00 lib -> usr/lib", true, "lib", true, "7",
         "3/3/03 12:00 AM", "-> usr/lib"},
        {2, "lrwxrwxrwx 1 root root 7 Mar 3 12:00 doc -> README.txt", true, "doc", false, "7",
         "3/3/03 12:00 AM", "-> README.txt"},
        {2, "f--------- 1 a b 10 Apr 1 2001 flat", true, "flat", false, "10", "4/1/01 12:00 AM"},
        {2, "total 24", false},
        {2, "", false},
        {2, "x-rw-r--r-- 1 a b 10 Apr 1 2001 what", false},
        {2, "-rw-r--r-- 1 a b 10 Apr 1 12:00", false},  // no name
        {2, "-rw-r--r--", false},
        // Fixed-column families.
        {16, "-rw-r--r-- 1 1234 May 9 2002 netterm.txt", true, "netterm.txt", false, "1234",
         "5/9/02 12:00 AM"},
        {20, "d [RWCEAFMS] admin 512 Apr 16 14:02 SYSTEM", true, "SYSTEM", true, "512",
         "4/16/03 2:02 PM"},
        {20, "- [R----F--] admin 5813 Oct 2 2002 notes.txt", true, "notes.txt", false, "5813",
         "10/2/02 12:00 AM"},
        {21, "drwxrwxr-x folder 2 May 10 1996 network", true, "network", true, "2",
         "5/10/96 12:00 AM"},
        {21, "-------r-- 326 1391972 1392298 Nov 22 1995 MegaPhone.sit", true, "MegaPhone.sit",
         false, "1392298", "11/22/95 12:00 AM"},
    });
}

TEST(FtpParse, DosLines) {
    CheckRows({
        {15, "03-15-03  02:30PM       <DIR>          Program Files", true, "Program Files", true,
         "0", "03/15/03 02:30 PM"},
        {1, "03-15-03  10:05AM              1234 setup.exe", true, "setup.exe", false, "1234",
         "03/15/03 10:05 AM"},
        // Four-digit years push the name out of its column; it still follows the size.
        {15, "03-15-2003  02:30PM       <DIR>          Program Files", true, "Program Files",
         true, "0", "03/15/2003 02:30 PM"},
        {15, "03-15-03  10:05AM", false},
        {15, "03-15-03  10:05AM              1234 ", false},
    });
}

TEST(FtpParse, VmsVmAndVpsLines) {
    CheckRows({
        {10, "FILE.TXT;1  2  15-MAR-2003 12:30:00 [GRP,OWN] (RWED,RWED,RE,)", true, "FILE.TXT",
         false, "2", "3/15/03 12:30 AM"},
        {11, "A.DIR;1  1  4-JUL-1999 16:05:59 [GRP,OWN] (RWE,RWE,RE,RE)", true, "A", true, "1",
         "7/4/99 4:05 PM"},
        {11, "NOSEMICOLON 1 15-MAR-2003 12:30:00 x", false},
        {11, ";1 2 15-MAR-2003 12:30:00 x", false},
        {13, "PROFILE EXEC V 80 12 1 Jun 05 owner", true, "PROFILE.EXEC", false, "80",
         "6/05/ 12:00 AM"},
        {14, "x PAYROLL 1234 a b c 15 Jun 09:07 end", true, ".PAYROLL", false, "1234",
         "6/15/ 12:00 AM"},
        {14, "x TOTAL 1234 a b c 15 Jun 09:07 a=b", false},
        {14, "totals: 12 files", false},
    });
}

TEST(FtpParse, EplfLines) {
    CheckRows({
        {2, "+i12.34,/,\tdocs", true, "docs", true, "0", "1/1/80 12:00", "12.34"},
        // A name after the tab keeps its commas.
        {0, "+s1024,m1070000000,r,\tfile, with comma.txt", true, "file, with comma.txt", false,
         "1024", "11/28/03 06:13"},
        {2, "+mnot-a-number,s5, plain", true, "plain", false, "5", "1/1/80 12:00"},
        {2, "+i1,/,\t", false},
    });
}

TEST(FtpParse, L8Lines) {
    const std::string gbk = "\xD4\xC2", utf8 = "\xE6\x9C\x88";
    CheckRows({
        // Type 22: no group column, the whole rest is the name, no time read for folders.
        {22, "-rw-r--r-- 1 owner 1234 Jan 5 13:07 my file.txt", true, "my file.txt", false,
         "1234", "1/5/0 1:7 PM", "", "-rw-r--r--"},
        {22, "drwxr-xr-x 2 owner 512 FEB 10 13:07 dir", true, "dir", true, "512",
         "2/10/0 1:1 AM"},
        {22, "-rw-r--r-- 1 owner 1234 XYZ 5 2003 odd", true, "odd", false, "1234",
         "1/5/0 1:1 AM"},
        {22, "total 12", false},
        {22, "-rw-r--r-- 1 owner 1234 Jan x5 13:07 bad", false},
        {22, "+i1,/,\tdocs", false},  // the L8 families are tried before EPLF
        // Type 23: numeric months with "月" in GBK or UTF-8; only the first word of the name.
        {23, "-rw-r--r-- 1 root other 1234 3" + gbk + " 15 09:30 a b.txt", true, "a", false,
         "1234", "3/15/0 9:30 AM"},
        {23, "drwxr-xr-x 2 root other 512 12" + utf8 + " 1 23:59 dir", true, "dir", true, "512",
         "12/1/0 11:59 PM"},
        {23, "-rw-r--r-- 1 root other 1234 Mar 15 09:30 a.txt", false},
        {23, "-rw-r--r-- 1 root other 1234 3" + gbk + " 15 09:30 a=b", false},
        // Type 24: month names, first word of the name.
        {24, "-rw-r--r-- 1 root other 1234 Mar 15 09:30 a b.txt", true, "a", false, "1234",
         "3/15/0 9:30 AM"},
        {24, "-rw-r--r-- 1 root other 1234 Mar 15 9x:30 a.txt", false},
        {24, "-rw-r--r-- 1 root other 1234 Mar 15 09:30", false},
    });
    std::string name = "x", attrs, link, date, size;
    bool isDir = false;
    EXPECT_FALSE(ParseListLine(22, "total 12", name, isDir, attrs, link, date, size));
    EXPECT_EQ(name, ".");
}

// The name is found by its position, not by searching the line for the time word.
TEST(FtpParse, NameDoesNotDependOnTimeWordElsewhere) {
    CheckRows({
        {2, "-rw-r--r-- 1 user group 32024 Jan 05 2024 file", true, "file", false, "32024",
         "1/05/24 12:00 AM"},
        {2, "-rw-r--r-- 1 user 12:30 99 Jan 05 12:30 12:30 again", true, "12:30 again", false,
         "99", "1/05/03 12:30 AM"},
        {2, "lrwxrwxrwx 1 a->b g 4 Jan 05 12:30 x -> y", true, "x", true, "4", "1/05/03 12:30 AM",
         "-> y"},
    });
}

// The size is the number before the month, however wide or joined the columns before it.
TEST(FtpParse, SizeColumnFollowsTheMonth) {
    CheckRows({
        {2, "-rw-r--r-- 1 verylongowner staff 2048 Mar 3 2002 notes.txt", true, "notes.txt",
         false, "2048", "3/3/02 12:00 AM"},
        {2, "-rw-r--r-- 1 owner verylonggroupname 2048 Mar 3 2002 notes.txt", true, "notes.txt",
         false, "2048", "3/3/02 12:00 AM"},
        {2, "drwxr-xr-x+ 2 user group 4096 Jan 05 12:30 acl", true, "acl", true, "4096",
         "1/05/03 12:30 AM"},
        {2, "-rw-r--r--. 1 user group 10 Jan 05 12:30 selinux", true, "selinux", false, "10",
         "1/05/03 12:30 AM"},
        {2, "-rw-r--r-- 1 Jan group 10 Feb 05 12:30 owner named Jan", true, "owner named Jan",
         false, "10", "2/05/03 12:30 AM"},
    });
}

TEST(FtpParse, DetectServerType) {
    const std::vector<std::pair<std::string, int>> rows = {
        {"215 UNIX Type: L8", 2},
        {"215 SunOS Type: L8", 23},
        {"215 sunos 5.8", 9},
        {"215 NetBSD", 8},
        {"215 CLIX", 4},
        {"215 ULTRIX", 3},
        {"215 MVS is the operating system", 12},
        {"215 QVT", 7},
        {"215 NCSA", 6},
        {"215 WFTPD", 18},
        {"215 Windows_NT", 15},
        {"215 Chameleon", 5},
        {"215 ProFTPD", 24},
        {"215 VMS MultiNet V4.4", 10},
        {"215 VMS", 11},
        {"215 VM/VPS", 14},
        {"215 VM is the operating system", 13},
        {"215 Something else", 1},
        {"", 1},
    };
    for (const auto& [text, type] : rows) EXPECT_EQ(DetectServerType(text, 0), type) << text;
    EXPECT_EQ(DetectServerType("215 UNIX Type: L8", 3), 3);
    EXPECT_EQ(FtpServerTypeNames[0], "ftpstAutoDetect");
    EXPECT_EQ(FtpServerTypeNames[19], "ftpWarfTPD");
    EXPECT_EQ(FtpServerTypeNames[24], "ftpstUNIXL8EX_51NET");
}

TEST(FtpParse, MonthDayTimeToDate) {
    struct DateRow {
        std::string text;
        ListToday today;
        std::string want;  // empty: not a date
    };
    const std::vector<DateRow> rows = {
        {"Jun 05 2003", kToday2003, "6/05/03 12:00 AM"},
        {"Sep 5 09:07", {2003, 9, 30}, "9/5/03 9:07 AM"},
        {"Dec 31 23:59", {2003, 12, 31}, "12/31/03 11:59 PM"},
        {"Jul 4 00:15", {2003, 9, 30}, "7/4/03 0:15 AM"},
        {"JAN 4 2001", kToday2003, "1/4/01 12:00 AM"},
        {"jun 4 2001", kToday2003, "6/4/01 12:00 AM"},
        {"Xyz 4 2001", kToday2003, "/4/01 12:00 AM"},
        // Without a year the date never lies more than a day ahead of today.
        {"Dec 20 10:00", {2027, 1, 3}, "12/20/26 10:00 AM"},
        {"Jan 04 10:00", {2027, 1, 3}, "1/04/27 10:00 AM"},
        {"Jan 05 10:00", {2027, 1, 3}, "1/05/26 10:00 AM"},
        {"Dec 31 23:59", {2000, 1, 1}, "12/31/99 11:59 PM"},
        {"Jan", kToday2003, ""},
        {"Jan ", kToday2003, ""},
        {"Jan 5 xx:30", kToday2003, ""},
    };
    for (const DateRow& r : rows) {
        std::string out;
        const bool ok = MonthDayTimeToDate(r.text, out, r.today);
        EXPECT_EQ(ok, !r.want.empty()) << r.text;
        if (ok) {
            EXPECT_EQ(out, r.want) << r.text;
        }
    }
    EXPECT_EQ(CurrentYear2({2003, 1, 1}), "03");
}

TEST(FtpParse, SmallDateHelpers) {
    EXPECT_EQ(DosDateToDate("03-15-03", "02:30PM"), "03/15/03 02:30 PM");
    EXPECT_EQ(DosDateToDate("1", ""), "1  ");
    EXPECT_EQ(EplfTimeToDate("0"), "01/01/70 00:00");
    EXPECT_EQ(EplfTimeToDate("1070000000"), "11/28/03 06:13");
    EXPECT_EQ(EplfTimeToDate("-5"), "1/1/80 12:00");
    EXPECT_EQ(EplfTimeToDate("99999999999999999999"), "1/1/80 12:00");
    EXPECT_EQ(ListToken("a  b   c", 1), "b");
    EXPECT_EQ(ListToken("a  b   c", 2), "");  // the last word is never returned
    EXPECT_EQ(ListToken(" a b", 0), "");
    EXPECT_EQ(ListToken(" a b", 1), "a");
    EXPECT_EQ(ListToken("a b", -1), "");
    EXPECT_EQ(ListDateText("x Jan 5 2001 y", 1, false, kToday2003), "1/5/01 12:00 AM");
    EXPECT_EQ(NameAfterTime("a 12:00  the name  -> t", 1), "the name");
    EXPECT_EQ(NameAfterTime("a 12:00", 1), "");
    EXPECT_EQ(LinkText("x -> y"), "-> y");
    EXPECT_EQ(LinkText("x y"), "");
    EXPECT_FALSE(LinkTargetIsDir("-> readme"));
    EXPECT_FALSE(LinkTargetIsDir("-> a.tar.gz"));
    EXPECT_TRUE(LinkTargetIsDir("-> usr/lib"));
}

TEST(FtpParse, NormaliseListDate) {
    struct NormRow {
        std::string text, want;
        int y, mo, d, h, mi;
    };
    const std::vector<NormRow> rows = {
        {"11/5/03 3:07 PM", "2003-11-5 15:07", 2003, 11, 5, 15, 7},
        {"1/05/98 12:00 AM", "1998-1-5 12:00", 1998, 1, 5, 12, 0},
        {"3/15/0 9:30 AM", "2000-3-15 9:30", 2000, 3, 15, 9, 30},
        {"03/15/2003 02:30 PM", "2003-3-15 14:30", 2003, 3, 15, 14, 30},
        // 12:xx PM is noon.
        {"03/15/03 12:30 PM", "2003-3-15 12:30", 2003, 3, 15, 12, 30},
    };
    for (const NormRow& r : rows) {
        TQNFileData e;
        std::string text;
        NormaliseListDate(r.text, e, text);
        EXPECT_EQ(text, r.want) << r.text;
        EXPECT_EQ(e.Year, r.y);
        EXPECT_EQ(e.Month, r.mo);
        EXPECT_EQ(e.Day, r.d);
        EXPECT_EQ(e.Hour, r.h);
        EXPECT_EQ(e.Minute, r.mi);
        EXPECT_EQ(e.Second, 0);
        EXPECT_NE(e.DateTime, 0.0) << r.text;
    }
    TQNFileData e;
    std::string text;
    NormaliseListDate("11/5/03 3:07 PM", e, text);
    EXPECT_NEAR(e.DateTime, 37930.629861, 1e-6);

    // Unreadable: nothing is written.
    for (const char* bad : {"1/1/80 12:00", "11/28/03 06:13", "/5/03 3:07 PM", "1/x/03 3:07 AM",
                            "1/5/99999 3:07 AM", ""}) {
        TQNFileData f;
        f.Year = 1234;
        std::string t = "keep";
        NormaliseListDate(bad, f, t);
        EXPECT_EQ(t, "") << bad;
        EXPECT_EQ(f.Year, 1234) << bad;
    }
    // Not a real date: fields and text are set, the date-time is not.
    TQNFileData g;
    g.DateTime = 5;
    NormaliseListDate("2/30/03 1:00 AM", g, text);
    EXPECT_EQ(text, "2003-2-30 1:00");
    EXPECT_EQ(g.Day, 30);
    EXPECT_EQ(g.DateTime, 5);
}

TEST(FtpParse, LineToFileDataSizes) {
    struct SizeRow {
        std::string size;
        bool ok;
        int64_t want;
    };
    const std::vector<SizeRow> rows = {
        {"0", true, 0},
        {"2147483647", true, 2147483647LL},
        {"2147483648", true, 2147483648LL},
        {"5368709120", true, 5368709120LL},
        {"9223372036854775807", true, INT64_MAX},
        {"9223372036854775808", false, 0},
        {"99999999999999999999999", false, 0},
        {"12a", false, 0},
        {"+12", false, 0},
    };
    for (const SizeRow& r : rows) {
        TQNFileData e;
        e.FileName = "untouched";
        const std::string line = "-rw-r--r-- 1 u g " + r.size + " Jan 05 2003 big file.iso";
        EXPECT_EQ(LineToFileData(line, e, 2, kToday2003), r.ok) << r.size;
        if (r.ok) {
            EXPECT_EQ(e.FileSize, r.want);
            EXPECT_EQ(e.FileName, "big file.iso");
        } else {
            EXPECT_EQ(e.FileName, "untouched");
        }
    }
    int64_t v = -1;
    EXPECT_TRUE(ParseListSize("  ", v));
    EXPECT_EQ(v, 0);
    EXPECT_FALSE(ParseListSize("-1", v));
}

TEST(FtpParse, LineToFileDataFillsTheRecord) {
    TQNFileData e;
    const std::string line = "lrwxrwxrwx 1 root root 7 Dec 31 23:59 lib -> usr/lib";
    ASSERT_TRUE(LineToFileData(line, e, 2, {2004, 1, 1}));
    EXPECT_EQ(e.RawLine, line);
    EXPECT_EQ(e.FileName, "lib");
    EXPECT_EQ(e.Attributes, "lrwxrwxrwx");
    EXPECT_EQ(e.LinkText, "-> usr/lib");
    EXPECT_TRUE(e.IsDir);
    EXPECT_EQ(e.FileSize, 7);
    EXPECT_EQ(e.DateText, "2003-12-31 23:59");
    EXPECT_EQ(e.Year, 2003);

    // An EPLF date cannot be normalised: the text becomes empty, the fields stay.
    TQNFileData f;
    ASSERT_TRUE(LineToFileData("+i12.34,/,\tdocs", f, 2));
    EXPECT_EQ(f.DateText, "");
    EXPECT_EQ(f.Year, 1980);
    EXPECT_TRUE(f.IsDir);
}

TEST(FtpParse, ParseNameAndSize) {
    std::string name;
    int64_t size = 0;
    ASSERT_TRUE(ParseNameAndSize("-rw-r--r-- 1 u g 3000000000 Jan 05 2003 a b.iso", name, size));
    EXPECT_EQ(name, "a b.iso");
    EXPECT_EQ(size, 3000000000LL);
    // A zero-length file keeps its whole name.
    ASSERT_TRUE(ParseNameAndSize("-rw-r--r-- 1 u g 0 Jan 05 2003 empty file", name, size));
    EXPECT_EQ(name, "empty file");
    EXPECT_EQ(size, 0);
    // Not an entry under the generic rules: read again as an L8 line.
    ASSERT_TRUE(ParseNameAndSize("?rw-r--r-- 1 u g 77 Jan 05 2003 odd", name, size));
    EXPECT_EQ(name, "odd");
    EXPECT_EQ(size, 77);
    EXPECT_FALSE(ParseNameAndSize("total 24", name, size));
    EXPECT_FALSE(ParseNameAndSize("", name, size));
}

} // namespace tq::test
