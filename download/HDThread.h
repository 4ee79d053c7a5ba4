#pragma once
// The worker thread of one download job: its event loop runs the job's connections
// and calls the job's pass every 50 ms until the pass reports the job over.

#include "platform/WorkerThread.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace tq {

// What a pass returns when the job is over and the thread should end.
constexpr int kPassThreadEnd = 111;
constexpr uint32_t kPassIntervalMs = 50;

class THDThread {
public:
    explicit THDThread(std::function<int()> pass);
    ~THDThread();  // quits and joins
    THDThread(const THDThread&) = delete;
    THDThread& operator=(const THDThread&) = delete;

    void Start();
    TEventLoop& Loop() { return worker_.Loop(); }
    // From any thread; runs on the worker.
    void Post(std::function<void()> fn) { worker_.Post(std::move(fn)); }
    // On the worker: runs a pass as soon as the current event is handled instead of at
    // the next tick (a connection fell idle, others may start); several calls before
    // it runs give one pass.
    void PassSoon();
    // True once a pass returned kPassThreadEnd (the loop then quits).
    bool WaitEnded(std::chrono::milliseconds timeout);
    bool Ended() const;
    void Join() { worker_.Join(); }

private:
    void RunPass();  // on the worker

    std::function<int()> pass_;
    TimerId timer_ = 0;        // worker only
    bool passPosted_ = false;  // worker only
    bool over_ = false;        // worker only: a pass ended the run
    TWorkerThread worker_;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool ended_ = false;
    bool started_ = false;
};

} // namespace tq
