#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace orvanta::capture {

// One thread that runs the tasks given to it one after the other, in the order they were given.
class SerialWorker {
public:
    SerialWorker();
    // Runs what is still queued, then ends the thread.
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    // Queues a task and returns at once. Ignored after stop().
    void post(std::function<void()> task);
    // Runs what is queued and waits for the thread to end. Later posts are ignored.
    void stop();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace orvanta::capture
