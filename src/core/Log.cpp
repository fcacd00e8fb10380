#include "core/Log.h"

#include <syslog.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>
#include <vector>

namespace orvanta::core {

struct Logger::State {
    std::mutex mutex;
    std::filesystem::path file;
    std::ofstream stream;
    bool syslogEnabled = true;
    bool syslogOpen = false;
    Sink sink;
};

Logger::Logger() : state_(std::make_unique<State>()) {}
Logger::~Logger() = default;

Logger& Logger::instance() {
    static Logger logger;
    return logger;
}

void Logger::setLogFile(std::filesystem::path path) {
    std::lock_guard lock(state_->mutex);
    state_->stream.close();
    state_->file = std::move(path);
}

std::filesystem::path Logger::logFile() const {
    std::lock_guard lock(state_->mutex);
    return state_->file;
}

void Logger::setSyslogEnabled(bool enabled) {
    std::lock_guard lock(state_->mutex);
    state_->syslogEnabled = enabled;
}

void Logger::setSink(Sink sink) {
    std::lock_guard lock(state_->mutex);
    state_->sink = std::move(sink);
}

void Logger::write(std::string_view line) {
    std::lock_guard lock(state_->mutex);
    if (state_->syslogEnabled) {
        if (!state_->syslogOpen) {
            openlog("orvanta", LOG_PID, LOG_USER);
            state_->syslogOpen = true;
        }
        syslog(LOG_NOTICE, "%.*s", static_cast<int>(line.size()), line.data());
    }
    if (!state_->file.empty()) {
        if (!state_->stream.is_open()) {
            std::error_code ec;
            std::filesystem::create_directories(state_->file.parent_path(), ec);
            state_->stream.open(state_->file, std::ios::app);
        }
        if (state_->stream.is_open()) {
            std::time_t now = std::time(nullptr);
            std::tm tm{};
            localtime_r(&now, &tm);
            char stamp[32];
            std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
            state_->stream << stamp << ' ' << line << '\n';
            state_->stream.flush();
        }
    }
    if (state_->sink) state_->sink(line);
}

void logLine(std::string_view line) { Logger::instance().write(line); }

void logf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (n < 0) {
        va_end(args);
        return;
    }
    std::vector<char> buf(static_cast<size_t>(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), format, args);
    va_end(args);
    Logger::instance().write(std::string_view(buf.data(), static_cast<size_t>(n)));
}

}  // namespace orvanta::core
