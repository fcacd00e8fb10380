#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "core/RunLoop.h"

namespace orvanta::upload {

// Hands a report of a background operation to its delegate on the main thread.
//
// On the loop thread the delegate is called at once. From any other thread the call is queued on
// the loop, behind the reports made before it, and not waited for; the operation is kept alive
// until it has run. When it runs, the report is dropped unless the operation still has the same
// delegate: a delegate detaches itself (setDelegate(nullptr)) before it goes away, so a report still
// queued then never reaches it.
template <typename Operation, typename Delegate>
void deliverReport(core::RunLoop& loop, const std::shared_ptr<Operation>& op, Delegate* delegate,
                   std::function<void(Delegate&)> call) {
    if (loop.isLoopThread()) {
        call(*delegate);
        return;
    }
    loop.post([op, delegate, call = std::move(call)] {
        if (op->delegate() == delegate) call(*delegate);
    });
}

// How often a wait looks at the operation's cancel flag: Operation::cancel() wakes nobody, so a
// waiting operation notices it at the latest this long after.
inline constexpr std::chrono::milliseconds kCancelCheckInterval{20};

// Waits on cv until done() is true or the time has passed, looking at done() at least every
// kCancelCheckInterval. Returns done().
template <typename Predicate>
bool waitUntilDone(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                   std::chrono::duration<double> duration, Predicate done) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(duration);
    while (!done()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        cv.wait_until(lock, std::min(deadline, now + kCancelCheckInterval));
    }
    return true;
}

}  // namespace orvanta::upload
