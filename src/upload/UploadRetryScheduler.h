#pragma once

// Automatic retries of uploads that failed because the network or the server was down.
//
// When an upload fails with such a failure (see isTransientUploadFailure), the upload controller
// keeps the failure stored and shows it as usual, and also asks this scheduler to try again later:
// schedule() starts a one-shot timer on the main run loop. The n-th consecutive attempt for a
// recording waits baseDelay * 2^(n-1) (5 s, 10 s, 20 s, ... by default), never longer than maxDelay
// (5 minutes); after maxAttempts attempts in a row nothing more is scheduled, and the recording
// stays failed until the user starts it again. When the timer fires, the controller starts the
// upload again if the recording is still failed and not uploading.
//
// The count of attempts is forgotten (reset) when an upload of the recording completes, and when
// the user starts or pauses it by hand; pausing and manual starts also cancel the pending timer.
// Timers live only as long as the scheduler, so none fires after its controller has gone.

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "core/Error.h"
#include "core/RunLoop.h"

namespace orvanta::upload {

// Whether an upload failure came from a failed service call (the network or the server being down),
// rather than from the recording, its files or a definite answer of the server.
//
// Errors 79, 80, 81, 82 and 83 carry the failed call's error as innerError exactly when a call
// raised; hash mismatches, "NotUploaded" and "ServerException" answers, a refused session or
// manifest and local file trouble carry none. A chunk-size error (80) additionally counts only when
// the call failed at the transport, with an HTTP status or by timing out.
bool isTransientUploadFailure(const core::Error& error);

struct RetryPolicy {
    std::chrono::duration<double> baseDelay{5.0};
    std::chrono::duration<double> maxDelay{300.0};
    int maxAttempts = 5;
};

class UploadRetryScheduler {
public:
    explicit UploadRetryScheduler(core::RunLoop& loop, RetryPolicy policy = {});
    ~UploadRetryScheduler();
    UploadRetryScheduler(const UploadRetryScheduler&) = delete;
    UploadRetryScheduler& operator=(const UploadRetryScheduler&) = delete;

    const RetryPolicy& policy() const { return policy_; }
    void setPolicy(RetryPolicy policy) { policy_ = policy; }

    // Schedules the next attempt for the recording: retry runs on the loop once the delay has passed.
    // Returns the delay, or none when the attempts are used up (nothing is scheduled then). A pending
    // attempt is replaced.
    std::optional<std::chrono::duration<double>> schedule(const std::string& guid, std::function<void()> retry);
    // Cancels the pending attempt and forgets the count.
    void reset(const std::string& guid);
    void cancelAll();

    bool hasPending(const std::string& guid) const;
    // Attempts scheduled in a row so far.
    int attempts(const std::string& guid) const;

private:
    struct Entry {
        int attempts = 0;
        core::TimerHandle timer;
    };

    core::RunLoop& loop_;
    RetryPolicy policy_;
    std::map<std::string, Entry> entries_;
};

}  // namespace orvanta::upload
