#include "capture/DisplaySession.h"

#include <cstdlib>
#include <string>

namespace orvanta::capture {

namespace {

std::string variable(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

}  // namespace

DisplaySession currentDisplaySession() {
    const std::string type = variable("XDG_SESSION_TYPE");
    if (type == "x11") return DisplaySession::X11;
    if (type == "wayland") return DisplaySession::Wayland;
    if (!type.empty()) return DisplaySession::Unknown;
    if (!variable("WAYLAND_DISPLAY").empty()) return DisplaySession::Wayland;
    if (!variable("DISPLAY").empty()) return DisplaySession::X11;
    return DisplaySession::Unknown;
}

}  // namespace orvanta::capture
