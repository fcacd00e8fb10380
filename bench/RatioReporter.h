#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

// Console output as usual, plus each benchmark's time kept so ratios can be printed at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& r : runs) times_[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    // Prints "ratio ours / baseline = x" when both ran.
    void printRatio(const std::string& ours, const std::string& baseline) const {
        auto a = times_.find(ours), b = times_.find(baseline);
        if (a != times_.end() && b != times_.end() && b->second > 0)
            std::printf("ratio %s / %s = %.2f\n", ours.c_str(), baseline.c_str(), a->second / b->second);
    }

private:
    std::map<std::string, double> times_;
};
