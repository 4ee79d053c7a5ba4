#include "config/TQnOptionDef.h"

#include <stdexcept>
#include <string>

namespace tq {

namespace {

constexpr OptType I = OptType::Integer;
constexpr OptType B = OptType::Bool;
constexpr OptType F = OptType::Float;

constexpr IntOptEntry kIntTable[kIntOptCount] = {
    {kKeyOptions, "StutDown", B, 0},                      // 0
    {kKeyOptions, "Hangup", B, 0},                        // 1
    {kKeyOptions, "LastBakID", I, 0},                     // 2
    {kKeyOptions, "MaxBak", I, 5},                        // 3
    {kKeyRoot, "WinHandle", I, 0},                        // 4
    {kKeyRoot, "T1", I, 0},                               // 5
    {kKeyRoot, "T2", I, 0},                               // 6
    {kKeyRoot, "SOR", B, 0},                              // 7
    {kKeyOptions, "AutoPackData", B, 1},                  // 8
    {kKeyOptions, "PackDataInterVal", I, 7},              // 9
    {kKeyRoot, "LastPackDate", F, 0},                     // 10
    {kKeyOptions, "MustMenuClose", B, 1},                 // 11
    {kKeyRoot, "ECA", B, 0},                              // 12
    {kKeyWatch, "WATCHCLIP", B, 1},                       // 13
    {kKeyWatch, "DropALL", I, 1},                         // 14
    {kKeyWatch, "WATCHIE", B, 1},                         // 15
    {kKeyWatch, "USEIEOPEN", B, 1},                       // 16
    {kKeyWatch, "WATCHIEALT", B, 0},                      // 17
    {kKeySet, "LastPack", B, 0},                          // 18
    {kKeyConnection, "MaxError", I, 99},                  // 19
    {kKeyConnection, "MaxErrorEnd", B, 0},                // 20
    {kKeyConnection, "MaxNoDataGet", I, 99},              // 21
    {kKeyConnection, "MaxNoDataGetEnd", B, 1},            // 22
    {kKeyConnection, "MaxCanRunJob", I, 5},               // 23
    {kKeyConnection, "PASVMODE", B, 1},                   // 24
    {kKeyConnection, "DLCTimeOut", I, 90},                // 25
    {kKeyConnection, "DLDTimeOut", I, 90},                // 26
    {kKeyConnection, "DLRJG", I, 5},                      // 27
    {kKeyConnection, "Speed", F, 3},                      // 28
    {kKeyConnection, "UseSpeed", B, 0},                   // 29
    {kKeyConnection, "OneThreadMaxError", I, 10},         // 30
    {kKeyConnection, "OneThreadMaxErrorEnd", B, 1},       // 31
    {kKeyMainFm, "LastDLTreeViewID", I, -1},              // 32
    {kKeyMainFm, "LastFMWSeleID", I, -1},                 // 33
    {kKeyMainFm, "MainSele", B, 0},                       // 34
    {kKeyMainFm, "DiskListViewSort", I, 0},               // 35
    {kKeyMainFm, "FtpListViewSort", I, 0},                // 36
    {kKeyMainFm, "AutoSaveDFSort", B, 1},                 // 37
    {kKeyMainFm, "DownLoadTopHeight", I, kOptNotSet},     // 38
    {kKeyMainFm, "NoAutoCreateFtp", I, 0},                // 39
    {kKeyMainFm, "FTPTopHeight", I, kOptNotSet},          // 40
    {kKeyMainFm, "LastOptionSele", I, 0},                 // 41
    {kKeyMainFm, "DropFmLeft", I, kOptNotSet},            // 42
    {kKeyMainFm, "DropFmTop", I, kOptNotSet},             // 43
    {kKeyMainFm, "ShowDropFm", B, 1},                     // 44
    {kKeyMainFm, "TextToolBar", B, 0},                    // 45
    {kKeyMainFm, "ShowDLMenu", B, 1},                     // 46
    {kKeyMainFm, "ShowFTPMenu", B, 1},                    // 47
    {kKeyMainFm, "ShowDLTool", B, 1},                     // 48
    {kKeyMainFm, "ShowFTPTool", B, 1},                    // 49
    {kKeyMainFm, "MainFmLeft", I, kOptNotSet},            // 50
    {kKeyMainFm, "MainFmTop", I, kOptNotSet},             // 51
    {kKeyMainFm, "MainFmWidth", I, kOptNotSet},           // 52
    {kKeyMainFm, "MainFmHeight", I, kOptNotSet},          // 53
    {kKeyMainFm, "ShowA", I, 0},                          // 54 (kept; nothing reads it)
    {kKeyMainFm, "ShowFlag", B, 1},                       // 55
    {kKeyDownLoad, "BSetFileSize", B, 0},                 // 56
    {kKeyDownLoad, "ChineseAuto", B, 1},                  // 57
    {kKeyDownLoad, "LastDLClassID", I, kOptNotSet},       // 58
    {kKeyDownLoad, "LastDLBeginMode", I, kOptNotSet},     // 59
    {kKeyDownLoad, "LastDLTreeNumber", I, kOptNotSet},    // 60
    {kKeyMainFm, "ShowDeleDialog", B, 1},                 // 61
    {kKeyQueue, "MaxOneServerOpen", I, 1},                // 62
    {kKeyQueue, "MaxThread", I, 1},                       // 63
    {kKeyKeepAlive, "KeepAlive", B, 1},                   // 64
    {kKeyKeepAlive, "KeepInterVal", I, 30},               // 65
    {kKeyFtpClient, "DClick", I, 0},                      // 66
    {kKeyFtpClient, "FileSizeAuto", B, 1},                // 67
    {kKeyAutoFtp, "TimeUPUse", B, 0},                     // 68
    {kKeyAutoFtp, "TimeUPInterval", I, 10},               // 69
    {kKeyFtpClient, "BigListMaxLine", I, 100},            // 70 (kept; nothing reads it)
    {kKeyFtpClient, "UseBigList", B, 0},                  // 71
    {kKeyProxy, "Count", I, 0},                           // 72
    {kKeyProxy, "DefaultForFtp", I, 0},                   // 73
    {kKeyProxy, "DefaultForHttp", I, 0},                  // 74
    {kKeyProxy, "MaxID", I, 0},                           // 75
    {kKeyEdit, "AllTextMustUseDef", B, 0},                // 76
    {kKeyEdit, "FtpFileNameTB", I, 1},                    // 77
    {kKeyVirusScan, "DownloadAutoScan", B, 1},            // 78
    {kKeyVirusScan, "DownloadScanMode", I, 0},            // 79
    {kKeyVirusScan, "FTPAutoScan", B, 0},                 // 80
    {kKeyVirusScan, "FTPDialog", B, 0},                   // 81
    {kKeyFontColor, "FontSize", I, 9},                    // 82
    {kKeyFontColor, "MessBlack", I, 0},                   // 83
    {kKeyFontColor, "MessBlue", I, 16711680},             // 84
    {kKeyFontColor, "MessRed", I, 255},                   // 85
    {kKeyFontColor, "MessGreen", I, 32768},               // 86
    {kKeyFontColor, "BackGround", I, 15269887},           // 87
    {kKeyFontColor, "BL", I, 8},                          // 88
    {kKeyDialUp, "Retry", I, 5},                          // 89
    {kKeyDialUp, "Wt", I, 10},                            // 90
    {kKeyDialUp, "ErrorSp", B, 0},                        // 91
    {kKeyAutoDownLoad, "Day", I, 0},                      // 92
    {kKeyAutoDownLoad, "Begin", B, 0},                    // 93
    {kKeyAutoDownLoad, "BeginTIme", I, 0},                // 94
    {kKeyAutoDownLoad, "End", B, 0},                      // 95
    {kKeyAutoDownLoad, "EndTime", I, 2359},               // 96
    {kKeyAutoFtp, "Day", I, 0},                           // 97
    {kKeyAutoFtp, "Begin", B, 0},                         // 98
    {kKeyAutoFtp, "BeginTIme", I, 0},                     // 99
    {kKeyAutoFtp, "End", B, 0},                           // 100
    {kKeyAutoFtp, "EndTime", I, 2359},                    // 101
};

constexpr StrOptEntry kStrTable[kStrOptCount] = {
    {kKeyRoot, "Path", ""},                                                        // 0
    {kKeyRoot, "Exe", ""},                                                         // 1
    {kKeyRoot, "SetupPath", ""},                                                   // 2
    {kKeyWatch, "WatchType", ".ZIP;.EXE;.BIN;.GZ;.Z;.TAR;.ARJ;.LZH;.MP3;.RAR;.CAB"},  // 3
    {kKeyEdit, "DefTextEdit", "notepad.exe"},                                      // 4
    {kKeyEdit, "DefhtmEdit", "notepad.exe"},                                       // 5
    {kKeyEdit, "DefAnsiExtName",
     "BAT;CGI;C;CPP;CSS;DHTML;HPP;H;HTM;HTML;MAK;PHP;PL;SHTML;TXT"},               // 6
    {kKeyKeepAlive, "KeepAliveCmd", "Pwd;Rest 0;Type I;Type A"},                   // 7
    {kKeyKeepAlive, "DefCmd", "Pwd;Sys"},                                          // 8
    {kKeyVirusScan, "DownloadScanner", " "},                                       // 9
    {kKeyVirusScan, "DownloadScannerArgs", " "},                                   // 10
    {kKeyVirusScan, "DownloadScanType",
     ".ZIP;.EXE;.COM;.BIN;.GZ;.Z;.TAR;.ARJ;.LZH;.SIT;.HQX;.TGZ;.DLL;.OCX;.VBX"},   // 11
    {kKeyFontColor, "FontName", "宋体"},                                           // 12
    {kKeyDialUp, "Dialup", ""},                                                    // 13
    {kKeyDownLoad, "AnonymousPD", "tarvolin@example.com"},                         // 14
    {kKeyDownLoad, "LastDLFormSavepath", ""},                                      // 15
    {kKeyWatch, "NWFileList", "FTPSEARCH.EXE;UPLOAD.EXE;FTP_SEARCH.EXE;SNAPSHOT.EXE"},  // 16
};

constexpr SoundOptEntry kSoundTable[kSoundOptCount] = {
    {"BC", "开始连接"},       {"EC", "连接成功"},       {"CC", "连接断开"},
    {"BUD", "开始传送"},      {"UDRight", "传送成功"},  {"UDError", "传送失败"},
    {"BUOL", "开始同步"},     {"EUOL", "结束同步"},     {"JOBRIGHT", "任务成功"},
    {"JOBERROR", "任务失败"}, {"ALLOK", "全部任务停止"},
};

[[noreturn]] void OutOfTable(const char* table, int index) {
    throw std::out_of_range(std::string(table) + " option index " + std::to_string(index) +
                            " is outside the table");
}

} // namespace

const IntOptEntry& IntOptEntryAt(int index) {
    if (index < 0 || index >= kIntOptCount) OutOfTable("integer", index);
    return kIntTable[index];
}

const StrOptEntry& StrOptEntryAt(int index) {
    if (index < 0 || index >= kStrOptCount) OutOfTable("string", index);
    return kStrTable[index];
}

const SoundOptEntry& SoundOptEntryAt(int index) {
    if (index < 0 || index >= kSoundOptCount) OutOfTable("sound", index);
    return kSoundTable[index];
}

const char* IntOptName(int index) { return IntOptEntryAt(index).Name; }
int32_t IntOptDefault(int index) { return IntOptEntryAt(index).Default; }
const char* IntOptKey(int index) { return IntOptEntryAt(index).Key; }
OptType IntOptType(int index) { return IntOptEntryAt(index).Type; }
const char* StrOptName(int index) { return StrOptEntryAt(index).Name; }
const char* StrOptDefault(int index) { return StrOptEntryAt(index).Default; }
const char* StrOptKey(int index) { return StrOptEntryAt(index).Key; }
const char* SoundOptName(int index) { return SoundOptEntryAt(index).Name; }
const char* SoundEventCaption(int index) { return SoundOptEntryAt(index).Caption; }

} // namespace tq
