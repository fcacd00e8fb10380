#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace orvanta::test {

// Collects the log lines written while it exists. Installs itself as the logger's sink (and turns
// syslog off, so tests do not fill the system log); removes the sink again at destruction.
// Thread-safe: lines may arrive from any thread.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Whether any line captured so far contains text.
    bool contains(std::string_view text) const;
    // The lines captured so far, in the order they were written.
    std::vector<std::string> lines() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace orvanta::test
