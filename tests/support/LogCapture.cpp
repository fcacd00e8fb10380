#include "support/LogCapture.h"

#include <algorithm>

#include "core/Log.h"

namespace orvanta::test {

LogCapture::LogCapture() {
    auto& logger = core::Logger::instance();
    logger.setSyslogEnabled(false);
    // The logger calls its sink under its own lock, so once setSink(nullptr) returns no call is
    // still running and `this` may go.
    logger.setSink([this](std::string_view line) {
        std::lock_guard lock(mutex_);
        lines_.emplace_back(line);
    });
}

LogCapture::~LogCapture() { core::Logger::instance().setSink(nullptr); }

bool LogCapture::contains(std::string_view text) const {
    std::lock_guard lock(mutex_);
    return std::any_of(lines_.begin(), lines_.end(),
                       [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

}  // namespace orvanta::test
