#include "capture/FfmpegLog.h"

#include <cstdarg>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "core/Log.h"

namespace orvanta::capture {

namespace {

void logMessage(void* context, int level, const char* format, va_list args) {
    if (level > av_log_get_level()) return;
    // FFmpeg may send a line in pieces; each thread collects its own until the line ends.
    thread_local std::string pending;
    thread_local int printPrefix = 1;
    char piece[1024];
    av_log_format_line2(context, level, format, args, piece, sizeof piece, &printPrefix);
    pending += piece;
    if (pending.empty() || pending.back() != '\n') return;
    pending.pop_back();
    core::logf("FFmpeg: %s", pending.c_str());
    pending.clear();
}

}  // namespace

void routeFfmpegMessagesToLog(int level) {
    av_log_set_level(level < 0 ? AV_LOG_WARNING : level);
    av_log_set_callback(logMessage);
}

}  // namespace orvanta::capture
