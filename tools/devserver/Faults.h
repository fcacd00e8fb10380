#pragma once

#include <cstdint>
#include <mutex>
#include <random>

namespace orvanta::devserver {

struct Options;

// The switched-on faults and the seeded generator that decides, request by request, whether one
// strikes. A rate of 0 never strikes and 1 always does; each decision with a rate in between
// draws one number, so a run with the same seed and the same request order repeats exactly.
class FaultInjector {
public:
    explicit FaultInjector(const Options& options);

    bool dropThisRequest();
    bool failThisRequest();
    bool corruptThisHash();
    // Waits the configured delay, if any.
    void delay() const;

    uint64_t seed() const { return seed_; }

private:
    bool strike(double rate);

    std::mutex mutex_;
    uint64_t seed_;
    std::mt19937_64 rng_;
    double failRate_, badHashRate_, dropRate_;
    int slowMs_;
};

}  // namespace orvanta::devserver
