#include "capture/screen/CaptureSize.h"

#include <algorithm>
#include <cmath>

#include "core/Resources.h"

namespace orvanta::capture {

namespace {

std::uint32_t multipleOf8(double value) {
    const double eighths = std::floor(value / 8.0);
    return static_cast<std::uint32_t>(std::max(1.0, eighths)) * 8;
}

}  // namespace

CaptureSize captureOutputSize(std::uint32_t displayWidth, std::uint32_t displayHeight,
                              std::optional<std::int64_t> maxArea) {
    const std::uint64_t area = static_cast<std::uint64_t>(displayWidth) * displayHeight;
    if (!maxArea || *maxArea <= 0 || area <= static_cast<std::uint64_t>(*maxArea) || displayWidth == 0 ||
        displayHeight == 0)
        return {displayWidth, displayHeight};
    const double w = displayWidth, h = displayHeight, a = static_cast<double>(*maxArea);
    const double newHeight = std::sqrt(a * h / w);
    const double newWidth = w * newHeight / h;
    return {multipleOf8(newWidth), multipleOf8(newHeight)};
}

CaptureSize captureOutputSize(std::uint32_t displayWidth, std::uint32_t displayHeight) {
    return captureOutputSize(displayWidth, displayHeight, core::bundleInteger("Max Screen Capture Area"));
}

}  // namespace orvanta::capture
