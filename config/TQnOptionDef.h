#pragma once
// The constant tables of the settings: for every integer, string and sound option its
// key (below the program's root key), value name, type and default.

#include <cstdint>

namespace tq {

// The program's root key; every key below is relative to it.
inline constexpr const char* kKeyTarvolin = "\\Software\\Varnholt\\Tarvolin";

inline constexpr const char* kKeyRoot = "";  // the root key itself
inline constexpr const char* kKeyOptions = "\\Options";
inline constexpr const char* kKeySet = "\\Options\\Set";
inline constexpr const char* kKeyMainFm = "\\Options\\MainFm";
inline constexpr const char* kKeyDownLoad = "\\Options\\DownLoad";
inline constexpr const char* kKeyConnection = "\\Options\\DownLoad\\Connection";
inline constexpr const char* kKeyAutoDownLoad = "\\Options\\DownLoad\\AutoDownLoad";
inline constexpr const char* kKeyDownDir = "\\Options\\DownLoad\\DownDir";
inline constexpr const char* kKeyWatch = "\\Options\\WATCH";
inline constexpr const char* kKeyEdit = "\\Options\\Edit";
inline constexpr const char* kKeyFtpClient = "\\Options\\FtpClient";
inline constexpr const char* kKeyQueue = "\\Options\\FtpClient\\QUEUE";
inline constexpr const char* kKeyKeepAlive = "\\Options\\FtpClient\\KeepAlive";
inline constexpr const char* kKeyAutoFtp = "\\Options\\FtpClient\\AutoFtp";
inline constexpr const char* kKeyProxy = "\\Options\\Proxy";
inline constexpr const char* kKeyVirusScan = "\\Options\\VirusScan";
inline constexpr const char* kKeyDialUp = "\\Options\\DialUp";
inline constexpr const char* kKeyFontColor = "\\Options\\FontColor";
inline constexpr const char* kKeySound = "\\Options\\Sound";
inline constexpr const char* kKeyDropFile = "\\DropFile";

// A stored integer that means "not set".
inline constexpr int32_t kOptNotSet = -10000;

enum class OptType { Integer, Bool, Float, String };

// Indexes of the integer table.
enum IntOpt : int {
    ioStutDown = 0, ioHangup = 1, ioLastBakID = 2, ioMaxBak = 3, ioWinHandle = 4, ioT1 = 5,
    ioT2 = 6, ioSOR = 7, ioAutoPackData = 8, ioPackDataInterVal = 9, ioLastPackDate = 10,
    ioMustMenuClose = 11, ioECA = 12, ioWATCHCLIP = 13, ioDropALL = 14, ioWATCHIE = 15,
    ioUSEIEOPEN = 16, ioWATCHIEALT = 17, ioLastPack = 18, ioMaxError = 19, ioMaxErrorEnd = 20,
    ioMaxNoDataGet = 21, ioMaxNoDataGetEnd = 22, ioMaxCanRunJob = 23, ioPASVMODE = 24,
    ioDLCTimeOut = 25, ioDLDTimeOut = 26, ioDLRJG = 27, ioSpeed = 28, ioUseSpeed = 29,
    ioOneThreadMaxError = 30, ioOneThreadMaxErrorEnd = 31, ioLastDLTreeViewID = 32,
    ioLastFMWSeleID = 33, ioMainSele = 34, ioDiskListViewSort = 35, ioFtpListViewSort = 36,
    ioAutoSaveDFSort = 37, ioDownLoadTopHeight = 38, ioNoAutoCreateFtp = 39,
    ioFTPTopHeight = 40, ioLastOptionSele = 41, ioDropFmLeft = 42, ioDropFmTop = 43,
    ioShowDropFm = 44, ioTextToolBar = 45, ioShowDLMenu = 46, ioShowFTPMenu = 47,
    ioShowDLTool = 48, ioShowFTPTool = 49, ioMainFmLeft = 50, ioMainFmTop = 51,
    ioMainFmWidth = 52, ioMainFmHeight = 53, ioShowA = 54, ioShowFlag = 55,
    ioBSetFileSize = 56, ioChineseAuto = 57, ioLastDLClassID = 58, ioLastDLBeginMode = 59,
    ioLastDLTreeNumber = 60, ioShowDeleDialog = 61, ioMaxOneServerOpen = 62,
    ioMaxThread = 63, ioKeepAlive = 64, ioKeepInterVal = 65, ioDClick = 66,
    ioFileSizeAuto = 67, ioTimeUPUse = 68, ioTimeUPInterval = 69, ioBigListMaxLine = 70,
    ioUseBigList = 71, ioCount = 72, ioDefaultForFtp = 73, ioDefaultForHttp = 74,
    ioMaxID = 75, ioAllTextMustUseDef = 76, ioFtpFileNameTB = 77, ioDownloadAutoScan = 78,
    ioDownloadScanMode = 79, ioFTPAutoScan = 80, ioFTPDialog = 81, ioFontSize = 82,
    ioMessBlack = 83, ioMessBlue = 84, ioMessRed = 85, ioMessGreen = 86, ioBackGround = 87,
    ioBL = 88, ioRetry = 89, ioWt = 90, ioErrorSp = 91,
    // The schedule values exist twice, under \DownLoad\AutoDownLoad and \FtpClient\AutoFtp.
    ioDLDay = 92, ioDLBegin = 93, ioDLBeginTIme = 94, ioDLEnd = 95, ioDLEndTime = 96,
    ioFtpDay = 97, ioFtpBegin = 98, ioFtpBeginTIme = 99, ioFtpEnd = 100, ioFtpEndTime = 101,
};

// Indexes of the string table.
enum StrOpt : int {
    soPath = 0, soExe = 1, soSetupPath = 2, soWatchType = 3, soDefTextEdit = 4,
    soDefhtmEdit = 5, soDefAnsiExtName = 6, soKeepAliveCmd = 7, soDefCmd = 8,
    soDownloadScanner = 9, soDownloadScannerArgs = 10, soDownloadScanType = 11,
    soFontName = 12, soDialup = 13, soAnonymousPD = 14, soLastDLFormSavepath = 15,
    soNWFileList = 16,
};

// Sound events (values under \Options\Sound).
enum SoundEvent : int {
    seBC = 0, seEC = 1, seCC = 2, seBUD = 3, seUDRight = 4, seUDError = 5, seBUOL = 6,
    seEUOL = 7, seJOBRIGHT = 8, seJOBERROR = 9, seALLOK = 10,
};

inline constexpr int kIntOptCount = 102;
inline constexpr int kStrOptCount = 17;
inline constexpr int kSoundOptCount = 11;

struct IntOptEntry {
    const char* Key;    // key below the root under which the value lives
    const char* Name;   // registry value name
    OptType Type;       // Integer, Bool or Float (floats keep an integer default)
    int32_t Default;
};

struct StrOptEntry {
    const char* Key;
    const char* Name;
    const char* Default;
};

struct SoundOptEntry {
    const char* Name;
    const char* Caption;
};

// Table entries by index; an index outside the table throws std::out_of_range.
const IntOptEntry& IntOptEntryAt(int index);
const StrOptEntry& StrOptEntryAt(int index);
const SoundOptEntry& SoundOptEntryAt(int index);

const char* IntOptName(int index);
int32_t IntOptDefault(int index);
const char* IntOptKey(int index);
OptType IntOptType(int index);
const char* StrOptName(int index);
const char* StrOptDefault(int index);
const char* StrOptKey(int index);
const char* SoundOptName(int index);
const char* SoundEventCaption(int index);

} // namespace tq
