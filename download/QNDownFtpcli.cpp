#include "download/QNDownFtpcli.h"

#include <algorithm>
#include <chrono>

namespace tq {

TQNDNFtpClient::TQNDNFtpClient(TEventLoop& loop) : TCustomFtpCli(loop) {}

bool TQNDNFtpClient::AbortAndWait()
{
    try {
        Abort();
        return WaitUntilReady();
    } catch (const std::exception&) {
        return false;
    }
}

bool TQNDNFtpClient::ReportProgress()
{
    const bool go = TCustomFtpCli::ReportProgress();
    if (Timeout > 0)
        WaitDeadline = GetTickCount32() + uint32_t(Timeout) * 1000;
    return go;
}

bool TQNDNFtpClient::WaitUntilReady()
{
    WaitDeadline = GetTickCount32() + uint32_t(std::max(Timeout, 0)) * 1000;
    auto ready = [this] { return FState == fcsReady || FState == fcsInternalReady; };
    for (;;) {
        if (ready())
            return FRequestResult == 0;
        if (FLoop.Quitting())
            break;
        const uint32_t now = GetTickCount32();
        if (Timeout > 0 && TickReached(now, WaitDeadline))
            break;
        // Short slices: progress during the wait moves the deadline on.
        uint32_t slice = 100;
        if (Timeout > 0)
            slice = std::min<uint32_t>(slice, WaitDeadline - now);
        FLoop.PumpUntil([&] { return ready() || FLoop.Quitting(); },
                        std::chrono::milliseconds(std::max<uint32_t>(slice, 1)));
    }
    Abort();
    FErrorMessage = "426 Timeout";
    FReplyCode = 426;
    FRequestResult = 426;
    return false;
}

} // namespace tq
