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
        timer_ = worker_.Loop().AddTimer(kPassIntervalMs, [this] { RunPass(); }, true);
        RunPass();  // the first pass at once: the job starts connecting now
    });
}

void THDThread::PassSoon()
{
    if (passPosted_ || over_)
        return;
    passPosted_ = true;
    worker_.Loop().Post([this] {
        passPosted_ = false;
        RunPass();
    });
}

void THDThread::RunPass()
{
    if (over_ || pass_() != kPassThreadEnd)
        return;
    over_ = true;
    worker_.Loop().CancelTimer(timer_);
    worker_.Stop();
    {
        std::lock_guard<std::mutex> g(mu_);
        ended_ = true;
    }
    cv_.notify_all();
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
