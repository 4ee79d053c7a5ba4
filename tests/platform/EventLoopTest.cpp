#include "platform/EventLoop.h"
#include "platform/WorkerThread.h"

#include <gtest/gtest.h>

#include <future>
#include <set>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#include <sys/epoll.h>

namespace tq::test {
namespace {

using namespace std::chrono_literals;

TEST(TickTest, TickReachedIsWrapSafe)
{
    struct Case {
        uint32_t now, deadline;
        bool reached;
    } cases[] = {
        {100, 100, true},
        {99, 100, false},
        {5, 0xFFFFFFF0u, true},    // the counter wrapped after the deadline was set
        {0xFFFFFFF0u, 5, false},   // the deadline lies beyond the wrap
        {0x7FFFFFFFu, 0, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TickReached(c.now, c.deadline), c.reached) << c.now << " vs " << c.deadline;
    uint32_t a = GetTickCount32();
    std::this_thread::sleep_for(20ms);
    uint32_t b = GetTickCount32();
    EXPECT_TRUE(TickReached(b, a + 15));
}

TEST(EventLoopTest, PostsFromOtherThreadsRunInOrderPerThread)
{
    TEventLoop loop;
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<std::vector<int>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                loop.Post([&seen, t, i] { seen[t].push_back(i); });
        });
    for (auto& th : threads)
        th.join();
    loop.Post([&] { loop.Quit(); });
    loop.Run();
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), size_t(kEach));
        for (int i = 0; i < kEach; ++i)
            ASSERT_EQ(seen[t][i], i);
    }
}

TEST(EventLoopTest, WorkPostedBeforeQuitStillRuns)
{
    TEventLoop loop;
    std::string order;
    loop.Post([&] { order += "a"; loop.Quit(); });
    loop.Post([&] { order += "b"; });
    loop.Run();
    EXPECT_EQ(order, "ab");
    EXPECT_TRUE(loop.Quitting());
}

TEST(EventLoopTest, TimersOneShotRepeatAndCancel)
{
    TEventLoop loop;
    int once = 0, repeated = 0, cancelled = 0;
    std::vector<int> order;
    loop.AddTimer(30, [&] { order.push_back(30); });
    loop.AddTimer(10, [&] { ++once; order.push_back(10); });
    TimerId never = loop.AddTimer(20, [&] { ++cancelled; });
    loop.CancelTimer(never);
    TimerId rep = 0;
    rep = loop.AddTimer(5, [&] {
        if (++repeated == 4)
            loop.CancelTimer(rep);  // a repeating timer may cancel itself
    }, true);
    EXPECT_FALSE(loop.PumpUntil([] { return false; }, 150ms));
    EXPECT_EQ(once, 1);
    EXPECT_EQ(repeated, 4);
    EXPECT_EQ(cancelled, 0);
    EXPECT_EQ(order, (std::vector<int>{10, 30}));
}

TEST(EventLoopTest, PumpUntilReturnsWhenTrueOrAtDeadline)
{
    TEventLoop loop;
    bool done = false;
    loop.AddTimer(20, [&] { done = true; });
    EXPECT_TRUE(loop.PumpUntil([&] { return done; }, 5s));

    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop.PumpUntil([] { return false; }, 60ms));
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 60ms);
    EXPECT_LT(took, 2s);
}

TEST(EventLoopTest, NestedPumpKeepsPostOrderAndOuterContinues)
{
    TEventLoop loop;
    std::string order;
    bool innerDone = false;
    loop.Post([&] {
        order += "1";
        // A handler that must wait pumps the loop itself: later posts run meanwhile.
        EXPECT_TRUE(loop.PumpUntil([&] { return innerDone; }, 5s));
        order += "4";
    });
    loop.Post([&] { order += "2"; });
    loop.Post([&] {
        order += "3";
        innerDone = true;
    });
    EXPECT_TRUE(loop.PumpUntil([&] { return order.size() == 4; }, 5s));
    EXPECT_EQ(order, "1234");
}

TEST(EventLoopTest, QuitEndsPumpUntilFromAnotherThread)
{
    TEventLoop loop;
    std::thread t([&] {
        std::this_thread::sleep_for(30ms);
        loop.Quit();
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(loop.PumpUntil([] { return false; }, 10s));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    t.join();
}

// An fd closed and reused within one batch of events must not receive the old fd's event.
TEST(EventLoopTest, StaleEventOfReusedFdIsNotDelivered)
{
    TEventLoop loop;
    int a[2], b[2];
    ASSERT_EQ(pipe(a), 0);
    ASSERT_EQ(pipe(b), 0);
    ASSERT_EQ(write(a[1], "x", 1), 1);
    ASSERT_EQ(write(b[1], "x", 1), 1);
    int firstCalls = 0, reusedCalls = 0;
    std::set<int> open = {a[0], a[1], b[0], b[1]};
    auto replaceOther = [&](int other) {
        // Whichever pipe comes first closes the other and reuses its number.
        loop.UnwatchFd(other);
        close(other);
        open.erase(other);
        int c[2];
        ASSERT_EQ(pipe(c), 0);
        ASSERT_EQ(c[0], other);
        open.insert({c[0], c[1]});
        loop.WatchFd(c[0], EPOLLIN, [&](uint32_t) { ++reusedCalls; });
    };
    loop.WatchFd(a[0], EPOLLIN, [&](uint32_t) {
        if (firstCalls++ == 0)
            replaceOther(b[0]);
        char ch;
        (void)!read(a[0], &ch, 1);
    });
    loop.WatchFd(b[0], EPOLLIN, [&](uint32_t) {
        if (firstCalls++ == 0)
            replaceOther(a[0]);
        char ch;
        (void)!read(b[0], &ch, 1);
    });
    loop.PumpUntil([] { return false; }, 50ms);
    EXPECT_EQ(firstCalls, 1);
    EXPECT_EQ(reusedCalls, 0);  // nothing was written to the new pipe
    for (int fd : open) {
        loop.UnwatchFd(fd);
        close(fd);
    }
}

TEST(WorkerThreadTest, RunsPostedWorkOnItsThreadAndStopsCooperatively)
{
    std::vector<int> done;
    std::thread::id workerId;
    {
        TWorkerThread worker;
        worker.Start();
        EXPECT_FALSE(worker.Loop().IsLoopThread());  // already the worker's, not the starter's
        std::promise<bool> onLoop;
        worker.Post([&] {
            workerId = std::this_thread::get_id();
            onLoop.set_value(worker.Loop().IsLoopThread());
        });
        EXPECT_TRUE(onLoop.get_future().get());
        EXPECT_NE(workerId, std::this_thread::get_id());
        for (int i = 0; i < 100; ++i)
            worker.Post([&done, i] { done.push_back(i); });
        worker.Stop();
        worker.Join();
    }
    ASSERT_EQ(done.size(), 100u);
    EXPECT_EQ(done.back(), 99);
}

} // namespace
} // namespace tq::test
