#include "capture/screen/SerialWorker.h"

namespace orvanta::capture {

SerialWorker::SerialWorker() { thread_ = std::thread([this] { run(); }); }

SerialWorker::~SerialWorker() { stop(); }

void SerialWorker::post(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        tasks_.push_back(std::move(task));
    }
    wake_.notify_one();
}

void SerialWorker::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void SerialWorker::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) return;  // stopping, nothing left
        std::function<void()> task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        task = nullptr;  // whatever the task holds goes before the next one starts
        lock.lock();
    }
}

}  // namespace orvanta::capture
