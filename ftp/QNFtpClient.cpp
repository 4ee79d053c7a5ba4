#include "ftp/QNFtpClient.h"

#include "foundation/PathUtils.h"
#include "ftp/FtpParse.h"

namespace tq {

TQNFtpClient::TQNFtpClient(TEventLoop& loop) : TFtpClient(loop), FOwnSite(NewFTPMangeData()) {
    SiteData = FOwnSite.get();
}

bool TQNFtpClient::CheckWatchdog() {
    if (WatchdogSeconds <= 0 || !SiteData || !SiteData->Session.Watchdog) return false;
    if (!TickReached(GetTickCount32(), FWatchdogDeadline)) return false;
    AbortSync();
    FErrorMessage = "426 Timeout";
    FReplyCode = 426;
    return true;
}

void TQNFtpClient::ArmWatchdog() {
    if (SiteData) SiteData->Session.Watchdog = true;
    TouchWatchdog();
}

void TQNFtpClient::TouchWatchdog() { FWatchdogDeadline = GetTickCount32() + uint32_t(std::max(WatchdogSeconds, 0)) * 1000; }

void TQNFtpClient::DisarmWatchdog() {
    if (SiteData) SiteData->Session.Watchdog = false;
    FWatchdogDeadline = GetTickCount32();
}

bool TQNFtpClient::MakeDir(const std::string& name) {
    try {
        HostFileName = name;
        return Mkd();
    } catch (const std::exception&) {
        return false;
    }
}

bool TQNFtpClient::DirExists(const std::string& dir, const std::string& back) {
    try {
        HostDirName = dir;
        const bool changed = Cwd();
        Pwd();
        const bool result = DirValue().find(dir) != std::string::npos || changed;
        if (!back.empty()) {
            HostDirName = back;
            Cwd();
        }
        return result;
    } catch (const std::exception&) {
        return false;
    }
}

bool TQNFtpClient::GetRemoteFileInfo(const std::string& dir, const std::string& name, TQNFileData& entry) {
    const std::string path = JoinRemotePath(dir, name);
    // The listing is collected whole and read line by line; the display settings of
    // the caller come back afterwards so a later RETR still goes to its file.
    auto savedHandler = OnDisplayFile;
    auto savedDataHandler = std::move(OnDisplayData);
    OnDisplayData = nullptr;
    const bool savedFlag = DisplayFileFlag;
    const uint8_t savedMode = DisplayFileMode();
    std::string listing;
    entry.FileSize = 0;
    bool listed = false;
    try {
        HostFileName = path;
        OnDisplayFile = [&listing](TCustomFtpCli& c, std::string& block) {
            if (c.RequestType() == ftpDirAsync) listing += block;
        };
        DisplayFileFlag = true;
        SetDisplayFileMode(1);
        listed = Dir();
    } catch (const std::exception&) {
        listed = false;
    }
    OnDisplayFile = savedHandler;
    OnDisplayData = std::move(savedDataHandler);
    DisplayFileFlag = savedFlag;
    SetDisplayFileMode(savedMode);

    if (listed) {
        size_t pos = 0;
        while (pos < listing.size()) {
            size_t end = listing.find_first_of("\r\n", pos);
            if (end == std::string::npos) end = listing.size();
            std::string_view line(listing.data() + pos, end - pos);
            pos = end + 1;
            if (line.empty()) continue;
            TQNFileData parsed;
            if (!LineToFileData(line, parsed, ServerType)) continue;
            if (parsed.FileName == name || parsed.FileName == path) {
                CopyFileData(parsed, entry);
                entry.DateTime = parsed.DateTime;
                return true;
            }
        }
    }
    try {
        HostFileName = path;
        Size();
        if (SizeValue() < 0) {
            entry.FileSize = 0;
            return false;
        }
        entry.FileSize = SizeValue();
        return true;
    } catch (const std::exception&) {
        entry.FileSize = 0;
        return false;
    }
}

void TQNFtpClient::ChmodStep() {
    SetLocalFileName("SITE CHMOD " + HostDirName + " " + HostFileName);
    QuoteAsync();
}

bool TQNFtpClient::SendQuote(const std::string& cmd) {
    SetLocalFileName(cmd);
    return Quote();
}

bool TQNFtpClient::ApplyProxy(int type, const std::string& server, const std::string& port,
                              const std::string& user, const std::string& password) {
    switch (type) {
    case 3:
    case 4:
    case 5:
    case 6:
        SetConnectionType(ftpProxy);
        ProxyServer = server;
        ProxyPort = port.empty() ? "ftp" : port;
        ProxyLogin = TFtpProxyLogin(type);
        ProxyUserName = type == 3 ? "" : user;
        ProxyPassWord = type == 3 ? "" : password;
        break;
    case 7:
    case 8:
        SetConnectionType(type == 7 ? ftpSocks4 : ftpSocks5);
        SocksServer = server;
        SocksPort = port.empty() ? "1080" : port;
        SocksUserCode = user;
        SocksPassword = password;
        break;
    case 0:
        SetConnectionType(ftpDirect);
        return true;
    default:
        Display("! Proxy type " + std::to_string(type) + " cannot carry an FTP session; not connecting");
        return false;
    }
    ProxyInUse = true;
    return true;
}

bool TQNFtpClient::ApplyProxy(const TproxyData& proxy) {
    const std::string user = proxy.Authenticate ? proxy.UserName : std::string();
    const std::string password = proxy.Authenticate ? proxy.PassWord : std::string();
    return ApplyProxy(proxy.Type, proxy.ServerName, proxy.ServerPort, user, password);
}

} // namespace tq
