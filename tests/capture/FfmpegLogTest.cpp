#include "capture/FfmpegLog.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include "support/LogCapture.h"

namespace orvanta::capture {
namespace {

TEST(FfmpegLog, WarningsReachTheLogAsWholeLinesAndChatterDoesNot) {
    test::LogCapture log;
    int savedLevel = av_log_get_level();
    routeFfmpegMessagesToLog();
    av_log(nullptr, AV_LOG_WARNING, "first half, ");
    av_log(nullptr, AV_LOG_WARNING, "second half %d\n", 42);
    av_log(nullptr, AV_LOG_INFO, "encoder statistics\n");
    av_log_set_callback(av_log_default_callback);
    av_log_set_level(savedLevel);
    EXPECT_TRUE(log.contains("FFmpeg: first half, second half 42"));
    EXPECT_FALSE(log.contains("encoder statistics"));
}

}  // namespace
}  // namespace orvanta::capture
