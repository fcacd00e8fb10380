#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace orvanta::core {

namespace detail {
struct RunLoopCore;
struct TimerState;
}  // namespace detail

// Keeps a scheduled timer alive. Destroying the handle (or calling invalidate) cancels the timer; a
// one-shot timer becomes invalid once it has fired. Move-only.
class TimerHandle {
public:
    TimerHandle() = default;
    TimerHandle(TimerHandle&& other) noexcept;
    TimerHandle& operator=(TimerHandle&& other) noexcept;
    TimerHandle(const TimerHandle&) = delete;
    TimerHandle& operator=(const TimerHandle&) = delete;
    ~TimerHandle();

    // Stops the timer from firing again. Safe from any thread, also from inside the timer's own
    // function and after the loop has gone away.
    void invalidate();
    bool isValid() const;

private:
    friend class RunLoop;
    explicit TimerHandle(std::shared_ptr<detail::TimerState> state);
    std::shared_ptr<detail::TimerState> state_;
};

// The application's main thread: a FIFO of tasks plus timers, run by one thread at a time.
//
// Either run()/runUntil() drive the loop directly (the command line, tests), or an outside event loop
// drives it: it installs a wake-up handler and calls processPending() whenever woken or when the time
// processPending() returned comes.
//
// Lifetime: stop() only makes run() return; tasks still queued stay queued for the next run. shutdown()
// (also done by the destructor) ends the loop for good: queued tasks and timers are dropped, threads
// blocked in postAndWait() are released, and later posts are ignored. A loop must not be destroyed
// while a thread is inside run() or processPending().
class RunLoop {
public:
    using Clock = std::chrono::steady_clock;
    using Interval = std::chrono::duration<double>;

    // The constructing thread counts as the loop thread until some thread runs the loop.
    RunLoop();
    ~RunLoop();
    RunLoop(const RunLoop&) = delete;
    RunLoop& operator=(const RunLoop&) = delete;

    // The process's main loop, created on first use; call it first from the main thread.
    static RunLoop& main();

    // Runs tasks and timers on the calling thread until stop() or shutdown(). A stop() requested
    // while the loop was not running makes the next run() return after one pass.
    void run();
    // Runs until done() is true, stop() is called or the timeout passes; returns done().
    bool runUntil(std::function<bool()> done, std::chrono::milliseconds timeout);
    // Makes run()/runUntil() return. Any thread.
    void stop();
    // Ends the loop for good (see above). Any thread.
    void shutdown();
    bool isShutDown() const;

    // True on the thread that last ran the loop (or constructed it, before any run).
    bool isLoopThread() const;

    // Queues a task; tasks run in the order posted. Any thread. Ignored after shutdown().
    void post(std::function<void()> task);
    // Runs the task on the loop thread and waits for it: inline when called on the loop thread,
    // otherwise queued behind earlier tasks. An exception thrown by the task is rethrown here.
    // Returns false without running the task when the loop was shut down before it could run.
    bool postAndWait(std::function<void()> task);

    // Calls fn after interval, and then every interval when repeating. A repeating timer that fires
    // late is next due one interval after it fired, so missed fires do not pile up.
    [[nodiscard]] TimerHandle schedule(Interval interval, bool repeating, std::function<void()> fn);
    // A one-shot timer nobody needs to cancel.
    void performAfterDelay(Interval delay, std::function<void()> fn);

    // For an outside event loop: called from any thread whenever a task is posted or a timer added.
    void setWakeUpHandler(std::function<void()> handler);
    // Runs the tasks queued so far and the timers that are due, on the calling thread (which becomes
    // the loop thread). Returns when it should be called again: now when tasks are waiting, the time
    // the next timer is due, or nothing when there is no work at all.
    std::optional<Clock::time_point> processPending();

private:
    std::shared_ptr<detail::TimerState> addTimer(Interval interval, bool repeating, std::function<void()> fn);
    void wakeUp();

    std::shared_ptr<detail::RunLoopCore> core_;
};

}  // namespace orvanta::core
