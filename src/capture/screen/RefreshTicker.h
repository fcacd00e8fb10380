#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace orvanta::capture {

// A thread of its own that calls a function once per display refresh, at the given rate, until
// stopped. A call that runs late does not make the following ones pile up: missed refreshes are
// left out.
class RefreshTicker {
public:
    // Starts ticking at once (the first call comes right away).
    RefreshTicker(double ratePerSecond, std::function<void()> tick);
    // Stops and waits for the thread. Must not be destroyed from inside its own tick.
    ~RefreshTicker();
    RefreshTicker(const RefreshTicker&) = delete;
    RefreshTicker& operator=(const RefreshTicker&) = delete;

    // No tick starts after this returns. From another thread it also waits for a running tick to
    // end; from inside a tick it only asks the thread to end after it.
    void stop();
    double rate() const { return rate_; }

private:
    void run();

    const double rate_;
    std::function<void()> tick_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace orvanta::capture
