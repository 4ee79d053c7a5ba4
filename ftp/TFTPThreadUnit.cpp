#include "ftp/TFTPThreadUnit.h"

namespace tq {

TFTPThread::~TFTPThread() {
    Stop();
    Join();
}

void TFTPThread::Start() {
    if (FThread.joinable()) return;
    FLoop = std::make_unique<TEventLoop>();
    FThread = std::thread([this] { Body(); });
}

void TFTPThread::Resume() {
    std::lock_guard<std::mutex> lock(FMutex);
    FResumed = true;
    FWake.notify_all();
}

void TFTPThread::Stop() {
    StopRequested = true;
    if (FLoop) FLoop->Quit();
    std::lock_guard<std::mutex> lock(FMutex);
    FWake.notify_all();
}

void TFTPThread::Join() {
    if (FThread.joinable() && FThread.get_id() != std::this_thread::get_id()) FThread.join();
}

void TFTPThread::Body() {
    while (!StopRequested) {
        int r = 0;
        if (OnWork) {
            try {
                r = OnWork();
            } catch (const std::exception&) {
                r = 0;   // a failing pass does not end the thread
            }
        }
        if (StopRequested) break;
        if (r == 1) {
            std::unique_lock<std::mutex> lock(FMutex);
            FParked = true;
            FWake.wait(lock, [this] { return FResumed || StopRequested.load(); });
            FResumed = false;
            FParked = false;
        } else {
            // Let the loop's pending events run between passes.
            FLoop->PumpUntil([this] { return StopRequested.load(); }, std::chrono::milliseconds(10));
        }
    }
    FFinished = true;
}

} // namespace tq
