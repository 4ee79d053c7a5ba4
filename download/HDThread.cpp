#include "download/HDThread.h"

namespace tq {

THDThread::THDThread(std::function<int()> pass) : pass_(std::move(pass)) {}

THDThread::~THDThread()
{
    worker_.Stop();
    worker_.Join();
}

void THDThread::Start()
{
    if (started_)
        return;
    started_ = true;
    worker_.Start();
    worker_.Post([this] {
        auto timer = std::make_shared<TimerId>(0);
        *timer = worker_.Loop().AddTimer(kPassIntervalMs, [this, timer] {
            if (pass_() != kPassThreadEnd)
                return;
            worker_.Loop().CancelTimer(*timer);
            worker_.Stop();
            {
                std::lock_guard<std::mutex> g(mu_);
                ended_ = true;
            }
            cv_.notify_all();
        }, true);
    });
}

bool THDThread::WaitEnded(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> g(mu_);
    return cv_.wait_for(g, timeout, [this] { return ended_; });
}

bool THDThread::Ended() const
{
    std::lock_guard<std::mutex> g(mu_);
    return ended_;
}

} // namespace tq
