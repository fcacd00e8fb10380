#include <cstdio>

#include "control/SessionChooserController.h"

namespace orvanta::control {

std::string defaultSessionName(const std::tm& localTime) {
    static constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const int weekday = localTime.tm_wday >= 0 && localTime.tm_wday < 7 ? localTime.tm_wday : 0;
    const int month = localTime.tm_mon >= 0 && localTime.tm_mon < 12 ? localTime.tm_mon : 0;
    const int hour = localTime.tm_hour % 12 == 0 ? 12 : localTime.tm_hour % 12;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %s %d %04d at %d:%02d %s", kWeekdays[weekday], kMonths[month],
                  localTime.tm_mday, localTime.tm_year + 1900, hour, localTime.tm_min,
                  localTime.tm_hour < 12 ? "AM" : "PM");
    return text;
}

std::string defaultSessionName(std::chrono::system_clock::time_point now) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    localtime_r(&seconds, &local);
    return defaultSessionName(local);
}

}  // namespace orvanta::control
