#pragma once
// The FTP client of download connections: the shared FTP engine seen through the
// uniform connection face. Received bytes go to OnDisplayFile (the connection hands
// them to the job driver, which writes the partial file); this client never opens a
// local file.

#include "download/TQNComponent.h"
#include "ftp/FtpCliqn.h"

#include <cstdint>

namespace tq {

class TQNDNFtpClient : public TQNComponent, public TCustomFtpCli {
public:
    explicit TQNDNFtpClient(TEventLoop& loop);

    // Both bases keep a local file name; the connection's is the one callers set (the
    // engine's goes through SetLocalFileName).
    using TQNComponent::FLocalFileName;

    int32_t Timeout = 15;          // seconds; 0 waits without a limit
    bool MultiThreaded = false;    // kept for callers; the client always pumps its own loop
    uint8_t ViaProxy = 0;          // set by the driver; only chooses its connect message
    uint32_t WaitDeadline = 0;     // tick until which WaitUntilReady may run

    // Aborts the session (both connections closed, state ready) and waits for ready.
    bool AbortAndWait();
    // Pumps the client's loop until it is ready (true when the last request succeeded),
    // the loop quits or Timeout seconds pass without progress; a stop aborts and ends
    // with "426 Timeout".
    bool WaitUntilReady();
    // Progress moves the wait's deadline on, so a slow transfer is not cut short.
    bool ReportProgress() override;

    // The reply code of the last REST (0 before any): the positioned retrieve checks
    // that the server took its offset.
    int RestReplyCode() const { return FRestReplyCode; }
    // The data connection while one is open.
    TTcpSocket* DataSocket() const { return FDataSocket.get(); }
};

} // namespace tq
