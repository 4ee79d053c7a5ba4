#pragma once
// One event loop per thread that handles sockets: epoll (level-triggered) for fd
// readiness, an eventfd that wakes the loop for posted work, and a timer heap.

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <queue>
#include <thread>
#include <unordered_map>
#include <vector>
#include <atomic>
#include <mutex>

namespace tq {

// Milliseconds from a monotonic clock; wraps like a 32-bit counter.
uint32_t GetTickCount32();
inline bool TickReached(uint32_t now, uint32_t deadline) { return int32_t(now - deadline) >= 0; }

using TimerId = uint64_t;

class TEventLoop {
public:
    TEventLoop();
    ~TEventLoop();
    TEventLoop(const TEventLoop&) = delete;
    TEventLoop& operator=(const TEventLoop&) = delete;

    // From any thread; runs on the loop thread, in the order posted.
    void Post(std::function<void()> fn);
    // Loop thread only. A repeating timer fires every ms until cancelled.
    TimerId AddTimer(uint32_t ms, std::function<void()> fn, bool repeat = false);
    void CancelTimer(TimerId id);

    // Runs until Quit(); work already posted when the quit is seen still runs.
    void Run();
    void Quit();  // from any thread
    bool Quitting() const;

    // Re-entrant pumping: runs events (posts, timers, fd events) until pred() is true,
    // the time-out passes or Quit() was called; returns pred().
    bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

    // True on the thread that runs (or last ran) the loop; before any run, on the
    // thread that created it.
    bool IsLoopThread() const;

    // fd readiness, level-triggered (EPOLLIN / EPOLLOUT masks). The callback gets the
    // reported events; EPOLLERR and EPOLLHUP come even when not asked for.
    void WatchFd(int fd, uint32_t events, std::function<void(uint32_t revents)> cb);
    void ModifyFd(int fd, uint32_t events);
    void UnwatchFd(int fd);

    // Shared handle for helper threads that may outlive the loop: posting through it
    // after the loop is gone does nothing.
    class TPoster;
    std::shared_ptr<TPoster> Poster() const { return poster_; }

private:
    friend class TWorkerThread;  // names its thread as the loop thread before it runs

    struct TTimer {
        std::shared_ptr<std::function<void()>> fn;
        uint32_t interval = 0;
        bool repeat = false;
        std::chrono::steady_clock::time_point due;
    };
    struct TDue {
        std::chrono::steady_clock::time_point due;
        TimerId id;
        bool operator>(const TDue& o) const { return due > o.due || (due == o.due && id > o.id); }
    };
    struct TWatch {
        std::shared_ptr<std::function<void(uint32_t)>> cb;
        uint32_t generation = 0;
    };

    // One pass: waits at most timeoutMs (-1: until something happens), then runs what is due.
    void RunOnce(int timeoutMs);
    void RunPosted();
    void RunTimers();
    int MsToNextTimer() const;

    int epfd_ = -1;
    std::shared_ptr<TPoster> poster_;
    std::deque<std::function<void()>> ready_;  // taken from the poster, loop thread only
    std::atomic<bool> quit_{false};
    std::atomic<std::thread::id> owner_;
    TimerId nextTimer_ = 1;
    std::unordered_map<TimerId, TTimer> timers_;
    std::priority_queue<TDue, std::vector<TDue>, std::greater<TDue>> dueHeap_;
    std::unordered_map<int, TWatch> watches_;
    uint32_t nextGeneration_ = 1;
};

class TEventLoop::TPoster {
public:
    explicit TPoster(int efd) : efd_(efd) {}
    // False when the loop is gone; fn is then dropped.
    bool Post(std::function<void()> fn);
private:
    friend class TEventLoop;
    std::mutex mu_;
    std::vector<std::function<void()>> queue_;
    int efd_;
    bool closed_ = false;
};

} // namespace tq
