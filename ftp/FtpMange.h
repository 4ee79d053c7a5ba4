#pragma once
// The site record: everything needed to connect to one FTP site and to work with it,
// plus the working fields of a session while the site is open.

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace tq {

// Numbered option slots of a site record (tq::SiteOpt::PasvMode ...).
namespace SiteOpt {
enum : int {
    PasvMode = 0,
    LoginType = 1,
    SavePassword = 2,
    ServerType = 3,
    LinkType = 4,
    ReLogin = 5,
    ReLoginCount = 6,
    ReLoginInterval = 7,
    UseDirBuffer = 8,
    FileNameCase = 11,
    SyncMode = 13,
    LenCompare = 16,
    DateCompare = 17,
    CompareMode = 18,
    SyncDeleteAsk = 20,
    UseProxy = 22,
    ProxyID = 23,
    DropMode = 24,
    DiskFilter = 25,
    DiskFilterDirs = 26,
    FtpFilter = 27,
    FtpFilterDirs = 28,
};
} // namespace SiteOpt

constexpr int kSiteOptionCount = 35;

// Working fields of the session driver while the site is open; never stored.
struct TFTPSessionState {
    int32_t State = 0;
    int32_t LastCmdCode = 0;
    bool Busy = false;          // a command is running
    bool Marked = false;        // the session's mark flag
    bool WorkerIdle = false;    // the worker has nothing to do
    std::string CurRemoteDir;   // also the listing cache path
    std::string CurLocalDir;
    int32_t ResumeSupport = 0;
    int32_t Result = 0;         // result of the last batch
    int32_t Reserved = 0;
    bool Watchdog = false;      // a command is running under the client's watchdog
    bool UseDirCache = true;
    bool LoggedIn = false;
    bool Reserved2 = false;
    int32_t Reserved3 = 0;
};

struct TFTPMangeData {
    int32_t Deleted = 0;
    int32_t SiteID = 1111;
    int32_t ClassID = 0;
    int32_t Reserved1 = 0;
    int32_t Reserved2 = 0;
    std::array<int32_t, kSiteOptionCount> Options{};
    std::string SiteName = "Site";
    std::string ServerName = "127.0.0.1";
    std::string UserName = "anonymous";
    std::string PassWord;
    std::string Port = "21";
    std::string Reserved3;
    std::string Reserved4;
    std::string DataDir = "1111";
    std::string LocalPath;
    std::string RemotePath;
    std::string DiskShowMasks;
    std::string DiskHideMasks;
    std::string FtpShowMasks;
    std::string FtpHideMasks;
    int32_t DataPos = 0;
    TFTPSessionState Session;
};

using PTFTPMangeData = TFTPMangeData*;

// The anonymous password a new site gets.
inline constexpr const char* kAnonymousPassword = "tarvolin@example.com";

// A record with every default set (option slots, anonymous login, documents folder).
std::unique_ptr<TFTPMangeData> NewFTPMangeData();
void FreeFTPMangeData(std::unique_ptr<TFTPMangeData>& data);
// Without full: the stored fields; with full also DataPos and the session fields.
void CopyFTPMangeData(const TFTPMangeData& from, TFTPMangeData& to, bool full);

// Option slots 0..34; a slot outside that range reads 0 and is not written
// (returns false), rather than wrapping onto another slot.
int32_t GetSiteOption(const TFTPMangeData& data, int slot);
bool SetSiteOption(TFTPMangeData& data, int slot, int32_t value);

} // namespace tq
