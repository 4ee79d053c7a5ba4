#pragma once
// The worker thread of an FTP session driver: it runs its own event loop (on which
// the driver's client and sockets live) and calls OnWork pass after pass. OnWork
// returning 1 parks the thread until Resume or a stop.

#include "platform/EventLoop.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace tq {

class TFTPThread {
public:
    TFTPThread() = default;
    ~TFTPThread();  // requests a stop and joins
    TFTPThread(const TFTPThread&) = delete;
    TFTPThread& operator=(const TFTPThread&) = delete;

    // Runs on the thread. Its result 1 parks the thread.
    std::function<int()> OnWork;
    std::atomic<bool> StopRequested{false};

    void Start();
    void Resume();
    // Cooperative: the current pass ends, waits that pump the loop end, the thread ends.
    void Stop();
    void Join();
    bool Parked() const { return FParked.load(); }
    bool Finished() const { return FFinished.load(); }
    // The thread's loop; valid from Start on (created before the first pass).
    TEventLoop* Loop() const { return FLoop.get(); }

private:
    void Body();

    std::unique_ptr<TEventLoop> FLoop;
    std::thread FThread;
    std::mutex FMutex;
    std::condition_variable FWake;
    bool FResumed = false;
    std::atomic<bool> FParked{false};
    std::atomic<bool> FFinished{false};
};

} // namespace tq
