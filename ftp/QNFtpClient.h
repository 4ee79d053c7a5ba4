#pragma once
// The FTP client as the session driver uses it: a no-progress watchdog tied to the
// site record, remote file lookup through LIST, a directory test, MKD and raw-command
// helpers, SITE CHMOD, the session log and the listing server type.

#include "config/TQnOption.h"
#include "foundation/TQNFileData.h"
#include "ftp/FtpCliqn.h"
#include "ftp/FtpMange.h"

#include <memory>
#include <string>
#include <vector>

namespace tq {

class TQNFtpClient : public TFtpClient {
public:
    explicit TQNFtpClient(TEventLoop& loop);

    int WatchdogSeconds = 300;
    // The session's site record; the client's own default record until the driver sets it.
    TFTPMangeData* SiteData = nullptr;
    std::vector<std::string> SessionLog;
    uint8_t ServerType = 0;

    bool CheckWatchdog();
    void ArmWatchdog();
    void DisarmWatchdog();
    // Moves the deadline on (every progress report of a transfer).
    void TouchWatchdog();

    bool MakeDir(const std::string& name);
    bool DirExists(const std::string& dir, const std::string& back);
    bool GetRemoteFileInfo(const std::string& dir, const std::string& name, TQNFileData& entry);
    void ChmodStep();
    bool SendQuote(const std::string& cmd);

    // Routes the session through a proxy entry's settings: 3 to 6 FTP proxy login
    // forms, 7 SOCKS 4, 8 SOCKS 5 (with user and password when given). HTTP proxies
    // (1, 2) cannot carry an FTP session: refused with a log line, returns false.
    bool ApplyProxy(int type, const std::string& server, const std::string& port, const std::string& user,
                    const std::string& password);
    // The same from a proxy entry of the options store; its user and password are
    // passed on only when the entry says the proxy needs them.
    bool ApplyProxy(const TproxyData& proxy);

private:
    std::unique_ptr<TFTPMangeData> FOwnSite;
    uint32_t FWatchdogDeadline = 0;
};

} // namespace tq
