#include "upload/UploadRetryScheduler.h"

#include <algorithm>
#include <cmath>

#include "core/Log.h"
#include "service/HTTPError.h"

namespace orvanta::upload {

namespace {

bool isTransportOrServerError(const core::Error& error) {
    constexpr long kCallTimeOut = 88;
    return error.domain == core::kURLErrorDomain || service::isHTTPError(error) ||
           (error.domain == core::kOrvantaErrorDomain && error.code == kCallTimeOut);
}

}  // namespace

bool isTransientUploadFailure(const core::Error& error) {
    if (error.domain != core::kOrvantaErrorDomain || !error.innerError) return false;
    switch (error.code) {
        case 80:
            return isTransportOrServerError(*error.innerError);
        case 79:
        case 81:
        case 82:
        case 83:
            return true;
        default:
            return false;
    }
}

UploadRetryScheduler::UploadRetryScheduler(core::RunLoop& loop, RetryPolicy policy) : loop_(loop), policy_(policy) {}

UploadRetryScheduler::~UploadRetryScheduler() { cancelAll(); }

std::optional<std::chrono::duration<double>> UploadRetryScheduler::schedule(const std::string& guid,
                                                                             std::function<void()> retry) {
    Entry& entry = entries_[guid];
    if (entry.attempts >= policy_.maxAttempts) {
        core::logf("Upload of %s failed %d times in a row; no further automatic retry", guid.c_str(), entry.attempts);
        entry.timer.invalidate();
        return std::nullopt;
    }
    const double factor = std::ldexp(1.0, std::min(entry.attempts, 30));
    const std::chrono::duration<double> delay = std::min(policy_.baseDelay * factor, policy_.maxDelay);
    ++entry.attempts;
    core::logf("Retrying the upload of %s in %.1f seconds (attempt %d of %d)", guid.c_str(), delay.count(),
               entry.attempts, policy_.maxAttempts);
    entry.timer = loop_.schedule(delay, false, std::move(retry));
    return delay;
}

void UploadRetryScheduler::reset(const std::string& guid) {
    auto it = entries_.find(guid);
    if (it == entries_.end()) return;
    it->second.timer.invalidate();
    entries_.erase(it);
}

void UploadRetryScheduler::cancelAll() {
    for (auto& [guid, entry] : entries_) entry.timer.invalidate();
    entries_.clear();
}

bool UploadRetryScheduler::hasPending(const std::string& guid) const {
    auto it = entries_.find(guid);
    return it != entries_.end() && it->second.timer.isValid();
}

int UploadRetryScheduler::attempts(const std::string& guid) const {
    auto it = entries_.find(guid);
    return it == entries_.end() ? 0 : it->second.attempts;
}

}  // namespace orvanta::upload
