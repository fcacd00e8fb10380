#include "devserver/Faults.h"

#include <chrono>
#include <thread>

#include "devserver/Options.h"

namespace orvanta::devserver {

FaultInjector::FaultInjector(const Options& options)
    : seed_(options.seed ? *options.seed : std::random_device{}()),
      rng_(seed_),
      failRate_(options.failRate),
      badHashRate_(options.badHashRate),
      dropRate_(options.dropRate),
      slowMs_(options.slowMs) {}

bool FaultInjector::strike(double rate) {
    if (rate <= 0) return false;
    if (rate >= 1) return true;
    std::lock_guard lock(mutex_);
    return std::uniform_real_distribution<double>(0.0, 1.0)(rng_) < rate;
}

bool FaultInjector::dropThisRequest() { return strike(dropRate_); }
bool FaultInjector::failThisRequest() { return strike(failRate_); }
bool FaultInjector::corruptThisHash() { return strike(badHashRate_); }

void FaultInjector::delay() const {
    if (slowMs_ > 0) std::this_thread::sleep_for(std::chrono::milliseconds(slowMs_));
}

}  // namespace orvanta::devserver
