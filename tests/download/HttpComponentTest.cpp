#include "download/HttpProtqn.h"
#include "download/TQNComponent.h"
#include "platform/EventLoop.h"

#include <gtest/gtest.h>

using namespace tq;

TEST(HttpComponent, AccessorsFollowTheKind)
{
    // Without a protocol object every accessor answers empty.
    TQNComponent none;
    EXPECT_EQ(none.OS_FileLength(), 0);
    EXPECT_EQ(none.OS_State(), QNAnyOne);
    EXPECT_EQ(none.Os_stateCode(), 0);
    EXPECT_EQ(none.OS_CtrlSocket(), nullptr);
    EXPECT_EQ(none.OS_Locate(), "");
    EXPECT_FALSE(none.OS_NotFound());
    EXPECT_EQ(none.FProxyIndex, -1);
    EXPECT_EQ(none.FIdle, 1);
    EXPECT_EQ(none.FAnonUser, "anonymous");

    TEventLoop loop;
    THttpCli http(loop);
    http.SetClient(kQNClientHttp, &http);
    EXPECT_EQ(http.FClientKind, kQNClientHttp);
    EXPECT_EQ(http.OS_State(), QNCliReady);
    http.OS_URL("http://h/x");
    EXPECT_EQ(http.URL, "http://h/x");
    http.OS_RangeBegin("1000");
    EXPECT_EQ(http.ContentRangeBegin, "1000");
    EXPECT_EQ(http.OS_RangeBegin(), "1000");
    // No response yet: the length is unknown, whatever the range start.
    EXPECT_EQ(http.OS_FileLength(), -1);
}

TEST(HttpComponent, AbortWhenIdleAndStartWhileBusy)
{
    TEventLoop loop;
    THttpCli http(loop);
    http.SetClient(kQNClientHttp, &http);
    int done = 0;
    http.OSQN_OnRequestDone = [&](TQNComponent*, TFtpRequest, int, bool) { ++done; };
    http.AbortRequest();  // nothing runs: no completion
    http.TargetHost = "127.0.0.1";
    http.TargetPort = "1";
    http.TargetPath = "/";
    http.StartRequest();
    EXPECT_NE(http.OS_State(), QNCliReady);
    EXPECT_THROW(http.GetASync(), EHttpException);
    http.AbortRequest();
    EXPECT_EQ(done, 0) << "completion is posted";
    ASSERT_TRUE(loop.PumpUntil([&] { return done > 0; }, std::chrono::seconds(10)));
    loop.PumpUntil([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(done, 1);
    EXPECT_EQ(http.RequestDoneError(), httperrAborted);
    EXPECT_EQ(http.OS_State(), QNCliReady);
}
