#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvanta::core {

namespace detail {
struct OperationQueueCore;
}

// A unit of work for an OperationQueue. Subclasses override main().
//
// Cancellation is cooperative: main() checks isCancelled() and returns early. An operation cancelled
// before it starts finishes without running main() and no longer waits for its dependencies. An
// exception escaping main() is logged and the operation finishes as usual.
class Operation : public std::enable_shared_from_this<Operation> {
public:
    Operation() = default;
    virtual ~Operation() = default;
    Operation(const Operation&) = delete;
    Operation& operator=(const Operation&) = delete;

    // Runs the operation on the calling thread (the queue does this on its worker threads). Does not wait
    // for dependencies; an operation that already started or finished is left alone.
    void start();
    // The work itself. Does nothing unless overridden.
    virtual void main() {}

    void cancel();
    bool isCancelled() const { return cancelled_; }
    bool isExecuting() const { return executing_; }
    bool isFinished() const { return finished_; }
    // Cancelled, or every dependency finished.
    bool isReady() const;

    // This operation will not start before `operation` has finished, wherever that runs. Add dependencies
    // before queueing; a cycle never starts.
    void addDependency(std::shared_ptr<Operation> operation);
    std::vector<std::shared_ptr<Operation>> dependencies() const;

    // Blocks until the operation has finished. Must not be called from its own main().
    void waitUntilFinished() const;

    // Called once the operation has finished (isFinished() is true), on the thread that ran it and before
    // its queue counts it as done. Released after the call.
    void setCompletionBlock(std::function<void()> block);

    std::string name;

private:
    friend class OperationQueue;
    void finish();

    mutable std::mutex mutex_;
    mutable std::condition_variable finishedCv_;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> executing_{false};
    std::atomic<bool> finished_{false};
    bool started_ = false;
    std::vector<std::shared_ptr<Operation>> dependencies_;
    std::vector<std::weak_ptr<Operation>> dependents_;
    std::function<void()> completionBlock_;
    std::weak_ptr<detail::OperationQueueCore> queue_;
};

// An operation made from a function.
class BlockOperation : public Operation {
public:
    explicit BlockOperation(std::function<void()> block) : block_(std::move(block)) {}
    static std::shared_ptr<BlockOperation> create(std::function<void()> block, std::string name = {});
    void main() override;

private:
    std::function<void()> block_;
};

// Runs operations on its own worker threads: each starts once all its dependencies have finished, in the
// order added among those that are ready, at most maxConcurrentOperationCount() at a time. Destroying the
// queue cancels every operation in it and waits for the running ones to return.
class OperationQueue {
public:
    // maxConcurrent < 1 means defaultMaxConcurrent().
    explicit OperationQueue(int maxConcurrent, std::string name = {});
    ~OperationQueue();
    OperationQueue(const OperationQueue&) = delete;
    OperationQueue& operator=(const OperationQueue&) = delete;

    // The number of processors plus one, at least 2.
    static int defaultMaxConcurrent();

    // Throws InternalInconsistency for an operation that is already queued, running or finished.
    void addOperation(std::shared_ptr<Operation> operation);
    // The operations not yet finished: the running ones, then the waiting ones in the order added.
    std::vector<std::shared_ptr<Operation>> operations() const;
    size_t operationCount() const;
    void cancelAllOperations();
    void waitUntilAllOperationsAreFinished();
    int maxConcurrentOperationCount() const { return maxConcurrent_; }
    const std::string& name() const { return name_; }

private:
    void workerLoop();

    const int maxConcurrent_;
    const std::string name_;
    std::shared_ptr<detail::OperationQueueCore> core_;
    std::vector<std::jthread> workers_;  // guarded by the core's mutex; joined by the destructor
};

}  // namespace orvanta::core
