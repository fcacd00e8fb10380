#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace orvanta::core {

// One line per step to syslog and to the log file. Thread-safe.
class Logger {
public:
    static Logger& instance();

    // Where lines are appended (created with its folder on first write). Empty: no file.
    void setLogFile(std::filesystem::path path);
    std::filesystem::path logFile() const;
    void setSyslogEnabled(bool enabled);
    // Receives every line as well; tests use it to read what was logged.
    using Sink = std::function<void(std::string_view)>;
    void setSink(Sink sink);

    void write(std::string_view line);

private:
    Logger();

public:
    ~Logger();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// printf-style log line: logf("%s entering", __PRETTY_FUNCTION__).
void logf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void logLine(std::string_view line);

// The method-name prefix most log lines start with.
#define ORV_FUNC __PRETTY_FUNCTION__

}  // namespace orvanta::core
