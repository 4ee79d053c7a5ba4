// The session worker thread, waits that end on a stop, and the no-progress watchdog.

#include "ftp/QNFtpClient.h"
#include "ftp/TFTPThreadUnit.h"
#include "tests/support/FtpServers.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace tq::test {
namespace {

using namespace std::chrono_literals;

template <typename Pred>
bool WaitFor(Pred pred, std::chrono::milliseconds limit = 5s) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

TEST(FtpThread, ParksWhenWorkSaysSoResumesAndStops) {
    TFTPThread t;
    std::atomic<int> passes{0};
    t.OnWork = [&] { return ++passes % 3 == 0 ? 1 : 0; };
    t.Start();
    ASSERT_TRUE(WaitFor([&] { return t.Parked(); }));
    EXPECT_EQ(passes, 3);
    t.Resume();
    ASSERT_TRUE(WaitFor([&] { return passes == 6 && t.Parked(); }));
    t.Stop();
    t.Join();
    EXPECT_TRUE(t.Finished());
    EXPECT_EQ(passes, 6);
}

const std::string kStall =
    R"({"steps": [{"do":[{"send":"220 fake\r\n"}]},
       {"expect":"USER","do":[{"send":"331 pw\r\n"}]},
       {"expect":"PASS","do":[{"send":"230 ok\r\n"}]},
       {"expect":"PWD","do":[{"sleep":4}]}]})";

// A wait on the worker pumps its loop and ends as soon as the owner asks the thread to stop.
TEST(FtpThread, AWaitingCallEndsWhenTheThreadIsStopped) {
    TempDir work;
    auto server = StartFakeFtpd(work.path(), kStall);
    ASSERT_TRUE(server);
    TFTPThread t;
    std::atomic<bool> done{false}, pwdOk{true};
    std::string error;
    t.OnWork = [&] {
        TQNFtpClient c(*t.Loop());
        c.HostName = "127.0.0.1";
        c.Port = std::to_string(server->Port);
        c.UserName = "u";
        c.PassWord = "p";
        c.Timeout = 60;
        c.StopFlag = &t.StopRequested;
        if (c.Connect()) pwdOk = c.Pwd();
        error = c.ErrorMessage();
        done = true;
        return 1;
    };
    t.Start();
    std::this_thread::sleep_for(300ms);
    const auto t0 = std::chrono::steady_clock::now();
    t.Stop();
    ASSERT_TRUE(WaitFor([&] { return done.load(); }, 2s));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    t.Join();
    EXPECT_FALSE(pwdOk);
    EXPECT_EQ(error, "426 Operation aborted.");
}

TEST(FtpWatchdog, FiresOnlyWhenArmedAndPastItsDeadline) {
    TempDir work;
    auto server = StartFakeFtpd(work.path(), kStall);
    ASSERT_TRUE(server);
    TEventLoop loop;
    TQNFtpClient c(loop);
    c.HostName = "127.0.0.1";
    c.Port = std::to_string(server->Port);
    c.UserName = "u";
    c.PassWord = "p";
    ASSERT_TRUE(c.Connect());
    c.WatchdogSeconds = 1;
    c.PwdAsync();   // never answered
    c.ArmWatchdog();
    EXPECT_TRUE(c.SiteData->Session.Watchdog);
    EXPECT_FALSE(c.CheckWatchdog());
    loop.PumpUntil([] { return false; }, 1100ms);
    c.DisarmWatchdog();
    EXPECT_FALSE(c.CheckWatchdog());
    c.ArmWatchdog();
    c.TouchWatchdog();
    loop.PumpUntil([] { return false; }, 1100ms);
    EXPECT_TRUE(c.CheckWatchdog());
    EXPECT_EQ(c.ErrorMessage(), "426 Timeout");
    EXPECT_EQ(c.ReplyCode(), 426);
    EXPECT_EQ(c.State(), fcsReady);
}

} // namespace
} // namespace tq::test
