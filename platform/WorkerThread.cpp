#include "platform/WorkerThread.h"

namespace tq {

TWorkerThread::TWorkerThread()
    : loop_(std::make_unique<TEventLoop>())
{
}

TWorkerThread::~TWorkerThread()
{
    Stop();
    Join();
}

void TWorkerThread::Start()
{
    if (thread_.joinable())
        return;
    thread_ = std::thread([this] { loop_->Run(); });
    loop_->owner_ = thread_.get_id();
}

void TWorkerThread::Stop()
{
    loop_->Quit();
}

void TWorkerThread::Join()
{
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
}

} // namespace tq
