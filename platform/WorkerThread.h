#pragma once
// A std::thread running its own event loop. Objects that live on the worker are
// created, used and destroyed there; other threads reach them by posting.

#include "platform/EventLoop.h"

#include <memory>
#include <thread>

namespace tq {

class TWorkerThread {
public:
    TWorkerThread();
    ~TWorkerThread();  // stops and joins
    TWorkerThread(const TWorkerThread&) = delete;
    TWorkerThread& operator=(const TWorkerThread&) = delete;

    void Start();
    TEventLoop& Loop() { return *loop_; }
    void Post(std::function<void()> fn) { loop_->Post(std::move(fn)); }
    void Stop();  // quits the loop; work posted before still runs
    void Join();

private:
    std::unique_ptr<TEventLoop> loop_;
    std::thread thread_;
};

} // namespace tq
