#include "download/QNDataSaveDataDefUnit.h"

#include "foundation/IniFile.h"
#include "tests/download/StoreTestHelpers.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

namespace tq::test {
namespace {

std::string Zeros(int integers) {
    std::string s;
    for (int i = 0; i < integers; ++i) s += "00000000";
    return s;
}

TEST(JobRecordTest, DefaultRecordBytes) {
    const std::string numeric =
        "FFFFFFFF 00000000 00000000 00000000 00000000 00000000 01000000"  // marker..item 7
        "00000000 00000000 00000000 01000000 00000000 00000000 00000000"  // sizes, state, resume
        "05000000 00000000 00000000 02000000 01000000 50000000 00000000"  // connections..port
        "CA000000" + Zeros(29);                                           // done class, reserved
    TQNTMemoryStream m;
    WriteDLMangeData(*NewDLMangeData(), m, true);
    ASSERT_EQ(m.Data().size(), 204u);
    EXPECT_EQ(HexOf(m.Data()), HexOf(BytesOf(numeric)));

    TQNTMemoryStream whole;
    WriteDLMangeData(*NewDLMangeData(), whole, false);
    EXPECT_EQ(HexOf(whole.Data()), HexOf(BytesOf(numeric + Zeros(21))));  // 21 empty Strings
}

TEST(JobRecordTest, RoundTripKeepsEveryFieldAnd64BitSizes) {
    auto d = NewDLMangeData();
    d->JobID = 10042;
    d->ClassID = 201;
    d->FileSize = (int64_t{5} << 32) + 7;  // 20 GiB and a bit
    d->DoneSize = (int64_t{1} << 32) + 3;
    d->State = 4;
    d->Port = 2121;
    d->URL = "http://127.0.0.1/a*b.zip";
    d->UserName = "anna";
    d->Password = "s3cret";
    d->FileName = "a*b.zip";
    d->SavePath = "/home/u/下载";
    d->Comment = "注释";
    d->TempFileName = "a*b.zip.zl!";
    d->BlockFileName = "123.blk";
    d->Referer = "http://127.0.0.1/";
    TQNTMemoryStream m;
    WriteDLMangeData(*d, m, false);
    const std::string& bytes = m.Data();
    EXPECT_EQ(IntAt(bytes, 28), 7);    // FileSize low word
    EXPECT_EQ(IntAt(bytes, 32), 3);    // DoneSize low word
    EXPECT_EQ(IntAt(bytes, 120), 5);   // FileSize high word
    EXPECT_EQ(IntAt(bytes, 124), 1);   // DoneSize high word
    EXPECT_EQ(bytes.find("s3cret"), std::string::npos) << "password stored in clear";

    auto r = NewDLMangeData();
    m.SetPosition(0);
    ASSERT_TRUE(ReadDLMangeData(*r, m, ""));
    EXPECT_EQ(r->FileSize, d->FileSize);
    EXPECT_EQ(r->DoneSize, d->DoneSize);
    EXPECT_EQ(r->Password, "s3cret");
    EXPECT_EQ(r->Failed, 1);  // state 4 marks the job failed on loading
    TDLMangeData expected;
    CopyDLMangeData(*d, expected, false);
    EXPECT_EQ(r->URL, expected.URL);
    EXPECT_EQ(r->SavePath, expected.SavePath);
    EXPECT_EQ(r->Comment, expected.Comment);
    EXPECT_EQ(r->Referer, expected.Referer);
    EXPECT_EQ(r->JobID, 10042);
    EXPECT_EQ(r->Port, 2121);

    // A record cut inside its last String does not read.
    TQNTMemoryStream cut(bytes.substr(0, bytes.size() - 1));
    EXPECT_FALSE(ReadDLMangeData(*r, cut, ""));
}

TEST(JobRecordTest, LoadingNormalisesState) {
    const std::pair<int32_t, int32_t> cases[] = {
        {0, 2}, {1, 2}, {2, 2}, {3, 3}, {4, 4}, {5, 5}, {6, 2}, {7, 7}, {0x106, 2}, {0x103, 0x103},
    };
    for (auto [stored, loaded] : cases) EXPECT_EQ(NormalizeLoadedState(stored), loaded) << stored;
}

TEST(JobRecordTest, ExdNamesReplaceStoredNamesUnlessBlank) {
    TempDir dir;
    auto d = NewDLMangeData();
    d->JobID = 10010;
    d->FileName = "stored.zip";
    d->TempFileName = "stored.zip.zl!";
    ASSERT_TRUE(ExdWriteText(*d, dir.path(), "SaveFileName", "server.zip"));
    ASSERT_TRUE(ExdWriteText(*d, dir.path(), "TempFIleName", "   "));
    EXPECT_EQ(d->ExdNumber, 10010);
    EXPECT_EQ(IniReadRaw("DEFAULT", "VER", "", false, dir.file("10010.EXD")), "3");

    TQNTMemoryStream m;
    WriteDLMangeData(*d, m, false);
    m.SetPosition(0);
    auto r = NewDLMangeData();
    ASSERT_TRUE(ReadDLMangeData(*r, m, dir.path()));
    EXPECT_EQ(r->FileName, "server.zip");
    EXPECT_EQ(r->TempFileName, "stored.zip.zl!");

    // The next job with the same starting number gets the next free one.
    auto other = NewDLMangeData();
    other->JobID = 10010;
    AssignExdNumber(*other, dir.path());
    EXPECT_EQ(other->ExdNumber, 10011);
}

TEST(JobRecordTest, IndexRecordBytesAnd64BitDoneBytes) {
    auto c = NewIndexData();
    c->ID = 201;
    c->ActiveClass = 1;
    c->IsClass = 1;
    c->JobCount = 3;
    c->DoneCount = 2;
    c->DoneBytes = (int64_t{1} << 32) + 2;
    c->FileBase = "ZlDownload";
    c->Caption = "正在下载";
    c->SavePath = "/d";
    const std::string expected =
        "11000000 FFFFFFFFFFFF 2D496E6465784E6F64652D"         // the mark
        "00000000 C9000000 00000000 00000000 00000000"         // deleted, ID, parent, pos, -
        "01000000 01000000 03000000 02000000"                  // active, class, jobs, done
        "02000000 01000000" + Zeros(10) +                      // done bytes low, high
        "0A000000 5A6C446F776E6C6F6164"                        // FileBase
        "0C000000 E6ADA3E59CA8E4B88BE8BDBD"                    // Caption
        "02000000 2F64" + Zeros(11);                           // SavePath, reserved
    TQNTMemoryStream m;
    WriteIndexData(*c, m);
    EXPECT_EQ(HexOf(m.Data()), HexOf(BytesOf(expected)));

    m.SetPosition(0);
    auto r = NewIndexData();
    ASSERT_TRUE(ReadIndexData(*r, m));
    EXPECT_EQ(r->DoneBytes, c->DoneBytes);
    EXPECT_EQ(r->Caption, c->Caption);
    EXPECT_EQ(r->ActiveClass, 1);
}

TEST(JobRecordTest, CopyWithoutFlagLeavesRunTimeFields) {
    auto a = NewDLMangeData();
    a->URL = "http://x/";
    a->Failed = 1;
    a->DataPos = 99;
    auto b = NewDLMangeData();
    CopyDLMangeData(*a, *b, false);
    EXPECT_EQ(b->URL, "http://x/");
    EXPECT_EQ(b->Failed, 0);
    EXPECT_EQ(b->DataPos, 0);
    CopyDLMangeData(*a, *b, true);
    EXPECT_EQ(b->Failed, 1);
    EXPECT_EQ(b->DataPos, 99);
}

} // namespace
} // namespace tq::test
