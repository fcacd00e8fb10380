#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "model/Recording.h"

namespace orvanta::cli {

// Upload progress on standard error: a bar redrawn in place on a terminal, otherwise a plain line
// for every tenth of a recording's upload.
class ProgressDisplay {
public:
    explicit ProgressDisplay(bool terminal) : terminal_(terminal), started_(std::chrono::steady_clock::now()) {}

    void update(const std::vector<std::shared_ptr<model::Recording>>& recordings);
    // A line that stays (a recording finished or failed); the bar is redrawn below it.
    void message(const std::string& text);
    // Leaves the bar's line.
    void finish();

private:
    static std::pair<std::uint64_t, std::uint64_t> bytes(const model::Recording& recording);
    void clearLine();

    bool terminal_;
    bool barShown_ = false;
    std::chrono::steady_clock::time_point started_;
    std::uint64_t firstUploaded_ = UINT64_MAX;
    std::map<std::string, int> lastTenth_;
};

}  // namespace orvanta::cli
