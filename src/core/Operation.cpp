#include "core/Operation.h"

#include <pthread.h>

#include <algorithm>
#include <exception>
#include <list>
#include <utility>

#include "core/Error.h"
#include "core/Log.h"

namespace orvanta::core {

namespace detail {

struct OperationQueueCore {
    std::mutex mutex;
    // Wakes workers (an operation became ready, or the queue is stopping) and waitUntilAll... callers.
    std::condition_variable cv;
    std::list<std::shared_ptr<Operation>> waiting;
    std::vector<std::shared_ptr<Operation>> running;
    bool stopping = false;

    // Locking before notifying makes sure a worker that just found nothing ready is already waiting.
    void readinessChanged() {
        { std::lock_guard lock(mutex); }
        cv.notify_all();
    }
};

}  // namespace detail

namespace {

template <typename F>
void logExceptions(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        logf("Exception: %s", e.what());
    } catch (...) {
        logf("Exception: %s", "unknown exception");
    }
}

void notifyQueueOf(const std::weak_ptr<detail::OperationQueueCore>& queue) {
    if (auto core = queue.lock()) core->readinessChanged();
}

}  // namespace

// ---- Operation
//
// Lock order: a queue's mutex before an operation's mutex; never two operations' mutexes at once.

void Operation::start() {
    bool runMain;
    {
        std::lock_guard lock(mutex_);
        if (started_) return;
        started_ = true;
        runMain = !cancelled_;
        executing_ = runMain;
    }
    if (runMain) logExceptions([this] { main(); });
    finish();
}

void Operation::finish() {
    std::function<void()> block;
    std::vector<std::weak_ptr<Operation>> dependents;
    {
        std::lock_guard lock(mutex_);
        executing_ = false;
        finished_ = true;
        block = std::exchange(completionBlock_, nullptr);
        dependents.swap(dependents_);
    }
    finishedCv_.notify_all();
    if (block) logExceptions(block);
    for (const auto& weak : dependents) {
        auto dependent = weak.lock();
        if (!dependent) continue;
        std::weak_ptr<detail::OperationQueueCore> queue;
        {
            std::lock_guard lock(dependent->mutex_);
            queue = dependent->queue_;
        }
        notifyQueueOf(queue);
    }
}

void Operation::cancel() {
    std::weak_ptr<detail::OperationQueueCore> queue;
    {
        std::lock_guard lock(mutex_);
        if (finished_ || cancelled_) return;
        cancelled_ = true;
        queue = queue_;
    }
    // A cancelled operation no longer waits for its dependencies.
    notifyQueueOf(queue);
}

bool Operation::isReady() const {
    if (cancelled_) return true;
    std::lock_guard lock(mutex_);
    return std::all_of(dependencies_.begin(), dependencies_.end(),
                       [](const auto& dependency) { return dependency->isFinished(); });
}

void Operation::addDependency(std::shared_ptr<Operation> operation) {
    if (!operation || operation.get() == this) return;
    // Registered with the dependency first, so that its finishing always wakes our queue once we wait for it.
    if (auto self = weak_from_this(); !self.expired()) {
        std::lock_guard lock(operation->mutex_);
        if (!operation->finished_) operation->dependents_.push_back(std::move(self));
    }
    std::lock_guard lock(mutex_);
    dependencies_.push_back(std::move(operation));
}

std::vector<std::shared_ptr<Operation>> Operation::dependencies() const {
    std::lock_guard lock(mutex_);
    return dependencies_;
}

void Operation::waitUntilFinished() const {
    std::unique_lock lock(mutex_);
    finishedCv_.wait(lock, [this] { return finished_.load(); });
}

void Operation::setCompletionBlock(std::function<void()> block) {
    std::lock_guard lock(mutex_);
    completionBlock_ = std::move(block);
}

// ---- BlockOperation

std::shared_ptr<BlockOperation> BlockOperation::create(std::function<void()> block, std::string name) {
    auto operation = std::make_shared<BlockOperation>(std::move(block));
    operation->name = std::move(name);
    return operation;
}

void BlockOperation::main() {
    if (block_) block_();
}

// ---- OperationQueue

OperationQueue::OperationQueue(int maxConcurrent, std::string name)
    : maxConcurrent_(maxConcurrent < 1 ? defaultMaxConcurrent() : maxConcurrent),
      name_(std::move(name)),
      core_(std::make_shared<detail::OperationQueueCore>()) {}

OperationQueue::~OperationQueue() {
    {
        std::lock_guard lock(core_->mutex);
        core_->stopping = true;
    }
    // Cancelled operations become ready at once, so the workers drain the queue and then leave.
    cancelAllOperations();
    core_->cv.notify_all();
    for (;;) {
        std::vector<std::jthread> workers;
        {
            std::lock_guard lock(core_->mutex);
            if (workers_.empty()) break;
            workers.swap(workers_);
        }
        workers.clear();  // joins
    }
}

int OperationQueue::defaultMaxConcurrent() {
    return std::max(2, static_cast<int>(std::thread::hardware_concurrency()) + 1);
}

void OperationQueue::addOperation(std::shared_ptr<Operation> operation) {
    if (!operation) return;
    bool stopping;
    {
        std::lock_guard lock(core_->mutex);
        {
            std::lock_guard opLock(operation->mutex_);
            if (operation->started_ || operation->finished_ || !operation->queue_.expired())
                throw InternalInconsistency("operation '" + operation->name +
                                            "' is already queued, running or finished");
            operation->queue_ = core_;
        }
        core_->waiting.push_back(operation);
        stopping = core_->stopping;
        // Workers are made as needed and kept until the queue goes away; there are never more than the
        // allowed number of concurrent operations, so that number bounds how many run at once.
        const size_t wanted = std::min(static_cast<size_t>(maxConcurrent_),
                                       core_->running.size() + core_->waiting.size());
        while (workers_.size() < wanted) workers_.emplace_back([this] { workerLoop(); });
    }
    core_->cv.notify_all();
    // Added by one of our own operations while the queue is being destroyed.
    if (stopping) operation->cancel();
}

std::vector<std::shared_ptr<Operation>> OperationQueue::operations() const {
    std::lock_guard lock(core_->mutex);
    std::vector<std::shared_ptr<Operation>> result(core_->running.begin(), core_->running.end());
    result.insert(result.end(), core_->waiting.begin(), core_->waiting.end());
    return result;
}

size_t OperationQueue::operationCount() const {
    std::lock_guard lock(core_->mutex);
    return core_->running.size() + core_->waiting.size();
}

void OperationQueue::cancelAllOperations() {
    for (const auto& operation : operations()) operation->cancel();
}

void OperationQueue::waitUntilAllOperationsAreFinished() {
    std::unique_lock lock(core_->mutex);
    core_->cv.wait(lock, [this] { return core_->waiting.empty() && core_->running.empty(); });
}

void OperationQueue::workerLoop() {
    if (!name_.empty()) pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
    auto& core = *core_;
    std::unique_lock lock(core.mutex);
    for (;;) {
        auto it = std::find_if(core.waiting.begin(), core.waiting.end(),
                               [](const auto& operation) { return operation->isReady(); });
        if (it == core.waiting.end()) {
            if (core.stopping && core.waiting.empty()) return;
            core.cv.wait(lock);
            continue;
        }
        auto operation = std::move(*it);
        core.waiting.erase(it);
        core.running.push_back(operation);
        lock.unlock();

        operation->start();

        lock.lock();
        core.running.erase(std::find(core.running.begin(), core.running.end(), operation));
        core.cv.notify_all();
        // The operation may be released here for good; its destructor runs without our lock.
        lock.unlock();
        operation.reset();
        lock.lock();
    }
}

}  // namespace orvanta::core
