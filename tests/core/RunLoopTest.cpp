#include "core/RunLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/Latch.h"
#include "support/LogCapture.h"

using namespace orvanta::core;
using namespace std::chrono_literals;

namespace {

using orvanta::test::kGenerous;
using orvanta::test::Latch;
using orvanta::test::LogCapture;

TEST(RunLoopTest, MainLoopIsOneInstance) { EXPECT_EQ(&RunLoop::main(), &RunLoop::main()); }

TEST(RunLoopTest, TasksFromSeveralThreadsKeepEachThreadsOrder) {
    RunLoop loop;
    static constexpr int kThreads = 4, kPerThread = 300;
    std::vector<std::pair<int, int>> seen;  // touched only on the loop thread
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t)
        posters.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) loop.post([&seen, t, i] { seen.emplace_back(t, i); });
        });
    // The loop thread's own posts interleave with the others and keep their order too.
    for (int i = 0; i < kPerThread; ++i) loop.post([&seen, i] { seen.emplace_back(kThreads, i); });

    EXPECT_TRUE(loop.runUntil([&] { return seen.size() == (kThreads + 1) * kPerThread; }, kGenerous));
    for (auto& poster : posters) poster.join();

    std::vector<int> next(kThreads + 1, 0);
    for (const auto& [thread, index] : seen) EXPECT_EQ(index, next[thread]++) << "thread " << thread;
}

TEST(RunLoopTest, LoopThreadIsTheConstructorUntilAnotherThreadRunsIt) {
    RunLoop loop;
    EXPECT_TRUE(loop.isLoopThread());
    bool otherThreadBefore = true, otherThreadWhileRunning = false;
    std::thread([&] { otherThreadBefore = loop.isLoopThread(); }).join();
    EXPECT_FALSE(otherThreadBefore);

    std::thread runner([&] {
        loop.post([&] {
            otherThreadWhileRunning = loop.isLoopThread();
            loop.stop();
        });
        loop.run();
    });
    runner.join();
    EXPECT_TRUE(otherThreadWhileRunning);
    EXPECT_FALSE(loop.isLoopThread());
}

TEST(RunLoopTest, StopFromAnotherThreadEndsAnIdleRun) {
    RunLoop loop;
    Latch running;
    std::thread runner([&] {
        loop.post([&] { running.set(); });
        loop.run();
    });
    ASSERT_TRUE(running.wait());
    loop.stop();  // the loop is asleep with no work and no timers
    runner.join();
}

TEST(RunLoopTest, StopLeavesQueuedTasksForTheNextRun) {
    RunLoop loop;
    std::vector<int> order;
    loop.post([&] { order.push_back(1); });
    loop.post([&] {
        order.push_back(2);
        loop.stop();
        loop.post([&] { order.push_back(3); });
    });
    loop.run();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_TRUE(loop.runUntil([&] { return order.size() == 3; }, kGenerous));
}

TEST(RunLoopTest, RunUntilReportsTimeoutAndStop) {
    RunLoop loop;
    EXPECT_FALSE(loop.runUntil([] { return false; }, 20ms));
    loop.post([&] { loop.stop(); });
    EXPECT_FALSE(loop.runUntil([] { return false; }, kGenerous));  // returns on stop, long before the timeout
}

TEST(RunLoopTest, PostAndWaitRunsOnTheLoopThreadAndReturnsAfterIt) {
    RunLoop loop;
    std::atomic<bool> done{false};
    bool ranOnLoopThread = false, resultVisible = false, returned = false;
    std::thread worker([&] {
        int value = 0;
        returned = loop.postAndWait([&] {
            ranOnLoopThread = loop.isLoopThread();
            value = 42;
        });
        resultVisible = value == 42;
        done = true;
    });
    EXPECT_TRUE(loop.runUntil([&] { return done.load(); }, kGenerous));
    worker.join();
    EXPECT_TRUE(returned);
    EXPECT_TRUE(ranOnLoopThread);
    EXPECT_TRUE(resultVisible);
}

TEST(RunLoopTest, PostAndWaitOnTheLoopThreadRunsInline) {
    RunLoop loop;
    std::vector<std::string> order;
    loop.post([&] {
        order.push_back("outer begins");
        EXPECT_TRUE(loop.postAndWait([&] { order.push_back("inline"); }));
        order.push_back("outer ends");
    });
    loop.post([&] { order.push_back("next task"); });
    EXPECT_TRUE(loop.runUntil([&] { return order.size() == 4; }, kGenerous));
    EXPECT_EQ(order, (std::vector<std::string>{"outer begins", "inline", "outer ends", "next task"}));

    // Before any run the constructing thread is the loop thread, so this does not block.
    RunLoop fresh;
    bool ran = false;
    EXPECT_TRUE(fresh.postAndWait([&] { ran = true; }));
    EXPECT_TRUE(ran);
}

TEST(RunLoopTest, ExceptionsReachThePostAndWaitCallerOrAreLogged) {
    RunLoop loop;
    LogCapture log;

    EXPECT_THROW(loop.postAndWait([] { throw std::runtime_error("inline failure"); }), std::runtime_error);

    std::atomic<bool> done{false};
    std::string caught;
    std::thread worker([&] {
        try {
            loop.postAndWait([] { throw std::runtime_error("queued failure"); });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        done = true;
    });
    EXPECT_TRUE(loop.runUntil([&] { return done.load(); }, kGenerous));
    worker.join();
    EXPECT_EQ(caught, "queued failure");

    // A plain task that throws is logged and the loop goes on.
    bool afterwards = false;
    loop.post([] { throw std::runtime_error("posted failure"); });
    loop.post([&] { afterwards = true; });
    EXPECT_TRUE(loop.runUntil([&] { return afterwards; }, kGenerous));
    EXPECT_TRUE(log.contains("Exception: posted failure"));
}

// A thread waiting in postAndWait on a loop that will never run its task must be let go, whether the
// loop is shut down or destroyed.
TEST(RunLoopTest, EndingTheLoopReleasesPostAndWaitCallers) {
    for (bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroyed" : "shut down");
        auto loop = std::make_unique<RunLoop>();
        Latch queued;
        loop->setWakeUpHandler([&] { queued.set(); });
        std::atomic<bool> ran{false};
        bool returned = true;
        std::thread worker([&] { returned = loop->postAndWait([&] { ran = true; }); });
        ASSERT_TRUE(queued.wait());
        if (destroy) {
            loop.reset();
        } else {
            loop->shutdown();
        }
        worker.join();
        EXPECT_FALSE(returned);
        EXPECT_FALSE(ran);
        if (!destroy) {
            EXPECT_FALSE(loop->postAndWait([&] { ran = true; }));
            loop->post([&] { ran = true; });
            EXPECT_EQ(loop->processPending(), std::nullopt);
            EXPECT_FALSE(ran);
        }
    }
}

TEST(RunLoopTest, TimersFireOnceOrRepeatInDueOrder) {
    RunLoop loop;
    std::vector<std::string> fired;
    auto late = loop.schedule(60ms, false, [&] { fired.push_back("60ms"); });
    auto early = loop.schedule(20ms, false, [&] { fired.push_back("20ms"); });
    loop.performAfterDelay(40ms, [&] { fired.push_back("40ms"); });
    int ticks = 0;
    TimerHandle repeating;
    repeating = loop.schedule(5ms, true, [&] {
        if (++ticks == 3) repeating.invalidate();  // from inside its own function
    });
    EXPECT_TRUE(repeating.isValid());
    EXPECT_TRUE(early.isValid());

    EXPECT_TRUE(loop.runUntil([&] { return fired.size() == 3 && ticks >= 3; }, kGenerous));
    EXPECT_EQ(fired, (std::vector<std::string>{"20ms", "40ms", "60ms"}));
    EXPECT_EQ(ticks, 3);
    EXPECT_FALSE(repeating.isValid());
    EXPECT_FALSE(early.isValid()) << "a one-shot timer is spent once it fired";
    EXPECT_FALSE(late.isValid());
}

TEST(RunLoopTest, InvalidatedOrDroppedTimersNeverFire) {
    RunLoop loop;
    bool invalidatedFired = false, droppedFired = false, reassignedFired = false, sentinel = false;
    auto invalidated = loop.schedule(1ms, false, [&] { invalidatedFired = true; });
    invalidated.invalidate();
    EXPECT_FALSE(invalidated.isValid());
    { auto dropped = loop.schedule(1ms, true, [&] { droppedFired = true; }); }
    auto reassigned = loop.schedule(1ms, false, [&] { reassignedFired = true; });
    reassigned = TimerHandle();  // replacing a handle cancels its timer
    // Due after all of the above, so they would have fired first.
    loop.performAfterDelay(20ms, [&] { sentinel = true; });

    EXPECT_TRUE(loop.runUntil([&] { return sentinel; }, kGenerous));
    EXPECT_FALSE(invalidatedFired);
    EXPECT_FALSE(droppedFired);
    EXPECT_FALSE(reassignedFired);
}

TEST(RunLoopTest, TimerHandleMayOutliveItsLoop) {
    auto loop = std::make_unique<RunLoop>();
    auto captured = std::make_shared<int>(0);
    auto handle = loop->schedule(1h, true, [captured] {});
    EXPECT_EQ(captured.use_count(), 2);
    loop.reset();
    EXPECT_EQ(captured.use_count(), 1) << "the loop's end releases its timers' functions";
    EXPECT_FALSE(handle.isValid());
    std::thread([&] { handle.invalidate(); }).join();
}

TEST(RunLoopTest, LateRepeatingTimerFiresOnceAndIsRescheduledFromNow) {
    RunLoop loop;
    int ticks = 0;
    auto timer = loop.schedule(10ms, true, [&] { ++ticks; });
    std::this_thread::sleep_for(60ms);  // the loop misses several intervals
    const auto before = RunLoop::Clock::now();
    auto next = loop.processPending();
    EXPECT_EQ(ticks, 1);
    ASSERT_TRUE(next.has_value());
    EXPECT_GE(*next, before + 10ms);
}

TEST(RunLoopTest, OutsideDriverIsWokenAndToldWhenToCallAgain) {
    RunLoop loop;
    std::atomic<int> wakeUps{0};
    loop.setWakeUpHandler([&] { ++wakeUps; });
    EXPECT_EQ(loop.processPending(), std::nullopt) << "nothing to do";

    std::vector<int> order;
    std::thread([&] { loop.post([&] { order.push_back(1); }); }).join();
    EXPECT_EQ(wakeUps, 1);
    loop.post([&] {
        order.push_back(2);
        loop.post([&] { order.push_back(3); });  // waits for the next pass
    });
    auto next = loop.processPending();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    ASSERT_TRUE(next.has_value());
    EXPECT_LE(*next, RunLoop::Clock::now()) << "more tasks are waiting";
    EXPECT_EQ(loop.processPending(), std::nullopt);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    const int before = wakeUps;
    const auto scheduledAt = RunLoop::Clock::now();
    auto timer = loop.schedule(1h, false, [] {});
    EXPECT_EQ(wakeUps, before + 1);
    next = loop.processPending();
    ASSERT_TRUE(next.has_value());
    EXPECT_GE(*next, scheduledAt + 1h);
    EXPECT_LE(*next, RunLoop::Clock::now() + 1h);
    EXPECT_TRUE(loop.isLoopThread());
}

}  // namespace
