#include "service/SynchronousSoapCaller.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "core/Log.h"

namespace orvanta::service {

// ---- WorkerThread --------------------------------------------------------------------------------

WorkerThread::WorkerThread() { thread_ = std::thread(&WorkerThread::threadMain, this); }

WorkerThread::~WorkerThread() {
    closeThread();
    join();
}

void WorkerThread::threadMain() {
    // Claim the loop before anyone is told it runs, so that work posted from other threads always
    // goes through the queue.
    loop_.processPending();
    {
        std::lock_guard lock(mutex_);
        running_ = true;
    }
    threadStartCondition_.notify_all();

    while (!done_) loop_.run();

    // Later posts are ignored and threads waiting in postAndWait are released.
    loop_.shutdown();
    {
        std::lock_guard lock(mutex_);
        running_ = false;
        ended_ = true;
    }
    threadStartCondition_.notify_all();
}

bool WorkerThread::waitForStart() {
    std::unique_lock lock(mutex_);
    while (!running_ && !ended_) threadStartCondition_.wait_for(lock, std::chrono::seconds(2));
    return running_;
}

void WorkerThread::closeThread() {
    loop_.post([this] {
        done_ = true;
        loop_.stop();
    });
}

void WorkerThread::join() {
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool WorkerThread::isRunning() const {
    std::lock_guard lock(mutex_);
    return running_;
}

// ---- SynchronousSoapCaller -----------------------------------------------------------------------

SynchronousSoapCaller::SynchronousSoapCaller(std::string url) : caller_(wt_.runLoop()) {
    caller_.setURL(std::move(url));
    caller_.setCallback(this);
    caller_.setTransferTimeout(kDefaultTransferSeconds);
}

SynchronousSoapCaller::~SynchronousSoapCaller() {
    // Cancels the transfer in flight and waits for a callback that is running to return.
    caller_.setCallback(nullptr);
    wt_.closeThread();
    wt_.join();
}

core::Error SynchronousSoapCaller::timeoutError() {
    return core::Error(core::kOrvantaErrorDomain, 88, "Webservice Failure", "Timeout waiting on SOAP call");
}

void SynchronousSoapCaller::setTimeouts(double transferSeconds, double waitSeconds) {
    caller_.setTransferTimeout(transferSeconds);
    waitSeconds_ = waitSeconds;
}

void SynchronousSoapCaller::setLogSoap(bool logSoap) { caller_.setLogSoap(logSoap); }

std::optional<model::ResultMap> SynchronousSoapCaller::callSoapMethod(const std::string& method, const std::string& ns,
                                                                      const std::string& extension,
                                                                      const std::vector<std::string>* names,
                                                                      const std::vector<SoapValue>* values,
                                                                      core::Error* errorOut) {
    auto fail = [&](core::Error error) -> std::optional<model::ResultMap> {
        if (errorOut) *errorOut = std::move(error);
        return std::nullopt;
    };

    if (!wt_.waitForStart()) return fail(timeoutError());

    // The request stops at the first absent piece: no names, no values.
    const std::vector<SoapValue>* sentValues = names ? values : nullptr;

    // Start the call on the worker thread; it returns as soon as the transfer is queued.
    const bool started = wt_.runLoop().postAndWait([&] {
        uint64_t call;
        {
            std::lock_guard lock(mutex_);
            results_.reset();
            error_.reset();
            call = ++currentCall_;
        }
        caller_.callSoapMethod(method, ns, extension, names, sentValues, std::any(call));
    });
    if (!started) return fail(timeoutError());

    const auto wait = std::chrono::duration<double>(std::max(0.0, waitSeconds_.load()));
    std::unique_lock lock(mutex_);
    soapCondition_.wait_for(lock, wait, [this] { return error_.has_value() || results_.has_value(); });
    std::optional<core::Error> error = std::move(error_);
    std::optional<model::ResultMap> results = std::move(results_);
    error_.reset();
    results_.reset();
    lock.unlock();

    if (error) return fail(std::move(*error));
    if (results) {
        if (errorOut) *errorOut = core::Error();
        return results;
    }
    // Nothing came: give up on this call so that it cannot report later.
    caller_.cancel();
    core::logf("%s no outcome for %s within %.1f seconds", ORV_FUNC, method.c_str(), wait.count());
    return fail(timeoutError());
}

void SynchronousSoapCaller::assignSoapResult(std::optional<model::ResultMap> results, std::optional<core::Error> error,
                                             const std::any& state) {
    {
        std::lock_guard lock(mutex_);
        const auto* call = std::any_cast<uint64_t>(&state);
        if (!call || *call != currentCall_) return;
        results_ = std::move(results);
        error_ = std::move(error);
    }
    soapCondition_.notify_all();
}

void SynchronousSoapCaller::onSoapError(const core::Error& error, ISoapCaller*, const std::any& state) {
    assignSoapResult(std::nullopt, error, state);
}

void SynchronousSoapCaller::onSoapData(model::ResultMap data, ISoapCaller*, const std::any& state) {
    assignSoapResult(std::move(data), std::nullopt, state);
}

}  // namespace orvanta::service
