#pragma once

#include <cstdint>
#include <optional>

namespace orvanta::capture {

struct CaptureSize {
    std::uint32_t width = 0, height = 0;
    bool operator==(const CaptureSize&) const = default;
};

// The size screen frames are written at. A display whose area (width × height) exceeds maxArea is
// shrunk keeping its aspect ratio: height' = sqrt(maxArea × height / width), width' = width ×
// height' / height, each then cut down to a multiple of 8 (never below 8). A display within the
// limit, or without a limit, keeps its size exactly.
CaptureSize captureOutputSize(std::uint32_t displayWidth, std::uint32_t displayHeight,
                              std::optional<std::int64_t> maxArea);

// The same with the program's "Max Screen Capture Area".
CaptureSize captureOutputSize(std::uint32_t displayWidth, std::uint32_t displayHeight);

}  // namespace orvanta::capture
