#pragma once

#include <string>

#include "core/Error.h"

namespace orvanta::capture {

// The main display is not at 32 bits per pixel.
inline constexpr long kColorDepthErrorCode = 1001;
// The X display cannot be reached, or the connection to it was lost.
inline constexpr long kDisplayUnavailableErrorCode = 1002;

inline core::Error colorDepthError() {
    return core::Error(core::kOrvantaErrorDomain, kColorDepthErrorCode, "Color configuration not supported",
                       "Orvanta Recorder only supports 32 bit color when recording Screen Capture. Please change "
                       "your display settings to Millions of colors and restart the application.");
}

// reason: what went wrong, as one sentence.
inline core::Error displayUnavailableError(const std::string& reason) {
    return core::Error(core::kOrvantaErrorDomain, kDisplayUnavailableErrorCode, "Screen capture not available",
                       reason);
}

}  // namespace orvanta::capture
