#include "core/RunLoop.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "core/Log.h"

namespace orvanta::core {

namespace detail {

using Clock = RunLoop::Clock;
// Timers are ordered by due time, then by creation order.
using TimerKey = std::pair<Clock::time_point, uint64_t>;

struct TimerState {
    std::weak_ptr<RunLoopCore> core;
    std::atomic<bool> valid{true};
    bool repeating = false;
    Clock::duration interval{};
    // Guarded by the core's mutex.
    bool scheduled = false;
    TimerKey key{};
};

struct TimerEntry {
    std::shared_ptr<TimerState> state;
    std::function<void()> fn;
};

struct RunLoopCore {
    mutable std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::function<void()>> tasks;
    std::map<TimerKey, TimerEntry> timers;
    uint64_t nextTimerId = 0;
    bool stopRequested = false;
    bool shutDown = false;
    std::function<void()> wakeUpHandler;
    std::atomic<std::thread::id> loopThread{std::this_thread::get_id()};
};

namespace {

void invalidateTimer(const std::shared_ptr<TimerState>& state) {
    state->valid = false;
    auto core = state->core.lock();
    if (!core) return;
    std::function<void()> doomed;  // released after the lock, its captures may reach the loop
    std::lock_guard lock(core->mutex);
    if (state->scheduled) {
        auto it = core->timers.find(state->key);
        if (it != core->timers.end()) {
            doomed = std::move(it->second.fn);
            core->timers.erase(it);
        }
        state->scheduled = false;
    }
}

// A task or timer that throws must not take the loop down with it.
void runGuarded(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& e) {
        logf("Exception: %s", e.what());
    } catch (...) {
        logf("Exception: %s", "unknown exception");
    }
}

// What a thread blocked in postAndWait waits for.
struct WaitState {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    bool ran = false;
    std::exception_ptr error;

    void finish(bool didRun, std::exception_ptr e) {
        {
            std::lock_guard lock(mutex);
            if (done) return;
            done = true;
            ran = didRun;
            error = std::move(e);
        }
        cv.notify_all();
    }
};

// Travels with the queued task; when the task is dropped without running (shutdown), its destruction
// releases the waiter.
struct WaitGuard {
    std::shared_ptr<WaitState> state;
    explicit WaitGuard(std::shared_ptr<WaitState> s) : state(std::move(s)) {}
    WaitGuard(const WaitGuard&) = delete;
    WaitGuard& operator=(const WaitGuard&) = delete;
    ~WaitGuard() { state->finish(false, nullptr); }
};

}  // namespace
}  // namespace detail

using detail::RunLoopCore;
using detail::TimerState;

// ---- TimerHandle

TimerHandle::TimerHandle(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}

TimerHandle::TimerHandle(TimerHandle&& other) noexcept : state_(std::move(other.state_)) {}

TimerHandle& TimerHandle::operator=(TimerHandle&& other) noexcept {
    if (this != &other) {
        invalidate();
        state_ = std::move(other.state_);
    }
    return *this;
}

TimerHandle::~TimerHandle() { invalidate(); }

void TimerHandle::invalidate() {
    if (state_) detail::invalidateTimer(state_);
}

bool TimerHandle::isValid() const { return state_ && state_->valid; }

// ---- RunLoop

RunLoop::RunLoop() : core_(std::make_shared<RunLoopCore>()) {}

RunLoop::~RunLoop() { shutdown(); }

RunLoop& RunLoop::main() {
    static RunLoop loop;
    return loop;
}

bool RunLoop::isLoopThread() const { return core_->loopThread.load() == std::this_thread::get_id(); }

bool RunLoop::isShutDown() const {
    std::lock_guard lock(core_->mutex);
    return core_->shutDown;
}

void RunLoop::wakeUp() {
    std::function<void()> handler;
    {
        std::lock_guard lock(core_->mutex);
        handler = core_->wakeUpHandler;
    }
    core_->cv.notify_all();
    if (handler) handler();
}

void RunLoop::setWakeUpHandler(std::function<void()> handler) {
    std::lock_guard lock(core_->mutex);
    core_->wakeUpHandler = std::move(handler);
}

void RunLoop::post(std::function<void()> task) {
    if (!task) return;
    {
        std::lock_guard lock(core_->mutex);
        if (core_->shutDown) return;
        core_->tasks.push_back(std::move(task));
    }
    wakeUp();
}

bool RunLoop::postAndWait(std::function<void()> task) {
    if (!task) return false;
    if (isShutDown()) return false;
    if (isLoopThread()) {
        task();
        return true;
    }
    auto state = std::make_shared<detail::WaitState>();
    post([guard = std::make_shared<detail::WaitGuard>(state), task = std::move(task)] {
        try {
            task();
            guard->state->finish(true, nullptr);
        } catch (...) {
            guard->state->finish(true, std::current_exception());
        }
    });
    std::unique_lock lock(state->mutex);
    state->cv.wait(lock, [&] { return state->done; });
    if (state->error) std::rethrow_exception(state->error);
    return state->ran;
}

std::shared_ptr<TimerState> RunLoop::addTimer(Interval interval, bool repeating, std::function<void()> fn) {
    auto state = std::make_shared<TimerState>();
    state->core = core_;
    state->repeating = repeating;
    auto span = std::chrono::ceil<Clock::duration>(std::max(interval, Interval::zero()));
    // A repeating timer with no interval would spin the loop.
    if (repeating) span = std::max<Clock::duration>(span, std::chrono::microseconds(100));
    state->interval = span;
    if (!fn) {
        state->valid = false;
        return state;
    }
    {
        std::lock_guard lock(core_->mutex);
        if (core_->shutDown) {
            state->valid = false;
            return state;
        }
        state->key = {Clock::now() + span, core_->nextTimerId++};
        state->scheduled = true;
        core_->timers.emplace(state->key, detail::TimerEntry{state, std::move(fn)});
    }
    wakeUp();
    return state;
}

TimerHandle RunLoop::schedule(Interval interval, bool repeating, std::function<void()> fn) {
    return TimerHandle(addTimer(interval, repeating, std::move(fn)));
}

void RunLoop::performAfterDelay(Interval delay, std::function<void()> fn) {
    addTimer(delay, false, std::move(fn));
}

std::optional<RunLoop::Clock::time_point> RunLoop::processPending() {
    auto& core = *core_;
    core.loopThread = std::this_thread::get_id();

    // Only the tasks queued so far: tasks they post wait for the next pass, so timers are not starved.
    size_t count;
    {
        std::lock_guard lock(core.mutex);
        if (core.shutDown) return std::nullopt;
        count = core.tasks.size();
    }
    for (size_t i = 0; i < count; ++i) {
        std::function<void()> task;
        {
            std::lock_guard lock(core.mutex);
            if (core.tasks.empty()) break;
            task = std::move(core.tasks.front());
            core.tasks.pop_front();
        }
        detail::runGuarded(task);
    }

    const auto now = Clock::now();
    for (;;) {
        detail::TimerEntry entry;
        detail::TimerKey key;
        bool fire;
        {
            std::lock_guard lock(core.mutex);
            if (core.shutDown || core.timers.empty() || core.timers.begin()->first.first > now) break;
            auto node = core.timers.extract(core.timers.begin());
            key = node.key();
            entry = std::move(node.mapped());
            entry.state->scheduled = false;
            fire = entry.state->repeating ? entry.state->valid.load() : entry.state->valid.exchange(false);
        }
        if (fire) detail::runGuarded(entry.fn);
        if (entry.state->repeating) {
            std::lock_guard lock(core.mutex);
            auto& state = *entry.state;
            if (!core.shutDown && state.valid && !state.scheduled) {
                const auto after = Clock::now();
                auto next = key.first + state.interval;
                if (next <= after) next = after + state.interval;
                state.key = {next, key.second};
                state.scheduled = true;
                core.timers.emplace(state.key, std::move(entry));
            }
        }
        // A timer that is not rescheduled releases its function here, outside the lock.
    }

    std::lock_guard lock(core.mutex);
    if (core.shutDown) return std::nullopt;
    if (!core.tasks.empty()) return Clock::now();
    if (core.timers.empty()) return std::nullopt;
    return core.timers.begin()->first.first;
}

void RunLoop::run() {
    auto& core = *core_;
    for (;;) {
        processPending();
        std::unique_lock lock(core.mutex);
        if (core.stopRequested || core.shutDown) {
            core.stopRequested = false;
            return;
        }
        if (!core.tasks.empty()) continue;
        if (core.timers.empty())
            core.cv.wait(lock);
        else
            core.cv.wait_until(lock, core.timers.begin()->first.first);
    }
}

bool RunLoop::runUntil(std::function<bool()> done, std::chrono::milliseconds timeout) {
    auto& core = *core_;
    const auto deadline = Clock::now() + timeout;
    // done() may watch state that changes without a post, so it is polled at least this often.
    constexpr auto kPoll = std::chrono::milliseconds(10);
    for (;;) {
        processPending();
        if (done()) return true;
        {
            std::unique_lock lock(core.mutex);
            const auto now = Clock::now();
            if (core.stopRequested || core.shutDown || now >= deadline) {
                core.stopRequested = false;
            } else {
                if (!core.tasks.empty()) continue;
                auto wake = std::min(deadline, now + kPoll);
                if (!core.timers.empty()) wake = std::min(wake, core.timers.begin()->first.first);
                core.cv.wait_until(lock, wake);
                continue;
            }
        }
        return done();
    }
}

void RunLoop::stop() {
    {
        std::lock_guard lock(core_->mutex);
        core_->stopRequested = true;
    }
    core_->cv.notify_all();
}

void RunLoop::shutdown() {
    std::deque<std::function<void()>> tasks;
    std::map<detail::TimerKey, detail::TimerEntry> timers;
    {
        std::lock_guard lock(core_->mutex);
        core_->shutDown = true;
        core_->stopRequested = true;
        tasks.swap(core_->tasks);
        timers.swap(core_->timers);
        for (auto& [key, entry] : timers) {
            entry.state->valid = false;
            entry.state->scheduled = false;
        }
    }
    core_->cv.notify_all();
    // The dropped tasks and timers are destroyed here, outside the lock; that releases postAndWait callers.
}

}  // namespace orvanta::core
