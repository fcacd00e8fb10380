#include "capture/screen/RefreshTicker.h"

#include <chrono>

namespace orvanta::capture {

RefreshTicker::RefreshTicker(double ratePerSecond, std::function<void()> tick)
    : rate_(ratePerSecond > 0 ? ratePerSecond : 60.0), tick_(std::move(tick)) {
    thread_ = std::thread([this] { run(); });
}

RefreshTicker::~RefreshTicker() { stop(); }

void RefreshTicker::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void RefreshTicker::run() {
    using Clock = std::chrono::steady_clock;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate_));
    auto next = Clock::now();
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (wake_.wait_until(lock, next, [this] { return stopping_; })) break;
        lock.unlock();
        tick_();
        lock.lock();
        next += period;
        // After a late tick the next one is due one period from now, not at once.
        const auto now = Clock::now();
        if (next < now) next = now + period;
    }
}

}  // namespace orvanta::capture
