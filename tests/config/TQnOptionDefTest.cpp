#include "config/TQnOptionDef.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>

namespace tq::test {

TEST(OptionTables, EntriesByIndex) {
    struct Row { int index; const char* key; const char* name; OptType type; int32_t def; };
    const Row rows[] = {
        {ioStutDown, kKeyOptions, "StutDown", OptType::Bool, 0},
        {ioWinHandle, kKeyRoot, "WinHandle", OptType::Integer, 0},
        {ioLastPackDate, kKeyRoot, "LastPackDate", OptType::Float, 0},
        {ioUSEIEOPEN, kKeyWatch, "USEIEOPEN", OptType::Bool, 1},
        {ioLastPack, kKeySet, "LastPack", OptType::Bool, 0},
        {ioMaxCanRunJob, kKeyConnection, "MaxCanRunJob", OptType::Integer, 5},
        {ioSpeed, kKeyConnection, "Speed", OptType::Float, 3},
        {ioDownLoadTopHeight, kKeyMainFm, "DownLoadTopHeight", OptType::Integer, -10000},
        {ioShowA, kKeyMainFm, "ShowA", OptType::Integer, 0},
        {ioShowDeleDialog, kKeyMainFm, "ShowDeleDialog", OptType::Bool, 1},
        {ioBigListMaxLine, kKeyFtpClient, "BigListMaxLine", OptType::Integer, 100},
        {ioMaxID, kKeyProxy, "MaxID", OptType::Integer, 0},
        {ioBackGround, kKeyFontColor, "BackGround", OptType::Integer, 15269887},
        {ioDLDay, kKeyAutoDownLoad, "Day", OptType::Integer, 0},
        {ioDLEndTime, kKeyAutoDownLoad, "EndTime", OptType::Integer, 2359},
        {ioFtpDay, kKeyAutoFtp, "Day", OptType::Integer, 0},
        {ioFtpEndTime, kKeyAutoFtp, "EndTime", OptType::Integer, 2359},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.index);
        EXPECT_STREQ(IntOptKey(r.index), r.key);
        EXPECT_STREQ(IntOptName(r.index), r.name);
        EXPECT_EQ(IntOptType(r.index), r.type);
        EXPECT_EQ(IntOptDefault(r.index), r.def);
    }
    EXPECT_STREQ(StrOptName(soNWFileList), "NWFileList");
    EXPECT_STREQ(StrOptKey(soNWFileList), kKeyWatch);
    EXPECT_STREQ(StrOptDefault(soDefTextEdit), "notepad.exe");
    EXPECT_STREQ(StrOptDefault(soFontName), "宋体");
    EXPECT_STREQ(StrOptDefault(soDownloadScanner), " ");
    EXPECT_STREQ(StrOptDefault(soWatchType), ".ZIP;.EXE;.BIN;.GZ;.Z;.TAR;.ARJ;.LZH;.MP3;.RAR;.CAB");
    EXPECT_NE(std::string(StrOptDefault(soAnonymousPD)).find('@'), std::string::npos);
    EXPECT_STREQ(SoundOptName(seALLOK), "ALLOK");
    EXPECT_STREQ(SoundEventCaption(seALLOK), "全部任务停止");
    EXPECT_STREQ(SoundEventCaption(seBC), "开始连接");
}

TEST(OptionTables, EveryKeyAndNamePairIsUnique) {
    std::set<std::string> seen;
    for (int i = 0; i < kIntOptCount; ++i)
        EXPECT_TRUE(seen.insert(std::string(IntOptKey(i)) + "\\" + IntOptName(i)).second) << i;
    for (int i = 0; i < kStrOptCount; ++i)
        EXPECT_TRUE(seen.insert(std::string(StrOptKey(i)) + "\\" + StrOptName(i)).second) << i;
    for (int i = 0; i < kSoundOptCount; ++i)
        EXPECT_TRUE(seen.insert(std::string(kKeySound) + "\\" + SoundOptName(i)).second) << i;
}

// An index outside a table is a caller's mistake and must not quietly pick another
// entry (128 would otherwise wrap onto index 0).
TEST(OptionTables, IndexOutsideTableThrows) {
    for (int bad : {-1, kIntOptCount, 127, 128}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(IntOptDefault(bad), std::out_of_range);
        EXPECT_THROW(IntOptName(bad), std::out_of_range);
    }
    EXPECT_THROW(StrOptDefault(kStrOptCount), std::out_of_range);
    EXPECT_THROW(StrOptName(-1), std::out_of_range);
    EXPECT_THROW(SoundOptName(kSoundOptCount), std::out_of_range);
    EXPECT_THROW(SoundEventCaption(-1), std::out_of_range);
    EXPECT_NO_THROW(IntOptDefault(kIntOptCount - 1));
}

} // namespace tq::test
