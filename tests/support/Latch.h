#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace orvanta::test {

// How long tests wait for something another thread does: only ever reached when something is broken.
inline constexpr std::chrono::milliseconds kGenerous{5000};

// A one-way signal between threads: once set, it stays set and every wait returns at once.
class Latch {
public:
    void set() {
        {
            std::lock_guard lock(mutex_);
            set_ = true;
        }
        cv_.notify_all();
    }

    // Waits until set; false when timeout passes first.
    bool wait(std::chrono::milliseconds timeout = kGenerous) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [this] { return set_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool set_ = false;
};

}  // namespace orvanta::test
