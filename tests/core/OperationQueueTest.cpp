#include "core/Operation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/Error.h"
#include "support/Latch.h"
#include "support/LogCapture.h"

using namespace orvanta::core;
using namespace std::chrono_literals;

namespace {

using orvanta::test::kGenerous;
using orvanta::test::Latch;
using orvanta::test::LogCapture;

// Runs until cancelled, telling the test when it has started.
class UntilCancelled : public Operation {
public:
    void main() override {
        started.set();
        const auto deadline = std::chrono::steady_clock::now() + kGenerous;
        while (!isCancelled() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
        sawCancel = isCancelled();
    }
    Latch started;
    std::atomic<bool> sawCancel{false};
};

// Records, when it runs, whether all its dependencies had finished.
class Checked : public Operation {
public:
    explicit Checked(std::string n, std::shared_ptr<std::vector<std::string>> order, std::mutex& mutex)
        : order_(std::move(order)), mutex_(mutex) {
        name = std::move(n);
    }
    void main() override {
        const auto deps = dependencies();
        dependenciesDone = std::all_of(deps.begin(), deps.end(), [](const auto& d) { return d->isFinished(); });
        std::lock_guard lock(mutex_);
        order_->push_back(name);
    }
    std::atomic<bool> dependenciesDone{false};

private:
    std::shared_ptr<std::vector<std::string>> order_;
    std::mutex& mutex_;
};

TEST(OperationQueueTest, RunsEveryOperationAndWaitsForAll) {
    OperationQueue queue(3, "test.all");
    std::atomic<int> count{0};
    std::vector<std::shared_ptr<BlockOperation>> ops;
    for (int i = 0; i < 40; ++i) {
        ops.push_back(BlockOperation::create([&] { ++count; }));
        queue.addOperation(ops.back());
    }
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(count, 40);
    EXPECT_EQ(queue.operationCount(), 0u);
    EXPECT_TRUE(queue.operations().empty());
    for (const auto& op : ops) {
        EXPECT_TRUE(op->isFinished());
        EXPECT_FALSE(op->isExecuting());
        EXPECT_FALSE(op->isCancelled());
    }
    queue.waitUntilAllOperationsAreFinished();  // nothing left: returns at once
}

TEST(OperationQueueTest, DefaultConcurrencyIsProcessorsPlusOne) {
    const int processors = static_cast<int>(std::thread::hardware_concurrency());
    EXPECT_EQ(OperationQueue::defaultMaxConcurrent(), std::max(2, processors + 1));
    EXPECT_EQ(OperationQueue(0).maxConcurrentOperationCount(), OperationQueue::defaultMaxConcurrent());
    EXPECT_EQ(OperationQueue(3).maxConcurrentOperationCount(), 3);
}

// Operations start in waves of `max`: each waits until its whole wave has started. A queue that runs
// more at once shows a higher peak; one that runs fewer never completes a wave and shows a lower one.
TEST(OperationQueueTest, RunsAtMostMaxConcurrentAtOnce) {
    for (int max : {1, 2, 3, 5}) {
        SCOPED_TRACE("max " + std::to_string(max));
        std::mutex mutex;
        std::condition_variable cv;
        int current = 0, peak = 0, started = 0;
        const int total = max * 3;
        OperationQueue queue(max);
        for (int i = 0; i < total; ++i)
            queue.addOperation(BlockOperation::create([&] {
                std::unique_lock lock(mutex);
                peak = std::max(peak, ++current);
                const int waveEnd = (started++ / max + 1) * max;
                cv.notify_all();
                cv.wait_for(lock, kGenerous, [&] { return started >= waveEnd; });
                --current;
            }));
        queue.waitUntilAllOperationsAreFinished();
        EXPECT_EQ(peak, max);
        EXPECT_EQ(started, total);
    }
}

TEST(OperationQueueTest, DependenciesAcrossQueuesAreHonoured) {
    std::mutex mutex;
    auto order = std::make_shared<std::vector<std::string>>();
    auto make = [&](const char* name) { return std::make_shared<Checked>(name, order, mutex); };
    // first -> (left on A, right on B) -> joined on A -> last on B
    auto first = make("first"), left = make("left"), right = make("right"), joined = make("joined"),
         last = make("last");
    left->addDependency(first);
    right->addDependency(first);
    joined->addDependency(left);
    joined->addDependency(right);
    last->addDependency(joined);
    EXPECT_EQ(joined->dependencies(), (std::vector<std::shared_ptr<Operation>>{left, right}));

    Latch hold;
    auto blocker = BlockOperation::create([&] { hold.wait(); });
    first->addDependency(blocker);
    {
        OperationQueue a(4, "test.a"), b(4, "test.b");
        // Added dependents first, so a queue ignoring dependencies would run them first.
        b.addOperation(last);
        a.addOperation(joined);
        b.addOperation(right);
        a.addOperation(left);
        b.addOperation(first);
        a.addOperation(blocker);
        hold.set();
        a.waitUntilAllOperationsAreFinished();
        b.waitUntilAllOperationsAreFinished();
    }
    for (const auto& op : {first, left, right, joined, last}) {
        EXPECT_TRUE(op->isFinished()) << op->name;
        EXPECT_TRUE(op->dependenciesDone) << op->name << " started before its dependencies finished";
    }
    ASSERT_EQ(order->size(), 5u);
    EXPECT_EQ(order->front(), "first");
    EXPECT_EQ((*order)[3], "joined");
    EXPECT_EQ(order->back(), "last");
}

TEST(OperationQueueTest, WaitsForADependencyThatIsNeverQueued) {
    OperationQueue queue(1);
    std::mutex mutex;
    auto order = std::make_shared<std::vector<std::string>>();
    auto outside = std::make_shared<Checked>("outside", order, mutex);
    auto waiting = std::make_shared<Checked>("waiting", order, mutex);
    auto ready = std::make_shared<Checked>("ready", order, mutex);
    waiting->addDependency(outside);
    queue.addOperation(waiting);
    queue.addOperation(ready);

    // With a single worker, the ready operation gets past the waiting one.
    ready->waitUntilFinished();
    EXPECT_FALSE(waiting->isExecuting());
    EXPECT_FALSE(waiting->isFinished());

    outside->start();  // run by hand, on this thread
    EXPECT_TRUE(outside->isFinished());
    waiting->waitUntilFinished();
    EXPECT_TRUE(waiting->dependenciesDone);
    EXPECT_EQ(*order, (std::vector<std::string>{"ready", "outside", "waiting"}));
}

TEST(OperationQueueTest, CancelledBeforeStartSkipsMainButFinishes) {
    OperationQueue queue(1);
    Latch hold;
    auto blocker = BlockOperation::create([&] { hold.wait(); });
    bool mainRan = false;
    std::atomic<bool> completionSawFinished{false};
    auto cancelled = BlockOperation::create([&] { mainRan = true; });
    cancelled->setCompletionBlock([&] { completionSawFinished = cancelled->isFinished(); });
    // Waits on something that never finishes; cancelling must release it anyway.
    auto orphanDependent = BlockOperation::create([&] { mainRan = true; });
    orphanDependent->addDependency(BlockOperation::create([] {}));

    queue.addOperation(blocker);
    queue.addOperation(cancelled);
    queue.addOperation(orphanDependent);
    cancelled->cancel();
    orphanDependent->cancel();
    hold.set();
    queue.waitUntilAllOperationsAreFinished();

    EXPECT_FALSE(mainRan);
    for (const auto& op : {cancelled, orphanDependent}) {
        EXPECT_TRUE(op->isCancelled());
        EXPECT_TRUE(op->isFinished());
    }
    EXPECT_TRUE(completionSawFinished);
    EXPECT_FALSE(blocker->isCancelled());
}

TEST(OperationQueueTest, CancellingARunningOperationIsCooperative) {
    OperationQueue queue(2);
    auto one = std::make_shared<UntilCancelled>(), two = std::make_shared<UntilCancelled>();
    queue.addOperation(one);
    queue.addOperation(two);
    ASSERT_TRUE(one->started.wait());
    ASSERT_TRUE(two->started.wait());
    EXPECT_TRUE(one->isExecuting());

    one->cancel();
    one->waitUntilFinished();
    EXPECT_TRUE(one->sawCancel);
    EXPECT_TRUE(two->isExecuting()) << "only the cancelled one stops";

    queue.cancelAllOperations();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(two->sawCancel);
    one->cancel();  // cancelling a finished operation changes nothing
    EXPECT_TRUE(one->isFinished());
}

TEST(OperationQueueTest, ExceptionInMainIsLoggedAndTheOperationFinishes) {
    LogCapture log;
    OperationQueue queue(1);
    auto failing = BlockOperation::create([] { throw std::runtime_error("upload broke"); });
    std::atomic<bool> completed{false}, dependentRan{false};
    failing->setCompletionBlock([&] { completed = true; });
    auto dependent = BlockOperation::create([&] { dependentRan = true; });
    dependent->addDependency(failing);
    queue.addOperation(failing);
    queue.addOperation(dependent);
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(failing->isFinished());
    EXPECT_TRUE(completed);
    EXPECT_TRUE(dependentRan);
    EXPECT_TRUE(log.contains("Exception: upload broke"));
}

TEST(OperationQueueTest, ListsUnfinishedOperationsRunningFirst) {
    OperationQueue queue(1);
    auto running = std::make_shared<UntilCancelled>();
    auto second = BlockOperation::create([] {}), third = BlockOperation::create([] {});
    queue.addOperation(running);
    ASSERT_TRUE(running->started.wait());
    queue.addOperation(second);
    queue.addOperation(third);
    EXPECT_EQ(queue.operations(), (std::vector<std::shared_ptr<Operation>>{running, second, third}));
    EXPECT_EQ(queue.operationCount(), 3u);
    running->cancel();
    queue.waitUntilAllOperationsAreFinished();
    EXPECT_EQ(queue.operationCount(), 0u);
}

TEST(OperationQueueTest, RejectsAnOperationThatIsQueuedOrDone) {
    OperationQueue queue(1), other(1);
    auto done = BlockOperation::create([] {});
    done->start();
    EXPECT_THROW(queue.addOperation(done), InternalInconsistency);

    Latch hold;
    auto queued = BlockOperation::create([&] { hold.wait(); });
    queue.addOperation(queued);
    EXPECT_THROW(queue.addOperation(queued), InternalInconsistency);
    EXPECT_THROW(other.addOperation(queued), InternalInconsistency);
    hold.set();
    queue.waitUntilAllOperationsAreFinished();
}

TEST(OperationQueueTest, DestructionCancelsPendingWorkAndJoins) {
    auto running = std::make_shared<UntilCancelled>();
    std::atomic<int> mainsRun{0}, completions{0};
    std::vector<std::shared_ptr<Operation>> pending;
    auto outside = BlockOperation::create([] {});  // never finishes while the queue exists
    {
        OperationQueue queue(1);
        queue.addOperation(running);
        ASSERT_TRUE(running->started.wait());
        for (int i = 0; i < 5; ++i) {
            auto op = BlockOperation::create([&] { ++mainsRun; });
            op->setCompletionBlock([&] { ++completions; });
            if (i == 2) op->addDependency(outside);
            queue.addOperation(op);
            pending.push_back(op);
        }
    }
    EXPECT_TRUE(running->sawCancel);
    EXPECT_TRUE(running->isFinished());
    EXPECT_EQ(mainsRun, 0);
    EXPECT_EQ(completions, 5);
    for (const auto& op : pending) {
        EXPECT_TRUE(op->isCancelled());
        EXPECT_TRUE(op->isFinished());
    }
}

}  // namespace
