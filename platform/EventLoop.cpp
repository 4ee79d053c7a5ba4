#include "platform/EventLoop.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace tq {

namespace {

using TClock = std::chrono::steady_clock;

[[noreturn]] void ThrowErrno(const char* what)
{
    throw std::runtime_error(std::string(what) + ": " + std::strerror(errno));
}

// epoll data: the fd in the low half, the watch generation in the high half, so an
// event for an fd that was closed and reused within one batch is recognised as stale.
uint64_t PackKey(int fd, uint32_t generation) { return (uint64_t(generation) << 32) | uint32_t(fd); }

constexpr int kMaxEvents = 64;

} // namespace

uint32_t GetTickCount32()
{
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now().time_since_epoch());
    return uint32_t(uint64_t(ms.count()));
}

bool TEventLoop::TPoster::Post(std::function<void()> fn)
{
    bool wake;
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (closed_)
            return false;
        wake = queue_.empty();
        queue_.push_back(std::move(fn));
        if (wake) {
            uint64_t one = 1;
            // A full counter still leaves the fd readable, which is all that matters.
            [[maybe_unused]] ssize_t n = write(efd_, &one, sizeof one);
        }
    }
    return true;
}

TEventLoop::TEventLoop()
    : owner_(std::this_thread::get_id())
{
    epfd_ = epoll_create1(EPOLL_CLOEXEC);
    if (epfd_ < 0)
        ThrowErrno("epoll_create1");
    int efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (efd < 0) {
        close(epfd_);
        ThrowErrno("eventfd");
    }
    poster_ = std::make_shared<TPoster>(efd);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = PackKey(efd, 0);
    if (epoll_ctl(epfd_, EPOLL_CTL_ADD, efd, &ev) < 0) {
        close(efd);
        close(epfd_);
        ThrowErrno("epoll_ctl");
    }
}

TEventLoop::~TEventLoop()
{
    std::vector<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(poster_->mu_);
        poster_->closed_ = true;
        dropped.swap(poster_->queue_);
        close(poster_->efd_);
        poster_->efd_ = -1;
    }
    dropped.clear();
    ready_.clear();
    close(epfd_);
}

void TEventLoop::Post(std::function<void()> fn)
{
    poster_->Post(std::move(fn));
}

TimerId TEventLoop::AddTimer(uint32_t ms, std::function<void()> fn, bool repeat)
{
    TimerId id = nextTimer_++;
    TTimer t;
    t.fn = std::make_shared<std::function<void()>>(std::move(fn));
    t.interval = ms;
    t.repeat = repeat;
    t.due = TClock::now() + std::chrono::milliseconds(ms);
    dueHeap_.push(TDue{t.due, id});
    timers_.emplace(id, std::move(t));
    return id;
}

void TEventLoop::CancelTimer(TimerId id)
{
    // The heap entry stays and is skipped when it comes up.
    timers_.erase(id);
}

void TEventLoop::Run()
{
    owner_ = std::this_thread::get_id();
    while (!quit_)
        RunOnce(-1);
    RunPosted();
}

void TEventLoop::Quit()
{
    quit_ = true;
    poster_->Post([] {});
}

bool TEventLoop::Quitting() const { return quit_; }

bool TEventLoop::IsLoopThread() const { return owner_.load() == std::this_thread::get_id(); }

bool TEventLoop::PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    owner_ = std::this_thread::get_id();
    auto deadline = TClock::now() + timeout;
    while (!pred()) {
        if (quit_)
            return pred();
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
        if (left <= 0)
            return pred();
        // Round up so that a sub-millisecond remainder does not turn into a busy loop.
        RunOnce(int(std::min<long long>(left + 1, 1 << 30)));
    }
    return true;
}

int TEventLoop::MsToNextTimer() const
{
    if (dueHeap_.empty())
        return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(dueHeap_.top().due - TClock::now()).count();
    if (left <= 0)
        return 0;
    return int(std::min<long long>(left + 1, 1 << 30));
}

void TEventLoop::RunOnce(int timeoutMs)
{
    int wait = MsToNextTimer();
    if (wait < 0 || (timeoutMs >= 0 && timeoutMs < wait))
        wait = timeoutMs;
    if (!ready_.empty())
        wait = 0;
    epoll_event events[kMaxEvents];
    int n = epoll_wait(epfd_, events, kMaxEvents, wait);
    if (n < 0 && errno != EINTR)
        ThrowErrno("epoll_wait");
    for (int i = 0; i < n; ++i) {
        int fd = int(uint32_t(events[i].data.u64));
        uint32_t generation = uint32_t(events[i].data.u64 >> 32);
        if (generation == 0) {
            uint64_t count;
            [[maybe_unused]] ssize_t r = read(fd, &count, sizeof count);
            continue;
        }
        auto it = watches_.find(fd);
        if (it == watches_.end() || it->second.generation != generation)
            continue;  // unwatched (or replaced) by an earlier handler of this batch
        auto cb = it->second.cb;  // the handler may unwatch itself
        (*cb)(events[i].events);
    }
    RunTimers();
    RunPosted();
}

void TEventLoop::RunTimers()
{
    auto now = TClock::now();
    while (!dueHeap_.empty() && dueHeap_.top().due <= now) {
        TDue due = dueHeap_.top();
        dueHeap_.pop();
        auto it = timers_.find(due.id);
        if (it == timers_.end() || it->second.due != due.due)
            continue;  // cancelled
        auto fn = it->second.fn;
        if (it->second.repeat) {
            // Next time from now, so a loop that fell behind does not fire a burst.
            it->second.due = now + std::chrono::milliseconds(std::max<uint32_t>(it->second.interval, 1));
            dueHeap_.push(TDue{it->second.due, due.id});
        } else {
            timers_.erase(it);
        }
        (*fn)();
    }
}

void TEventLoop::RunPosted()
{
    {
        std::lock_guard<std::mutex> lock(poster_->mu_);
        for (auto& fn : poster_->queue_)
            ready_.push_back(std::move(fn));
        poster_->queue_.clear();
    }
    // Taken one at a time from a member queue: a posted function that pumps the loop
    // itself continues with the next ones, in order.
    size_t budget = ready_.size();
    while (budget-- > 0 && !ready_.empty()) {
        auto fn = std::move(ready_.front());
        ready_.pop_front();
        fn();
    }
}

void TEventLoop::WatchFd(int fd, uint32_t events, std::function<void(uint32_t)> cb)
{
    uint32_t generation = nextGeneration_++;
    if (nextGeneration_ == 0)
        nextGeneration_ = 1;  // 0 marks the wake-up fd
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = PackKey(fd, generation);
    auto it = watches_.find(fd);
    int op = it == watches_.end() ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
    if (epoll_ctl(epfd_, op, fd, &ev) < 0)
        ThrowErrno("epoll_ctl");
    watches_[fd] = TWatch{std::make_shared<std::function<void(uint32_t)>>(std::move(cb)), generation};
}

void TEventLoop::ModifyFd(int fd, uint32_t events)
{
    auto it = watches_.find(fd);
    if (it == watches_.end())
        return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = PackKey(fd, it->second.generation);
    if (epoll_ctl(epfd_, EPOLL_CTL_MOD, fd, &ev) < 0)
        ThrowErrno("epoll_ctl");
}

void TEventLoop::UnwatchFd(int fd)
{
    auto it = watches_.find(fd);
    if (it == watches_.end())
        return;
    epoll_ctl(epfd_, EPOLL_CTL_DEL, fd, nullptr);
    watches_.erase(it);
}

} // namespace tq
