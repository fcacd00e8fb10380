#pragma once

#include <any>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/Error.h"
#include "core/RunLoop.h"
#include "model/ServiceResult.h"
#include "service/SimpleSoapCaller.h"
#include "service/SoapValue.h"

namespace orvanta::service {

// A thread with its own run loop, started at construction. Must not be destroyed on its own thread.
class WorkerThread {
public:
    WorkerThread();
    // closeThread() and waits for the thread to end; tasks still queued are dropped.
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Waits (2 seconds at a time) until the thread runs its loop. False once the thread has ended.
    bool waitForStart();
    // Asks the thread to end after the task it is running; returns at once. Any thread.
    void closeThread();
    // Waits for the thread to end (after closeThread).
    void join();
    bool isRunning() const;

    // The loop the thread runs; post work to it from any thread.
    core::RunLoop& runLoop() { return loop_; }

private:
    void threadMain();

    core::RunLoop loop_;
    mutable std::mutex mutex_;
    std::condition_variable threadStartCondition_;
    bool running_ = false;  // guarded by mutex_
    bool ended_ = false;    // guarded by mutex_
    std::atomic<bool> done_{false};
    std::thread thread_;  // last: starts once everything above exists
};

// The blocking SOAP call every service uses: runs the transfer of a SimpleSoapCaller on its own worker
// thread and waits for the outcome. One calling thread at a time.
class SynchronousSoapCaller final : public ISoapCallback {
public:
    static constexpr double kDefaultTransferSeconds = 60;
    static constexpr double kDefaultWaitSeconds = 120;

    // Reads the "LogSoap" setting once.
    explicit SynchronousSoapCaller(std::string url);
    // Cancels a transfer in flight and stops the worker thread.
    ~SynchronousSoapCaller() override;
    SynchronousSoapCaller(const SynchronousSoapCaller&) = delete;
    SynchronousSoapCaller& operator=(const SynchronousSoapCaller&) = delete;

    // Blocks until the outcome arrives or the wait passes. On success returns {"response": ...} and
    // clears *errorOut; on failure returns nothing and fills *errorOut (either may be given as null).
    // Without names, the values are not sent either. A wait that passes yields error 88 and cancels the
    // call, so that its outcome can never be taken for the outcome of a later call.
    std::optional<model::ResultMap> callSoapMethod(const std::string& method, const std::string& ns,
                                                   const std::string& extension, const std::vector<std::string>* names,
                                                   const std::vector<SoapValue>* values, core::Error* errorOut);

    // transferSeconds: the transport's idle limit (default 60); waitSeconds: how long a call waits for
    // its outcome (default 120).
    void setTimeouts(double transferSeconds, double waitSeconds);
    double waitSeconds() const { return waitSeconds_; }
    void setLogSoap(bool logSoap);

    WorkerThread& workerThread() { return wt_; }
    SimpleSoapCaller& caller() { return caller_; }

    // The error of a call whose outcome did not come in time.
    static core::Error timeoutError();

    void onSoapError(const core::Error& error, ISoapCaller* caller, const std::any& state) override;
    void onSoapData(model::ResultMap data, ISoapCaller* caller, const std::any& state) override;

private:
    void assignSoapResult(std::optional<model::ResultMap> results, std::optional<core::Error> error,
                          const std::any& state);

    WorkerThread wt_;
    SimpleSoapCaller caller_;

    std::mutex mutex_;
    std::condition_variable soapCondition_;
    std::optional<model::ResultMap> results_;  // guarded by mutex_
    std::optional<core::Error> error_;         // guarded by mutex_
    uint64_t currentCall_ = 0;                 // guarded by mutex_; outcomes of other calls are dropped
    std::atomic<double> waitSeconds_{kDefaultWaitSeconds};
};

}  // namespace orvanta::service
